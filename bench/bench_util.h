#pragma once

// Timing, medians, scratch folders and peer commands for the benchmark programs. Header-only: every
// bench_*.cpp is built as a program of its own.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench {

// Milliseconds on the monotonic clock.
inline double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread in milliseconds: on a shared, busy machine it shows what the work costs
// without the waits for a core.
inline double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// The two counts a benchmark takes as "[first] [second]", with their defaults; a count below 1 ends the
// program with `usage`.
inline std::pair<int, int> counts_from_args(int argc, char** argv, int first, int second, const char* usage) {
    const int a = argc > 1 ? atoi(argv[1]) : first;
    const int b = argc > 2 ? atoi(argv[2]) : second;
    if (a < 1 || b < 1) {
        fprintf(stderr, "usage: %s\n", usage);
        exit(2);
    }
    return {a, b};
}

// Median of the runs; the middle two averaged for an even count. Machines are shared and noisy, so a
// median is steadier than a mean.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A fresh folder "<parent>/<tag>.XXXXXX"; "" when it cannot be made.
inline std::string temp_dir_in(const std::string& parent, const std::string& tag) {
    std::string tmpl = parent + "/" + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return "";
    return buf.data();
}

// A fresh folder under $TMPDIR, else /tmp; ends the program when it cannot be made.
inline std::string make_temp_dir(const std::string& tag) {
    const char* base = getenv("TMPDIR");
    std::string dir = temp_dir_in(base && *base ? base : "/tmp", tag);
    if (dir.empty()) {
        perror("mkdtemp");
        exit(1);
    }
    return dir;
}

// Empty files file1 .. file<count>, created in an order shuffled by `seed` so that the directory stream
// is not already sorted. False (after a message) when one cannot be made.
inline bool fill_numbered_files(const std::string& dir, int count, unsigned seed) {
    std::vector<int> order(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        order[static_cast<size_t>(i)] = i + 1;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        perror(dir.c_str());
        return false;
    }
    for (int n : order) {
        const std::string name = "file" + std::to_string(n);
        const int fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            perror(name.c_str());
            close(dfd);
            return false;
        }
        close(fd);
    }
    close(dfd);
    return true;
}

// Removes what fill_numbered_files made, and the folder.
inline void remove_numbered_files(const std::string& dir, int count) {
    for (int i = 1; i <= count; ++i)
        unlink((dir + "/file" + std::to_string(i)).c_str());
    rmdir(dir.c_str());
}

// Wall time of a peer command (looked up in PATH, output to /dev/null), from fork to exit. A peer that
// fails ends the program: its time would mean nothing.
inline double time_command(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const double t0 = now_ms();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
    const double t = now_ms() - t0;
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
        exit(1);
    }
    return t;
}

// `ls -l --color=never dir`, the peer for reading a folder: it too reads every status and sorts.
inline double time_ls(const std::string& dir) {
    return time_command({"ls", "-l", "--color=never", dir});
}

} // namespace bench
