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

#include "ui/pane.h"

#include "bench_util.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace {

using bench::fill_numbered_files;
using bench::make_temp_dir;
using bench::median;
using bench::now_ms;
using bench::remove_numbered_files;
using bench::time_ls;

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
    if (!fill_numbered_files(dir, count, 12345)) return 1;
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
    remove_numbered_files(dir, count);
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
    if (!fill_numbered_files(dir, count, 12345)) return 1;
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
        remove_numbered_files(dir, count);
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
