#include "child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

// The child's wait status, or -1 when waitpid itself failed.
int wait_for(pid_t pid) {
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

} // namespace

std::string in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return "fork failed";
    }
    if (pid == 0) {
        close(fds[0]);
        const std::string report = body();
        size_t done = 0;
        while (done < report.size()) {
            const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) _exit(1);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        report.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    const int status = wait_for(pid);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += "child did not exit cleanly";
    return report;
}

int run_in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    // _exit, never return: the child must not run the rest of the test program.
    if (pid == 0) _exit(body() & 0xff);
    const int status = wait_for(pid);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool drop_to_nobody() {
    const struct passwd* pw = getpwnam("nobody");
    const uid_t uid = pw ? pw->pw_uid : 65534;
    const gid_t gid = pw ? pw->pw_gid : 65534;
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

std::optional<int> wait_bounded(pid_t pid, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string read_until(int fd, std::chrono::steady_clock::duration limit,
                       const std::function<bool(const std::string&)>& stop) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!stop(data)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        char buf[512];
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        data.append(buf, static_cast<size_t>(got));
    }
    return data;
}

Child& Child::operator=(Child&& o) noexcept {
    if (this != &o) {
        stop();
        m_pid = o.m_pid;
        o.m_pid = -1;
    }
    return *this;
}

void Child::stop() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    if (!wait_bounded(m_pid, std::chrono::seconds(3))) ADD_FAILURE() << "child " << m_pid << " hung";
    m_pid = -1;
}

std::pair<Child, std::string> spawn_and_read_line(std::vector<std::string> argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int keep = dup(fds[1]); // without O_CLOEXEC, so it survives the exec
        for (auto& a : argv)
            if (auto at = a.find("@FD@"); at != a.npos) a.replace(at, 4, std::to_string(keep));
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string line = read_until(fds[0], std::chrono::seconds(10),
                                  [](const std::string& s) { return s.find('\n') != s.npos; });
    close(fds[0]);
    if (auto nl = line.find('\n'); nl != line.npos) line.resize(nl);
    return {Child(pid), line};
}

} // namespace testsupport
