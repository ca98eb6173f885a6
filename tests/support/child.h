#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport {

// Runs body in a forked child and returns the text it produced. Used where a scenario must not leak into
// the test process: caches filled once per process, a changed environment, dropped privileges. When the
// child does not exit with status 0 (a crash, an _exit(n)), "child did not exit cleanly" is appended, so
// an empty result means the child ran to its end and reported nothing. "pipe failed" or "fork failed"
// when no child could be started.
std::string in_child(const std::function<std::string()>& body);

// Runs body in a forked child and returns the value it returned as the child's exit status (0 to 255),
// or -1 when no child could be started or it did not exit normally (killed by a signal).
int run_in_child(const std::function<int()>& body);

// Gives up root for the user "nobody" (65534 where there is no such user) and every supplementary
// group, so that file permissions apply again; tests run as root. Call it in a child only: it cannot be
// undone.
bool drop_to_nobody();

// Collects mismatches inside a child, to be handed back through in_child as text.
struct Checks {
    std::string failures;
    void expect(bool ok, const std::string& what) {
        if (!ok) failures += what + "\n";
    }
    template <typename T> void equal(const T& got, const T& want, const std::string& what) {
        if (!(got == want)) failures += what + "\n";
    }
};

// Waits for pid at most `limit`; kills it when it overstays. The wait status, or nullopt when it had to
// be killed or could not be waited for.
std::optional<int> wait_bounded(pid_t pid, std::chrono::steady_clock::duration limit);

// Reads from fd until `stop` says enough, end of file, or `limit` has passed.
std::string read_until(int fd, std::chrono::steady_clock::duration limit,
                       const std::function<bool(const std::string&)>& stop);

// A child process that is sent SIGTERM and reaped when the object dies (the test fails when it does not
// end within 3 s; it is then killed).
class Child {
public:
    Child() = default;
    explicit Child(pid_t pid) : m_pid(pid) {}
    Child(Child&& o) noexcept : m_pid(o.m_pid) { o.m_pid = -1; }
    Child& operator=(Child&& o) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { stop(); }
    pid_t pid() const { return m_pid; }
    void stop();

private:
    pid_t m_pid = -1;
};

// Starts argv (looked up in PATH, output to /dev/null) with a pipe open in the child, whose number replaces
// "@FD@" in the arguments (for --print-address / -displayfd), and waits up to 10 s for the first line
// written to it. The line comes back without its newline, empty when none came. The child is killed when
// the thread that started it ends.
std::pair<Child, std::string> spawn_and_read_line(std::vector<std::string> argv);

} // namespace testsupport
