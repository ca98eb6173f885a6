#include "engine/bg_task.h"
#include "base/logger.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

testsupport::TempDir& config_home() {
    static testsupport::TempDir dir("bgtask-config");
    return dir;
}
const bool g_config_set = [] {
    setenv("XDG_CONFIG_HOME", config_home().path().c_str(), 1);
    return true;
}();

BgTask::Status wait_finished(BgTask& task, double limit_seconds = 20) {
    auto t0 = std::chrono::steady_clock::now();
    while (task.is_running()) {
        if (std::chrono::steady_clock::now() - t0 > std::chrono::duration<double>(limit_seconds)) {
            ADD_FAILURE() << "the job did not end";
            task.cancel();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return task.snapshot();
}

std::string last_log_line_containing(const std::string& text) {
    std::string found;
    for (const auto& e : Log::instance().recent())
        if (e.text.find(text) != std::string::npos) found = e.thread + ": " + e.text;
    return found;
}

TEST(BgTask, RunsOneJobAndKeepsItsResultAfterReap) {
    BgTask task;
    EXPECT_FALSE(task.snapshot().running);
    EXPECT_EQ(BgTask::Kind::None, task.snapshot().kind);
    ASSERT_TRUE(task.start(BgTask::Kind::Pack, "pack photos", [](BgTask::Reporter& r) {
        r.set_total(3);
        for (int i = 0; i < 3; ++i) {
            r.set_detail("item " + std::to_string(i));
            r.advance(1);
        }
        r.fail("photo2.jpg: Permission denied");
        r.set_result("photos.tar.gz");
    }));
    BgTask::Status s = wait_finished(task);
    EXPECT_TRUE(s.finished);
    EXPECT_FALSE(s.running);
    EXPECT_FALSE(s.cancelled);
    EXPECT_EQ(BgTask::Kind::Pack, s.kind);
    EXPECT_EQ("pack photos", s.title);
    EXPECT_EQ("item 2", s.detail);
    EXPECT_EQ(3, s.done);
    EXPECT_EQ(3, s.total);
    EXPECT_EQ("photos.tar.gz", s.result);
    ASSERT_EQ(1u, s.failures.size());
    EXPECT_EQ("task: PACK done: 3 of 3 done, 1 failed — first: photo2.jpg: Permission denied",
              last_log_line_containing("PACK done"));
    EXPECT_NE("", last_log_line_containing("PACK start: pack photos"));

    task.reap();
    BgTask::Status after = task.snapshot();
    EXPECT_FALSE(after.finished);
    EXPECT_EQ(BgTask::Kind::None, after.kind);
    EXPECT_EQ("", after.title);
    EXPECT_EQ("", after.detail);
    EXPECT_EQ("photos.tar.gz", after.result) << "the result outlives the panel";
    EXPECT_EQ(1u, after.failures.size());
}

TEST(BgTask, StartWhileRunningIsRefusedAndLeavesTheJobAlone) {
    BgTask task;
    std::atomic<bool> release{false};
    ASSERT_TRUE(task.start(BgTask::Kind::Delete, "first", [&](BgTask::Reporter& r) {
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        r.advance(7);
    }));
    std::atomic<bool> second_ran{false};
    EXPECT_FALSE(task.start(BgTask::Kind::Unpack, "second", [&](BgTask::Reporter&) { second_ran = true; }));
    BgTask::Status s = task.snapshot();
    EXPECT_TRUE(s.running);
    EXPECT_EQ(BgTask::Kind::Delete, s.kind);
    EXPECT_EQ("first", s.title);
    task.reap(); // ignored while running
    EXPECT_TRUE(task.is_running());
    release = true;
    s = wait_finished(task);
    EXPECT_EQ(7, s.done);
    EXPECT_FALSE(second_ran);
    // A new job may start without an explicit reap; the old thread is joined first.
    ASSERT_TRUE(task.start(BgTask::Kind::Unpack, "second", [&](BgTask::Reporter&) { second_ran = true; }));
    s = wait_finished(task);
    EXPECT_TRUE(second_ran);
    EXPECT_EQ(BgTask::Kind::Unpack, s.kind);
    EXPECT_TRUE(s.failures.empty());
    EXPECT_EQ("", s.result) << "a new job starts with an empty result";
}

TEST(BgTask, CancelStopsBetweenItemsAndSaysSo) {
    BgTask task;
    std::atomic<int> started{0};
    ASSERT_TRUE(task.start(BgTask::Kind::Delete, "delete 1000", [&](BgTask::Reporter& r) {
        r.set_total(1000);
        for (int i = 0; i < 1000 && r.keep_going(); ++i) {
            ++started;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            r.advance(1);
        }
    }));
    while (started < 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    task.cancel();
    BgTask::Status s = wait_finished(task);
    EXPECT_TRUE(s.cancelled);
    EXPECT_GE(s.done, 20);
    EXPECT_LT(s.done, 1000);
    EXPECT_EQ(started.load(), s.done) << "the item under way is finished, no further one started";
    std::string line = last_log_line_containing("DELETE CANCELLED");
    EXPECT_NE(std::string::npos, line.find(": " + std::to_string(s.done) + " of 1000 done, 0 failed"))
        << line;
}

TEST(BgTask, StoresFiveHundredFailuresAndCountsThemAll) {
    BgTask task;
    ASSERT_TRUE(task.start(BgTask::Kind::Unpack, "many failures", [](BgTask::Reporter& r) {
        for (int i = 0; i < 600; ++i)
            r.fail("bad entry " + std::to_string(i));
    }));
    BgTask::Status s = wait_finished(task);
    ASSERT_EQ(500u, s.failures.size());
    EXPECT_EQ("bad entry 0", s.failures.front());
    EXPECT_EQ("bad entry 499", s.failures.back());
    EXPECT_NE("", last_log_line_containing("bad entry 599")) << "every failure is logged";
    EXPECT_NE("", last_log_line_containing("UNPACK done: 0 of 0 done, 600 failed — first: bad entry 0"));
}

TEST(BgTask, KindsHaveLogNames) {
    const std::pair<BgTask::Kind, const char*> cases[] = {
        {BgTask::Kind::Delete, "DELETE"},        {BgTask::Kind::Pack, "PACK"},
        {BgTask::Kind::Unpack, "UNPACK"},        {BgTask::Kind::None, "TASK"},
        {static_cast<BgTask::Kind>(42), "TASK"},
    };
    for (const auto& [kind, name] : cases)
        EXPECT_STREQ(name, BgTask::kind_log_name(kind)) << static_cast<int>(kind);
}

TEST(BgTask, DestructionCancelsAndWaitsForTheJob) {
    std::atomic<bool> saw_cancel{false};
    {
        BgTask task;
        ASSERT_TRUE(task.start(BgTask::Kind::Delete, "long", [&](BgTask::Reporter& r) {
            while (r.keep_going())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            saw_cancel = true;
        }));
    }
    EXPECT_TRUE(saw_cancel);
}

} // namespace
