// Time from process start to the first drawn frame, under a private Xvfb, median over five starts.
//
//   bench_startup [path/to/tavrin]     (default: the tavrin next to this program's build folder)
//
// Each start gets a fresh HOME and configuration folder and a session bus that does not exist, so no
// desktop service or earlier settings speed it up or slow it down. Two figures per start: the time the
// program itself logs for its first frame ("first frame drawn N ms after start", measured from the kernel's
// start time of the process), and the time from fork until that log line is seen from outside.
#include "bench_util.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

constexpr int kStarts = 5;
constexpr double kTargetMs = 400;
constexpr double kTimeoutMs = 20000;

std::string dir_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string default_tavrin() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "build/tavrin";
    buf[n] = '\0';
    return dir_of(buf) + "/../tavrin";
}

// Waits up to `ms` for the child to exit; true when it did.
bool wait_exit(pid_t pid, double ms) {
    const double end = bench::now_ms() + ms;
    while (bench::now_ms() < end) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) return true;
        usleep(5000);
    }
    return false;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!wait_exit(pid, 3000)) {
        kill(pid, SIGKILL);
        wait_exit(pid, 3000);
    }
}

// A private X server; its display number comes back through -displayfd.
struct Xvfb {
    pid_t pid = -1;
    std::string display;

    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            close(fds[0]);
            const int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 1);
                dup2(devnull, 2);
            }
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0",
                   "1600x1000x24", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (number.empty()) return false;
        display = ":" + number;
        return true;
    }
    ~Xvfb() { stop(pid); }
};

bool remove_tree(const std::string& dir) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("rm", "rm", "-rf", "--", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The value logged in the first-frame line of the log file, or -1 while it is not there yet.
double logged_first_frame(const std::string& log_path) {
    std::ifstream in(log_path);
    std::string line;
    static const std::string kMarker = "first frame drawn ";
    while (std::getline(in, line)) {
        const size_t at = line.find(kMarker);
        if (at == std::string::npos) continue;
        return std::atof(line.c_str() + at + kMarker.size());
    }
    return -1;
}

struct Run {
    bool ok = false;
    double logged_ms = -1;   // what the program logged
    double external_ms = -1; // fork until the line was seen
};

Run start_once(const std::string& tavrin, const std::string& display, const std::string& home) {
    Run run;
    const std::string config = home + "/.config";
    mkdir(config.c_str(), 0700);
    const std::string log_path = config + "/Tavrin/Tavrin.log";
    const double t0 = bench::now_ms();
    const pid_t pid = fork();
    if (pid < 0) return run;
    if (pid == 0) {
        setenv("DISPLAY", display.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavrin-bench-bus", 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("GTK_A11Y", "none", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        unsetenv("WAYLAND_DISPLAY");
        // Started through sudo, the program would keep its settings under root's home instead.
        unsetenv("SUDO_USER");
        unsetenv("SUDO_UID");
        unsetenv("PKEXEC_UID");
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execl(tavrin.c_str(), tavrin.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    while (bench::now_ms() - t0 < kTimeoutMs) {
        const double logged = logged_first_frame(log_path);
        if (logged >= 0) {
            run.external_ms = bench::now_ms() - t0;
            run.logged_ms = logged;
            run.ok = true;
            break;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            fprintf(stderr, "tavrin exited before its first frame (status %d)\n", status);
            return run;
        }
        usleep(2000);
    }
    stop(pid);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const std::string tavrin = argc > 1 ? argv[1] : default_tavrin();
    if (access(tavrin.c_str(), X_OK) != 0) {
        fprintf(stderr, "no tavrin program at %s (give its path as the first argument)\n", tavrin.c_str());
        return 2;
    }
    Xvfb x;
    if (!x.start()) {
        fprintf(stderr, "Xvfb could not be started\n");
        return 2;
    }
    const std::string root = bench::make_temp_dir("tavrin-bench-startup");
    std::vector<double> logged, external;
    for (int i = 0; i < kStarts; ++i) {
        const std::string home = root + "/home" + std::to_string(i);
        mkdir(home.c_str(), 0700);
        const Run run = start_once(tavrin, x.display, home);
        if (!run.ok) {
            fprintf(stderr, "start %d: no first frame within %.0f ms\n", i + 1, kTimeoutMs);
            remove_tree(root);
            return 1;
        }
        printf("start %d: first frame %.0f ms after start (logged), %.1f ms from fork (seen)\n", i + 1,
               run.logged_ms, run.external_ms);
        logged.push_back(run.logged_ms);
        external.push_back(run.external_ms);
    }
    remove_tree(root);
    const double med_logged = bench::median(logged);
    const double med_external = bench::median(external);
    printf("startup to first frame: median %.0f ms logged, %.1f ms seen from outside over %d starts "
           "(target <= %.0f ms)%s\n",
           med_logged, med_external, kStarts, kTargetMs, med_external <= kTargetMs ? "" : "  ABOVE TARGET");
    return 0;
}
