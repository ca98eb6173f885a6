#include "base/logger.h"

#include "base/clock.h"
#include "base/paths.h"

#include <chrono>
#include <cstdarg>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <utility>

namespace {

thread_local std::string t_thread_name = "-";

// A format that vsnprintf rejects is logged as the format itself. Most messages fit the stack buffer, so
// they are formatted in one pass; longer ones are formatted again into a string of the measured length.
std::string vformat(const char* fmt, va_list args) {
    char small[512];
    va_list first;
    va_copy(first, args);
    int len = vsnprintf(small, sizeof small, fmt, first);
    va_end(first);
    if (len < 0) return fmt;
    if (static_cast<size_t>(len) < sizeof small) return std::string(small, static_cast<size_t>(len));
    std::string out(static_cast<size_t>(len) + 1, '\0');
    vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(len));
    return out;
}

// "%H:%M:%S" of the local time. Each thread keeps the stamp of the last second it saw: localtime_r takes
// the C library's time-zone lock, which every logging thread would otherwise queue on.
const char* local_stamp(time_t now) {
    thread_local time_t t_last = -1;
    thread_local char t_stamp[32] = "";
    if (now != t_last) {
        struct tm local {};
        if (localtime_r(&now, &local) == nullptr ||
            strftime(t_stamp, sizeof t_stamp, "%H:%M:%S", &local) == 0)
            t_stamp[0] = '\0';
        t_last = now;
    }
    return t_stamp;
}

// Inside a batch lines are held in the stream's buffer: one write per line cost a copy of 20,000 small
// files as many system calls. What may be held back is bounded by kFlushAfter seconds.
constexpr size_t kFileBuffer = 64 * 1024;
constexpr double kFlushAfter = 1.0;

const char* level_text(Log::Level level) {
    switch (level) {
    case Log::Level::Debug:
        return "DEBUG";
    case Log::Level::Info:
        return "INFO ";
    case Log::Level::Warn:
        return "WARN ";
    case Log::Level::Error:
        return "ERROR";
    }
    return "INFO ";
}

int64_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

} // namespace

Log& Log::instance() {
    // Never destroyed: detached threads (the drive refresh among them) may still log while the process
    // exits, and a destroyed log would be a crash at exit. exit() writes out what a batch still holds.
    alignas(Log) static unsigned char storage[sizeof(Log)];
    static Log* const log = new (storage) Log();
    return *log;
}

void Log::name_this_thread(const std::string& name) {
    t_thread_name = name;
}

Log::Log() {
    // The slots are filled as messages arrive: constructing all 40000 up front costs a short-lived
    // program (tavrin-copy) a noticeable share of its run.
    m_ring.reserve(kRingSize);
    m_start_time = steady_seconds();
    open_file();
    name_this_thread("ui");
}

void Log::open_file() {
    m_path = config_dir() + "/Tavrin.log";
    if (file_size(m_path) > kFileLimit) {
        std::string old = m_path + ".1";
        remove(old.c_str());
        rename(m_path.c_str(), old.c_str());
    }
    m_file.reset(fopen(m_path.c_str(), "ae"));
    if (!m_file) return;
    setvbuf(m_file.get(), nullptr, _IOFBF, kFileBuffer);
    int64_t size = file_size(m_path);
    m_bytes_written = size > 0 ? size : 0;
}

void Log::rotate_locked() {
    m_file.reset();
    std::string old = m_path + ".1";
    remove(old.c_str());
    rename(m_path.c_str(), old.c_str());
    m_file.reset(fopen(m_path.c_str(), "ae"));
    m_bytes_written = 0;
    if (!m_file) return;
    setvbuf(m_file.get(), nullptr, _IOFBF, kFileBuffer);
    fprintf(m_file.get(), "---- rotated at %lld bytes ----\n", static_cast<long long>(kFileLimit));
    if (m_batches == 0)
        fflush(m_file.get());
    else
        m_held = true;
}

void Log::write(Level level, const std::string& text) {
    if (level == Level::Debug && !debug()) return;
    record(level, std::string(text));
}

void Log::record(Level level, std::string&& text) {
    Entry entry;
    entry.level = level;
    entry.text = std::move(text);
    entry.thread = t_thread_name;
    entry.monotonic = steady_seconds() - m_start_time;
    time_t now = time(nullptr);
    entry.unix_time = static_cast<int64_t>(now);
    const char* stamp = local_stamp(now);
    // Milliseconds are taken from the steady clock, which never jumps back when the wall clock is set.
    int millis = static_cast<int>(static_cast<int64_t>(entry.monotonic * 1000.0) % 1000);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_ring_pos == m_ring.size()) m_ring.emplace_back();
    Entry& slot = m_ring[m_ring_pos];
    slot = std::move(entry);
    m_ring_pos = (m_ring_pos + 1) % kRingSize;
    if (m_ring_pos == 0) m_ring_wrapped = true;

    if (!m_file) return;
    int printed = fprintf(m_file.get(), "%s.%03d %s [%-4s] %s\n", stamp, millis, level_text(level),
                          slot.thread.c_str(), slot.text.c_str());
    if (printed > 0) m_bytes_written += printed;
    // Warnings and errors are written at once: they are what a crash right after must not lose.
    if (m_batches == 0 || level >= Level::Warn || slot.monotonic - m_last_flush >= kFlushAfter) {
        fflush(m_file.get());
        m_last_flush = slot.monotonic;
        m_held = false;
    } else {
        m_held = true;
    }
    if (m_bytes_written > kFileLimit) rotate_locked();
}

void Log::flush_pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_held || !m_file) return;
    fflush(m_file.get());
    m_last_flush = steady_seconds() - m_start_time;
    m_held = false;
}

void Log::begin_batch() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_batches;
}

void Log::end_batch() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_batches > 0) --m_batches;
    if (m_batches == 0 && m_file) {
        fflush(m_file.get());
        m_held = false;
    }
}

void Log::vlog(Level level, const char* fmt, va_list args) {
    record(level, vformat(fmt, args));
}

void Log::infof(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(Level::Info, fmt, args);
    va_end(args);
}

void Log::warnf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(Level::Warn, fmt, args);
    va_end(args);
}

void Log::errorf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vlog(Level::Error, fmt, args);
    va_end(args);
}

void Log::debugf(const char* fmt, ...) {
    if (!debug()) return;
    va_list args;
    va_start(args, fmt);
    vlog(Level::Debug, fmt, args);
    va_end(args);
}

std::vector<Log::Entry> Log::recent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Entry> out;
    if (m_ring_wrapped) {
        out.reserve(kRingSize);
        out.insert(out.end(), m_ring.begin() + static_cast<ptrdiff_t>(m_ring_pos), m_ring.end());
    } else {
        out.reserve(m_ring_pos);
    }
    out.insert(out.end(), m_ring.begin(), m_ring.begin() + static_cast<ptrdiff_t>(m_ring_pos));
    return out;
}

void Log::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ring.clear();
    m_ring_pos = 0;
    m_ring_wrapped = false;
}
