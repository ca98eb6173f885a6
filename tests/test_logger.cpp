#include "base/logger.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Level = Log::Level;

// The log is a process singleton whose file is fixed on first use, so the whole program points its
// configuration at a temporary folder before any test runs. Children started for the file scenarios
// inherit the folder through TAVRIN_LOG_TEST_HOME and do not make their own.
class LogHome : public ::testing::Environment {
public:
    void SetUp() override {
        if (const char* inherited = getenv("TAVRIN_LOG_TEST_HOME")) {
            s_home = inherited;
        } else {
            m_dir = std::make_unique<testsupport::TempDir>("tavrin-log");
            s_home = m_dir->path();
            setenv("TAVRIN_LOG_TEST_HOME", s_home.c_str(), 1);
        }
        testsupport::use_home(s_home, s_home + "/config");
    }
    void TearDown() override { m_dir.reset(); }

    static std::string s_home;

private:
    std::unique_ptr<testsupport::TempDir> m_dir;
};
std::string LogHome::s_home;

::testing::Environment* const kLogHome = ::testing::AddGlobalTestEnvironment(new LogHome);

off_t size_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The last n bytes of a file (the rotated generation is 32 MiB, mostly sparse).
std::string tail_of(const std::string& path, size_t n) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    off_t size = lseek(fd, 0, SEEK_END);
    off_t from = size > static_cast<off_t>(n) ? size - static_cast<off_t>(n) : 0;
    std::string out(static_cast<size_t>(size - from), '\0');
    ssize_t got = pread(fd, out.data(), out.size(), from);
    close(fd);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

// What the file gained since a recorded size.
class FileWatch {
public:
    FileWatch() : m_path(Log::instance().file_path()), m_start(size_of(m_path)) {}
    std::vector<std::string> new_lines() const {
        std::string all = testsupport::read_file(m_path);
        return lines_of(all.substr(static_cast<size_t>(std::max<off_t>(m_start, 0))));
    }

private:
    std::string m_path;
    off_t m_start;
};

std::string line_pattern(const std::string& level, const std::string& thread_field, const std::string& text) {
    return "^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} " + level + " \\[" + thread_field + "\\] " + text + "$";
}

// Restores the debug switch whatever a test did with it.
class DebugSwitch {
public:
    DebugSwitch() : m_was(Log::instance().debug()) {}
    ~DebugSwitch() { Log::instance().set_debug(m_was); }

private:
    bool m_was;
};

TEST(Log, FileLivesInConfigurationFolder) {
    EXPECT_EQ(Log::instance().file_path(), LogHome::s_home + "/config/Tavrin/Tavrin.log");
    EXPECT_STREQ(Log::instance().file_path_c_str(), Log::instance().file_path().c_str());
    EXPECT_GE(size_of(Log::instance().file_path()), 0);
}

