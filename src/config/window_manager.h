#pragma once

#include <string>

// The window's last size, position and maximised state, as read from "geometry.json".
struct WindowGeometry {
    // Size for the window record: below 1000 x 700 (or missing) it reads as 1100 x 720.
    int width = 0;
    int height = 0;
    // The size exactly as saved (1100 x 720 when missing or unreadable). The window opens at this size
    // raised to its minimum of 1000 x 700, so a saved 800 x 500 opens at 1000 x 700, not at 1100 x 720.
    int saved_width = 0;
    int saved_height = 0;
    int x = 0;
    int y = 0;
    // Both x and y were found in the file.
    bool has_position = false;
    bool maximized = false;
    // The file was read; false means nothing is known and the caller picks its own placement.
    bool valid = false;
};

// Keeps the window geometry in the configuration directory. Stateless: every load reads the file.
class WindowManager {
public:
    static WindowManager& instance();

    // config_dir() + "/geometry.json"
    std::string path() const;

    // Sizes below 1000 x 700 come back as 1100 x 720, so a window never reopens too small to use.
    WindowGeometry load() const;

    // Writes the geometry unless the size is below 1000 x 700 and the window is not maximised (the tiny
    // sizes a window passes through while being mapped). Failures are silent.
    void save(int x, int y, int width, int height, bool maximized) const;

private:
    WindowManager() = default;
};
