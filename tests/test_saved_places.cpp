#include "config/bookmarks.h"
#include "child.h"
#include "base/logger.h"
#include "config/recent.h"
#include "temp_dir.h"
#include "config/window_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The bookmark and recent lists are loaded once per process, so every scenario runs in a child process
// of its own.
using testsupport::Checks;
using testsupport::in_child;

using testsupport::exists;
using testsupport::make_dir;
using testsupport::read_file;
using testsupport::write_file;

bool log_has(const std::string& text) {
    for (const auto& entry : Log::instance().recent()) {
        if (entry.text == text) return true;
    }
    return false;
}

std::vector<std::string> bookmark_paths() {
    std::vector<std::string> paths;
    for (const auto& b : bookmarks::all())
        paths.push_back(b.path);
    return paths;
}

class SavedPlaces : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::use_home(m_root.path(), m_root.path());
        m_config = m_root.sub("Tavrin");
        make_dir(m_config, 0755);
        chmod(m_root.path().c_str(), 0755);
    }
    std::string config_file(const std::string& name) const { return m_config + "/" + name; }
    // Real folders for the lists to point at.
    std::string folder(const std::string& name) {
        const std::string path = m_root.sub("places/" + name);
        make_dir(m_root.sub("places"));
        make_dir(path);
        return path;
    }

    testsupport::TempDir m_root{"saved-places"};
    std::string m_config;
};

// ---- window geometry ----

TEST_F(SavedPlaces, GeometryWithoutReadableFileIsInvalid) {
    for (bool directory_in_its_place : {false, true}) {
        SCOPED_TRACE(directory_in_its_place ? "directory" : "missing");
        if (directory_in_its_place) make_dir(WindowManager::instance().path());
        const WindowGeometry g = WindowManager::instance().load();
        EXPECT_FALSE(g.valid);
        EXPECT_EQ(g.width, 0);
        EXPECT_EQ(g.height, 0);
        EXPECT_FALSE(g.has_position);
        EXPECT_FALSE(g.maximized);
    }
}

