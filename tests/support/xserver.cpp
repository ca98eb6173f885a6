#include "xserver.h"

namespace testsupport {

XServer::XServer(const std::string& screen) {
    auto [process, number] = spawn_and_read_line(
        {"Xvfb", "-displayfd", "@FD@", "-nolisten", "tcp", "-noreset", "-screen", "0", screen});
    m_process = std::move(process);
    if (!number.empty()) m_display = ":" + number;
}

} // namespace testsupport
