// The real program under real X pointer events (xdotool): clicks, double clicks, drags and the wheel on
// the regions the program itself reports (the self-test step "hits" logs them in window pixels), at
// 100 % and at 150 %, and drag and drop between the panes and from another GTK program.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using e2e::Tavrin;

namespace {

constexpr double kWait = 30; // seconds; the machine may be loaded

struct Region {
    std::string kind;
    int param = 0;
    bool right = false;
    int x = 0, y = 0, w = 0, h = 0;
    bool menu = false, selected = false, cursor = false;
    std::string label;
    int cx() const { return x + w / 2; }
    int cy() const { return y + h / 2; }
};

// "hit Kind#param L x,y wxh [flags] label"
std::optional<Region> parse_region(const std::string& text) {
    std::istringstream in(text);
    std::string word, kind, side, pos, size;
    if (!(in >> word >> kind >> side >> pos >> size) || word != "hit") return std::nullopt;
    Region r;
    size_t hash = kind.find('#');
    r.kind = kind.substr(0, hash);
    r.param = std::atoi(kind.c_str() + hash + 1);
    r.right = side == "R";
    if (std::sscanf(pos.c_str(), "%d,%d", &r.x, &r.y) != 2 ||
        std::sscanf(size.c_str(), "%dx%d", &r.w, &r.h) != 2)
        return std::nullopt;
    std::string rest;
    std::getline(in, rest);
    for (;;) {
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        bool flag = false;
        for (auto [name, field] : {std::pair<const char*, bool*>{"overlay ", nullptr},
                                   {"menu ", &r.menu},
                                   {"selected ", &r.selected},
                                   {"cursor ", &r.cursor}}) {
            if (rest.rfind(name, 0) != 0) continue;
            if (field) *field = true;
            rest.erase(0, strlen(name));
            flag = true;
        }
        if (!flag) break;
    }
    r.label = rest;
    return r;
}

// The regions of the last frame the program logged in full.
std::vector<Region> regions(const Tavrin& t) {
    std::vector<std::string> lines = t.log_lines();
    std::vector<Region> block, last;
    bool inside = false;
    for (const std::string& l : lines) {
        size_t at = l.find("] ");
        if (at == std::string::npos) continue;
        const std::string text = l.substr(at + 2);
        if (text.rfind("hits: begin", 0) == 0) {
            inside = true;
            block.clear();
        } else if (text == "hits: end") {
            if (inside) last = block;
            inside = false;
        } else if (inside) {
            if (auto r = parse_region(text)) block.push_back(*r);
        }
    }
    return last;
}

using Match = std::function<bool(const Region&)>;

Match is(const std::string& kind, bool right = false) {
    return [=](const Region& r) { return r.kind == kind && r.right == right; };
}
Match named(const std::string& kind, const std::string& label, bool right = false) {
    return [=](const Region& r) { return r.kind == kind && r.right == right && r.label == label; };
}
Match numbered(const std::string& kind, int param, bool right = false) {
    return [=](const Region& r) { return r.kind == kind && r.right == right && r.param == param; };
}

std::optional<Region> find(const std::vector<Region>& all, const Match& m) {
    for (const Region& r : all)
        if (m(r)) return r;
    return std::nullopt;
}

// Waits until the last logged frame satisfies `ok`; false on time-out.
bool wait_frame(const Tavrin& t, const std::function<bool(const std::vector<Region>&)>& ok,
                double timeout_s = kWait) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    do {
        if (ok(regions(t))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

std::optional<Region> wait_for(const Tavrin& t, const Match& m, double timeout_s = kWait) {
    std::optional<Region> found;
    wait_frame(
        t, [&](const std::vector<Region>& all) { return (found = find(all, m)).has_value(); }, timeout_s);
    return found;
}

bool wait_gone(const Tavrin& t, const Match& m, double timeout_s = kWait) {
    return wait_frame(
        t, [&](const std::vector<Region>& all) { return !find(all, m); }, timeout_s);
}

// Names of the rows of one side in their order on screen.
std::vector<std::string> row_names(const std::vector<Region>& all, bool right = false) {
    std::vector<std::string> out;
    for (const Region& r : all)
        if (r.kind == "PaneRow" && r.right == right) out.push_back(r.label);
    return out;
}

std::vector<std::string> selected_rows(const std::vector<Region>& all, bool right = false) {
    std::vector<std::string> out;
    for (const Region& r : all)
        if (r.kind == "PaneRow" && r.right == right && r.selected) out.push_back(r.label);
    return out;
}

// The label of the last path segment of a side: the folder shown.
std::string shown_folder(const std::vector<Region>& all, bool right = false) {
    std::string last;
    for (const Region& r : all)
        if (r.kind == "PathSegment" && r.right == right) last = r.label;
    return last;
}

void xdo(const std::string& args) {
    testsupport::run("DISPLAY=" + e2e::XServer::instance().display() + " xdotool " + args);
}

std::string base_of(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Two folders, one per pane, at the scale of the test's parameter.
struct Fixture {
    Tavrin t;
    std::string left, right;
    explicit Fixture(int scale) : left(t.home() + "/left"), right(t.home() + "/right") {
        testsupport::make_dir(left);
        testsupport::make_dir(right);
        testsupport::make_dir(left + "/sub");
        testsupport::make_dir(left + "/sub/inner");
        const char* sizes[] = {"aaaaa", "b", "ccc", "dddd", "ee"};
        for (int i = 0; i < 5; ++i)
            testsupport::write_file(left + "/" + std::string(1, char('a' + i)) + ".txt", sizes[i]);
        if (scale != 100)
            t.put_config("settings.json", "{\n  \"font_scale\": " + std::to_string(scale) + "\n}\n");
    }
    bool start() {
        if (!t.start({"--left=" + left, "--right=" + right, "--active=left", "--action=hits:on"}, kWait))
            return false;
        return t.wait_log("selftest: done", kWait) && wait_for(t, is("PaneRow")).has_value();
    }
    // The region now on screen matching `m`; fails the test when it does not come.
    Region at(const Match& m) {
        std::optional<Region> r = wait_for(t, m);
        EXPECT_TRUE(r.has_value()) << t.log();
        return r.value_or(Region{});
    }
    void click(const Region& r, int button = 1) const { t.click(r.cx(), r.cy(), button); }
    void click_with(const std::string& key, const Region& r) const {
        xdo("windowfocus --sync " + t.window() + " keydown " + key + " mousemove --window " + t.window() +
            " " + std::to_string(r.cx()) + " " + std::to_string(r.cy()) + " click 1 keyup " + key);
    }
    // Press at one point, move there in steps, release: a drag as a hand makes it.
    void drag(int x0, int y0, int x1, int y1, bool window_relative = true) const {
        const std::string where = window_relative ? "--window " + t.window() + " " : "";
        std::string cmd = "mousemove " + where + std::to_string(x0) + " " + std::to_string(y0) +
                          " sleep 0.2 mousedown 1 sleep 0.2";
        for (int i = 1; i <= 8; ++i)
            cmd += " mousemove " + where + std::to_string(x0 + (x1 - x0) * i / 8) + " " +
                   std::to_string(y0 + (y1 - y0) * i / 8) + " sleep 0.15";
        xdo(cmd + " sleep 0.6 mouseup 1");
    }
    ~Fixture() {
        if (t.running()) {
            t.signal(SIGTERM);
            t.wait_exit(5);
        }
    }
};

// The drag source program, started at the top left of the screen, where the centred window is not.
struct DragSource {
    pid_t pid = -1;
    std::string out;
    DragSource(const std::string& dir, const std::vector<std::string>& uris, bool move = false)
        : out(dir + "/drag-source.txt") {
        pid = fork();
        if (pid == 0) {
            setenv("DISPLAY", e2e::XServer::instance().display().c_str(), 1);
            setenv("GTK_A11Y", "none", 1);
            setenv("NO_AT_BRIDGE", "1", 1);
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> argv{const_cast<char*>(TAVRIN_DRAG_SOURCE)};
            if (move) argv.push_back(const_cast<char*>("--move"));
            argv.push_back(const_cast<char*>("20"));
            argv.push_back(const_cast<char*>("20"));
            for (const std::string& u : uris)
                argv.push_back(const_cast<char*>(u.c_str()));
            argv.push_back(nullptr);
            execv(TAVRIN_DRAG_SOURCE, argv.data());
            _exit(127);
        }
    }
    bool wait_window() const {
        for (int i = 0; i < 150; ++i) {
            if (!testsupport::capture("DISPLAY=" + e2e::XServer::instance().display() +
                                      " xdotool search --onlyvisible --name '^drag-source$' 2>/dev/null")
                     .empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    ~DragSource() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

class PointerE2E : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(PointerE2E, RowsDoubleClickOnceSelectByModifiersAndDeferTheCollapse) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    // A double click enters the folder once (not also "inner", the first row of the folder entered).
    xdo("mousemove --window " + f.t.window() + " " + std::to_string(f.at(named("PaneRow", "sub")).cx()) +
        " " + std::to_string(f.at(named("PaneRow", "sub")).cy()) + " click --repeat 2 --delay 60 1");
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) { return shown_folder(all) == "sub"; })) << f.t.log();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(shown_folder(regions(f.t)), "sub");
    f.t.press("alt+Left");
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) { return shown_folder(all) == "left"; }));

    f.click(f.at(named("PaneRow", "a.txt")));
    f.click_with("ctrl", f.at(named("PaneRow", "c.txt")));
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) {
        return selected_rows(all) == std::vector<std::string>{"a.txt", "c.txt"};
    })) << f.t.log();
    f.click_with("shift", f.at(named("PaneRow", "e.txt")));
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) {
        return selected_rows(all) == std::vector<std::string>{"c.txt", "d.txt", "e.txt"};
    }));
    // A plain press on the selection keeps it until the release, which leaves only that row.
    const Region d = f.at(named("PaneRow", "d.txt"));
    xdo("mousemove --window " + f.t.window() + " " + std::to_string(d.cx()) + " " + std::to_string(d.cy()) +
        " mousedown 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(selected_rows(regions(f.t)).size(), 3u);
    xdo("mouseup 1");
    ASSERT_TRUE(wait_frame(
        f.t, [](const auto& all) { return selected_rows(all) == std::vector<std::string>{"d.txt"}; }));
}