TEST_F(SavedPlaces, GeometryLoadRules) {
    // width/height: the record's size (1100 x 720 below the minimum); saved_*: the numbers as found, from
    // which the window opens at no less than 1000 x 700.
    struct Case {
        const char* name;
        std::string text;
        int width, height, saved_width, saved_height, x, y;
        bool has_position, maximized;
    };
    const std::vector<Case> cases = {
        {"as written",
         "{\n  \"width\": 1280,\n  \"height\": 800,\n  \"x\": 40,\n  \"y\": 30,\n  \"maximized\": false\n}\n",
         1280, 800, 1280, 800, 40, 30, true, false},
        {"too narrow", R"({"width": 800, "height": 900, "x": 1, "y": 2})", 1100, 900, 800, 900, 1, 2, true,
         false},
        {"too low", R"({"width": 1500, "height": 500, "x": 1, "y": 2})", 1500, 720, 1500, 500, 1, 2, true,
         false},
        {"too small both ways", R"({"width": 800, "height": 500, "x": 10, "y": 10})", 1100, 720, 800, 500, 10,
         10, true, false},
        {"exactly the minimum", R"({"width": 1000, "height": 700, "x": 0, "y": 0})", 1000, 700, 1000, 700, 0,
         0, true, false},
        {"no x", R"({"width": 1200, "height": 800, "y": 5})", 1200, 800, 1200, 800, -1000000, 5, false,
         false},
        {"no y", R"({"width": 1200, "height": 800, "x": 5})", 1200, 800, 1200, 800, 5, -1000000, false,
         false},
        {"negative position on a left monitor", R"({"x": -1500, "y": -20})", 1100, 720, 1100, 720, -1500, -20,
         true, false},
        {"beyond 32 bits", R"({"width": 99999999999, "x": 4294967296, "y": 3})", 1100, 720, 1100, 720,
         -1000000, 3, false, false},
        {"not a number", R"({"width": "wide", "height": , "x": 7, "y": 8})", 1100, 720, 1100, 720, 7, 8, true,
         false},
        // The colon found is the one after "x", so the width reads as 7.
        {"key without colon", R"({"width" 1300, "x": 7, "y": 8})", 1100, 720, 7, 720, 7, 8, true, false},
        {"maximised", "{\"width\": 1200, \"height\": 800, \"maximized\": true}", 1200, 800, 1200, 800,
         -1000000, -1000000, false, true},
        {"maximised without the blank", "{\"maximized\":true}", 1100, 720, 1100, 720, -1000000, -1000000,
         false, false},
        {"empty file", "", 1100, 720, 1100, 720, -1000000, -1000000, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(WindowManager::instance().path(), c.text);
        const WindowGeometry g = WindowManager::instance().load();
        EXPECT_TRUE(g.valid);
        EXPECT_EQ(g.width, c.width);
        EXPECT_EQ(g.height, c.height);
        EXPECT_EQ(g.saved_width, c.saved_width);
        EXPECT_EQ(g.saved_height, c.saved_height);
        EXPECT_EQ(g.x, c.x);
        EXPECT_EQ(g.y, c.y);
        EXPECT_EQ(g.has_position, c.has_position);
        EXPECT_EQ(g.maximized, c.maximized);
    }
}

TEST_F(SavedPlaces, GeometrySaveWritesTheExactLayout) {
    const auto& wm = WindowManager::instance();
    EXPECT_EQ(wm.path(), config_file("geometry.json"));
    wm.save(-20, 35, 1280, 800, false);
    EXPECT_EQ(read_file(wm.path()), "{\n  \"width\": 1280,\n  \"height\": 800,\n  \"x\": -20,\n  \"y\": "
                                    "35,\n  \"maximized\": false\n}\n");
    EXPECT_FALSE(exists(wm.path() + ".tmp"));
    const WindowGeometry g = wm.load();
    EXPECT_EQ(g.width, 1280);
    EXPECT_EQ(g.height, 800);
    EXPECT_EQ(g.x, -20);
    EXPECT_EQ(g.y, 35);
    EXPECT_TRUE(g.has_position);
    EXPECT_FALSE(g.maximized);
}

TEST_F(SavedPlaces, GeometrySaveSkipsTinySizesUnlessMaximised) {
    struct Case {
        int width, height;
        bool maximized, written;
    };
    const std::vector<Case> cases = {
        {640, 480, false, false}, {999, 700, false, false}, {1000, 699, false, false},
        {1000, 700, false, true}, {640, 480, true, true},   {1920, 1080, true, true},
    };
    const auto& wm = WindowManager::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.maximized ? " max" : ""));
        write_file(wm.path(), "old");
        wm.save(1, 2, c.width, c.height, c.maximized);
        if (c.written) {
            const WindowGeometry g = wm.load();
            EXPECT_EQ(g.maximized, c.maximized);
            EXPECT_EQ(g.x, 1);
        } else {
            EXPECT_EQ(read_file(wm.path()), "old");
        }
    }
    // A maximised 640 x 480 is written as such and reopens at the usable minimum.
    wm.save(0, 0, 640, 480, true);
    EXPECT_NE(read_file(wm.path()).find("\"width\": 640,"), std::string::npos);
    const WindowGeometry g = wm.load();
    EXPECT_EQ(g.width, 1100);
    EXPECT_EQ(g.height, 720);
    EXPECT_TRUE(g.maximized);
}