TEST(Log, LinesCarryTimeLevelThreadAndText) {
    Log& log = Log::instance();
    DebugSwitch keep;
    log.set_debug(false);
    log.clear();
    FileWatch watch;
    const char* bad_format = "100%"; // vsnprintf rejects a lone '%'

    time_t before = time(nullptr);
    log.infof("copied %d files to %s", 3, "/tmp/x");
    log.warnf("slow %s", "drive");
    log.errorf("failed: %s", "EIO");
    log.debugf("hidden %d", 1);
    log.write(Level::Debug, "hidden too");
    log.set_debug(true);
    log.debugf("shown %d", 2);
    log.write(static_cast<Level>(7), "odd level");
    log.infof(bad_format, 1);
    std::thread([&] { log.infof("from an unnamed thread"); }).join();
    std::thread([&] {
        Log::name_this_thread("w3");
        log.infof("from w3");
    }).join();
    std::thread([&] {
        Log::name_this_thread("scanner");
        log.infof("from a long name");
    }).join();
    time_t after = time(nullptr);

    struct Want {
        Level level;
        std::string thread, text, line;
    };
    std::vector<Want> want = {
        {Level::Info, "ui", "copied 3 files to /tmp/x",
         line_pattern("INFO ", "ui  ", "copied 3 files to /tmp/x")},
        {Level::Warn, "ui", "slow drive", line_pattern("WARN ", "ui  ", "slow drive")},
        {Level::Error, "ui", "failed: EIO", line_pattern("ERROR", "ui  ", "failed: EIO")},
        {Level::Debug, "ui", "shown 2", line_pattern("DEBUG", "ui  ", "shown 2")},
        {static_cast<Level>(7), "ui", "odd level", line_pattern("INFO ", "ui  ", "odd level")},
        {Level::Info, "ui", "100%", line_pattern("INFO ", "ui  ", "100%")},
        {Level::Info, "-", "from an unnamed thread", line_pattern("INFO ", "-   ", "from an unnamed thread")},
        {Level::Info, "w3", "from w3", line_pattern("INFO ", "w3  ", "from w3")},
        {Level::Info, "scanner", "from a long name", line_pattern("INFO ", "scanner", "from a long name")},
    };

    std::vector<Log::Entry> ring = log.recent();
    std::vector<std::string> lines = watch.new_lines();
    ASSERT_EQ(ring.size(), want.size());
    ASSERT_EQ(lines.size(), want.size());
    double last_monotonic = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(want[i].text);
        EXPECT_EQ(ring[i].level, want[i].level);
        EXPECT_EQ(ring[i].thread, want[i].thread);
        EXPECT_EQ(ring[i].text, want[i].text);
        EXPECT_GE(ring[i].unix_time, before);
        EXPECT_LE(ring[i].unix_time, after);
        EXPECT_GE(ring[i].monotonic, last_monotonic);
        last_monotonic = ring[i].monotonic;
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(want[i].line))) << lines[i];
    }
}

TEST(Log, MillisecondsFollowTheSteadyClock) {
    Log& log = Log::instance();
    log.clear();
    FileWatch watch;
    log.infof("stamp");
    std::vector<Log::Entry> ring = log.recent();
    std::vector<std::string> lines = watch.new_lines();
    ASSERT_EQ(ring.size(), 1u);
    ASSERT_EQ(lines.size(), 1u);
    char want[8];
    snprintf(want, sizeof want, ".%03d ",
             static_cast<int>(static_cast<long long>(ring[0].monotonic * 1000) % 1000));
    EXPECT_EQ(lines[0].substr(8, 5), want) << lines[0];
}

TEST(Log, RingKeepsTheLatestFortyThousandInOrder) {
    Log& log = Log::instance();
    log.clear();
    struct Step {
        int write_up_to; // messages "m0".."m<n-1>" written in total
        size_t size;
        std::string first, last;
    };
    std::vector<Step> steps = {
        {1, 1, "m0", "m0"},
        {39999, 39999, "m0", "m39998"},
        {40000, 40000, "m0", "m39999"},
        {40001, 40000, "m1", "m40000"},
        {80000, 40000, "m40000", "m79999"},
        {80001, 40000, "m40001", "m80000"},
    };
    int written = 0;
    for (const auto& s : steps) {
        for (; written < s.write_up_to; ++written)
            log.infof("m%d", written);
        std::vector<Log::Entry> ring = log.recent();
        SCOPED_TRACE("after " + std::to_string(s.write_up_to) + " messages");
        ASSERT_EQ(ring.size(), s.size);
        EXPECT_EQ(ring.front().text, s.first);
        EXPECT_EQ(ring.back().text, s.last);
        for (size_t i = 1; i < ring.size(); ++i) {
            int a = std::atoi(ring[i - 1].text.c_str() + 1), b = std::atoi(ring[i].text.c_str() + 1);
            ASSERT_EQ(b, a + 1) << "order broken at " << i;
        }
    }
}

