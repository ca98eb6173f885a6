// Whole window frames at 1920 x 1080 with menus open, both panes on a folder of 100,000 entries and all
// seven columns shown: the median milliseconds per frame with no menu, with the File drop-down open (every
// row asks whether its command may run) and with a pane's context menu open over a selection. The menus
// add a fixed number of rows; the figures show whether any of them still costs in proportion to the folder.
//
// Usage: bench_frame_menus [entries, default 100000] [frames, default 60]

#include "app.h"
#include "bench_util.h"
#include "i18n.h"
#include "pane.h"
#include "settings.h"

// The test peer reaches the menu state that input would otherwise set.
#include "../tests/support/app_peer.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// CPU time of this thread: on a shared, busy machine it shows what a frame costs without the waits for a
// core.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    size_t i = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
    return v[i];
}

const char* const kExtensions[] = {".txt", ".jpg", ".tar.gz", ".sh", ".pdf", "", ".c", ".zip"};

std::string entry_name(int i) {
    return "entry-" + std::to_string(i) + kExtensions[i % 8];
}

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

struct Scene {
    const char* name;
    std::function<void(AppTestPeer&)> set;
};

} // namespace

int main(int argc, char** argv) {
    int entries = argc > 1 ? atoi(argv[1]) : 100000;
    int frames = argc > 2 ? atoi(argv[2]) : 60;
    if (entries < 1 || frames < 1) {
        fprintf(stderr, "usage: bench_frame_menus [entries] [frames]\n");
        return 2;
    }
    I18n::instance().set_language("en");
    Settings& settings = SettingsStore::instance().mutable_get();
    for (int id = 0; id < 7; ++id)
        set_column_enabled(settings, ColumnId(id), true);

    std::string dir = bench::make_temp_dir("bench-menus");
    double t0 = bench::now_ms();
    fill_folder(dir, entries);
    printf("made %d entries in %.0f ms\n", entries, bench::now_ms() - t0);

    {
        App app;
        AppTestPeer peer(app);
        app.pane_for(false).navigate_to(dir, true);
        app.pane_for(true).navigate_to(dir, true);
        Pane& left = app.pane_for(false);
        // A selection near the end of the list, so that finding it means walking the whole folder.
        for (int i = left.count() - 60; i < left.count() - 40; ++i)
            left.toggle_selection(i);
        left.set_cursor(left.count() - 45, false);

        const std::vector<Scene> scenes = {
            {"no menu", [](AppTestPeer&) {}},
            {"File drop-down open",
             [](AppTestPeer& p) {
                 p.open_menu() = 0;
                 p.menu_hover_item() = int(Action::Rename);
             }},
            {"context menu open",
             [](AppTestPeer& p) {
                 p.open_menu() = -1;
                 p.context_menu() = true;
                 p.context_right() = false;
                 p.context_x() = 400;
                 p.context_y() = 300;
                 p.menu_hover_item() = int(Action::CopyToOther);
             }},
        };

        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1920, 1080);
        cairo_t* cr = cairo_create(surface);
        for (const Scene& scene : scenes) {
            scene.set(peer);
            for (int i = 0; i < 3; ++i)
                app.draw_all(cr, 1920, 1080);
            std::vector<double> times, cpu;
            times.reserve(size_t(frames));
            cpu.reserve(size_t(frames));
            for (int i = 0; i < frames; ++i) {
                double start = bench::now_ms(), cpu_start = cpu_ms();
                app.draw_all(cr, 1920, 1080);
                cairo_surface_flush(surface);
                times.push_back(bench::now_ms() - start);
                cpu.push_back(cpu_ms() - cpu_start);
            }
            printf(
                "frame 1920x1080, %d entries per pane, %s: median %.2f ms, p90 %.2f ms, min %.2f ms over %d "
                "frames (target <= 8 ms)\n",
                app.pane_for(false).count(), scene.name, percentile(times, 0.5), percentile(times, 0.9),
                percentile(times, 0.0), frames);
            printf("  CPU time per frame: median %.2f ms, p90 %.2f ms\n", percentile(cpu, 0.5),
                   percentile(cpu, 0.9));
        }
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
    }
    remove_folder(dir, entries);
    return 0;
}
