// Saving the pane state: what the tick writes when a folder or an order changes, and what it leaves alone.
// Each scenario runs in a child process: settings, recent folders and the log are process-wide.
#include "ui/app.h"
#include "child.h"
#include "base/logger.h"
#include "config/recent.h"
#include "config/settings.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using testsupport::Checks;
using testsupport::in_child;
using testsupport::TempDir;

namespace {

// A configuration folder of its own, set before any process-wide store is touched.
struct Home {
    TempDir dir{"app-state"};
    Home() {
        testsupport::make_dir(dir.sub("a"));
        testsupport::make_dir(dir.sub("b"));
        testsupport::make_dir(dir.sub("c"));
    }
    void enter() const {
        setenv("HOME", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.sub("config").c_str(), 1);
    }
    std::string settings_file() const { return dir.sub("config/Tavrin/settings.json"); }
    std::string recent_file() const { return dir.sub("config/Tavrin/recent.txt"); }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void start_app(App& app, const std::string& left, const std::string& right) {
    std::vector<std::string> args = {"tavrin", "--left=" + left, "--right=" + right};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    app.parse_args(int(args.size()), argv.data());
    SettingsStore::instance().load();
    app.load_state();
}

// Runs `body` in a child with an App started on folders a (left) and b (right) of `h`; returns the
// failures it recorded.
std::string with_app(const Home& h, const std::function<void(App&, Checks&)>& body, bool as_nobody = false) {
    return in_child([&] {
        h.enter();
        Checks c;
        if (as_nobody) {
            // A configuration folder that nobody may write into.
            testsupport::make_dir(h.dir.sub("open"), 0777);
            setenv("XDG_CONFIG_HOME", h.dir.sub("open").c_str(), 1);
            if (!testsupport::drop_to_nobody()) return std::string("could not drop privileges");
        }
        App app;
        start_app(app, h.dir.sub("a"), h.dir.sub("b"));
        body(app, c);
        return c.failures;
    });
}

bool missing(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) != 0;
}

} // namespace

TEST(AppState, NothingChangedWritesNothing) {
    Home h;
    std::string out = with_app(h, [&](App& app, Checks& c) {
        for (int tick = 0; tick < 5; ++tick)
            app.save_state_if_changed();
        c.expect(missing(h.settings_file()), "settings written without a change");
    });
    EXPECT_EQ(out, "");
}

TEST(AppState, AChangeOfFolderIsSavedAtOnceAndBecomesRecent) {
    Home h;
    std::string out = with_app(h, [&](App& app, Checks& c) {
        app.pane_for(true).navigate_to(h.dir.sub("c"), true);
        app.save_state_if_changed();
        std::string s = testsupport::read_file(h.settings_file());
        c.expect(contains(s, "\"left_path\": \"" + h.dir.sub("a") + "\","), "left path: " + s);
        c.expect(contains(s, "\"right_path\": \"" + h.dir.sub("c") + "\","), "right path: " + s);
        c.equal(testsupport::read_file(h.recent_file()),
                h.dir.sub("c") + "\n" + h.dir.sub("b") + "\n" + h.dir.sub("a") + "\n", "recent order");
        // Written once: a second tick without a change leaves the file alone.
        ::unlink(h.settings_file().c_str());
        app.save_state_if_changed();
        c.expect(missing(h.settings_file()), "written again without a change");
    });
    EXPECT_EQ(out, "");
}

TEST(AppState, AChangeOfSortOrderAloneIsSaved) {
    Home h;
    std::string out = with_app(h, [&](App& app, Checks& c) {
        std::string recent_before = testsupport::read_file(h.recent_file());
        app.pane_for(false).set_sort_order({dir_lister::SortKey::Modified, false, true});
        app.save_state_if_changed();
        std::string s = testsupport::read_file(h.settings_file());
        c.expect(contains(s, "\"left_sort_key\": \"modified\","), "left key: " + s);
        c.expect(contains(s, "\"left_sort_asc\": false,"), "left direction: " + s);
        c.expect(contains(s, "\"right_sort_key\": \"name\","), "right key: " + s);
        c.equal(testsupport::read_file(h.recent_file()), recent_before, "recent unchanged by a sort");
    });
    EXPECT_EQ(out, "");
}

TEST(AppState, AFolderWithoutRightsIsLoggedAsPermissionDenied) {
    Home h;
    testsupport::make_dir(h.dir.sub("closed"), 0700);
    ::chmod(h.dir.path().c_str(), 0755);
    std::string out = with_app(
        h,
        [&](App& app, Checks& c) {
            app.pane_for(false).navigate_to(h.dir.sub("closed"), true);
            app.save_state_if_changed();
            c.expect(!app.left().error().empty(), "no error shown for the closed folder");
            int found = 0;
            for (const auto& e : Log::instance().recent())
                if (e.text == "permission denied: " + h.dir.sub("closed")) ++found;
            c.equal(found, 1, "permission denied logged once");
            app.save_state_if_changed();
            found = 0;
            for (const auto& e : Log::instance().recent())
                if (e.text == "permission denied: " + h.dir.sub("closed")) ++found;
            c.equal(found, 1, "logged once per change of folder");
        },
        true);
    EXPECT_EQ(out, "");
}
