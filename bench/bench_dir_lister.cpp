// Reading a folder of 100,000 empty files: dir_lister::read in this process against `ls -l --color=never`
// of the same folder, five alternating runs each, medians and their ratio (ours / ls). Also reports
// read plus sort by name, what a pane does on every reload.
//
// Usage: bench_dir_lister [file count]   (the folder is made under $TMPDIR, else /tmp, and removed)

#include "fs/dir_lister.h"

#include "bench_util.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using bench::median;
using bench::now_ms;
using bench::time_ls;

int main(int argc, char** argv) {
    const int count = argc > 1 ? atoi(argv[1]) : 100000;
    const std::string dir = bench::make_temp_dir("bench_dir_lister");
    // Names with numbers, created in shuffled order so that the stream order is not already sorted.
    if (!bench::fill_numbered_files(dir, count, 42)) return 1;

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

    bench::remove_numbered_files(dir, count);
    return 0;
}