TEST_P(PointerE2E, SortHeaderAndColumnEdge) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    const int size_key = 1; // dir_lister::SortKey::Size
    f.click(f.at(numbered("PaneHeader", size_key)));
    const std::vector<std::string> by_size = {"..", "sub", "b.txt", "e.txt", "c.txt", "d.txt", "a.txt"};
    const std::vector<std::string> reversed = {"..", "sub", "a.txt", "d.txt", "c.txt", "e.txt", "b.txt"};
    // Which way a first click sorts is the pane's business; the second click turns it round.
    ASSERT_TRUE(wait_frame(f.t, [&](const auto& all) {
        return row_names(all) == by_size || row_names(all) == reversed;
    })) << f.t.log();
    const bool up = row_names(regions(f.t)) == by_size;
    f.click(f.at(numbered("PaneHeader", size_key)));
    EXPECT_TRUE(
        wait_frame(f.t, [&](const auto& all) { return row_names(all) == (up ? reversed : by_size); }));

    // The size column's right edge dragged far to the left stops at 40 units, saved on release.
    const Region edge = f.at(numbered("ColumnResize", 0));
    f.drag(edge.cx(), edge.cy(), std::max(5, edge.cx() - 400), edge.cy());
    EXPECT_TRUE(wait_frame(f.t, [&](const auto&) {
        return f.t.settings().find("\"col_w_size\": 40") != std::string::npos;
    })) << f.t.settings();
    // Dragged to the right by 60 pixels: 40 units plus what 60 pixels are at this scale.
    const Region edge2 = f.at(numbered("ColumnResize", 0));
    f.drag(edge2.cx(), edge2.cy(), edge2.cx() + 60, edge2.cy());
    const int want = 40 + 60 * 100 / GetParam();
    EXPECT_TRUE(wait_frame(f.t, [&](const auto&) {
        const std::string s = f.t.settings();
        for (int w = want - 2; w <= want + 2; ++w)
            if (s.find("\"col_w_size\": " + std::to_string(w) + ",") != std::string::npos) return true;
        return false;
    })) << f.t.settings();
}

