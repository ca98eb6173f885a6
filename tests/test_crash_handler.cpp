// Every crash happens in a forked child that installs the handler; the parent checks how the child died
// and what the report says. This file has its own main(): when the handler starts this test program as
// the notice process ("--crash-notice=..."), it records what it was given instead of running the tests.
#include "ui/crash_handler.h"

#include "child.h"
#include "temp_dir.h"
#include "xserver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::exists;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::wait_bounded;
using testsupport::XServer;

constexpr const char* kMarkerEnv = "TAVRIN_TEST_NOTICE_MARKER";

// ---- the crashes; noinline so that each shows up as its own frame with its own name ----------------

volatile int g_zero = 0;
volatile int g_depth_limit = INT_MAX;

[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crash_null_write() {
    volatile int* volatile p = nullptr;
    p[4] = 1; // address 0x10
}

[[gnu::noinline]] void crash_abort() {
    std::abort();
}

[[gnu::noinline]] void crash_raise(int sig) {
    raise(sig);
    g_zero = 1; // not a tail call: keep this frame
}

[[gnu::noinline, gnu::no_sanitize("undefined")]] void crash_divide() {
    g_zero = 100 / g_zero;
}

[[gnu::noinline]] void crash_trap() {
    __builtin_trap();
}

[[gnu::noinline]] int crash_recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_depth_limit) return 0;
    return crash_recurse(depth + 1) + frame[0];
}

[[gnu::noinline]] void crash_in_thread() {
    std::thread t(crash_null_write);
    t.join();
}

// ---- child processes -----------------------------------------------------------------------------

struct CrashEnv {
    std::optional<std::string> xdg_runtime_dir; // nullopt: unset
    std::optional<std::string> tmpdir;
    bool silent = true;
    std::string marker; // where the test notice writes what it saw
};

void apply(const CrashEnv& s, const TempDir& dir) {
    auto set = [](const char* name, const std::optional<std::string>& v) {
        if (v)
            setenv(name, v->c_str(), 1);
        else
            unsetenv(name);
    };
    set("XDG_RUNTIME_DIR", s.xdg_runtime_dir);
    set("TMPDIR", s.tmpdir);
    setenv("XDG_CONFIG_HOME", dir.sub("config").c_str(), 1);
    if (!s.marker.empty()) setenv(kMarkerEnv, s.marker.c_str(), 1);
    CrashHandler::set_silent(s.silent);
    // No core files from the crashes on purpose.
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
}

struct Crash {
    pid_t pid = -1;
    std::optional<int> status;
};

// Forks a child that installs the handler under `setup` and runs `crash`.
Crash crash_child(const CrashEnv& setup, const TempDir& dir, const std::function<void()>& crash) {
    Crash c;
    c.pid = fork();
    if (c.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        apply(setup, dir);
        CrashHandler::install();
        crash();
        _exit(0); // the crash did not happen
    }
    c.status = wait_bounded(c.pid, std::chrono::seconds(30));
    return c;
}

std::string describe(const std::optional<int>& status) {
    if (!status) return "hung";
    if (WIFSIGNALED(*status)) return std::string("killed by ") + strsignal(WTERMSIG(*status));
    if (WIFEXITED(*status)) return "exited with " + std::to_string(WEXITSTATUS(*status));
    return "?";
}

std::string utc_date_now() {
    time_t t = time(nullptr);
    tm parts{};
    gmtime_r(&t, &parts);
    char buf[16];
    strftime(buf, sizeof buf, "%Y-%m-%d", &parts);
    return buf;
}

struct CrashCase {
    const char* name;
    std::function<void()> crash;
    int signal;
    const char* signal_name;
    const char* function; // must appear in the backtrace
    const char* origin;   // "Address:     0x..." for a fault, "Sent by:     pid " for a raised signal
    bool other_thread = false;
};

