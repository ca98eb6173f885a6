// The real program under Xvfb: start lines, window size and placement, command line, signals, settings.
#include "harness.h"

#include <gtest/gtest.h>

#include <regex>
#include <signal.h>
#include <unistd.h>

using e2e::Tavrin;

namespace {

std::vector<std::string> lines_matching(const std::vector<std::string>& lines, const std::string& needle) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
}

std::string settings_value(const std::string& settings, const std::string& key) {
    std::regex re("\\n  \"" + key + "\": ([^\\n]*?),?\\n");
    std::smatch m;
    if (std::regex_search(settings, m, re)) return m[1];
    return "";
}

std::string json_str(const std::string& s) {
    return "\"" + s + "\"";
}

} // namespace

TEST(Startup, OpensWindowAndLogsTheFourStartLinesInOrder) {
    Tavrin t;
    ASSERT_TRUE(t.start());
    e2e::WindowGeometry g = t.geometry();
    EXPECT_GE(g.width, 1000);
    EXPECT_GE(g.height, 700);

    auto lines = t.log_lines();
    const std::regex line_format(R"(^\d\d:\d\d:\d\d\.\d{3} (DEBUG|INFO |WARN |ERROR) \[.{4,}\] .*$)");
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_match(l, line_format)) << l;

    const std::vector<std::regex> expected = {
        std::regex(R"(INFO  \[ui  \] Tavrin 1\.0\.5 \(build 1162\) starting$)"),
        std::regex(R"(INFO  \[ui  \] \d+ CPU cores available, copy streams: automatic$)"),
        std::regex(
            R"(INFO  \[ui  \] package (snap|flatpak|appimage|system|dev), uid \d+( \(ROOT\))?( via .+)?$)"),
        std::regex(R"(INFO  \[ui  \] language en, theme light$)"),
    };
    size_t next = 0;
    for (const auto& l : lines)
        if (next < expected.size() && std::regex_search(l, expected[next])) ++next;
    EXPECT_EQ(next, expected.size()) << t.log();
    // The start-up benchmark reads this line; it comes once, after the start lines.
    EXPECT_TRUE(t.wait_log("first frame drawn "));
    EXPECT_EQ(lines_matching(t.log_lines(), "first frame drawn ").size(), 1u);

    EXPECT_TRUE(t.signal(SIGTERM));
    EXPECT_EQ(t.wait_exit(5), 0);
}

class SignalShutdown : public ::testing::TestWithParam<int> {};

