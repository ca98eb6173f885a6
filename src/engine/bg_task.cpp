#include "engine/bg_task.h"

#include "base/logger.h"

namespace {
constexpr size_t kMaxStoredFailures = 500;
}

void BgTask::Reporter::set_total(int64_t n) {
    m_owner->m_total = n;
}

void BgTask::Reporter::advance(int64_t n) {
    m_owner->m_done += n;
}

bool BgTask::Reporter::keep_going() const {
    return !m_owner->m_cancel.load();
}

void BgTask::Reporter::set_detail(const std::string& text) {
    std::lock_guard lk(m_owner->m_mutex);
    m_owner->m_detail = text;
}

void BgTask::Reporter::set_result(const std::string& text) {
    std::lock_guard lk(m_owner->m_mutex);
    m_owner->m_result = text;
}

void BgTask::Reporter::fail(const std::string& message) {
    Log::instance().errorf("%s", message.c_str());
    std::lock_guard lk(m_owner->m_mutex);
    ++m_owner->m_failures_total;
    if (m_owner->m_failures.size() < kMaxStoredFailures) m_owner->m_failures.push_back(message);
}

// The log is built first so that it outlives the runner, whose job may still write to it at exit.
BgTask::BgTask() {
    Log::instance();
}

BgTask::~BgTask() {
    m_cancel = true;
    if (m_thread.joinable()) m_thread.join();
}

BgTask& BgTask::instance() {
    static BgTask task;
    return task;
}

const char* BgTask::kind_log_name(Kind kind) {
    switch (kind) {
    case Kind::Delete:
        return "DELETE";
    case Kind::Pack:
        return "PACK";
    case Kind::Unpack:
        return "UNPACK";
    case Kind::None:
        break;
    }
    return "TASK";
}

bool BgTask::start(Kind kind, const std::string& title, Job job) {
    if (m_running.load()) return false;
    if (m_thread.joinable()) m_thread.join();
    {
        std::lock_guard lk(m_mutex);
        m_kind = kind;
        m_title = title;
        m_detail.clear();
        m_result.clear();
        m_failures.clear();
        m_failures_total = 0;
    }
    m_done = 0;
    m_total = 0;
    m_cancel = false;
    m_finished = false;
    m_running = true;
    Log::instance().infof("%s start: %s", kind_log_name(kind), title.c_str());
    // A job may log a line for every item: written in batches until it ends.
    Log::instance().begin_batch();

    m_thread = std::thread([this, kind, job = std::move(job)] {
        Log::name_this_thread("task");
        Reporter reporter(this);
        if (job) job(reporter);
        std::string first;
        size_t failed = 0;
        {
            std::lock_guard lk(m_mutex);
            failed = m_failures_total;
            if (!m_failures.empty()) first = m_failures.front();
        }
        Log::instance().infof("%s %s: %lld of %lld done, %zu failed%s%s", kind_log_name(kind),
                              m_cancel.load() ? "CANCELLED" : "done", static_cast<long long>(m_done.load()),
                              static_cast<long long>(m_total.load()), failed, failed ? " — first: " : "",
                              first.c_str());
        Log::instance().end_batch();
        m_finished = true;
        m_running = false;
    });
    return true;
}

BgTask::Status BgTask::snapshot() const {
    Status s;
    s.running = m_running.load();
    s.finished = m_finished.load();
    s.cancelled = m_cancel.load();
    s.done = m_done.load();
    s.total = m_total.load();
    std::lock_guard lk(m_mutex);
    s.kind = m_kind;
    s.title = m_title;
    s.detail = m_detail;
    s.result = m_result;
    s.failures = m_failures;
    return s;
}

void BgTask::reap() {
    if (m_running.load()) return;
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard lk(m_mutex);
    m_kind = Kind::None;
    m_title.clear();
    m_detail.clear();
    m_finished = false;
}