// Outside a batch every line is in the file at once; inside one, a warning or an error brings everything
// before it along, and closing the last batch writes the rest.
TEST(Log, BatchesHoldLinesBackUntilAWarningOrTheirEnd) {
    Log& log = Log::instance();
    FileWatch watch;
    auto in_file = [&](const std::string& text) {
        for (const std::string& line : watch.new_lines())
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    };
    log.infof("unbatched line");
    EXPECT_TRUE(in_file("unbatched line"));

    log.begin_batch();
    log.begin_batch(); // a job inside a transfer
    log.infof("held 1");
    log.warnf("warning in a batch");
    EXPECT_TRUE(in_file("held 1"));
    EXPECT_TRUE(in_file("warning in a batch"));
    auto flushed = std::chrono::steady_clock::now();
    // Lines are written at the latest a second after the last write; well within it, this one waits.
    auto soon = [&] { return std::chrono::steady_clock::now() - flushed < std::chrono::milliseconds(500); };
    log.infof("held 2");
    if (soon()) {
        EXPECT_FALSE(in_file("held 2"));
    }
    log.end_batch();
    if (soon()) {
        EXPECT_FALSE(in_file("held 2")) << "the outer batch is still open";
    }
    log.errorf("error in a batch");
    EXPECT_TRUE(in_file("held 2"));
    log.infof("held 3");
    if (soon()) {
        EXPECT_FALSE(in_file("held 3"));
    }
    // A waiting loop pushes out what is held, though no later line comes.
    log.flush_pending();
    EXPECT_TRUE(in_file("held 3"));
    log.infof("held 4");
    log.end_batch();
    EXPECT_TRUE(in_file("held 4"));
    log.end_batch(); // one too many is harmless
    log.infof("unbatched again");
    EXPECT_TRUE(in_file("unbatched again"));
}

TEST(Log, ClearForgetsTheRingButNotTheFile) {
    Log& log = Log::instance();
    log.infof("before clear");
    off_t size = size_of(log.file_path());
    log.clear();
    EXPECT_TRUE(log.recent().empty());
    EXPECT_EQ(size_of(log.file_path()), size);
    EXPECT_NE(tail_of(log.file_path(), 100).find("before clear\n"), std::string::npos);
    log.infof("after clear");
    std::vector<Log::Entry> ring = log.recent();
    ASSERT_EQ(ring.size(), 1u);
    EXPECT_EQ(ring[0].text, "after clear");
}

TEST(Log, ConcurrentWritersKeepWholeLinesAndPerThreadOrder) {
    Log& log = Log::instance();
    DebugSwitch keep;
    log.clear();
    FileWatch watch;
    constexpr int kThreads = 4, kPerThread = 5000;
    std::atomic<bool> done{false};
    // A reader and a switch flipper run alongside, as the log panel and the debug command do.
    std::thread reader([&] {
        while (!done.load()) {
            std::vector<Log::Entry> snapshot = log.recent();
            if (snapshot.size() > Log::kRingSize) ADD_FAILURE() << "ring larger than its size";
        }
    });
    std::thread flipper([&] {
        for (int i = 0; !done.load(); ++i)
            log.set_debug(i % 2 == 0);
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            Log::name_this_thread("t" + std::to_string(t));
            for (int i = 0; i < kPerThread; ++i)
                log.infof("%d:%d", t, i);
        });
    }
    for (auto& w : writers)
        w.join();
    done = true;
    reader.join();
    flipper.join();

    std::vector<Log::Entry> ring = log.recent();
    ASSERT_EQ(ring.size(), size_t(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const auto& e : ring) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(e.text.c_str(), "%d:%d", &t, &i), 2) << e.text;
        ASSERT_TRUE(t >= 0 && t < kThreads) << e.text;
        EXPECT_EQ(e.thread, "t" + std::to_string(t));
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
    std::vector<std::string> lines = watch.new_lines();
    ASSERT_EQ(lines.size(), size_t(kThreads * kPerThread));
    const std::regex well_formed(line_pattern("INFO ", "t[0-3]  ", "[0-3]:[0-9]+"));
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, well_formed)) << line;
}

// The file scenarios need a log created fresh with a prepared folder, so each runs in a newly started copy
// of this program (gtest's "threadsafe" death-test style re-executes the binary). The child does the
// logging and exits; the parent then inspects the files.
#define EXPECT_IN_FRESH_PROCESS(...)                                                                         \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                          \
    EXPECT_EXIT(                                                                                             \
        {                                                                                                    \
            __VA_ARGS__;                                                                                     \
            _exit(0);                                                                                        \
        },                                                                                                   \
        ::testing::ExitedWithCode(0), "")

