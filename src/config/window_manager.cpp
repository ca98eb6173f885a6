#include "config/window_manager.h"

#include "fs/fs_ops.h"
#include "base/paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kNoPosition = -1000000;
constexpr int kMinWidth = 1000;
constexpr int kMinHeight = 700;
constexpr int kDefaultWidth = 1100;
constexpr int kDefaultHeight = 720;

// The number after `"key":`, or `fallback` when the key, the colon or a number is missing or the number
// does not fit in 32 bits.
int lookup_int(const std::string& text, const char* key, int fallback) {
    const std::string quoted = std::string("\"") + key + "\"";
    const size_t at = text.find(quoted);
    if (at == std::string::npos) return fallback;
    const size_t colon = text.find(':', at + quoted.size());
    if (colon == std::string::npos) return fallback;
    const char* start = text.c_str() + colon + 1;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) return fallback;
    return static_cast<int>(value);
}

} // namespace

WindowManager& WindowManager::instance() {
    static WindowManager manager;
    return manager;
}

std::string WindowManager::path() const {
    return config_dir() + "/geometry.json";
}

WindowGeometry WindowManager::load() const {
    WindowGeometry geometry;
    // A directory in its place or an unreadable file is "nothing saved", not an empty geometry.
    std::string text;
    if (!fsops::read_file(path(), text).empty()) return geometry;

    geometry.x = lookup_int(text, "x", kNoPosition);
    geometry.y = lookup_int(text, "y", kNoPosition);
    geometry.has_position = geometry.x != kNoPosition && geometry.y != kNoPosition;
    geometry.saved_width = lookup_int(text, "width", kDefaultWidth);
    geometry.saved_height = lookup_int(text, "height", kDefaultHeight);
    geometry.width = geometry.saved_width < kMinWidth ? kDefaultWidth : geometry.saved_width;
    geometry.height = geometry.saved_height < kMinHeight ? kDefaultHeight : geometry.saved_height;
    geometry.maximized = text.find("\"maximized\": true") != std::string::npos;
    geometry.valid = true;
    return geometry;
}

void WindowManager::save(int x, int y, int width, int height, bool maximized) const {
    if (!((width >= kMinWidth && height >= kMinHeight) || maximized)) return;

    char text[256];
    const int len = std::snprintf(text, sizeof text,
                                  "{\n  \"width\": %d,\n  \"height\": %d,\n  \"x\": %d,\n  \"y\": %d,\n"
                                  "  \"maximized\": %s\n}\n",
                                  width, height, x, y, maximized ? "true" : "false");
    if (len <= 0 || static_cast<size_t>(len) >= sizeof text) return;

    // Written on every configure event, so no fsync here: the rename alone keeps a crash of the program
    // from leaving a half-written file, and losing the last move on a power cut costs nothing. A failure
    // only loses the geometry, and this runs on every configure event, so it is not reported.
    static_cast<void>(fsops::write_file_replacing(path(), std::string(text, static_cast<size_t>(len)), false));
}