TEST(CrashHandler, ReportsEveryFatalSignalAndDiesByIt) {
    const std::vector<CrashCase> cases = {
        {"null write", crash_null_write, SIGSEGV, "SIGSEGV", "crash_null_write", "Address:     0x10\n"},
        {"abort", crash_abort, SIGABRT, "SIGABRT", "crash_abort", "Sent by:     pid "},
        {"raised SIGFPE", [] { crash_raise(SIGFPE); }, SIGFPE, "SIGFPE", "crash_raise", "Sent by:     pid "},
        {"division by zero", crash_divide, SIGFPE, "SIGFPE", "crash_divide", "Address:     0x"},
        {"trap instruction", crash_trap, SIGILL, "SIGILL", "crash_trap", "Address:     0x"},
        {"raised SIGBUS", [] { crash_raise(SIGBUS); }, SIGBUS, "SIGBUS", "crash_raise", "Sent by:     pid "},
        {"raised SIGTRAP", [] { crash_raise(SIGTRAP); }, SIGTRAP, "SIGTRAP", "crash_raise",
         "Sent by:     pid "},
        {"stack overflow", [] { crash_recurse(0); }, SIGSEGV, "SIGSEGV", "crash_recurse", "Address:     0x"},
        {"fault in another thread", crash_in_thread, SIGSEGV, "SIGSEGV", "crash_null_write",
         "Address:     0x10\n", true},
    };
    for (const CrashCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("tavrin-crash");
        const std::string date_before = utc_date_now();
        CrashEnv setup;
        setup.xdg_runtime_dir = dir.path();
        setup.tmpdir = dir.path();
        Crash crash = crash_child(setup, dir, c.crash);
        ASSERT_TRUE(crash.status && WIFSIGNALED(*crash.status) && WTERMSIG(*crash.status) == c.signal)
            << describe(crash.status);

        const std::string path = dir.sub("Tavrin_crash.txt");
        ASSERT_TRUE(exists(path));
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "a crash report may hold private paths";
        const std::string report = read_file(path);
        SCOPED_TRACE(report);

        EXPECT_EQ(report.rfind("Tavrin 1.0.5, build 1162 stopped unexpectedly.\n", 0), 0u);
        EXPECT_NE(report.find("Signal:      " + std::to_string(c.signal) + " (" + c.signal_name),
                  std::string::npos);
        std::string origin = c.origin;
        if (origin.rfind("Sent by", 0) == 0) origin += std::to_string(crash.pid) + "\n";
        EXPECT_NE(report.find(origin), std::string::npos);
        EXPECT_NE(report.find("Log file:    " + dir.sub("config") + "/"), std::string::npos);

        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex("Process:     pid (\\d+), thread (\\d+)\n")));
        EXPECT_EQ(m[1].str(), std::to_string(crash.pid));
        EXPECT_EQ(m[1].str() != m[2].str(), c.other_thread);
        ASSERT_TRUE(std::regex_search(
            report, m, std::regex("Time:        (\\d{4}-\\d\\d-\\d\\d) \\d\\d:\\d\\d:\\d\\d UTC\n")));
        EXPECT_TRUE(m[1].str() == date_before || m[1].str() == utc_date_now()) << m[1].str();

        // The frame of the crashing function carries its name, although it is static and the test program
        // is not linked to export its symbols.
        const auto backtrace = report.find("\nBacktrace");
        ASSERT_NE(backtrace, std::string::npos);
        EXPECT_TRUE(std::regex_search(
            report.substr(backtrace),
            std::regex(std::string("\n#\\d+ +0x[0-9a-f]+ \\S*") + c.function + "\\S*\\+0x")))
            << "no frame names " << c.function;
    }
}

