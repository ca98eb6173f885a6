#pragma once

#include "temp_dir.h"
#include "xserver.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace e2e {

// A virtual X server for one test binary, of the size of a full-HD screen; started on first use, stopped
// at exit.
class XServer {
public:
    static XServer& instance();
    const std::string& display() const { return m_server.display(); }
    bool ok() const { return m_server.ok(); }

private:
    XServer() : m_server("1920x1080x24") {}
    testsupport::XServer m_server;
};

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// One run of the real program under Xvfb with its own home and configuration folder.
class Tavrin {
public:
    Tavrin();
    ~Tavrin();

    // Folder that serves as HOME; configuration lives in home()/.config/Tavrin.
    const std::string& home() const { return m_home.path(); }
    std::string config_dir() const { return m_home.path() + "/.config/Tavrin"; }
    std::string config_file(const std::string& name) const { return config_dir() + "/" + name; }
    // Writes a file into the configuration folder before start.
    void put_config(const std::string& name, const std::string& content);

    void set_env(const std::string& name, const std::string& value);
    // Runs the program as the user "nobody", so that file permissions apply (tests run as root). start()
    // hands the home folder, and what the test put there so far, to that user.
    void run_as_nobody() { m_as_nobody = true; }

    // Starts the program and waits (up to timeout_s) for its window; false when no window came.
    bool start(const std::vector<std::string>& args = {}, double timeout_s = 15);
    // Starts with `args` and the self-test script, and waits until the script has run to its end.
    bool run_script(std::vector<std::string> args, const std::string& script, double timeout_s = 60);
    // Asks the program to end (SIGTERM) and waits for it; killed when it overstays. Also on destruction.
    void stop();
    pid_t pid() const { return m_pid; }
    const std::string& window() const { return m_window; }

    WindowGeometry geometry() const;
    void key(const std::string& keys) const; // xdotool key names, e.g. "ctrl+q"
    void type(const std::string& text) const;
    // Real key presses through the XTEST extension after giving the window the input focus: unlike
    // key(), which sends events to the window, these arrive as a keyboard's would.
    void press(const std::string& keys) const;
    void type_focused(const std::string& text) const;
    void click(int x, int y, int button = 1) const; // window-relative coordinates
    bool signal(int sig) const;

    // Waits for the process to end; returns its exit status, or -1 on time-out (the process is killed).
    int wait_exit(double timeout_s, double* took_s = nullptr);
    bool running() const { return m_pid > 0; }

    std::string log() const; // the whole log file
    std::vector<std::string> log_lines() const;
    // The log lines that contain `needle`, without their time and thread prefix.
    std::vector<std::string> lines_with(const std::string& needle) const;
    // Index in log_lines() of the first line containing `needle` at or after `from`, or -1.
    int line_index(const std::string& needle, int from = 0) const;
    // Waits until a log line contains `needle`; false on time-out.
    bool wait_log(const std::string& needle, double timeout_s = 5) const;
    std::string settings() const; // settings.json as written

    // Saves a screenshot of the program's window (PNG) and returns the path, or "" on failure.
    std::string screenshot(const std::string& path) const;

private:
    testsupport::TempDir m_home;
    std::vector<std::pair<std::string, std::string>> m_env;
    pid_t m_pid = -1;
    std::string m_window;
    std::string m_stderr_path;
    bool m_as_nobody = false;
};

// Pixel colour of a PNG at (x, y) as "#RRGGBB", read with ImageMagick; "" on failure.
std::string pixel_at(const std::string& png, int x, int y);
// Whether some pixel of the rectangle (x, y, w, h) of a PNG has exactly the colour "#RRGGBB": the inner
// pixels of a glyph carry the text colour unblended.
bool has_colour(const std::string& png, int x, int y, int w, int h, const std::string& colour);

} // namespace e2e
