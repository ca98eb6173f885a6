// Two figures for the pane:
//  1. Opening a folder of 100,000 empty files named file1 .. file100000 (made in shuffled order), sorted
//     by name: Pane::navigate_to in this process against `ls -l --color=never` (fork and exec, output to
//     /dev/null), which also reads every status and sorts. One warm-up run each, then five alternating
//     runs each; medians and their ratio (ours / ls, lower is better).
//  2. Memory: the resident size a pane adds when it opens a folder of 1,000,000 empty files, in bytes per
//     row, from /proc/self/statm before and after. The folder lives on a tmpfs mounted for the purpose
//     (when running as root; else under $TMPDIR), so that making and dropping it is quick.
//
// Usage: bench_pane [files for the timing, default 100000] [files for the memory figure, default 1000000]
//        A memory count of 0 skips the memory figure.

#include "pane.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
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

std::string make_temp_dir(const char* tag) {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        perror("mkdtemp");
        exit(1);
    }
    return buf.data();
}

void remove_flat_dir(const std::string& dir, int count) {
    for (int i = 1; i <= count; ++i)
        unlink((dir + "/file" + std::to_string(i)).c_str());
    rmdir(dir.c_str());
}

// file1 .. file<count>, created in a shuffled order so that the directory stream is not already sorted.
bool fill(const std::string& dir, int count) {
    std::vector<int> order(count);
    for (int i = 0; i < count; ++i)
        order[i] = i + 1;
    std::mt19937 rng(12345);
    std::shuffle(order.begin(), order.end(), rng);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd < 0) return false;
    for (int n : order) {
        std::string name = "file" + std::to_string(n);
        int fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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

double time_pane(const std::string& dir, size_t expected_rows) {
    double t0 = now_ms();
    Pane pane;
    pane.navigate_to(dir, false);
    double t = now_ms() - t0;
    if (!pane.error().empty() || pane.entries().size() != expected_rows) {
        fprintf(stderr, "pane read %zu rows of %zu (%s)\n", pane.entries().size(), expected_rows,
                pane.error().c_str());
        exit(1);
    }
    return t;
}

long resident_bytes() {
    FILE* f = fopen("/proc/self/statm", "r");
    long size = 0, resident = 0;
    if (!f || fscanf(f, "%ld %ld", &size, &resident) != 2) {
        if (f) fclose(f);
        return -1;
    }
    fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

int timing(int count) {
    std::string dir = make_temp_dir("bench_pane");
    double t0 = now_ms();
    if (!fill(dir, count)) return 1;
    printf("folder: %d empty files in %s (made in %.0f ms)\n", count, dir.c_str(), now_ms() - t0);

    const size_t rows = static_cast<size_t>(count) + 1; // and ".."
    time_pane(dir, rows);
    time_ls(dir);
    std::vector<double> ours, peer;
    for (int run = 0; run < 5; ++run) {
        ours.push_back(time_pane(dir, rows));
        peer.push_back(time_ls(dir));
    }
    for (int run = 0; run < 5; ++run)
        printf("run %d: Pane::navigate_to %.1f ms, ls -l %.1f ms\n", run + 1, ours[run], peer[run]);
    double m_ours = median(ours), m_peer = median(peer);
    printf("median Pane::navigate_to: %.1f ms\n", m_ours);
    printf("median ls -l --color=never: %.1f ms\n", m_peer);
    printf("ratio navigate_to / ls: %.2f (target <= 1.0)\n", m_ours / m_peer);
    remove_flat_dir(dir, count);
    return 0;
}

int memory(int count) {
    std::string dir = make_temp_dir("bench_pane_mem");
    bool mounted = false;
    if (geteuid() == 0) {
        std::string opts = "size=256m,mode=0755,nr_inodes=" + std::to_string(count + 1000);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0;
    }
    double t0 = now_ms();
    if (!fill(dir, count)) return 1;
    printf("folder: %d empty files in %s on %s (made in %.0f ms)\n", count, dir.c_str(),
           mounted ? "a tmpfs mounted for the run" : "the temporary folder's file system", now_ms() - t0);

    long before = resident_bytes();
    double r0 = now_ms();
    int rc = 0;
    {
        Pane pane;
        pane.navigate_to(dir, false);
        double read_ms = now_ms() - r0;
        long after = resident_bytes();
        size_t rows = pane.entries().size();
        if (rows != static_cast<size_t>(count) + 1 || before < 0 || after < 0) {
            fprintf(stderr, "pane read %zu rows (%s)\n", rows, pane.error().c_str());
            rc = 1;
        } else {
            printf("pane with %zu rows: navigate_to %.0f ms, resident %+.1f MiB\n", rows, read_ms,
                   (after - before) / 1048576.0);
            printf("memory: %.1f bytes per row (target <= 250)\n",
                   static_cast<double>(after - before) / rows);
        }
    }
    if (mounted)
        umount2(dir.c_str(), MNT_DETACH);
    else
        remove_flat_dir(dir, count);
    rmdir(dir.c_str());
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? atoi(argv[1]) : 100000;
    const int mem_count = argc > 2 ? atoi(argv[2]) : 1000000;
    int rc = timing(count);
    if (rc == 0 && mem_count > 0) rc = memory(mem_count);
    return rc;
}
