#include "engine/copy_engine.h"

#include "base/clock.h"
#include "base/logger.h"
#include "base/strutil.h"
#include "fs/fs_ops.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace copy_engine {

namespace {

constexpr int kMaxAttempts = 3;
constexpr int kBackoffMs[kMaxAttempts] = {0, 120, 500};
constexpr size_t kMaxStoredFailures = 500;
constexpr auto kConflictPoll = std::chrono::milliseconds(200);
// How often one file may find its chosen name taken before it is given up.
constexpr int kMaxNameRounds = 100;
// A move flushes the target and removes the sources of its finished copies this many at a time.
constexpr size_t kRemovalBatchFiles = 256;
constexpr int64_t kRemovalBatchBytes = int64_t(256) << 20;

constexpr const char* kTimedOut = "timed out — the source or target stopped responding";
constexpr const char* kCancelledUnresponsive = "cancelled — the drive was not responding";
constexpr const char* kNotRegular = "not a regular file (pipe, socket or device)";
constexpr const char* kChangedWhileMoved = "changed while it was being moved — the source was kept";

void empty_signal_handler(int) {}

// Without SA_RESTART, so that a read, write or copy call blocked in a worker returns EINTR.
void install_wake_signal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = empty_signal_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR2, &sa, nullptr);
    });
}

void wake_thread(uint64_t handle) {
    if (handle != 0) pthread_kill(static_cast<pthread_t>(handle), SIGUSR2);
}

// The status fields the engine needs with nanosecond times; fsops::Stat keeps whole seconds only.
struct NodeInfo {
    bool exists = false;
    bool is_dir = false;
    bool is_symlink = false;
    bool is_regular = false;
    int64_t size = 0;
    uint32_t mode = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t nlink = 0;
    timespec atime{};
    timespec mtime{};
    int error = 0; // errno of a failed lstat
};

NodeInfo info_of(const struct stat& st) {
    NodeInfo n;
    n.exists = true;
    n.is_dir = S_ISDIR(st.st_mode);
    n.is_symlink = S_ISLNK(st.st_mode);
    n.is_regular = S_ISREG(st.st_mode);
    n.size = st.st_size;
    n.mode = st.st_mode & 07777;
    n.device = st.st_dev;
    n.inode = st.st_ino;
    n.nlink = st.st_nlink;
    n.atime = st.st_atim;
    n.mtime = st.st_mtim;
    return n;
}

NodeInfo node_info(const std::string& path) {
    struct stat st {};
    if (!fsops::lstat_raw(path, st)) {
        NodeInfo n;
        n.error = errno;
        return n;
    }
    return info_of(st);
}