TEST_P(PointerE2E, PathSegmentAndDriveList) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    f.click(f.at(named("PathSegment", base_of(f.t.home()))));
    ASSERT_TRUE(wait_frame(f.t, [&](const auto& all) { return shown_folder(all) == base_of(f.t.home()); }))
        << f.t.log();
    f.click(f.at(numbered("PathSegment", 0)));
    ASSERT_TRUE(wait_frame(f.t, [&](const auto& all) { return shown_folder(all) == "/"; }));

    f.click(f.at(is("DrivePicker")));
    const Region home = f.at(named("DriveItem", f.t.home()));
    f.click(home);
    ASSERT_TRUE(wait_frame(f.t, [&](const auto& all) {
        return shown_folder(all) == base_of(f.t.home()) && !find(all, is("DriveItem"));
    })) << f.t.log();
}

TEST_P(PointerE2E, MenuBarHoverRowAndClickOutsideAndTheContextMenu) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    f.click(f.at(numbered("MenuTitle", 0)));
    ASSERT_TRUE(wait_for(f.t, [](const Region& r) { return r.kind == "MenuItem" && r.menu; }));
    // Hovering the View title opens its menu instead; its "show hidden" row runs.
    const Region view = f.at(numbered("MenuTitle", 2));
    xdo("mousemove --window " + f.t.window() + " " + std::to_string(view.cx()) + " " +
        std::to_string(view.cy()));
    const Region hidden = f.at(numbered("MenuItem", 22)); // Action::ToggleHidden
    xdo("mousemove --window " + f.t.window() + " " + std::to_string(hidden.cx()) + " " +
        std::to_string(hidden.cy()));
    // The hovered row is tinted, unlike the menu face beside the menu's rows; the frame may come late.
    bool tinted = false;
    for (int attempt = 0; attempt < 20 && !tinted; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::string shot = f.t.screenshot(f.t.home() + "/hover.png");
        ASSERT_FALSE(shot.empty());
        tinted =
            e2e::pixel_at(shot, hidden.x + 6, hidden.cy()) != e2e::pixel_at(shot, hidden.x + 1, hidden.y - 5);
    }
    EXPECT_TRUE(tinted);
    f.click(hidden);
    EXPECT_TRUE(f.t.wait_log("action: ToggleHidden", kWait));
    EXPECT_TRUE(wait_gone(f.t, is("MenuItem")));
    // Hidden files are shown by default; the row turned them off.
    EXPECT_TRUE(wait_frame(f.t, [&](const auto&) {
        return f.t.settings().find("\"show_hidden\": false") != std::string::npos;
    }));

    // A click outside an open menu closes it and does nothing else.
    f.click(f.at(numbered("MenuTitle", 0)));
    f.at([](const Region& r) { return r.kind == "MenuItem" && r.menu; });
    f.click(f.at(named("PaneRow", "d.txt", false)));
    ASSERT_TRUE(wait_gone(f.t, is("MenuItem")));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(selected_rows(regions(f.t)).empty());

    // The right button on a row selects it and opens the menu for it.
    f.click(f.at(named("PaneRow", "c.txt", false)), 3);
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) {
        return find(all, is("MenuItem")) && selected_rows(all) == std::vector<std::string>{"c.txt"};
    })) << f.t.log();
}