// A configuration folder of its own for one scenario; the same path in parent and child.
std::string scenario_config(const std::string& name) {
    std::string base = LogHome::s_home + "/" + name;
    testsupport::make_dir(base);
    testsupport::make_dir(base + "/Tavrin", 0700);
    return base;
}

void make_sparse(const std::string& path, off_t size, const std::string& tail = "") {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    ASSERT_EQ(ftruncate(fd, size - static_cast<off_t>(tail.size())), 0);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())),
              ssize_t(tail.size()));
    close(fd);
}

void use_config(const std::string& base) {
    setenv("XDG_CONFIG_HOME", base.c_str(), 1);
}

// Length of a line written by the "ui" thread: "HH:MM:SS.mmm LEVEL [ui  ] text\n".
off_t ui_line_length(const std::string& text) {
    return off_t(27 + text.size());
}

bool su_ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

const std::string kRotationLine = "---- rotated at 33554432 bytes ----\n";

enum class AtStart { Moved, KeptThenRotated, Kept };

struct StartCase {
    std::string name;
    off_t existing;
    AtStart outcome;
};

class LogFileAtStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(LogFileAtStart, OnlyAnOversizedFileIsMovedToTheOldGeneration) {
    const StartCase& c = GetParam();
    std::string base = scenario_config("start-" + c.name);
    std::string path = base + "/Tavrin/Tavrin.log";
    make_sparse(path, c.existing, "earlier run\n");
    testsupport::write_file(path + ".1", "generation before\n");
    EXPECT_IN_FRESH_PROCESS(use_config(base); Log::instance().infof("started"));

