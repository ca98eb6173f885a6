// Key to drawn frame: a cursor key goes through the window's key handling and the next whole frame at
// 1920 x 1080 is drawn, with both panes on a folder of 100,000 entries. Median over 200 presses (target:
// at most 8 ms). The presses alternate runs of Down and Up so that the list also scrolls.
//
// Usage: bench_key [entries, default 100000] [presses, default 200]

#include "base/i18n.h"
#include "bench_util.h"
#include "config/settings.h"
#include "ui/app.h"

#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <vector>

namespace {

std::string entry_name(int i) {
    static const char* const kExtensions[] = {".txt", ".jpg", ".tar.gz", ".sh", ".pdf", "", ".c", ".zip"};
    return "entry-" + std::to_string(i) + kExtensions[i % 8];
}

void fill_folder(const std::string& dir, int count) {
    for (int i = 0; i < count; ++i) {
        std::string path = dir + "/" + entry_name(i);
        if (i % 50 == 0) {
            if (mkdir(path.c_str(), 0755) != 0) perror("mkdir");
            continue;
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) {
            perror("open");
            exit(1);
        }
        close(fd);
    }
}

} // namespace

int main(int argc, char** argv) {
    const auto [entries, presses] = bench::counts_from_args(argc, argv, 100000, 200, "bench_key [entries] [presses]");
    I18n::instance().set_language("en");
    std::string dir = bench::make_temp_dir("bench-key");
    fill_folder(dir, entries);
    {
        App app;
        app.pane_for(false).navigate_to(dir, true);
        app.pane_for(true).navigate_to(dir, true);
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1920, 1080);
        cairo_t* cr = cairo_create(surface);
        for (int i = 0; i < 3; ++i)
            app.draw_all(cr, 1920, 1080);
        std::vector<double> times, key_times, cpu;
        for (int i = 0; i < presses; ++i) {
            const char* step = (i / 60) % 2 ? "key:Up" : "key:Down";
            double start = bench::now_ms(), cpu_start = bench::thread_cpu_ms();
            app.run_self_test_step(step);
            key_times.push_back(bench::now_ms() - start);
            app.draw_all(cr, 1920, 1080);
            cairo_surface_flush(surface);
            times.push_back(bench::now_ms() - start);
            cpu.push_back(bench::thread_cpu_ms() - cpu_start);
        }
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        printf("key to drawn frame, 1920x1080, %d entries per pane: median %.2f ms, p90 %.2f ms over %d "
               "presses (target <= 8 ms)\n",
               app.pane_for(false).count(), bench::median(times),
               sorted[size_t(0.9 * double(sorted.size() - 1))], presses);
        // How much of it is the key itself, the rest being the frame.
        printf("  CPU time per press: median %.2f ms\n", bench::median(cpu));
        printf("  key handling alone: median %.3f ms\n", bench::median(key_times));
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
    return 0;
}