TEST_P(SignalShutdown, EndsWithStatusZeroWithinASecondAndSavesSettings) {
    Tavrin t;
    testsupport::make_dir(t.home() + "/somewhere");
    ASSERT_TRUE(t.start({"--left=" + t.home() + "/somewhere"}));
    ASSERT_TRUE(t.signal(GetParam()));
    double took = 0;
    EXPECT_EQ(t.wait_exit(5, &took), 0);
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(lines_matching(t.log_lines(), "signal received, shutting down").size(), 1u);
    std::string s = t.settings();
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(settings_value(s, "left_path"), json_str(t.home() + "/somewhere"));
    EXPECT_EQ(s.substr(0, 2), "{\n");
    EXPECT_EQ(s.substr(s.size() - 2), "}\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalShutdown, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(Startup, LeftArgumentOverridesOnlyTheLeftPane) {
    Tavrin t;
    std::string a = t.home() + "/from-arg", saved_left = t.home() + "/saved-left",
                saved_right = t.home() + "/saved-right";
    for (const auto& d : {a, saved_left, saved_right})
        testsupport::make_dir(d);
    t.put_config("settings.json",
                 "{\n  \"left_path\": \"" + saved_left + "\",\n  \"right_path\": \"" + saved_right +
                     "\",\n  \"right_sort_key\": \"size\",\n  \"right_sort_asc\": false\n}\n");
    ASSERT_TRUE(t.start({"--left=" + a, "--active=sideways"}));
    EXPECT_TRUE(
        t.wait_log("state taken over from the calling instance: left " + a + ", right " + saved_right));
    ASSERT_TRUE(t.signal(SIGTERM));
    ASSERT_EQ(t.wait_exit(5), 0);
    std::string s = t.settings();
    EXPECT_EQ(settings_value(s, "left_path"), json_str(a));
    EXPECT_EQ(settings_value(s, "right_path"), json_str(saved_right));
    EXPECT_EQ(settings_value(s, "right_sort_key"), json_str("size"));
    EXPECT_EQ(settings_value(s, "right_sort_asc"), "false");
    EXPECT_EQ(settings_value(s, "left_sort_key"), json_str("name"));
}

TEST(Startup, MissingSavedFolderFallsBackToHome) {
    Tavrin t;
    t.put_config("settings.json", "{\n  \"left_path\": \"/no/such/folder/anywhere\"\n}\n");
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(t.signal(SIGTERM));
    ASSERT_EQ(t.wait_exit(5), 0);
    std::string s = t.settings();
    EXPECT_EQ(settings_value(s, "left_path"), json_str(t.home()));
    EXPECT_EQ(settings_value(s, "right_path"), json_str(t.home()));
}

struct GeometryCase {
    const char* name;
    std::string saved; // geometry.json content, empty for none
    std::vector<std::string> args;
    int width, height;      // expected size
    int x, y;               // expected position, -1 when centred
    const char* log_needle; // a line the log must hold, or null
};

class StartGeometry : public ::testing::TestWithParam<GeometryCase> {};

std::string geometry_json(int w, int h, int x, int y, bool max = false) {
    return "{\n  \"width\": " + std::to_string(w) + ",\n  \"height\": " + std::to_string(h) +
           ",\n  \"x\": " + std::to_string(x) + ",\n  \"y\": " + std::to_string(y) +
           ",\n  \"maximized\": " + (max ? "true" : "false") + "\n}\n";
}

TEST_P(StartGeometry, SizeAndPlacement) {
    const GeometryCase& c = GetParam();
    Tavrin t;
    if (!c.saved.empty()) t.put_config("geometry.json", c.saved);
    ASSERT_TRUE(t.start(c.args));
    e2e::WindowGeometry g = t.geometry();
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.height, c.height);
    if (c.x >= 0) {
        EXPECT_EQ(g.x, c.x);
        EXPECT_EQ(g.y, c.y);
    } else {
        // Centred on the 1920x1080 screen.
        EXPECT_EQ(g.x, (1920 - c.width) / 2);
        EXPECT_EQ(g.y, (1080 - c.height) / 2);
    }
    if (c.log_needle) {
        EXPECT_TRUE(t.wait_log(c.log_needle)) << t.log();
    }
    t.signal(SIGTERM);
    EXPECT_EQ(t.wait_exit(5), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartGeometry,
    ::testing::Values(
        GeometryCase{"NothingSaved",
                     "",
                     {},
                     1100,
                     720,
                     -1,
                     -1,
                     "centred at 410,180 (1100x720) on monitor 1920x1080+0+0"},
        GeometryCase{
            "SavedSizeAndPosition", geometry_json(1300, 760, 40, 50), {}, 1300, 760, 40, 50, nullptr},
        GeometryCase{"SavedTooSmall", geometry_json(800, 500, 10, 10), {}, 1000, 700, 10, 10, nullptr},
        GeometryCase{"SavedOffEveryMonitor",
                     geometry_json(1200, 800, 5000, 4000),
                     {},
                     1200,
                     800,
                     -1,
                     -1,
                     "saved position 5000,4000 (1200x800) fits no current monitor — centring"},
        GeometryCase{"ArgumentWins",
                     geometry_json(1300, 760, 40, 50),
                     {"--geometry=1200x800+30+20"},
                     1200,
                     800,
                     30,
                     20,
                     "geometry taken over from the calling instance: 1200x800+30+20"},
        GeometryCase{"ArgumentRaisedToMinimum", "", {"--geometry=640x480+5+6"}, 1000, 700, 5, 6, nullptr},
        GeometryCase{"ZeroWidthIgnored",
                     geometry_json(1300, 760, 40, 50),
                     {"--geometry=0x800+30+20"},
                     1300,
                     760,
                     40,
                     50,
                     nullptr},
        GeometryCase{"ThreeNumbersIgnored",
                     geometry_json(1300, 760, 40, 50),
                     {"--geometry=1200x800+30"},
                     1300,
                     760,
                     40,
                     50,
                     nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Startup, PaintsThePaletteWindowColour) {
    for (const char* theme : {"light", "dark"}) {
        Tavrin t;
        t.put_config("settings.json", std::string("{\n  \"theme\": \"") + theme + "\"\n}\n");
        ASSERT_TRUE(t.start());
        std::string shot = t.screenshot(std::string(TAVRIN_BUILD_DIR) + "/e2e-startup-" + theme + ".png");
        ASSERT_FALSE(shot.empty());
        // The 1100-unit window puts the bridge at 508..592; its left margin beside the buttons shows the
        // window colour.
        const bool dark = std::string(theme) == "dark";
        EXPECT_EQ(e2e::pixel_at(shot, 510, 400), dark ? "#16181C" : "#EDEEF0");
        // The whole frame is there: menu bar and status bar in the bar colour, the active (left) pane's
        // banner in the source tint, the other pane's in the target tint (banners at 94..122).
        EXPECT_EQ(e2e::pixel_at(shot, 1000, 15), dark ? "#1E2126" : "#F7F8FA") << "menu bar";
        EXPECT_EQ(e2e::pixel_at(shot, 300, 716), dark ? "#1E2126" : "#F7F8FA") << "status bar";
        EXPECT_EQ(e2e::pixel_at(shot, 250, 108), dark ? "#E08A4F" : "#B4531A") << "source banner";
        EXPECT_EQ(e2e::pixel_at(shot, 850, 108), dark ? "#5BD48D" : "#1F7A45") << "target banner";
        EXPECT_TRUE(t.wait_log(std::string("language en, theme ") + theme));
        t.signal(SIGTERM);
        EXPECT_EQ(t.wait_exit(5), 0);
    }
}

TEST(Startup, StartFoldersAreRecentAndIdleTicksWriteNoSettings) {
    Tavrin t;
    std::string a = t.home() + "/left-start";
    testsupport::make_dir(a);
    ASSERT_TRUE(t.start({"--left=" + a}));
    // Several ticks pass without a change of folder or order: nothing may be written.
    usleep(600 * 1000);
    EXPECT_FALSE(testsupport::exists(t.config_file("settings.json")));
    EXPECT_EQ(testsupport::read_file(t.config_file("recent.txt")), t.home() + "\n" + a + "\n");
    ASSERT_TRUE(t.signal(SIGTERM));
    ASSERT_EQ(t.wait_exit(5), 0);
    EXPECT_TRUE(testsupport::exists(t.config_file("settings.json")));
    EXPECT_FALSE(testsupport::exists(t.config_file("recent.txt.tmp")));
}

TEST(Startup, StoredLanguageIsUsedAndLogged) {
    for (const char* code : {"ar", "de", "zh_TW"}) {
        Tavrin t;
        t.put_config("settings.json",
                     std::string("{\n  \"language\": \"") + code + "\",\n  \"theme\": \"dark\"\n}\n");
        ASSERT_TRUE(t.start());
        EXPECT_TRUE(t.wait_log(std::string("language ") + code + ", theme dark")) << t.log();
        t.signal(SIGTERM);
        EXPECT_EQ(t.wait_exit(5), 0);
        EXPECT_NE(t.settings().find(std::string("\"language\": \"") + code + "\""), std::string::npos);
    }
}

TEST(Startup, ActiveArgumentChoosesTheSourcePane) {
    struct Case {
        const char* arg;
        bool right_active;
    };
    for (const Case& c : {Case{"--active=right", true}, Case{"--active=left", false},
                          Case{"--active=RIGHT", false}, Case{"--active=", false}}) {
        Tavrin t;
        ASSERT_TRUE(t.start({c.arg}));
        std::string shot = t.screenshot(t.home() + "/active.png");
        ASSERT_FALSE(shot.empty());
        const char* source = "#B4531A";
        const char* target = "#1F7A45";
        EXPECT_EQ(e2e::pixel_at(shot, 250, 108), c.right_active ? target : source) << c.arg;
        EXPECT_EQ(e2e::pixel_at(shot, 850, 108), c.right_active ? source : target) << c.arg;
        t.signal(SIGTERM);
        EXPECT_EQ(t.wait_exit(5), 0);
    }
}
