#pragma once

#include <chrono>

// Seconds of the steady (monotonic) clock as a double: the one clock for intervals, deadlines and
// animation times everywhere in the program, and for the log's time stamps.
inline double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