    const std::regex started(line_pattern("INFO ", "ui  ", "started"));
    switch (c.outcome) {
    case AtStart::Moved: {
        EXPECT_EQ(size_of(path + ".1"), c.existing);
        EXPECT_EQ(tail_of(path + ".1", 12), "earlier run\n");
        std::vector<std::string> lines = lines_of(testsupport::read_file(path));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(std::regex_match(lines[0], started)) << lines[0];
        break;
    }
    case AtStart::KeptThenRotated: {
        // Not moved at start, so the first line lands in it and takes it past the limit.
        EXPECT_EQ(size_of(path + ".1"), c.existing + ui_line_length("started"));
        std::vector<std::string> tail = lines_of(tail_of(path + ".1", 64));
        ASSERT_GE(tail.size(), 2u);
        EXPECT_TRUE(std::regex_match(tail.back(), started)) << tail.back();
        EXPECT_EQ(testsupport::read_file(path), kRotationLine);
        break;
    }
    case AtStart::Kept: {
        EXPECT_EQ(testsupport::read_file(path + ".1"), "generation before\n");
        EXPECT_EQ(size_of(path), c.existing + ui_line_length("started"));
        std::vector<std::string> tail = lines_of(tail_of(path, 64));
        ASSERT_GE(tail.size(), 2u);
        EXPECT_TRUE(su_ends_with(tail[tail.size() - 2], "earlier run")) << tail[tail.size() - 2];
        EXPECT_TRUE(std::regex_match(tail.back(), started)) << tail.back();
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogFileAtStart,
                         ::testing::Values(StartCase{"OverLimit", Log::kFileLimit + 1, AtStart::Moved},
                                           StartCase{"AtLimit", Log::kFileLimit, AtStart::KeptThenRotated},
                                           StartCase{"Small", 100, AtStart::Kept}),
                         [](const auto& info) { return info.param.name; });

struct CrossCase {
    std::string name;
    off_t existing;
    int lines_before_rotation; // of "line 0" ... "line 4", written one after the other
};

const off_t kOneLine = ui_line_length("line 0");

class LogFileWhileRunning : public ::testing::TestWithParam<CrossCase> {};

TEST_P(LogFileWhileRunning, RotatesRightAfterTheLineThatCrossesTheLimit) {
    const CrossCase& c = GetParam();
    std::string base = scenario_config("cross-" + c.name);
    std::string path = base + "/Tavrin/Tavrin.log";
    make_sparse(path, c.existing);
    testsupport::write_file(path + ".1", "generation to be dropped\n");
    EXPECT_IN_FRESH_PROCESS(use_config(base);
                            for (int i = 0; i < 5; ++i) Log::instance().infof("line %d", i));

    EXPECT_EQ(size_of(path + ".1"), c.existing + c.lines_before_rotation * kOneLine);
    std::string last = "line " + std::to_string(c.lines_before_rotation - 1) + "\n";
    EXPECT_EQ(tail_of(path + ".1", last.size()), last);
    std::string current = testsupport::read_file(path);
    ASSERT_EQ(current.substr(0, kRotationLine.size()), kRotationLine);
    std::vector<std::string> lines = lines_of(current.substr(kRotationLine.size()));
    ASSERT_EQ(lines.size(), size_t(5 - c.lines_before_rotation));
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string text = "line " + std::to_string(c.lines_before_rotation + int(i));
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(line_pattern("INFO ", "ui  ", text)))) << lines[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogFileWhileRunning,
                         ::testing::Values(CrossCase{"CrossWithFirstLine", Log::kFileLimit - 3, 1},
                                           // reaching the limit exactly is not crossing it
                                           CrossCase{"ReachExactlyThenCross", Log::kFileLimit - kOneLine, 2},
                                           CrossCase{"CrossWithThirdLine", Log::kFileLimit - 3 * kOneLine + 1,
                                                     3}),
                         [](const auto& info) { return info.param.name; });

TEST(LogFile, GrowthWithinOneRunIsCountedAndRotatedOnce) {
    // 33 messages of 1 MiB: the 32nd line takes the file past 32 MiB, the 33rd starts the new file.
    std::string base = scenario_config("growth");
    std::string path = base + "/Tavrin/Tavrin.log";
    EXPECT_IN_FRESH_PROCESS(use_config(base); std::string big(1 << 20, 'x');
                            for (int i = 0; i < 33; ++i) Log::instance().infof("%02d %s", i, big.c_str()));
    EXPECT_EQ(size_of(path + ".1"), 32 * ui_line_length("00 " + std::string(1 << 20, 'x')));
    std::string current = testsupport::read_file(path);
    ASSERT_EQ(current.substr(0, kRotationLine.size()), kRotationLine);
    std::vector<std::string> lines = lines_of(current.substr(kRotationLine.size()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find("32 xxx"), 26u);
}

TEST(LogFile, WithoutAFileTheRingStillWorks) {
    std::string base = scenario_config("no-file");
    // A folder where the file should be makes opening it fail.
    testsupport::make_dir(base + "/Tavrin/Tavrin.log");
    EXPECT_IN_FRESH_PROCESS(use_config(base); Log& log = Log::instance(); log.infof("kept %d", 1);
                            log.errorf("kept %d", 2); if (log.recent().size() != 2) _exit(3);
                            if (log.recent()[1].text != "kept 2") _exit(4));
}

// Runs in the child: detached threads log without pause while the main thread exits. The exit handler
// registered before the log exists runs after everything created later has been torn down, and holds the
// exit there for a while, as slow library clean-up would, so the threads keep logging through that window.
[[noreturn]] void exit_while_detached_threads_log(const std::string& base) {
    use_config(base);
    atexit([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    Log& log = Log::instance();
    static std::atomic<int> written{0};
    for (int t = 0; t < 4; ++t) {
        std::thread([&log] {
            Log::name_this_thread("late");
            for (;;) {
                log.infof("still here");
                written.fetch_add(1);
            }
        }).detach();
    }
    while (written.load() < 1000)
        std::this_thread::yield();
    exit(0);
}

TEST(LogFile, ThreadsStillLoggingWhileTheProcessExitsDoNotCrashIt) {
    std::string base = scenario_config("exit-race");
    std::string path = base + "/Tavrin/Tavrin.log";
    EXPECT_IN_FRESH_PROCESS(exit_while_detached_threads_log(base));
    std::string tail = tail_of(path, 200);
    EXPECT_NE(tail.find("[late] still here"), std::string::npos);
}

} // namespace