TEST_P(PointerE2E, WheelAndThumbDragToTheLastRow) {
    Fixture f(GetParam());
    for (int i = 0; i < 80; ++i)
        testsupport::write_file(f.right + "/n" + std::to_string(100 + i) + ".dat", "x");
    ASSERT_TRUE(f.start());
    const Region first = f.at(named("PaneRow", "n100.dat", true));
    f.click(first, 5); // a notch down scrolls by three rows
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) {
        auto rows = row_names(all, true);
        return !rows.empty() && rows.front() == "n102.dat"; // ".." and n100, n101 scrolled out
    })) << f.t.log();
    f.click(first, 4);
    ASSERT_TRUE(wait_for(f.t, named("PaneRow", "..", true)));

    const Region thumb = f.at(is("ScrollThumb", true));
    f.drag(thumb.cx(), thumb.cy(), thumb.cx(), f.t.geometry().height + 50);
    ASSERT_TRUE(wait_for(f.t, named("PaneRow", "n179.dat", true))) << f.t.log();
}

TEST_P(PointerE2E, BridgeCopyAndMoveProgressCancelAndResultDismiss) {
    Fixture f(GetParam());
    testsupport::write_file(f.left + "/held.bin", std::string(64 * 1024, 'h'));
    f.t.set_env("LD_PRELOAD", TAVRIN_BUILD_DIR "/shims/engine_block_read.so");
    f.t.set_env("TAVRIN_BLOCK_PATH", "held.bin");
    ASSERT_TRUE(f.start());
    f.click(f.at(named("PaneRow", "a.txt")));
    f.click(f.at(is("BridgeCopy", true)));
    ASSERT_TRUE(f.t.wait_log("result: Copied", kWait)) << f.t.log();
    EXPECT_EQ(testsupport::read_file(f.right + "/a.txt"), "aaaaa");
    EXPECT_TRUE(testsupport::exists(f.left + "/a.txt"));
    f.click(f.at(named("PaneRow", "b.txt")));
    f.click(f.at(is("BridgeMove", true)));
    ASSERT_TRUE(f.t.wait_log("result: Moved", kWait)) << f.t.log();
    EXPECT_TRUE(testsupport::exists(f.right + "/b.txt"));
    EXPECT_FALSE(testsupport::exists(f.left + "/b.txt"));

    // A copy that hangs on its read is cancelled from the panel; the result line is then dismissed.
    f.click(f.at(named("PaneRow", "held.bin")));
    f.click(f.at(is("BridgeCopy", true)));
    ASSERT_TRUE(f.t.wait_log("transfer start: COPY", kWait));
    // While it runs the bridge offers no buttons, rows take no clicks and a drop is refused.
    ASSERT_TRUE(wait_gone(f.t, is("BridgeCopy", true)));
    EXPECT_FALSE(find(regions(f.t), is("BridgeMove", true)));
    f.click(f.at(named("PaneRow", "d.txt")));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(selected_rows(regions(f.t)), std::vector<std::string>{"held.bin"});
    {
        DragSource source(f.t.home(), {"file://" + f.left + "/c.txt"});
        ASSERT_TRUE(source.wait_window());
        const e2e::WindowGeometry g = f.t.geometry();
        const Region target = f.at(named("PaneRow", "..", true));
        f.drag(120, 80, g.x + target.cx(), g.y + target.cy() + 2 * target.h, false);
        ASSERT_TRUE(f.t.wait_log("drop refused: work is running", kWait)) << f.t.log();
    }
    ASSERT_TRUE(f.t.wait_log("dialog opened: Message", kWait));
    EXPECT_FALSE(testsupport::exists(f.right + "/c.txt"));
    f.t.press("Escape");
    ASSERT_TRUE(f.t.wait_log("dialog closed: Message", kWait));
    f.click(f.at(is("ProgressCancel")));
    ASSERT_TRUE(f.t.wait_log(", cancelled", kWait)) << f.t.log();
    f.click(f.at(is("ResultDismiss")));
    EXPECT_TRUE(wait_gone(f.t, is("ResultDismiss")));
}

