// Log throughput: 1,000,000 infof calls from 4 threads, the log file on tmpfs. Prints lines per second
// for each of 5 runs and their median.
#include "base/logger.h"

#include "bench_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kLines = 1000000;
constexpr int kRuns = 5;

// A fresh folder on tmpfs so the figure measures the log, not the disk.
std::string make_config_home() {
    struct stat st {};
    return bench::temp_dir_in(stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp", "tavrin-bench-log");
}

double one_run(Log& log) {
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            Log::name_this_thread("w" + std::to_string(t));
            for (int i = 0; i < kLines / kThreads; ++i)
                log.infof("copied %s (%d of %d, %lld bytes)", "/home/user/Pictures/holiday/IMG_0001.JPG", i,
                          kLines / kThreads, 4194304LL + i);
        });
    }
    for (auto& th : threads)
        th.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return kLines / seconds;
}

} // namespace

int main() {
    std::string home = make_config_home();
    if (home.empty()) {
        fprintf(stderr, "bench_log: cannot create a temporary folder\n");
        return 1;
    }
    // Must be set before the log's first use: the file is chosen then.
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    Log& log = Log::instance();

    std::vector<double> rates;
    for (int run = 1; run <= kRuns; ++run) {
        rates.push_back(one_run(log));
        printf("log infof, %d threads, %d lines, run %d: %.0f lines/s\n", kThreads, kLines, run,
               rates.back());
    }
    printf("log infof, %d threads, median of %d runs: %.0f lines/s\n", kThreads, kRuns, bench::median(rates));
    printf("log file: %s (tmpfs)\n", log.file_path_c_str());

    std::string cleanup = "rm -rf '" + home + "'";
    return system(cleanup.c_str()) == 0 ? 0 : 1;
}