bool older(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The source of a move no longer looks as it did before its copy began (written to meanwhile).
bool changed_since(const NodeInfo& before, const std::string& path) {
    NodeInfo after = node_info(path);
    return after.exists &&
           (after.size != before.size || after.inode != before.inode || after.device != before.device ||
            older(before.mtime, after.mtime) || older(after.mtime, before.mtime));
}

// The pause before a retry; a signal (our own wake-up) must not shorten it.
void sleep_ms(int ms) {
    timespec req{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

std::string real_path(const std::string& path) {
    char* p = ::realpath(path.c_str(), nullptr);
    if (!p) return {};
    std::string out(p);
    std::free(p);
    return out;
}

bool is_inside(const std::string& inner, const std::string& outer) {
    if (inner.empty() || outer.empty()) return false;
    if (inner == outer) return true;
    std::string prefix = outer == "/" ? outer : outer + "/";
    return inner.compare(0, prefix.size(), prefix) == 0;
}

// A folder's own counts from its listing (one folder, its files and their bytes), and the folders in it.
fsops::TreeSize count_listing(const std::string& dir, const fsops::RawListing& listing,
                              std::vector<std::string>& folders) {
    fsops::TreeSize t;
    t.dirs = 1;
    if (!listing.error.empty()) t.unreadable = 1;
    for (const fsops::RawEntry& e : listing.entries) {
        if (e.is_dir) {
            folders.push_back(su::join_path(dir, e.name));
            continue;
        }
        t.files += 1;
        if (!e.is_symlink && !e.is_special) t.bytes += e.size;
    }
    return t;
}

void add_size(fsops::TreeSize& to, const fsops::TreeSize& t) {
    to.bytes += t.bytes;
    to.files += t.files;
    to.dirs += t.dirs;
    to.unreadable += t.unreadable;
}

} // namespace

struct Engine::Source {
    std::string path;
    NodeInfo info;
    fsops::TreeSize size; // what measuring found in it
};

double smooth_rate(double previous, double instant) {
    return previous > 0 ? 0.4 * instant + 0.6 * previous : instant;
}

double estimate_seconds_remaining(const EstimateInput& in) {
    int64_t bytes_left = in.bytes_total - in.bytes_done;
    if (in.scanning || bytes_left <= 0 || in.byte_rate <= 1024.0) return -1;
    double by_bytes = static_cast<double>(bytes_left) / in.byte_rate;
    int64_t files_left = in.files_total - in.files_done;
    if (files_left <= 4) return by_bytes;
    if (in.file_rate <= 0.01) return -1;
    double by_files = static_cast<double>(files_left) / in.file_rate;
    double hi = std::max(by_bytes, by_files);
    double lo = std::min(by_bytes, by_files);
    // Two estimates that disagree this much mean neither can be trusted (one huge file among many small).
    if (hi > 4.0 * lo) return -1;
    return hi;
}

// The log is built first so that it outlives the engine, whose destructor may still write to it.
Engine::Engine() {
    Log::instance();
}

Engine::~Engine() {
    cancel();
    reap();
}

Engine& instance() {
    static Engine engine;
    return engine;
}

void Engine::set_watchdog_intervals(double report_seconds, double kill_seconds) {
    m_report_after = report_seconds;
    m_kill_after = kill_seconds;
}

void Engine::set_watchdog_mark_hook(std::function<void(size_t)> hook) {
    m_before_mark = std::move(hook);
}

bool Engine::start(std::vector<std::string> sources, const std::string& target_dir, Operation op,
                   int thread_count, ConflictAction default_action) {
    if (m_running.load() || sources.empty() || target_dir.empty()) return false;
    // A finished transfer that nobody reaped: its threads have left their loops, so joining is quick
    // and keeps new threads from being started over unjoined ones.
    reap();

    const std::string& first = sources.front();
    // Each side is classified once: a lookup costs a path resolution under /sys and a few reads.
    fsops::DeviceClass source_class;
    fsops::DeviceClass target_class;
    fsops::classify_devices(first, target_dir, source_class, target_class);
    int workers = fsops::recommended_threads(source_class, target_class, thread_count);
    workers = std::clamp(workers, 1, 32);
    std::string summary = std::string(fsops::device_class_name(source_class)) + " → " +
                          fsops::device_class_name(target_class) + ", " + std::to_string(workers) + "×";
    {
        std::lock_guard lk(m_mutex);
        m_queue.clear();
        m_queue_pos = 0;
        m_queue_complete = false;
        m_failures.clear();
        m_failures_total = 0;
        m_files_copied = 0;
        m_files_cancelled = 0;
        m_disk_full = false;
        m_space_short = 0;
        m_target_free = -1;
        m_move_dirs.clear();
        m_removals.clear();
        m_removal_bytes = 0;
        m_made_dirs.clear();
        m_conflict = ConflictRequest{};
        m_conflict_answered = false;
        m_conflict_answer = ConflictAction::Ask;
        m_default_action = default_action;
        m_standing_rule = ConflictAction::Ask;
        m_op = op;
        m_target_dir = target_dir;
        m_thread_count = workers;
        m_device_summary = summary;
        // Helpers list folders beside the scan while it measures, except on a network share, where a
        // folder that stops answering would hold them.
        m_measure_helpers =
            source_class == fsops::DeviceClass::Network ? 0 : std::clamp(fsops::cpu_cores() - 1, 0, 3);
        m_read_ahead = fsops::cpu_cores() >= 2 &&
                       (source_class == fsops::DeviceClass::Rotational ||
                        source_class == fsops::DeviceClass::Ssd || source_class == fsops::DeviceClass::Nvme);
        m_ahead_waiting = false;
        m_current.assign(static_cast<size_t>(workers), std::string());
        m_slot_folder.assign(static_cast<size_t>(workers), kNoFolder);
        m_written_inodes.clear();
        m_scan_linked.clear();
        m_stalled_path.clear();
        m_stalled_seconds = 0;
    }
    m_cancel = false;
    m_finished = false;
    m_scanning = true;
    m_running = true;
    m_files_total = 0;
    m_files_done = 0;
    m_bytes_total = 0;
    m_bytes_done = 0;
    m_retried = 0;
    m_cloned = 0;
    double now = steady_seconds();
    m_start_time = now;
    m_end_time = 0;
    {
        std::lock_guard lk(m_rate_mutex);
        m_last_rate_time = now;
        m_last_rate_bytes = 0;
        m_last_rate_files = 0;
        m_rate = 0;
        m_file_rate = 0;
    }

    Log& log = Log::instance();
    log.infof("transfer start: %s of %zu source(s) → %s [%s]", op == Operation::Move ? "MOVE" : "COPY",
              sources.size(), target_dir.c_str(), summary.c_str());
    for (size_t i = 0; i < sources.size() && i < 20; ++i)
        log.infof("  from: %s", sources[i].c_str());
    if (sources.size() > 20) log.infof("  … and %zu more", sources.size() - 20);
    // A line for every file: written in batches until the transfer ends.
    log.begin_batch();

    m_active_workers = workers;
    install_wake_signal();

    m_slot_count = static_cast<size_t>(workers);
    m_slot_last_progress = std::make_unique<std::atomic<double>[]>(m_slot_count);
    m_slot_tid = std::make_unique<std::atomic<uint64_t>[]>(m_slot_count);
    m_slot_timed_out = std::make_unique<std::atomic<uint64_t>[]>(m_slot_count);
    m_slot_serial = std::make_unique<std::atomic<uint64_t>[]>(m_slot_count);
    m_slot_folders = std::make_unique<SlotFolders[]>(m_slot_count);
    for (size_t i = 0; i < m_slot_count; ++i) {
        m_slot_last_progress[i] = now;
        m_slot_tid[i] = 0;
        m_slot_timed_out[i] = 0;
        m_slot_serial[i] = 0;
    }
    m_scan_tid = 0;

    m_scanner = std::thread(&Engine::scan_thread, this, std::move(sources), target_dir);
    m_workers.reserve(m_slot_count);
    for (int slot = 0; slot < workers; ++slot)
        m_workers.emplace_back(&Engine::worker_thread, this, slot);
    return true;
}

std::string Engine::unique_name(const std::string& dir, const std::string& name) {
    static const char* const kDoubleExtensions[] = {".tar.gz", ".tar.bz2", ".tar.xz", ".tar.zst", ".tar.lz"};
    std::string stem = name;
    std::string ext;
    std::string lower = su::lower_ascii(name);
    bool found = false;
    for (const char* de : kDoubleExtensions) {
        std::string_view d(de);
        if (lower.size() > d.size() && su::ends_with(lower, d)) {
            stem = name.substr(0, name.size() - d.size());
            ext = name.substr(name.size() - d.size());
            found = true;
            break;
        }
    }
    if (!found) {
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot != 0) {
            stem = name.substr(0, dot);
            ext = name.substr(dot);
        }
    }
    for (int n = 1; n <= 9999; ++n) {
        std::string candidate = stem + "." + std::to_string(n) + ext;
        if (!fsops::exists(su::join_path(dir, candidate))) return candidate;
    }
    return {};
}

void Engine::note_failure(const std::string& path, const std::string& message, const std::string& target,
                          int attempts, int code) {
    std::lock_guard lk(m_mutex);
    ++m_failures_total;
    if (m_failures.size() < kMaxStoredFailures)
        m_failures.push_back(FailedItem{path, target, message, attempts, code});
}

void Engine::queue_tasks(std::vector<FileTask>& tasks) {
    if (tasks.empty()) return;
    const size_t count = tasks.size();
    {
        std::lock_guard lk(m_mutex);
        for (FileTask& t : tasks)
            m_queue.push_back(std::move(t));
    }
    tasks.clear();
    // One wake-up for a folder's files rather than one for every file.
    if (count >= m_slot_count)
        m_queue_cv.notify_all();
    else
        for (size_t i = 0; i < count; ++i)
            m_queue_cv.notify_one();
}

void Engine::wake_all() {
    std::lock_guard lk(m_mutex);
    m_queue_cv.notify_all();
    m_conflict_cv.notify_all();
    m_link_cv.notify_all();
    m_ahead_cv.notify_all();
}

void Engine::count_done(const fsops::TreeSize& t) {
    m_files_done += t.files;
    m_bytes_done += t.bytes;
}

void Engine::count_skipped_tree(const std::string& path) {
    fsops::TreeSize t;
    if (!sum_listed_tree(path, t)) t = fsops::measure_tree(path, [this] { return !m_cancel.load(); });
    count_done(t);
}

// Adds up a subtree from the listings of the measuring phase, which are let go; false when the folder
// was not listed.
bool Engine::sum_listed_tree(const std::string& path, fsops::TreeSize& out) {
    std::vector<std::string> stack{path};
    bool listed = false;
    while (!stack.empty()) {
        std::string dir = std::move(stack.back());
        stack.pop_back();
        auto it = m_listings.find(dir);
        if (it == m_listings.end()) continue;
        listed = true;
        for (const fsops::RawEntry& e : it->second.entries) {
            if (e.is_dir) {
                stack.push_back(su::join_path(dir, e.name));
                continue;
            }
            out.files += 1;
            if (!e.is_symlink && !e.is_special) out.bytes += e.size;
        }
        m_listings.erase(it);
    }
    return listed;
}

fsops::RawListing Engine::take_listing(const std::string& dir) {
    auto it = m_listings.find(dir);
    if (it == m_listings.end()) return fsops::list_dir_raw(dir);
    fsops::RawListing out = std::move(it->second);
    m_listings.erase(it);
    return out;
}

bool Engine::try_rename_move(const Source& src, const std::string& to) {
    const std::string& from = src.path;
    if (fsops::exists(to) || fsops::rename_would_cross_device(from, to)) return false;
    // The check above can be overtaken by a file created at the target; NOREPLACE never replaces it.
    if (std::string err = fsops::rename_exclusive(from, to); !err.empty()) {
        Log::instance().infof("move: rename of %s not possible (%s), copying instead", from.c_str(),
                              err.c_str());
        return false;
    }
    Log::instance().infof("moved %s -> %s (rename)", from.c_str(), to.c_str());
    count_done(src.size);
    return true;
}

std::vector<Engine::Source> Engine::measure_sources(const std::vector<std::string>& paths) {
    std::vector<Source> out;
    int64_t files = 0;
    int64_t bytes = 0;
    for (const std::string& path : paths) {
        if (m_cancel) break;
        Source src{path, node_info(path), {}};
        if (src.info.is_dir) {
            src.size = measure_folder(path);
        } else if (src.info.exists) {
            src.size.files = 1;
            src.size.bytes = src.info.is_regular ? src.info.size : 0;
        }
        files += src.size.files;
        bytes += src.size.bytes;
        out.push_back(std::move(src));
    }
    m_files_total = files;
    m_bytes_total = bytes;
    m_scanning = false;
    return out;
}

// Lists every folder of the tree and keeps the listings for the walk. Listing takes a status call per
// file, which made measuring the longest wait before the first copy of a tree of small files; once the
// tree shows more than one folder to list, helper threads list folders beside the scan thread. The order
// in which folders are listed does not matter: the walk looks each one up by its path.
fsops::TreeSize Engine::measure_folder(const std::string& root) {
    // Helpers cost a thread each: not worth it for a handful of files.
    constexpr int64_t kHelpFrom = 100;
    struct Walk {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::string> todo; // folders found and not yet listed
        int listing = 0;               // folders being listed right now
        fsops::TreeSize total;
    } w;
    w.todo.push_back(root);
    std::vector<std::thread> helpers;
    std::function<void(bool)> work;
    // Started by the scan thread, under the walk's lock, once; a thread that cannot be had leaves the
    // rest to those there are.
    const auto start_helpers = [this, &w, &helpers, &work] {
        const size_t count = std::min(static_cast<size_t>(m_measure_helpers), w.todo.size() - 1);
        for (size_t i = 0; i < count; ++i) {
            try {
                helpers.emplace_back([&work, i] {
                    Log::name_this_thread("ms" + std::to_string(i + 1));
                    work(false);
                });
            } catch (const std::system_error&) {
                break;
            }
        }
    };
    work = [this, &w, &helpers, &start_helpers](bool owner) {
        std::unique_lock lk(w.mutex);
        for (;;) {
            while (w.todo.empty() && w.listing > 0 && !m_cancel)
                w.cv.wait_for(lk, std::chrono::milliseconds(100));
            if (m_cancel || w.todo.empty()) break;
            std::string dir = std::move(w.todo.back());
            w.todo.pop_back();
            ++w.listing;
            lk.unlock();
            fsops::RawListing listing = fsops::list_dir_raw(dir);
            std::vector<std::string> folders;
            const fsops::TreeSize t = count_listing(dir, listing, folders);
            lk.lock();
            --w.listing;
            add_size(w.total, t);
            for (std::string& f : folders)
                w.todo.push_back(std::move(f));
            m_listings.insert_or_assign(std::move(dir), std::move(listing));
            if (owner && m_measure_helpers > 0 && helpers.empty() && w.todo.size() >= 2 &&
                w.total.files >= kHelpFrom)
                start_helpers();
            w.cv.notify_all();
        }
    };
    work(true);
    for (std::thread& h : helpers)
        h.join();
    return w.total;
}

void Engine::check_free_space(const std::string& target_dir) {
    const int64_t bytes = m_bytes_total.load();
    const int64_t free = fsops::free_space(target_dir);
    m_target_free = free;
    if (free < 0 || free >= bytes) {
        m_space_short = 0;
        return;
    }
    m_space_short = bytes - free;
    Log::instance().warnf("target may be too small: %lld bytes needed, %lld free (%s)",
                          static_cast<long long>(bytes), static_cast<long long>(free), target_dir.c_str());
}

void Engine::scan_thread(std::vector<std::string> sources, std::string target_dir) {
    Log::name_this_thread("scan");
    m_scan_tid = static_cast<uint64_t>(pthread_self());
    m_listings.clear();
    m_folders_walked = 0;
    const std::vector<Source> measured = measure_sources(sources);
    check_free_space(target_dir);

    // Resolved only for a folder among the sources: nothing else can be copied into itself.
    const bool any_folder =
        std::any_of(measured.begin(), measured.end(), [](const Source& s) { return s.info.is_dir; });
    const std::string real_target = any_folder ? real_path(target_dir) : std::string();
    const uint64_t target_device = fsops::stat_path(target_dir).device;
    for (const Source& src : measured) {
        if (m_cancel || !scan_source(src, target_dir, real_target, target_device)) break;
    }
    m_listings.clear();

    {
        std::lock_guard lk(m_mutex);
        m_queue_complete = true;
        m_queue_cv.notify_all();
        m_link_cv.notify_all();
    }
    // The thread's handle stays published meanwhile: a cancel, and the end of the last worker, wake an
    // open that hangs.
    read_ahead();
    m_scan_tid = 0;
}

// A worker copies one file at a time, and a small file that is not in the cache costs it a wait for the
// disk on every file. While the workers copy, this thread asks for the data of the next files in the
// queue, a few dozen ahead, so that the disk has several reads to serve at once and serves them in the
// order of the queue, which the walk gave the order of the disk. Where the files are in the cache
// already, it only looks at one file in a stretch now and then: opening every file a second time would
// slow the workers down. Large files are read ahead by the kernel as they are copied. Only local disks:
// on a network share a hung open would hold this thread.
void Engine::read_ahead() {
    constexpr size_t kFilesAhead = 64;
    // Files passed over after one found in the cache; the stretch doubles while file after file is, up
    // to the longest, so that a warm copy wakes this thread (a call for the worker that wakes it) every
    // few hundred files rather than every few dozen, and a cold part of the tree is met soon enough.
    constexpr size_t kStretch = 32;
    constexpr size_t kLongestStretch = 256;
    constexpr int64_t kSmallFile = 1 << 20;
    if (!m_read_ahead) return;
    // The files the workers take next they open at once themselves; asking for them too would only open
    // them twice.
    const size_t skip = static_cast<size_t>(m_thread_count);
    size_t next = 0;
    size_t stretch = kStretch;
    std::unique_lock lk(m_mutex);
    while (!m_cancel && m_active_workers.load() > 0) {
        next = std::max(next, m_queue_pos + skip);
        if (next >= m_queue.size()) break;
        if (next - m_queue_pos >= kFilesAhead + skip) {
            // Woken when the workers have used up half of what is ahead (or come near the end of a
            // stretch passed over), not for every file they take.
            m_ahead_wake_at = next - skip - kFilesAhead / 2;
            m_ahead_waiting = true;
            m_ahead_cv.wait_for(lk, std::chrono::milliseconds(100));
            m_ahead_waiting = false;
            continue;
        }
        const FileTask& task = m_queue[next++];
        if (task.is_symlink || task.size <= 0 || task.size >= kSmallFile) continue;
        const std::string path = task.source;
        lk.unlock();
        const bool cached = fsops::start_reading(path);
        lk.lock();
        if (cached) {
            next = std::min(next + stretch, m_queue.size());
            stretch = std::min(stretch * 2, kLongestStretch);
        } else {
            stretch = kStretch;
        }
    }
}

bool Engine::scan_source(const Source& src, const std::string& target_dir, const std::string& real_target,
                         uint64_t target_device) {
    const std::string& from = src.path;
    std::string name = su::basename_of(from);
    if (name.empty() || name == "/") return true;
    std::string to = su::join_path(target_dir, name);
    if (to == from && m_default_action.load() == ConflictAction::RenameNew) {
        std::string fresh = unique_name(target_dir, name);
        if (!fresh.empty()) to = su::join_path(target_dir, fresh);
    }
    // Also through links and bind mounts: a folder copied into itself would recurse without end.
    bool into_itself = to == from || su::starts_with(to, from + "/");
    if (!into_itself && src.info.is_dir) into_itself = is_inside(real_target, real_path(from));
    if (into_itself) {
        note_failure(from, "cannot copy a folder into itself", "", 1, 0);
        count_done(src.size);
        return true;
    }
    if (!src.info.exists) {
        // Only a missing source is gone; one that cannot be examined says why.
        const int err = src.info.error;
        bool gone = err == ENOENT || err == ENOTDIR;
        note_failure(from, gone ? "no longer exists" : from + ": " + std::strerror(err), "", 1, err);
        return true;
    }
    if (m_op.load() == Operation::Move && try_rename_move(src, to)) return true;
    if (src.info.is_dir) return scan_top_folder(src, to, target_device);
    if (!src.info.is_regular && !src.info.is_symlink) {
        skip_special(from, to);
        return true;
    }
    const NodeInfo& n = src.info;
    fsops::RawEntry e;
    e.name = name;
    e.is_symlink = n.is_symlink;
    e.size = n.is_symlink ? 0 : n.size;
    e.inode = n.is_symlink ? 0 : n.inode;
    e.device = n.device;
    e.nlink = static_cast<uint32_t>(n.nlink);
    // Files picked one by one may be names of one file, too; they stay linked in the target.
    std::vector<FileTask> one{task_for(e, from, to)};
    one.front().target_device = target_device;
    queue_tasks(one);
    return true;
}

bool Engine::scan_top_folder(const Source& src, const std::string& to, uint64_t target_device) {
    Log& log = Log::instance();
    const std::string& from = src.path;
    std::string v = to;
    bool made_root = false;
    NodeInfo existing = node_info(v);
    if (existing.exists && existing.is_dir) {
        FileTask probe;
        probe.source = from;
        probe.target = v;
        ConflictAction a = ask_conflict(probe, true, -1);
        if (a == ConflictAction::Cancel) {
            m_cancel = true;
            wake_all();
            return false;
        }
        if (a == ConflictAction::Skip) {
            log.infof("folder conflict: skipping %s", from.c_str());
            count_done(src.size);
            return true;
        }
        if (a == ConflictAction::RenameNew) {
            v = make_fresh_folder(v, src.info.mode);
            if (v.empty()) {
                note_failure(from, "no free name available", to, 1, 0);
                count_done(src.size);
                return true;
            }
            made_root = true;
            log.infof("folder conflict: keeping both, new folder %s", v.c_str());
        } else {
            log.infof("folder conflict: merging into %s", v.c_str());
        }
    }
    walk_folder(from, v, made_root, target_device);
    return true;
}

void Engine::skip_special(const std::string& source, const std::string& target) {
    note_failure(source, kNotRegular, target, 1, 0);
    Log::instance().warnf("skipped special file: %s", source.c_str());
    m_files_done += 1;
}

Engine::FileTask Engine::task_for(const fsops::RawEntry& e, std::string source, std::string target) {
    FileTask task;
    task.source = std::move(source);
    task.target = std::move(target);
    task.size = e.is_symlink ? 0 : e.size;
    task.is_symlink = e.is_symlink;
    task.inode = e.inode;
    task.device = e.device;
    if (!e.is_symlink && e.inode != 0) {
        // A move removes names as it goes, so a later name of the same file may show a single link and
        // must still be linked, not copied.
        std::pair<uint64_t, uint64_t> key{e.device, e.inode};
        if (e.nlink > 1) m_scan_linked.insert(key);
        task.multi_linked = m_scan_linked.count(key) > 0;
    }
    return task;
}

// Creates a folder under a free name beside `taken`; a name taken meanwhile is never merged into, the
// next one is tried. The path made, or "" when none was free.
std::string Engine::make_fresh_folder(const std::string& taken, uint32_t mode) {
    std::string parent = su::parent_of(taken);
    if (parent.empty()) parent = "/";
    for (int round = 0; round < kMaxNameRounds; ++round) {
        std::string fresh = unique_name(parent, su::basename_of(taken));
        if (fresh.empty()) return {};
        std::string path = su::join_path(parent, fresh);
        if (fsops::make_dir_exclusive(path, (mode | 0700) & 0777).empty()) return path;
        if (fsops::last_error_code() != EEXIST) return {};
    }
    return {};
}

// Makes (or finds) the folder `dst_dir` that `src_dir` is copied into. False when this folder cannot be
// walked (the failure is recorded and its tree counted as done). `into.fresh`: nothing was in it
// before, so that its files need no look for a name already taken (a name taken meanwhile still fails
// the copy's exclusive placement). `into.device` comes in as the device of the folder that holds it.
bool Engine::enter_target_folder(const std::string& src_dir, const std::string& dst_dir, bool made_by_us,
                                 TargetFolder& into) {
    NodeInfo dst = made_by_us ? NodeInfo{} : node_info(dst_dir);
    if (dst.exists && !dst.is_dir) {
        note_failure(dst_dir, "a file with this name is in the way", "", 1, 0);
        count_skipped_tree(src_dir);
        return false;
    }
    into.fresh = !dst.exists;
    if (dst.exists) {
        into.device = dst.device; // perhaps another file system mounted there
        return true;
    }
    NodeInfo src = node_info(src_dir);
    uint32_t perm = src.mode & 07777;
    if (perm == 0) perm = 0755;
    if (!made_by_us) {
        // Created writable for us; the real mode (a read-only folder, set-group-ID, sticky) and the
        // times are applied when its contents are in place. Its parent is there as a rule.
        std::string err = fsops::make_dir(dst_dir, (perm | 0700) & 0777);
        if (!err.empty() && fsops::last_error_code() == ENOENT)
            err = fsops::make_dirs(dst_dir, (perm | 0700) & 0777);
        if (!err.empty()) {
            note_failure(dst_dir, err, "", 1, fsops::last_error_code());
            count_skipped_tree(src_dir);
            return false;
        }
    }
    std::lock_guard lk(m_mutex);
    m_made_dirs.push_back(MadeDir{dst_dir, perm, src.atime, src.mtime});
    return true;
}

void Engine::walk_folder(const std::string& from, const std::string& to, bool made_root, uint64_t device) {
    struct Frame {
        std::string src;
        std::string dst;
        uint64_t device; // of the folder that holds dst
    };
    std::vector<Frame> stack{{from, to, device}};
    std::vector<std::string> walked;
    std::vector<FileTask> batch;
    while (!stack.empty() && !m_cancel) {
        Frame f = std::move(stack.back());
        stack.pop_back();

        TargetFolder into{false, f.device};
        if (!enter_target_folder(f.src, f.dst, made_root && f.dst == to, into)) continue;
        walked.push_back(f.src);
        ++m_folders_walked;

        fsops::RawListing listing = take_listing(f.src);
        if (!listing.error.empty()) note_failure(f.src, listing.error, f.dst, 1, listing.code);
        for (const fsops::RawEntry& e : listing.entries) {
            std::string child_src = su::join_path(f.src, e.name);
            std::string child_dst = su::join_path(f.dst, e.name);
            if (e.is_dir) {
                stack.push_back(Frame{std::move(child_src), std::move(child_dst), into.device});
            } else if (e.is_special) {
                skip_special(child_src, child_dst);
            } else {
                FileTask& task = batch.emplace_back(task_for(e, std::move(child_src), std::move(child_dst)));
                task.fresh_dir = into.fresh;
                task.target_device = into.device;
                task.folder = m_folders_walked;
            }
        }
        queue_tasks(batch);
    }
    if (m_op.load() == Operation::Move) {
        std::lock_guard lk(m_mutex);
        m_move_dirs.insert(m_move_dirs.end(), walked.rbegin(), walked.rend());
    }
}

ConflictAction Engine::ask_conflict(const FileTask& task, bool target_is_dir, int slot) {
    std::unique_lock lk(m_mutex);
    if (m_standing_rule != ConflictAction::Ask) return m_standing_rule;
    ConflictAction def = m_default_action.load();
    if (def != ConflictAction::Ask) return def;
    // The status of both sides is taken without the lock: on a hung share it can take minutes, and the
    // interface's snapshot and watchdog need the lock meanwhile.
    lk.unlock();
    NodeInfo s = node_info(task.source);
    NodeInfo t = node_info(task.target);
    note_slot_progress(slot);
    lk.lock();

    while (m_conflict.pending && !m_cancel) {
        note_slot_progress(slot);
        m_conflict_cv.wait_for(lk, kConflictPoll);
    }
    if (m_cancel) return ConflictAction::Cancel;
    if (m_standing_rule != ConflictAction::Ask) return m_standing_rule;

    m_conflict =
        ConflictRequest{true,           task.source,   task.target,        s.size, t.size, s.mtime.tv_sec,
                        t.mtime.tv_sec, target_is_dir, ++m_conflict_serial};
    m_conflict_answered = false;
    while (!m_conflict_answered && !m_cancel) {
        note_slot_progress(slot);
        m_conflict_cv.wait_for(lk, kConflictPoll);
    }
    ConflictAction result = m_conflict_answered ? m_conflict_answer : ConflictAction::Cancel;
    m_conflict.pending = false;
    m_conflict_answered = false;
    lk.unlock();
    m_conflict_cv.notify_all();
    note_slot_progress(slot);
    return result;
}

void Engine::resolve_conflict(ConflictAction action, bool apply_to_all) {
    // Ask is no answer: the question stays open.
    if (action == ConflictAction::Ask) return;
    {
        std::lock_guard lk(m_mutex);
        if (!m_conflict.pending || m_conflict_answered) return;
        m_conflict_answer = action;
        m_conflict_answered = true;
        if (apply_to_all && action != ConflictAction::Cancel) m_standing_rule = action;
    }
    if (action == ConflictAction::Cancel) m_cancel = true;
    wake_all();
}

void Engine::worker_thread(int slot) {
    Log::name_this_thread("w" + std::to_string(slot));
    const size_t s = static_cast<size_t>(slot);
    m_slot_tid[s] = static_cast<uint64_t>(pthread_self());
    note_slot_progress(slot);

    for (;;) {
        FileTask task;
        if (!next_task(slot, task)) break;
        run_task(task, slot);
        if (m_cancel) break;
    }

    set_current(slot, "");
    m_slot_tid[s] = 0;
    m_slot_folders[s].source.release();
    m_slot_folders[s].target.release();
    if (m_active_workers.fetch_sub(1) == 1) {
        // The read-ahead waits only while files are left, and there is nobody left to copy them; an
        // open of it that hangs is broken as a worker's call would be.
        {
            std::lock_guard lk(m_mutex);
            m_ahead_cv.notify_all();
        }
        wake_thread(m_scan_tid.load());
        finish_transfer();
    }
}

void Engine::pick_other_folder(size_t slot) {
    // Far enough to reach the next folder of a large one, near enough to stay cheap under the lock.
    constexpr size_t kLookAhead = 1024;
    auto busy = [&](uint32_t folder) {
        for (size_t i = 0; i < m_slot_folder.size(); ++i)
            if (i != slot && m_slot_folder[i] == folder) return true;
        return false;
    };
    const uint32_t first = m_queue[m_queue_pos].folder;
    if (!busy(first)) return;
    const size_t end = std::min(m_queue.size(), m_queue_pos + kLookAhead);
    for (size_t j = m_queue_pos + 1; j < end; ++j) {
        const uint32_t f = m_queue[j].folder;
        if (f != first && !busy(f)) {
            std::swap(m_queue[m_queue_pos], m_queue[j]);
            return;
        }
    }
}

bool Engine::next_task(int slot, FileTask& task) {
    const size_t s = static_cast<size_t>(slot);
    auto ready = [this] { return m_cancel.load() || m_queue_pos < m_queue.size() || m_queue_complete; };
    std::unique_lock lk(m_mutex);
    if (!ready()) {
        m_current[s].clear();
        m_slot_folder[s] = kNoFolder;
        m_queue_cv.wait(lk, ready);
    }
    if (m_cancel || m_queue_pos >= m_queue.size()) {
        m_current[s].clear();
        m_slot_folder[s] = kNoFolder;
        return false;
    }
    pick_other_folder(s);
    // Handed out once: the queue keeps its length, not the tasks it has given away.
    task = std::move(m_queue[m_queue_pos++]);
    if (m_ahead_waiting && m_queue_pos >= m_ahead_wake_at) m_ahead_cv.notify_one();
    // A new serial first: a mark the watchdog decided on for the previous file carries that file's
    // serial and is not taken for this one.
    m_slot_serial[s] += 1;
    note_slot_progress(slot);
    m_current[s] = task.source;
    m_slot_folder[s] = task.folder;
    return true;
}

void Engine::count_without_copy(const FileTask& task) {
    m_files_done += 1;
    m_bytes_done += task.size;
}

// Moves the existing `target` aside to a free name of its folder; a name taken meanwhile is never
// replaced, the next free one is tried. "" when no free name could be had (the failure is recorded).
std::string Engine::move_existing_aside(const std::string& target) {
    std::string parent = su::parent_of(target);
    if (parent.empty()) parent = "/";
    for (int round = 0; round < kMaxNameRounds; ++round) {
        std::string fresh = unique_name(parent, su::basename_of(target));
        if (fresh.empty()) break;
        std::string aside = su::join_path(parent, fresh);
        std::string err = fsops::rename_exclusive(target, aside);
        if (err.empty()) return aside;
        if (fsops::last_error_code() != EEXIST) {
            note_failure(target, err, aside, 1, fsops::last_error_code());
            return {};
        }
    }
    note_failure(target, "no free name available", "", 1, 0);
    return {};
}

Engine::Destination Engine::choose_destination(const FileTask& task, int slot, bool look) {
    Destination d{task.target, fsops::Placement::NewName, {}, false};
    if (!look) return d;
    NodeInfo existing = node_info(task.target);
    if (!existing.exists) return d;
    d.done = true;
    NodeInfo src = node_info(task.source);
    // Overwriting a file with itself (a link or bind mount leading back to the source) would, for a
    // move, end with the only copy deleted.
    if (src.exists && src.device == existing.device && src.inode == existing.inode) {
        note_failure(task.source, "the source and the target are the same file", task.target, 1, 0);
        count_without_copy(task);
        return d;
    }
    ConflictAction a = ask_conflict(task, false, slot);
    switch (a) {
    case ConflictAction::Cancel:
        m_cancel = true;
        wake_all();
        break;
    case ConflictAction::Skip:
    case ConflictAction::Ask:
        break;
    case ConflictAction::OverwriteIfNewer:
    case ConflictAction::Overwrite:
        if (a == ConflictAction::OverwriteIfNewer && !older(existing.mtime, src.mtime)) break;
        d.place = fsops::Placement::Overwrite;
        d.done = false;
        return d;
    case ConflictAction::RenameNew: {
        std::string parent = su::parent_of(task.target);
        if (parent.empty()) parent = "/";
        std::string fresh = unique_name(parent, su::basename_of(task.target));
        if (fresh.empty()) {
            note_failure(task.target, "no free name available", "", 1, 0);
            break;
        }
        // Only chosen here: the copy takes it when complete, and only if it is still free then.
        d.target = su::join_path(parent, fresh);
        d.done = false;
        return d;
    }
    case ConflictAction::RenameExisting:
        d.moved_aside = move_existing_aside(task.target);
        if (d.moved_aside.empty()) break;
        d.done = false;
        return d;
    }
    count_without_copy(task);
    return d;
}

void Engine::run_task(const FileTask& task, int slot) {
    Log& log = Log::instance();
    const bool move = m_op.load() == Operation::Move;
    // A move deletes the source only if the copy holds what the source still holds: a file written to
    // while it was copied keeps its source, or the new data would be lost. The status taken when the
    // source was opened for its copy is compared with the status after it.
    struct stat opened {};
    Destination d;
    CopyOutcome outcome = CopyOutcome::NameTaken;
    // A name that was free when the copy began may be taken when it ends (another file of the same name
    // in this transfer, another program): the file then meets the conflict rules as if the name had
    // been taken from the start.
    for (int round = 0; round < kMaxNameRounds && outcome == CopyOutcome::NameTaken; ++round) {
        d = choose_destination(task, slot, round > 0 || !task.fresh_dir);
        if (d.done) return;
        outcome = copy_one_with_retry(task, d.target, d.place, slot, opened);
        if (outcome == CopyOutcome::NameTaken)
            log.infof("%s was taken while %s was copied; deciding again", d.target.c_str(),
                      task.source.c_str());
    }
    if (outcome == CopyOutcome::NameTaken) {
        note_failure(task.source, "no free name available", d.target, 1, EEXIST);
        m_files_done += 1;
        return;
    }
    if (outcome != CopyOutcome::Copied && !d.moved_aside.empty()) {
        if (fsops::rename_exclusive(d.moved_aside, d.target).empty())
            log.infof("put %s back: its replacement was not copied", d.target.c_str());
    }
    if (outcome == CopyOutcome::Copied && move && !m_cancel)
        remove_moved_source(task, d.target, !task.is_symlink && changed_since(info_of(opened), task.source));
    m_files_done += 1;
}

void Engine::remove_moved_source(const FileTask& task, const std::string& target, bool changed) {
    if (changed) {
        note_failure(task.source, kChangedWhileMoved, target, 1, 0);
        Log::instance().errorf("move: %s changed while it was copied — the source was kept",
                               task.source.c_str());
        return;
    }
    // A source goes only once its copy is on the disk: the finished copies are collected and the
    // target file system is flushed once per batch, then the batch's sources are removed.
    std::vector<PendingRemoval> batch;
    {
        std::lock_guard lk(m_mutex);
        m_removals.push_back(PendingRemoval{task.source, target});
        m_removal_bytes += task.size;
        if (m_removals.size() < kRemovalBatchFiles && m_removal_bytes < kRemovalBatchBytes) return;
        batch.swap(m_removals);
        m_removal_bytes = 0;
    }
    remove_sources_when_durable(std::move(batch));
}

void Engine::remove_sources_when_durable(std::vector<PendingRemoval> batch) {
    if (batch.empty()) return;
    Log& log = Log::instance();
    std::string target_dir;
    {
        std::lock_guard lk(m_mutex);
        target_dir = m_target_dir;
    }
    std::string err = fsops::sync_file_system(target_dir);
    if (!err.empty()) {
        int code = fsops::last_error_code();
        log.errorf("move: the target could not be flushed (%s); %zu source(s) kept", err.c_str(),
                   batch.size());
        for (const PendingRemoval& r : batch)
            note_failure(r.source, err, r.target, 1, code);
        return;
    }
    for (const PendingRemoval& r : batch) {
        err = fsops::remove_file(r.source);
        if (!err.empty()) {
            note_failure(r.source, err, r.target, 1, fsops::last_error_code());
            log.errorf("move: copied but could not remove source %s: %s", r.source.c_str(), err.c_str());
        }
    }
}

std::string Engine::symlink_attempt(const FileTask& task, const std::string& target, fsops::Placement place) {
    std::string text;
    std::string err = fsops::read_link(task.source, text);
    if (!err.empty()) return err;
    // A replacement is made under a temporary name and renamed over the target, so an existing entry
    // stays until the new link exists; a new name is taken only while it is free.
    err = place == fsops::Placement::Overwrite ? fsops::replace_with_symlink(text, target)
                                               : fsops::make_symlink(text, target);
    if (!err.empty()) return err;
    NodeInfo src = node_info(task.source);
    // The link is in place; file systems that keep no times for links are no reason to fail it.
    if (src.exists) static_cast<void>(fsops::set_times(target, src.atime, src.mtime));
    return {};
}

Engine::CopyOutcome Engine::copy_one_with_retry(const FileTask& task, const std::string& target,
                                                fsops::Placement place, int slot, struct stat& opened) {
    Log& log = Log::instance();
    const size_t s = static_cast<size_t>(slot);
    std::string message;
    int code = 0;
    bool timed_out = false;
    bool stopped = false;
    int attempt = 1;
    for (; attempt <= kMaxAttempts; ++attempt) {
        if (m_cancel) {
            stopped = true;
            break;
        }
        if (attempt > 1) {
            sleep_ms(kBackoffMs[attempt - 1]);
            log.warnf("retry %d/%d: %s (%s)", attempt, kMaxAttempts, task.source.c_str(), message.c_str());
            if (m_cancel) {
                stopped = true;
                break;
            }
        }

        AttemptResult a;
        message = copy_attempt(task, target, place, slot, a, opened);
        code = message.empty() ? 0 : fsops::last_error_code();
        uint64_t serial = m_slot_serial[s].load();
        bool marked = m_slot_timed_out[s].compare_exchange_strong(serial, 0);

        if (message.empty() && !a.cancelled) {
            if (a.linked) return CopyOutcome::Copied;
            if (a.cloned) {
                m_cloned += 1;
                log.debugf("reflink %s (%lld bytes, no data moved)", task.source.c_str(),
                           static_cast<long long>(task.size));
            }
            if (attempt > 1) {
                m_retried += 1;
                log.infof("succeeded on attempt %d: %s", attempt, task.source.c_str());
            }
            log.infof("copied %s -> %s (%lld B)", task.source.c_str(), target.c_str(),
                      static_cast<long long>(task.size));
            m_files_copied += 1;
            return CopyOutcome::Copied;
        }

        // The bytes of an attempt that did not complete are not done; a retry counts them again.
        m_bytes_done -= a.moved;
        if (marked && !m_cancel) {
            // The watchdog broke a call that hung in the file system; a retry would hang again.
            timed_out = true;
            message = kTimedOut;
            code = 0;
            break;
        }
        // A call broken by our own wake-up signal (a cancel, or the watchdog followed by a cancel) failed
        // because we asked it to: a stop, not a fault of the file system to report or retry.
        if (a.cancelled || (code == EINTR && (marked || m_cancel))) {
            timed_out = marked;
            stopped = true;
            message.clear();
            break;
        }
        if (place == fsops::Placement::NewName && code == EEXIST && fsops::exists(target))
            return CopyOutcome::NameTaken;
        if (code == ENOSPC) {
            log.errorf("target is full — stopping the transfer");
            m_disk_full = true;
            m_cancel = true;
            wake_all();
            break;
        }
        if (!fsops::is_transient(code)) break;
    }
    if (attempt > kMaxAttempts) attempt = kMaxAttempts;

    if (m_cancel && !m_disk_full) {
        if (timed_out) {
            note_failure(task.source, message.empty() ? kCancelledUnresponsive : message, target, 1, code);
        } else if (!message.empty()) {
            note_failure(task.source, message, target, 1, code);
        } else {
            m_files_cancelled += 1;
        }
        log.warnf("cancelled while busy with %s", task.source.c_str());
        return stopped && message.empty() ? CopyOutcome::Cancelled : CopyOutcome::Failed;
    }
    if (stopped) {
        m_files_cancelled += 1;
        log.warnf("cancelled while busy with %s", task.source.c_str());
        return CopyOutcome::Cancelled;
    }
    int attempts = fsops::is_transient(code) ? kMaxAttempts : 1;
    note_failure(task.source, message, target, attempts, code);
    log.errorf("FAILED after %d attempt(s): %s — %s (errno %d)", attempts, task.source.c_str(),
               message.c_str(), code);
    return CopyOutcome::Failed;
}

std::string Engine::claim_inode(const FileTask& task, const std::string& target, int slot, bool& owner,
                                bool& cancelled) {
    const std::pair<uint64_t, uint64_t> key{task.device, task.inode};
    std::unique_lock lk(m_mutex);
    auto it = m_written_inodes.find(key);
    // Another worker is copying the first name of this inode: wait for it, then link.
    while (it != m_written_inodes.end() && !it->second.complete && !m_cancel) {
        note_slot_progress(slot);
        m_link_cv.wait_for(lk, kConflictPoll);
        it = m_written_inodes.find(key);
    }
    if (m_cancel) {
        cancelled = true;
        return {};
    }
    if (it != m_written_inodes.end()) return it->second.target;
    m_written_inodes[key] = LinkedInode{target, false};
    owner = true;
    return {};
}

std::string Engine::copy_attempt(const FileTask& task, const std::string& target, fsops::Placement place,
                                 int slot, AttemptResult& result, struct stat& opened) {
    const size_t s = static_cast<size_t>(slot);
    if (task.is_symlink) return symlink_attempt(task, target, place);

    bool owner = false;
    if (task.multi_linked) {
        std::string earlier = claim_inode(task, target, slot, owner, result.cancelled);
        if (result.cancelled) return {};
        if (!owner) {
            // Nothing is read from the source; a move still compares it before and after.
            if (m_op.load() == Operation::Move && !fsops::lstat_raw(task.source, opened)) opened = {};
            std::string err = place == fsops::Placement::Overwrite
                                  ? fsops::replace_with_hardlink(earlier, target)
                                  : fsops::make_hardlink(earlier, target);
            if (err.empty()) {
                m_bytes_done += task.size;
                result.linked = true;
                Log::instance().debugf("hardlink %s → %s", earlier.c_str(), target.c_str());
                return {};
            }
            // The name was taken meanwhile: a copy would meet the same name.
            if (fsops::last_error_code() == EEXIST && place == fsops::Placement::NewName) return err;
        }
    }

    int64_t& moved = result.moved;
    auto progress = [this, slot, s, &moved](int64_t n) -> bool {
        if (n > 0) {
            m_bytes_done += n;
            moved += n;
        }
        note_slot_progress(slot);
        return !m_cancel.load() && m_slot_timed_out[s].load() != m_slot_serial[s].load();
    };
    fsops::CopyHints hints;
    // The scan has just seen a regular file there (its status is known when the inode is).
    hints.source_is_regular = task.inode != 0;
    hints.target_device = task.target_device;
    hints.opened = &opened;
    // Files come folder by folder: each name is then looked up in its folder, not along its whole path.
    // A folder that cannot be held is reached by its path, unless the worker was woken while it tried (a
    // share that stopped answering, or the cancel): the watchdog wakes it once per file, so the next call
    // into the same share would hang for good.
    SlotFolders& folders = m_slot_folders[s];
    const auto hold = [&](fsops::FolderHandle& h, const std::string& file, const fsops::FolderHandle*& out) {
        if (h.hold_parent_of(file)) {
            out = &h;
            return true;
        }
        return progress(0);
    };
    if (!hold(folders.source, task.source, hints.source_folder) ||
        !hold(folders.target, target, hints.target_folder)) {
        result.cancelled = true;
        return {};
    }
    std::string err = fsops::copy_file(task.source, target, progress, &result.cloned, place, hints);
    if (err == fsops::kCopyCancelled) {
        result.cancelled = true;
        err.clear();
    }
    if (owner) {
        const std::pair<uint64_t, uint64_t> key{task.device, task.inode};
        std::lock_guard lk(m_mutex);
        if (err.empty() && !result.cancelled)
            m_written_inodes[key].complete = true;
        else
            m_written_inodes.erase(key);
        m_link_cv.notify_all();
    }
    return err;
}

// The last batch of a move's sources, the emptied source folders, and the mode and times of the
// folders this transfer made.
void Engine::tidy_up_folders(bool cancelled) {
    // The last batch also after a cancel: those copies were complete before it.
    std::vector<PendingRemoval> last;
    {
        std::lock_guard lk(m_mutex);
        last.swap(m_removals);
        m_removal_bytes = 0;
    }
    remove_sources_when_durable(std::move(last));
    std::vector<std::string> dirs;
    std::vector<MadeDir> made;
    {
        std::lock_guard lk(m_mutex);
        if (m_op.load() == Operation::Move && !cancelled) dirs = m_move_dirs;
        made = m_made_dirs;
    }
    // A folder that still holds a skipped or failed entry stays, and that entry is already on the
    // failure list; a folder that merely cannot be removed leaves nothing lost either.
    for (const std::string& d : dirs)
        static_cast<void>(fsops::remove_dir(d));
    // Children before parents, so that setting a folder's times is not undone by work inside it.
    // Best effort, as for files: the contents are in place, a mode or time the target cannot take is
    // not worth a failure entry.
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        static_cast<void>(fsops::set_mode(it->target, it->mode));
        static_cast<void>(fsops::set_times(it->target, it->atime, it->mtime));
    }
}