TEST_F(SavedPlaces, GeometrySaveIntoUnwritableDirectoryKeepsTheOldFile) {
    const std::string path = WindowManager::instance().path();
    write_file(path, "{\"width\": 1300}");
    const std::string report = in_child([&] {
        Checks c;
        c.expect(testsupport::drop_to_nobody(), "drop privileges");
        WindowManager::instance().save(5, 5, 1400, 900, false);
        return c.failures;
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(path), "{\"width\": 1300}");
    EXPECT_FALSE(exists(path + ".tmp"));
}

// ---- bookmarks ----

TEST_F(SavedPlaces, BookmarksLoadKeepsOnlyWellFormedLines) {
    write_file(config_file("bookmarks.txt"), "docs\t/home/u/docs\n"
                                             "no tab here /x\n"
                                             "rel\trelative/path\n"
                                             "empty\t\n"
                                             "crlf\t/srv/data\r\n"
                                             "\t/nameless\n"
                                             "tabs\t/a\tb\n"
                                             "last\t/no/final/newline");
    const std::string report = in_child([&] {
        Checks c;
        const auto& all = bookmarks::all();
        c.equal(all.size(), size_t{5}, "count");
        if (all.size() == 5) {
            c.equal(all[0].name, std::string("docs"), "name 0");
            c.equal(all[0].path, std::string("/home/u/docs"), "path 0");
            c.equal(all[1].path, std::string("/srv/data"), "carriage return removed");
            c.equal(all[2].name, std::string(""), "empty name kept");
            c.equal(all[3].path, std::string("/a\tb"), "path after the first tab");
            c.equal(all[4].path, std::string("/no/final/newline"), "last line without newline");
        }
        c.expect(log_has("bookmarks: 5 loaded from " + config_file("bookmarks.txt")), "load log line");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(SavedPlaces, BookmarksAddRefusesAndNames) {
    const std::string docs = folder("Docs");
    const std::string report = in_child([&] {
        Checks c;
        struct Case {
            std::string path;
            bool added;
            std::string name;
        };
        const std::vector<Case> cases = {
            {docs, true, "Docs"},
            {docs, false, ""},              // already bookmarked
            {"/", true, "/"},               // the root is named by its path
            {"/srv/music/", true, "music"}, // trailing slash
            {"", false, ""},
            {"relative/dir", false, ""},
            {"/x/line\nbreak", false, ""}, // cannot be stored one per line
            {"/x/carriage\r", false, ""},
            {"/x/with\ttab", true, "with tab"}, // the name is display only
        };
        for (const auto& k : cases) {
            const size_t before = bookmarks::all().size();
            c.equal(bookmarks::add(k.path), k.added, "add result for [" + k.path + "]");
            if (k.added && bookmarks::all().size() == before + 1) {
                c.equal(bookmarks::all().back().name, k.name, "name for [" + k.path + "]");
                c.equal(bookmarks::all().back().path, k.path, "path for [" + k.path + "]");
            }
        }
        c.expect(bookmarks::contains(docs), "contains");
        c.expect(!bookmarks::contains(docs + "/"), "contains compares exactly");
        c.expect(log_has("bookmark added: " + docs), "added log line");
        c.equal(read_file(config_file("bookmarks.txt")),
                "Docs\t" + docs + "\n/\t/\nmusic\t/srv/music/\nwith tab\t/x/with\ttab\n", "file content");
        c.expect(!exists(config_file("bookmarks.txt.tmp")), "no temporary file left");
        return c.failures;
    });
    EXPECT_EQ(report, "");

    // A fresh process reads back the same list in the same order.
    const std::string reread = in_child([&] {
        Checks c;
        c.equal(bookmark_paths(), std::vector<std::string>{docs, "/", "/srv/music/", "/x/with\ttab"},
                "reread");
        return c.failures;
    });
    EXPECT_EQ(reread, "");
}

TEST_F(SavedPlaces, BookmarksRemove) {
    write_file(config_file("bookmarks.txt"), "a\t/a\nb\t/b\nc\t/c\n");
    const std::string report = in_child([&] {
        Checks c;
        c.expect(bookmarks::remove("/b"), "remove /b");
        c.expect(!bookmarks::remove("/b"), "remove /b twice");
        c.expect(!bookmarks::remove("/nothing"), "remove unknown");
        c.expect(!bookmarks::remove("/a/"), "remove compares exactly");
        c.equal(bookmark_paths(), std::vector<std::string>{"/a", "/c"}, "list");
        c.equal(read_file(config_file("bookmarks.txt")), std::string("a\t/a\nc\t/c\n"), "file");
        c.expect(log_has("bookmark removed: /b"), "removed log line");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(SavedPlaces, SavingBeforeAnythingWasReadKeepsTheFiles) {
    write_file(config_file("bookmarks.txt"), "a\t/a\n");
    write_file(config_file("recent.txt"), "/r\n");
    const std::string report = in_child([&] {
        bookmarks::save();
        recent::save();
        return std::string();
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(config_file("bookmarks.txt")), "a\t/a\n");
    EXPECT_EQ(read_file(config_file("recent.txt")), "/r\n");
}

// ---- recent folders ----

TEST_F(SavedPlaces, RecentMovesRevisitedFolderToTheFront) {
    const std::string a = folder("A"), b = folder("B");
    const std::string report = in_child([&] {
        Checks c;
        recent::add(a);
        recent::add(b);
        recent::add(a);
        c.equal(recent::all(), std::vector<std::string>{a, b}, "A, B, A gives A, B");
        c.equal(read_file(config_file("recent.txt")), a + "\n" + b + "\n", "file");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(SavedPlaces, RecentKeepsTheLastTen) {
    std::vector<std::string> folders;
    for (int i = 0; i < 11; ++i)
        folders.push_back(folder("f" + std::to_string(i)));
    const std::string report = in_child([&] {
        Checks c;
        for (const auto& f : folders)
            recent::add(f);
        const std::vector<std::string> expected(folders.rbegin(), folders.rbegin() + 10);
        c.equal(recent::all(), expected, "ten most recent, newest first");
        std::string file;
        for (const auto& f : expected)
            file += f + "\n";
        c.equal(read_file(config_file("recent.txt")), file, "file");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(SavedPlaces, RecentIgnoresUnusablePathsAndRepeatsOfTheFirst) {
    const std::string a = folder("A");
    const std::string report = in_child([&] {
        Checks c;
        recent::add(a);
        // Already first: nothing is written, so a removed file stays removed.
        unlink(config_file("recent.txt").c_str());
        recent::add(a);
        c.expect(!exists(config_file("recent.txt")), "no write for the first entry again");
        for (const std::string bad : {"", "relative", "/x/line\nbreak", "/x/cr\r"}) {
            recent::add(bad);
            c.expect(!exists(config_file("recent.txt")), "ignored [" + bad + "]");
        }
        c.equal(recent::all(), std::vector<std::string>{a}, "list");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

TEST_F(SavedPlaces, RecentLoadAndVanishedFolders) {
    const std::string kept = folder("kept"), gone = folder("gone");
    std::string text = kept + "\r\n\n" + gone + "\nrelative\n";
    for (int i = 0; i < 12; ++i)
        text += "/nonexistent/" + std::to_string(i) + "\n";
    write_file(config_file("recent.txt"), text);
    rmdir(gone.c_str());
    const std::string report = in_child([&] {
        Checks c;
        c.equal(recent::all(), std::vector<std::string>{kept}, "only existing folders are offered");
        // The vanished entry stays in the file until it is pushed out; the file held ten entries.
        const std::string other = "/nonexistent/new";
        recent::add(other);
        std::string expected = other + "\n" + kept + "\n" + gone + "\n";
        for (int i = 0; i < 7; ++i)
            expected += "/nonexistent/" + std::to_string(i) + "\n";
        c.equal(read_file(config_file("recent.txt")), expected, "file keeps vanished entries");
        return c.failures;
    });
    EXPECT_EQ(report, "");
}

// The list used to be rewritten in place, so a crash or a full disk mid-write lost it. It now goes
// through "recent.txt.tmp" and a rename.
TEST_F(SavedPlaces, RecentSaveReplacesTheFileInsteadOfRewritingIt) {
    const std::string a = folder("A");
    const std::string list = config_file("recent.txt");
    write_file(list, "/old/entry\n");
    // A second name for the old file's contents: writing in place would change it too.
    const std::string witness = m_root.sub("witness");
    ASSERT_EQ(link(list.c_str(), witness.c_str()), 0);
    const std::string report = in_child([&] {
        Checks c;
        recent::add(a);
        c.equal(read_file(list), a + "\n/old/entry\n", "new list");
        c.expect(!exists(list + ".tmp"), "no temporary file left");
        return c.failures;
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(witness), "/old/entry\n");
}

TEST_F(SavedPlaces, RecentFailedWriteKeepsTheOldListAndWarns) {
    const std::string a = folder("A");
    const std::string list = config_file("recent.txt");
    write_file(list, "/old/entry\n");
    // Every write to the temporary file fails with "no space left".
    ASSERT_EQ(symlink("/dev/full", (list + ".tmp").c_str()), 0);
    const std::string report = in_child([&] {
        Checks c;
        recent::add(a);
        c.expect(log_has("recent: cannot write " + list), "warning");
        return c.failures;
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(list), "/old/entry\n");
}

TEST_F(SavedPlaces, RecentUnwritableDirectoryWarnsAndKeepsTheOldList) {
    const std::string a = folder("A");
    const std::string list = config_file("recent.txt");
    write_file(list, "/old/entry\n");
    const std::string report = in_child([&] {
        Checks c;
        c.expect(testsupport::drop_to_nobody(), "drop privileges");
        recent::add(a);
        c.expect(log_has("recent: cannot write " + list), "warning");
        return c.failures;
    });
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(list), "/old/entry\n");
    EXPECT_FALSE(exists(list + ".tmp"));
}

} // namespace