TEST_P(PointerE2E, TwoRowsDraggedToTheOtherPaneAreCopied) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    f.click(f.at(named("PaneRow", "c.txt")));
    f.click_with("ctrl", f.at(named("PaneRow", "e.txt")));
    ASSERT_TRUE(wait_frame(f.t, [](const auto& all) { return selected_rows(all).size() == 2; }));
    const Region from = f.at(named("PaneRow", "e.txt"));
    const Region to = f.at(named("PaneRow", "..", true));
    f.drag(from.cx(), from.cy(), to.cx(), to.cy() + 3 * to.h);
    ASSERT_TRUE(f.t.wait_log("drop: 2 item(s) -> " + f.right + " (copy, from pane)", kWait)) << f.t.log();
    ASSERT_TRUE(f.t.wait_log("result: Copied", kWait));
    EXPECT_EQ(testsupport::read_file(f.right + "/c.txt"), "ccc");
    EXPECT_EQ(testsupport::read_file(f.right + "/e.txt"), "ee");
    EXPECT_TRUE(testsupport::exists(f.left + "/c.txt"));

    // Dropped back onto its own pane, a drag does nothing.
    const Region back = f.at(named("PaneRow", "c.txt"));
    f.drag(back.cx(), back.cy(), back.cx() + 10, back.cy() + 3 * back.h);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(f.t.log().find("drop: 2 item(s) -> " + f.left), std::string::npos);
}