void Engine::finish_transfer() {
    Log& log = Log::instance();
    {
        // The scan may still be unwinding after a cancel; the transfer ends only after it.
        std::unique_lock lk(m_mutex);
        m_queue_cv.wait(lk, [this] { return m_queue_complete; });
    }
    const bool cancelled = m_cancel.load();
    tidy_up_folders(cancelled);

    double end = steady_seconds();
    m_end_time = end;
    double elapsed = end - m_start_time.load();
    int64_t bytes = m_bytes_done.load();
    double mbps = elapsed > 0 ? static_cast<double>(bytes) / elapsed / 1048576.0 : 0.0;
    size_t failed = 0;
    {
        std::lock_guard lk(m_mutex);
        failed = m_failures_total;
    }
    log.infof("transfer %s: %lld/%lld files, %lld bytes in %.1f s (%.1f MB/s), %lld failed, %lld retried, "
              "%lld reflinked",
              cancelled ? "CANCELLED" : "done", static_cast<long long>(m_files_done.load()),
              static_cast<long long>(m_files_total.load()), static_cast<long long>(bytes), elapsed, mbps,
              static_cast<long long>(failed), static_cast<long long>(m_retried.load()),
              static_cast<long long>(m_cloned.load()));
    log.end_batch();
    {
        // Under the lock, so that a waiter cannot miss the wake-up, and so that a stall the watchdog saw
        // just before the end is not stored after it: nothing waits for a drive any more, and the
        // watchdog stores only while the transfer runs.
        std::lock_guard lk(m_mutex);
        m_stalled_path.clear();
        m_stalled_seconds = 0;
        m_scanning = false;
        m_finished = true;
        m_running = false;
    }
    m_done_cv.notify_all();
}

