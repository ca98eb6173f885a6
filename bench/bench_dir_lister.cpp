// Reading a folder of 100,000 empty files: dir_lister::read in this process against `ls -l --color=never`
// of the same folder, five alternating runs each, medians and their ratio (ours / ls). Also reports
// read plus sort by name, what a pane does on every reload.
//
// Usage: bench_dir_lister [file count]   (the folder is made under $TMPDIR, else /tmp, and removed)

#include "dir_lister.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Wall time of `ls -l --color=never dir > /dev/null`, from fork to exit.
double time_ls(const std::string& dir) {
    double t0 = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
        execlp("ls", "ls", "-l", "--color=never", dir.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double t = now_ms() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "ls failed (status %d)\n", status);
        exit(1);
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? atoi(argv[1]) : 100000;
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bench_dir_lister.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        perror("mkdtemp");
        return 1;
    }
    const std::string dir = buf.data();

    // Names with numbers, created in shuffled order so that the stream order is not already sorted.
    std::vector<int> order(count);
    for (int i = 0; i < count; ++i)
        order[i] = i + 1;
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    for (int n : order) {
        std::string p = dir + "/file" + std::to_string(n);
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            perror(p.c_str());
            return 1;
        }
        close(fd);
    }

    // One untimed round of each so that both start from a warm cache.
    dir_lister::read(dir, false);
    time_ls(dir);

    std::vector<double> ours, ours_sorted, ls;
    size_t rows = 0;
    for (int round = 0; round < 5; ++round) {
        double t0 = now_ms();
        auto listing = dir_lister::read(dir, false);
        ours.push_back(now_ms() - t0);
        rows = listing.entries.size();
        if (!listing.error.empty()) {
            fprintf(stderr, "read failed: %s\n", listing.error.c_str());
            return 1;
        }

        ls.push_back(time_ls(dir));

        t0 = now_ms();
        auto sorted = dir_lister::read(dir, false);
        dir_lister::sort(sorted.entries, dir_lister::SortOrder{});
        ours_sorted.push_back(now_ms() - t0);
    }

    const double m_ours = median(ours), m_ls = median(ls), m_sorted = median(ours_sorted);
    printf("folder: %s, %d empty files (%zu rows with the parent row)\n", dir.c_str(), count, rows);
    printf("dir_lister::read            median %8.2f ms\n", m_ours);
    printf("dir_lister::read + sort     median %8.2f ms\n", m_sorted);
    printf("ls -l --color=never         median %8.2f ms\n", m_ls);
    printf("ratio read / ls             %8.3f\n", m_ours / m_ls);
    printf("ratio read + sort / ls      %8.3f\n", m_sorted / m_ls);

    for (int n = 1; n <= count; ++n)
        unlink((dir + "/file" + std::to_string(n)).c_str());
    rmdir(dir.c_str());
    return 0;
}