TEST_P(PointerE2E, FilesDroppedFromAnotherProgramAreCopiedIntoThePaneUnderThePointer) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    const std::string outside = f.t.home() + "/outside";
    testsupport::make_dir(outside);
    testsupport::write_file(outside + "/one.txt", "1");
    testsupport::write_file(outside + "/two words.txt", "2");
    DragSource source(f.t.home(),
                      {"file://" + outside + "/one.txt", "file://" + outside + "/two%20words.txt"});
    ASSERT_TRUE(source.wait_window()) << testsupport::read_file(source.out);
    const e2e::WindowGeometry g = f.t.geometry();
    const Region target = f.at(named("PaneRow", "..", true));
    f.drag(120, 80, g.x + target.cx(), g.y + target.cy() + 4 * target.h, false);
    ASSERT_TRUE(f.t.wait_log("drop: 2 item(s) -> " + f.right + " (copy, from outside)", kWait))
        << f.t.log() << testsupport::read_file(source.out);
    ASSERT_TRUE(f.t.wait_log("result: Copied", kWait));
    EXPECT_EQ(testsupport::read_file(f.right + "/one.txt"), "1");
    EXPECT_EQ(testsupport::read_file(f.right + "/two words.txt"), "2");
    EXPECT_TRUE(testsupport::exists(outside + "/one.txt"));
}

// A move dropped from another program is ours to carry out: the source must not be told to delete its files
// while the engine is still copying them (or at all, if the move fails half-way).
TEST_P(PointerE2E, AMoveDroppedFromAnotherProgramNeverAsksTheSourceToDelete) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    const std::string outside = f.t.home() + "/outside";
    testsupport::make_dir(outside);
    testsupport::write_file(outside + "/m1.txt", "m1");
    testsupport::write_file(outside + "/m2.txt", "m2");
    DragSource source(f.t.home(), {"file://" + outside + "/m1.txt", "file://" + outside + "/m2.txt"}, true);
    ASSERT_TRUE(source.wait_window()) << testsupport::read_file(source.out);
    const e2e::WindowGeometry g = f.t.geometry();
    const Region target = f.at(named("PaneRow", "..", true));
    f.drag(120, 80, g.x + target.cx(), g.y + target.cy() + 4 * target.h, false);
    ASSERT_TRUE(f.t.wait_log("drop: 2 item(s) -> " + f.right + " (move, from outside)", kWait))
        << f.t.log() << testsupport::read_file(source.out);
    ASSERT_TRUE(f.t.wait_log("result: Moved", kWait)) << f.t.log();
    EXPECT_EQ(testsupport::read_file(f.right + "/m1.txt"), "m1");
    EXPECT_EQ(testsupport::read_file(f.right + "/m2.txt"), "m2");
    EXPECT_FALSE(testsupport::exists(outside + "/m1.txt"));
    const std::string said = testsupport::read_file(source.out);
    EXPECT_NE(said.find("drag-end"), std::string::npos) << said;
    EXPECT_EQ(said.find("data-delete"), std::string::npos) << said;
}

TEST_P(PointerE2E, AWebAddressDroppedOntoAPaneIsRefused) {
    Fixture f(GetParam());
    ASSERT_TRUE(f.start());
    DragSource source(f.t.home(), {"http://example.com/file.txt"});
    ASSERT_TRUE(source.wait_window());
    const e2e::WindowGeometry g = f.t.geometry();
    const Region target = f.at(named("PaneRow", "..", false));
    f.drag(120, 80, g.x + target.cx(), g.y + target.cy() + 4 * target.h, false);
    ASSERT_TRUE(f.t.wait_log("drop refused: not a local file: http://example.com/file.txt", kWait))
        << f.t.log() << testsupport::read_file(source.out);
    EXPECT_TRUE(f.t.wait_log("dialog opened: Message", kWait));
    EXPECT_EQ(f.t.log().find("drop: "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Scales, PointerE2E, ::testing::Values(100, 150),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return "at" + std::to_string(p.param);
                         });