bool Engine::wait_finished(int timeout_ms) {
    std::unique_lock lk(m_mutex);
    return m_done_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [this] { return !m_running.load(); });
}

void Engine::note_slot_progress(int slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= m_slot_count) return;
    m_slot_last_progress[static_cast<size_t>(slot)] = steady_seconds();
}

void Engine::set_current(int slot, const std::string& path) {
    std::lock_guard lk(m_mutex);
    if (slot < 0 || static_cast<size_t>(slot) >= m_current.size()) return;
    m_current[static_cast<size_t>(slot)] = path;
}

std::string Engine::watchdog_tick() {
    if (!m_running) return {};
    std::vector<std::string> current;
    {
        std::lock_guard lk(m_mutex);
        current = m_current;
    }
    // Each slot's file serial is read before its age: a mark decided from the age of a file the worker
    // has just finished then carries that file's serial and is ignored by the next one.
    std::vector<uint64_t> serials(m_slot_count);
    for (size_t i = 0; i < m_slot_count; ++i)
        serials[i] = m_slot_serial[i].load();
    const double now = steady_seconds();
    const double report = m_report_after.load();
    const double kill = m_kill_after.load();
    std::string path;
    double seconds = 0;
    for (size_t i = 0; i < m_slot_count && i < current.size(); ++i) {
        // Only a slot busy with a file can hang in the file system; idle workers wait for the scan.
        if (current[i].empty()) continue;
        double age = now - m_slot_last_progress[i].load();
        if (age < report) continue;
        if (path.empty()) {
            path = current[i];
            seconds = age;
        }
        uint64_t tid = m_slot_tid[i].load();
        if (age >= kill && tid != 0 && m_slot_timed_out[i].load() != serials[i]) {
            Log::instance().warnf("watchdog: worker %zu stalled for %.0f s — waking it", i, age);
            if (m_before_mark) m_before_mark(i);
            m_slot_timed_out[i] = serials[i];
            wake_thread(tid);
            // Read the clock again: marking may have taken a while, and by now the worker may have noted
            // progress on its next file, which an older time would make look stalled at once.
            m_slot_last_progress[i] = steady_seconds();
        }
    }
    std::lock_guard lk(m_mutex);
    if (!m_running) return {};
    m_stalled_path = path;
    m_stalled_seconds = seconds;
    return path;
}