TEST(CrashHandler, ChoosesRuntimeDirThenTemporaryDir) {
    TempDir dir("tavrin-crash");
    testsupport::make_dir(dir.sub("run"), 0700);
    testsupport::make_dir(dir.sub("tmp"), 0700);
    testsupport::write_file(dir.sub("file"), "");
    const std::string run = dir.sub("run");
    const std::string tmp = dir.sub("tmp");
    const struct {
        const char* name;
        std::optional<std::string> xdg, tmpdir;
        std::string want_dir;
    } cases[] = {
        {"runtime dir first", run, tmp, run},
        {"no runtime dir", std::nullopt, tmp, tmp},
        {"empty runtime dir", std::string(), tmp, tmp},
        {"runtime dir missing", dir.sub("gone"), tmp, tmp},
        {"runtime dir is a file", dir.sub("file"), tmp, tmp},
        {"runtime dir relative", std::string("run"), tmp, tmp},
        {"neither", std::nullopt, std::nullopt, "/tmp"},
        {"temporary dir missing", std::nullopt, dir.sub("gone"), "/tmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            CrashEnv setup;
            setup.xdg_runtime_dir = c.xdg;
            setup.tmpdir = c.tmpdir;
            if (chdir(dir.path().c_str()) != 0) _exit(2);
            apply(setup, dir);
            CrashHandler::install();
            const char* path = CrashHandler::report_path();
            _exit(write(fds[1], path, strlen(path)) < 0 ? 3 : 0);
        }
        close(fds[1]);
        std::string got;
        char buf[PATH_MAX];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        auto status = wait_bounded(pid, std::chrono::seconds(10));
        ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe(status);
        EXPECT_EQ(got, c.want_dir + "/Tavrin_crash.txt");
    }
}

TEST(CrashHandler, ReplacesOldReportAndNeverFollowsALink) {
    TempDir dir("tavrin-crash");
    const std::string report = dir.sub("Tavrin_crash.txt");
    const std::string victim = dir.sub("victim");
    testsupport::write_file(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), report.c_str()), 0);
    CrashEnv setup;
    setup.xdg_runtime_dir = dir.path();
    Crash first = crash_child(setup, dir, crash_null_write);
    ASSERT_TRUE(first.status && WIFSIGNALED(*first.status)) << describe(first.status);
    EXPECT_EQ(read_file(victim), "precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(report.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // A long old report is replaced, not overwritten in part.
    testsupport::write_file(report, std::string(200000, 'x'), 0600);
    Crash second = crash_child(setup, dir, crash_abort);
    ASSERT_TRUE(second.status && WIFSIGNALED(*second.status)) << describe(second.status);
    const std::string text = read_file(report);
    EXPECT_EQ(text.find('x' + std::string(100, 'x')), std::string::npos);
    EXPECT_NE(text.find("SIGABRT"), std::string::npos);
}

