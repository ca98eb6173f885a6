// The interface's share of a big copy: while the copy engine copies a folder of 20,000 small files, the
// 100 ms tick runs on this thread with the drawing of the progress band that follows it (a fresh
// snapshot of the engine, the bar, the counts, the current file). Median CPU time of this thread per tick
// (target: under 2 ms, so that the window stays smooth during a transfer). The tick runs every 10 ms here
// so that one copy gives a few hundred samples; a whole 1920 x 1080 frame per tick is measured beside it.
//
// Usage: bench_tick [files, default 20000] [bytes per file, default 512]

#include "../tests/support/app_peer.h"
#include "base/i18n.h"
#include "bench_util.h"
#include "engine/copy_engine.h"
#include "ui/app.h"

#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

bool fill_tree(const std::string& dir, int files, int bytes) {
    const std::string content(static_cast<size_t>(bytes), 'x');
    for (int i = 0; i < files; ++i) {
        // A hundred files per folder, as a photo or source tree has them.
        const std::string sub = dir + "/d" + std::to_string(i / 100);
        if (i % 100 == 0 && mkdir(sub.c_str(), 0755) != 0) return perror(sub.c_str()), false;
        const std::string path = sub + "/f" + std::to_string(i);
        FILE* f = fopen(path.c_str(), "wb");
        if (!f || fwrite(content.data(), 1, content.size(), f) != content.size()) return perror(path.c_str()), false;
        fclose(f);
    }
    return true;
}

struct Samples {
    std::vector<double> tick_and_band, tick_and_frame;
};

// Ticks until the copy has ended, alternating the band and the whole frame after each tick.
Samples measure(App& app, AppTestPeer& peer) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1920, 1080);
    cairo_t* cr = cairo_create(surface);
    Samples s;
    copy_engine::Engine& engine = copy_engine::instance();
    for (int i = 0; engine.is_running(); ++i) {
        const double start = bench::thread_cpu_ms();
        peer.tick();
        if (i % 2 == 0) {
            peer.draw_progress_band(cr, 1920, 1080);
            cairo_surface_flush(surface);
            s.tick_and_band.push_back(bench::thread_cpu_ms() - start);
        } else {
            app.draw_all(cr, 1920, 1080);
            cairo_surface_flush(surface);
            s.tick_and_frame.push_back(bench::thread_cpu_ms() - start);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    peer.tick(); // the tick that reports the end and reaps the engine
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return s;
}

} // namespace

int main(int argc, char** argv) {
    const auto [files, bytes] =
        bench::counts_from_args(argc, argv, 20000, 512, "bench_tick [files] [bytes per file]");
    const std::string root = bench::make_temp_dir("bench-tick");
    // The program's settings and log go to a folder of the benchmark's own.
    setenv("HOME", root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    I18n::instance().set_language("en");
    const std::string src = root + "/src", dst = root + "/dst";
    if (mkdir(src.c_str(), 0755) != 0 || mkdir(dst.c_str(), 0755) != 0 || mkdir((src + "/tree").c_str(), 0755))
        return perror("mkdir"), 1;
    const double t0 = bench::now_ms();
    if (!fill_tree(src + "/tree", files, bytes)) return 1;
    printf("made %d files of %d bytes in %.0f ms\n", files, bytes, bench::now_ms() - t0);
    {
        App app;
        AppTestPeer peer(app);
        app.pane_for(false).navigate_to(src, true);
        app.pane_for(true).navigate_to(dst, true);
        const double c0 = bench::now_ms();
        if (!app.run_self_test_step("cursor:tree") || !app.run_self_test_step("CopyToOther") ||
            !copy_engine::instance().is_running()) {
            fprintf(stderr, "the copy did not start\n");
            return 1;
        }
        Samples s = measure(app, peer);
        const App::LastResult& r = peer.result();
        printf("copy of %lld files took %.0f ms (%zu failed)\n", static_cast<long long>(r.files),
               bench::now_ms() - c0, r.failures);
        if (r.files != files || s.tick_and_band.empty()) {
            fprintf(stderr, "the copy did not copy every file, or ended before a tick\n");
            return 1;
        }
        printf("tick + progress band while copying: median %.3f ms CPU over %zu ticks (target < 2 ms)\n",
               bench::median(s.tick_and_band), s.tick_and_band.size());
        printf("  tick + whole 1920x1080 frame:      median %.3f ms CPU over %zu ticks\n",
               bench::median(s.tick_and_frame), s.tick_and_frame.size());
    }
    const std::string cmd = "rm -rf '" + root + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());
    return 0;
}
