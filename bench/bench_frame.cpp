// One whole window frame at 1920 x 1080 into an image surface, with both panes on a folder of 100,000
// entries and all seven columns shown: the median milliseconds per frame over a run of frames (target:
// at most 8 ms). The rows on screen are a fixed few dozen, so the figure shows whether anything in a
// frame still grows with the folder.
//
// A second figure has the View menu dropped down and a context menu open as well.
//
// Usage: bench_frame [entries, default 100000] [frames, default 60]

#include "../tests/support/app_peer.h"
#include "bench_util.h"
#include "ui/app.h"
#include "base/i18n.h"
#include "ui/pane.h"
#include "config/settings.h"

#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
    return v[i];
}

const char* const kExtensions[] = {".txt", ".jpg", ".tar.gz", ".sh", ".pdf", "", ".c", ".zip"};

std::string entry_name(int i) {
    return "entry-" + std::to_string(i) + kExtensions[i % 8];
}

// A mix like a real big folder: mostly files of varied sizes (sparse, so quick to make), some folders and
// some executables.
void fill_folder(const std::string& dir, int count) {
    for (int i = 0; i < count; ++i) {
        std::string path = dir + "/" + entry_name(i);
        if (i % 50 == 0) {
            if (mkdir(path.c_str(), 0755) != 0) perror("mkdir");
            continue;
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, i % 8 == 3 ? 0755 : 0644);
        if (fd < 0) {
            perror("open");
            exit(1);
        }
        if (ftruncate(fd, off_t(i) * 37) != 0) perror("ftruncate");
        close(fd);
    }
}

void remove_folder(const std::string& dir, int count) {
    for (int i = 0; i < count; ++i) {
        std::string path = dir + "/" + entry_name(i);
        if (i % 50 == 0)
            rmdir(path.c_str());
        else
            unlink(path.c_str());
    }
    rmdir(dir.c_str());
}

} // namespace

int main(int argc, char** argv) {
    const auto [entries, frames] = bench::counts_from_args(argc, argv, 100000, 60, "bench_frame [entries] [frames]");
    I18n::instance().set_language("en");
    Settings& settings = SettingsStore::instance().mutable_get();
    for (int id = 0; id < 7; ++id)
        set_column_enabled(settings, ColumnId(id), true);

    std::string dir = bench::make_temp_dir("bench-frame");
    double t0 = bench::now_ms();
    fill_folder(dir, entries);
    printf("made %d entries in %.0f ms\n", entries, bench::now_ms() - t0);

    {
        App app;
        app.pane_for(false).navigate_to(dir, true);
        app.pane_for(true).navigate_to(dir, true);
        // A selection and a cursor in the middle, as while working in the folder.
        Pane& left = app.pane_for(false);
        for (int i = 40; i < 60; ++i)
            left.toggle_selection(i);
        left.set_cursor(45, false);

        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1920, 1080);
        cairo_t* cr = cairo_create(surface);
        auto measure = [&](const char* what) {
            for (int i = 0; i < 3; ++i)
                app.draw_all(cr, 1920, 1080);
            std::vector<double> times, cpu;
            times.reserve(size_t(frames));
            cpu.reserve(size_t(frames));
            for (int i = 0; i < frames; ++i) {
                double start = bench::now_ms(), cpu_start = bench::thread_cpu_ms();
                app.draw_all(cr, 1920, 1080);
                cairo_surface_flush(surface);
                times.push_back(bench::now_ms() - start);
                cpu.push_back(bench::thread_cpu_ms() - cpu_start);
            }
            printf(
                "frame 1920x1080, %d entries per pane, 7 columns%s: median %.2f ms, p90 %.2f ms, min %.2f ms "
                "over %d frames (target <= 8 ms)\n",
                app.pane_for(false).count(), what, percentile(times, 0.5), percentile(times, 0.9),
                percentile(times, 0.0), frames);
            printf("  CPU time per frame: median %.2f ms, p90 %.2f ms\n", percentile(cpu, 0.5),
                   percentile(cpu, 0.9));
        };
        measure("");
        // The same with the View menu dropped down and a context menu open over the left pane.
        AppTestPeer peer(app);
        peer.open_menu() = 2;
        peer.context_menu() = true;
        peer.context_right() = false;
        peer.context_x() = 600;
        peer.context_y() = 500;
        measure(", open drop-down and context menu");
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    remove_folder(dir, entries);
    return 0;
}