// Waits until `path` exists and holds a complete record (ends with "end\n").
std::string wait_for_marker(const std::string& path, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (exists(path)) {
            std::string text = read_file(path);
            if (text.size() >= 4 && text.compare(text.size() - 4, 4, "end\n") == 0) return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

TEST(CrashHandler, StartsTheNoticeUnlessSilent) {
    TempDir dir("tavrin-crash");
    CrashEnv setup;
    setup.xdg_runtime_dir = dir.path();
    setup.silent = false;
    setup.marker = dir.sub("notice");
    // A descriptor the dying process holds open; the notice must not keep it.
    Crash crash = crash_child(setup, dir, [] {
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        crash_null_write();
    });
    ASSERT_TRUE(crash.status && WIFSIGNALED(*crash.status) && WTERMSIG(*crash.status) == SIGSEGV)
        << describe(crash.status);
    const std::string seen = wait_for_marker(setup.marker, std::chrono::seconds(10));
    ASSERT_FALSE(seen.empty()) << "no notice process ran";
    EXPECT_NE(seen.find("report=" + dir.sub("Tavrin_crash.txt") + "\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("report exists=1\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("blocked=none\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("extra fds=\n"), std::string::npos) << seen;

    setup.silent = true;
    setup.marker = dir.sub("silent-notice");
    crash = crash_child(setup, dir, crash_null_write);
    ASSERT_TRUE(crash.status && WIFSIGNALED(*crash.status)) << describe(crash.status);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(exists(setup.marker)) << "a silent handler started a notice";
}

TEST(CrashHandler, FallsBackWhenTheRuntimeDirIsGoneAtCrashTime) {
    TempDir dir("tavrin-crash");
    const std::string run = dir.sub("run");
    testsupport::make_dir(run, 0700);
    testsupport::make_dir(dir.sub("tmp"), 0700);
    CrashEnv env;
    env.xdg_runtime_dir = run;
    env.tmpdir = dir.sub("tmp");
    env.silent = false;
    env.marker = dir.sub("notice");
    Crash crash = crash_child(env, dir, [&] {
        testsupport::remove_tree(run); // the session ended under us
        crash_null_write();
    });
    ASSERT_TRUE(crash.status && WIFSIGNALED(*crash.status) && WTERMSIG(*crash.status) == SIGSEGV)
        << describe(crash.status);
    const std::string report = dir.sub("tmp/Tavrin_crash.txt");
    ASSERT_TRUE(exists(report));
    EXPECT_NE(read_file(report).find("SIGSEGV"), std::string::npos);
    // The notice names the place the report really went to.
    const std::string seen = wait_for_marker(env.marker, std::chrono::seconds(10));
    EXPECT_NE(seen.find("report=" + report + "\n"), std::string::npos) << seen;
}

TEST(CrashHandler, NoticeStartsEvenWhenTheProgramFileIsGone) {
    TempDir dir("tavrin-crash");
    const std::string copy = dir.sub("tavrin-copy");
    ASSERT_EQ(testsupport::run("cp /proc/" + std::to_string(getpid()) + "/exe " + copy), 0);
    const std::string marker = dir.sub("notice");
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.sub("config").c_str(), 1);
        setenv(kMarkerEnv, marker.c_str(), 1);
        execl(copy.c_str(), copy.c_str(), "--crash-when-told", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    char ready = 0;
    ASSERT_EQ(read(from_child[0], &ready, 1), 1) << "the copy did not start";
    ASSERT_EQ(unlink(copy.c_str()), 0);
    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    close(to_child[1]);
    close(from_child[0]);
    auto status = wait_bounded(pid, std::chrono::seconds(30));
    ASSERT_TRUE(status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGSEGV) << describe(status);
    const std::string seen = wait_for_marker(marker, std::chrono::seconds(10));
    EXPECT_NE(seen.find("report=" + dir.sub("Tavrin_crash.txt") + "\n"), std::string::npos) << seen;
}

// ---- the notice itself ---------------------------------------------------------------------------

struct RunResult {
    std::optional<int> status;
    std::string err;
};

// Runs CrashHandler::run_notice in a child with the given display; `during` runs in the parent meanwhile.
RunResult run_notice_child(const char* display, const std::string& report,
                           const std::function<void(pid_t)>& during = {}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(fds[1], 2);
        unsetenv("WAYLAND_DISPLAY");
        setenv("GDK_BACKEND", "x11", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        // No bus to ask about colours, and none to be started behind our back.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavrin-test-bus", 1);
        if (display)
            setenv("DISPLAY", display, 1);
        else
            unsetenv("DISPLAY");
        _exit(CrashHandler::run_notice(report.c_str()));
    }
    close(fds[1]);
    if (during) during(pid);
    RunResult r;
    r.status = wait_bounded(pid, std::chrono::seconds(15));
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        r.err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return r;
}

TEST(CrashNotice, WithoutDisplayPrintsTheMessage) {
    RunResult r = run_notice_child(nullptr, "/run/user/1000/Tavrin_crash.txt");
    ASSERT_TRUE(r.status && WIFEXITED(*r.status) && WEXITSTATUS(*r.status) == 0) << describe(r.status);
    EXPECT_NE(
        r.err.find("Tavrin stopped unexpectedly. A report was saved to /run/user/1000/Tavrin_crash.txt.\n"),
        std::string::npos)
        << r.err;
}

std::string sh(const std::string& display, const std::string& command) {
    return testsupport::capture("DISPLAY=" + display + " " + command + " 2>/dev/null");
}

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

TEST(CrashNotice, ShowsAWindowThatKeysAndTheButtonClose) {
    XServer x;
    ASSERT_FALSE(x.display().empty()) << "Xvfb did not start";
    const std::string& d = x.display();
    const struct {
        const char* name;
        const char* action; // "key:<name>" or "click"
    } cases[] = {{"Escape", "key:Escape"}, {"Enter", "key:Return"}, {"Close button", "click"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string title, pixel;
        RunResult r = run_notice_child(d.c_str(), "/tmp/somewhere/Tavrin_crash.txt", [&](pid_t) {
            const std::string id =
                trim(sh(d, "timeout 10 xdotool search --sync --onlyvisible --name '^Tavrin$'"));
            if (id.empty()) return;
            title = trim(sh(d, "xdotool getwindowname " + id));
            // Size of the window, then the centre of the Close button (bottom right, 22 in from the edges).
            const std::string geo = sh(d, "xdotool getwindowgeometry --shell " + id);
            std::smatch m;
            int w = 0, h = 0;
            if (std::regex_search(geo, m, std::regex("WIDTH=(\\d+)"))) w = std::stoi(m[1]);
            if (std::regex_search(geo, m, std::regex("HEIGHT=(\\d+)"))) h = std::stoi(m[1]);
            const int bx = w - 22 - 48, by = h - 22 - 16;
            std::this_thread::sleep_for(std::chrono::milliseconds(300)); // let it draw
            pixel = sh(d, "import -window " + id + " -crop 1x1+" + std::to_string(bx) + "+" +
                              std::to_string(by - 12) + " txt:-");
            const std::string action = c.action;
            if (action == "click") {
                sh(d, "xdotool mousemove --window " + id + " " + std::to_string(bx) + " " +
                          std::to_string(by) + " click 1");
            } else {
                sh(d, "xdotool windowfocus --sync " + id);
                sh(d, "xdotool key " + action.substr(4));
            }
        });
        EXPECT_EQ(title, "Tavrin") << r.err;
        // The button face, above its label, in the light palette's accent colour.
        EXPECT_NE(pixel.find("srgb(47,111,228)"), std::string::npos) << pixel;
        ASSERT_TRUE(r.status && WIFEXITED(*r.status) && WEXITSTATUS(*r.status) == 0)
            << describe(r.status) << "\n"
            << r.err;
    }
}

// When the handler starts this program as the notice, record what the notice process was given.
int record_notice(const char* report) {
    const char* marker = getenv(kMarkerEnv);
    if (!marker) return 1;
    std::string text = std::string("report=") + report + "\n";
    text += std::string("report exists=") + (access(report, R_OK) == 0 ? "1" : "0") + "\n";
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    bool any = false;
    for (int sig = 1; sig < 32; ++sig)
        any = any || sigismember(&blocked, sig) == 1;
    text += std::string("blocked=") + (any ? "some" : "none") + "\n";
    // Descriptors past the standard three would be leftovers of the dying process.
    text += "extra fds=";
    if (DIR* fds = opendir("/proc/self/fd")) {
        std::vector<int> open_fds;
        while (dirent* e = readdir(fds))
            if (e->d_name[0] != '.' && atoi(e->d_name) > 2 && atoi(e->d_name) != dirfd(fds))
                open_fds.push_back(atoi(e->d_name));
        closedir(fds);
        std::sort(open_fds.begin(), open_fds.end());
        for (size_t i = 0; i < open_fds.size(); ++i)
            text += (i ? " " : "") + std::to_string(open_fds[i]);
    }
    text += "\nend\n";
    const std::string tmp = std::string(marker) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return 1;
    fputs(text.c_str(), f);
    fclose(f);
    return rename(tmp.c_str(), marker) == 0 ? 0 : 1;
}

} // namespace

// Defined here, so the linker does not take gtest_main's.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--crash-notice=", 15) == 0) return record_notice(argv[i] + 15);
    // A crashing instance whose program file the test removes while it runs.
    if (argc == 2 && std::strcmp(argv[1], "--crash-when-told") == 0) {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        CrashHandler::install();
        char c = 0;
        if (write(1, "r", 1) != 1 || read(0, &c, 1) != 1) return 2;
        crash_null_write();
        return 3;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
