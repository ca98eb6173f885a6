#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs one long job at a time (delete, pack, unpack) on the thread "task"; the interface polls snapshot()
// every tick and calls reap() once the job has finished.
class BgTask {
public:
    enum class Kind : int32_t {
        None = 0,
        Delete = 1,
        Pack = 2,
        Unpack = 3,
    };

    struct Status {
        bool running = false;
        bool finished = false;
        bool cancelled = false;
        Kind kind = Kind::None;
        std::string title;
        std::string detail;
        int64_t done = 0;
        int64_t total = 0;
        std::vector<std::string> failures;
        std::string result;
    };

    // The job's only way to talk to the runner; safe to use from the job thread.
    class Reporter {
    public:
        explicit Reporter(BgTask* owner) : m_owner(owner) {}
        void set_total(int64_t n);
        void advance(int64_t n);
        bool keep_going() const;
        void set_detail(const std::string& text);
        void set_result(const std::string& text);
        // Logs the message at error level and keeps it (the first 500 only).
        void fail(const std::string& message);

    private:
        BgTask* m_owner;
    };

    using Job = std::function<void(Reporter&)>;

    BgTask();
    ~BgTask();
    BgTask(const BgTask&) = delete;
    BgTask& operator=(const BgTask&) = delete;

    static BgTask& instance();

    // False, leaving the running job alone, while a job runs.
    bool start(Kind kind, const std::string& title, Job job);
    void cancel() { m_cancel = true; }
    bool is_running() const { return m_running.load(); }
    Status snapshot() const;
    // Joins a finished job and forgets its kind, title and detail; result and failures stay until the
    // next start. Does nothing while a job runs.
    void reap();

    static const char* kind_log_name(Kind kind);

private:
    mutable std::mutex m_mutex;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int64_t> m_done{0};
    std::atomic<int64_t> m_total{0};
    Kind m_kind = Kind::None;
    std::string m_title;
    std::string m_result;
    std::string m_detail;
    std::vector<std::string> m_failures;
    // All failures of the job, also those beyond the stored 500.
    size_t m_failures_total = 0;
};
