#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The application log: one line per event, kept in an in-memory ring for the log panel and appended to
// config_dir() + "/Tavrin.log", which is rotated to ".1" past 32 MiB. Callable from any thread; failures
// of the file are never reported, the ring always works. Each line reaches the file as it is written,
// except while a batch is open (a transfer or a job that logs a line per file): then a warning or an
// error is written at once with everything before it, other lines when a second has passed since the
// last write or at the next flush_pending(), and the rest when the last batch closes.
class Log {
public:
    enum class Level : int32_t { Debug = 0, Info = 1, Warn = 2, Error = 3 };

    struct Entry {
        int64_t unix_time = 0;
        double monotonic = 0.0; // seconds since the log was created
        Level level = Level::Info;
        std::string thread;
        std::string text;
    };

    static constexpr size_t kRingSize = 40000;
    static constexpr int64_t kFileLimit = 33554432;

    static Log& instance();
    // Names the calling thread for every later message ("-" until it does).
    static void name_this_thread(const std::string& name);

    void write(Level level, const std::string& text);
    void infof(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warnf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void errorf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Returns at once, without formatting, while debug logging is off.
    void debugf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Opens and closes a batch; batches nest (a transfer and a job may overlap).
    void begin_batch();
    void end_batch();
    // Writes out what a batch holds back. Called by the loops that wait on running work (the window's
    // tick, the copy tool's poll), so that a held line reaches the file within a poll even when no later
    // line comes to push it out: a transfer waiting for a conflict answer logs nothing more.
    void flush_pending();

    // The remembered entries, oldest first (at most kRingSize).
    std::vector<Entry> recent() const;
    // Forgets the remembered entries; the file is left alone.
    void clear();

    const std::string& file_path() const { return m_path; }
    const char* file_path_c_str() const { return m_path.c_str(); }

    void set_debug(bool on) { m_debug.store(on, std::memory_order_relaxed); }
    bool debug() const { return m_debug.load(std::memory_order_relaxed); }

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

private:
    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };

    Log();
    ~Log() = default;
    void open_file();
    void rotate_locked();
    // write() without the debug check, taking over the text.
    void record(Level level, std::string&& text);
    void vlog(Level level, const char* fmt, va_list args);

    mutable std::mutex m_mutex;
    std::vector<Entry> m_ring;
    size_t m_ring_pos = 0;
    bool m_ring_wrapped = false;
    std::string m_path;
    std::unique_ptr<FILE, FileCloser> m_file;
    int64_t m_bytes_written = 0;
    std::atomic<bool> m_debug{false};
    double m_start_time = 0.0;
    int m_batches = 0;         // open batches
    double m_last_flush = 0.0; // monotonic time of the last write to the file
    bool m_held = false;       // lines printed into the stream's buffer but not yet written
};
