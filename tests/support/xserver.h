#pragma once

#include "child.h"

#include <string>

namespace testsupport {

// A virtual X server (Xvfb) of its own for a test: it picks a free display itself (-displayfd), listens on
// no TCP port, and keeps its state when the last client leaves (-noreset), so one server can serve many
// program runs in turn. Stopped when the object dies.
class XServer {
public:
    // screen: "<width>x<height>x<depth>"
    explicit XServer(const std::string& screen = "800x600x24");
    // ":<number>", or empty when the server did not start within 10 s.
    const std::string& display() const { return m_display; }
    bool ok() const { return !m_display.empty(); }

private:
    Child m_process;
    std::string m_display;
};

} // namespace testsupport