void Engine::cancel() {
    m_cancel = true;
    size_t woken = 0;
    for (size_t i = 0; i < m_slot_count; ++i) {
        uint64_t tid = m_slot_tid[i].load();
        if (tid != 0) {
            wake_thread(tid);
            ++woken;
        }
    }
    wake_thread(m_scan_tid.load());
    if (m_running) Log::instance().infof("cancel requested, woke %zu worker(s)", woken);
    wake_all();
}

void Engine::reap() {
    if (m_scanner.joinable()) m_scanner.join();
    for (std::thread& t : m_workers)
        if (t.joinable()) t.join();
    m_workers.clear();
    m_scan_tid = 0;
    for (size_t i = 0; i < m_slot_count; ++i)
        m_slot_tid[i] = 0;
}

Progress Engine::snapshot() const {
    Progress p;
    p.running = m_running.load();
    p.scanning = m_scanning.load();
    p.finished = m_finished.load();
    p.cancelled = m_cancel.load();
    p.files_total = m_files_total.load();
    p.files_done = m_files_done.load();
    p.bytes_total = m_bytes_total.load();
    p.bytes_done = m_bytes_done.load();
    p.files_copied = m_files_copied.load();
    p.files_cancelled = m_files_cancelled.load();
    p.target_free = m_target_free.load();
    p.space_short = m_space_short.load();
    p.disk_full = m_disk_full.load();
    p.retried = m_retried.load();
    p.cloned = m_cloned.load();
    p.operation = m_op.load();
    {
        std::lock_guard lk(m_mutex);
        p.target_dir = m_target_dir;
        p.failures = m_failures;
        p.failures_total = m_failures_total;
        p.stalled_path = m_stalled_path;
        p.stalled_seconds = m_stalled_seconds;
        p.conflict = m_conflict;
        p.current_files = m_current;
        p.threads_active = p.running || p.finished ? m_thread_count.load() : 0;
        p.device_summary = m_device_summary;
    }
    const double start = m_start_time.load();
    const double end = m_end_time.load();
    const double now = steady_seconds();
    if (start > 0) p.elapsed_seconds = (end > 0 ? end : now) - start;

    std::lock_guard lk(m_rate_mutex);
    if (start > 0 && p.running) {
        double interval = now - m_last_rate_time;
        if (interval >= 0.5) {
            double byte_rate = static_cast<double>(p.bytes_done - m_last_rate_bytes) / interval;
            double file_rate = static_cast<double>(p.files_done - m_last_rate_files) / interval;
            m_rate = smooth_rate(m_rate, std::max(0.0, byte_rate));
            m_file_rate = smooth_rate(m_file_rate, std::max(0.0, file_rate));
            m_last_rate_bytes = p.bytes_done;
            m_last_rate_files = p.files_done;
            m_last_rate_time = now;
        }
    }
    p.bytes_per_second = m_rate;
    EstimateInput in;
    in.bytes_total = p.bytes_total;
    in.bytes_done = p.bytes_done;
    in.files_total = p.files_total;
    in.files_done = p.files_done;
    in.byte_rate = m_rate;
    in.file_rate = m_file_rate;
    in.scanning = p.scanning;
    p.seconds_remaining = p.running ? estimate_seconds_remaining(in) : -1;
    return p;
}

} // namespace copy_engine
