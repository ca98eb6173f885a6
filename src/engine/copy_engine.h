#pragma once

#include "base/value_types.h"
#include "fs/fs_ops.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace copy_engine {

// The open conflict question; `pending` is false when there is none.
struct ConflictRequest {
    bool pending = false;
    std::string source_path;
    std::string target_path;
    int64_t source_size = 0;
    int64_t target_size = 0;
    int64_t source_mtime = 0;
    int64_t target_mtime = 0;
    bool is_dir = false;
    // Counts the questions of the engine: a front end answers each number once, also when a question
    // about the same two paths comes again or is still shown a moment after its answer.
    uint64_t serial = 0;
};

struct FailedItem {
    std::string path;
    std::string target;
    std::string message;
    int attempts = 1;
    int code = 0;
};

// A consistent copy of everything the interface shows about a transfer.
struct Progress {
    bool running = false;
    bool scanning = false;
    bool finished = false;
    bool cancelled = false;
    int64_t files_total = 0;
    int64_t files_done = 0;
    int64_t bytes_total = 0;
    int64_t bytes_done = 0;
    double bytes_per_second = 0;
    double seconds_remaining = -1;
    double elapsed_seconds = 0;
    int threads_active = 0;
    std::vector<std::string> current_files;
    std::string device_summary;
    int64_t retried = 0;
    int64_t cloned = 0;
    std::vector<FailedItem> failures;
    size_t failures_total = 0;
    int64_t files_copied = 0;
    // Files whose copy was stopped by a cancel: neither copied nor failed.
    int64_t files_cancelled = 0;
    std::string stalled_path;
    double stalled_seconds = 0;
    int64_t target_free = -1;
    int64_t space_short = 0;
    bool disk_full = false;
    ConflictRequest conflict;
    Operation operation = Operation::Copy;
    std::string target_dir;
};

// Inputs of the time-left estimate, split out so that its conditions can be checked directly.
struct EstimateInput {
    int64_t bytes_total = 0;
    int64_t bytes_done = 0;
    int64_t files_total = 0;
    int64_t files_done = 0;
    double byte_rate = 0;
    double file_rate = 0;
    bool scanning = false;
};
// Seconds left, or -1 when no estimate can be trusted.
double estimate_seconds_remaining(const EstimateInput& in);
// One step of the rate smoothing: 0.4 of the new reading and 0.6 of the previous, unless there is none.
double smooth_rate(double previous, double instant);

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Refused (false) while a transfer runs or before the previous one was reaped, and for an empty
    // source list or target. `thread_count` <= 0 chooses the worker count from the devices.
    bool start(std::vector<std::string> sources, const std::string& target_dir, Operation op,
               int thread_count, ConflictAction default_action);
    bool is_running() const { return m_running.load(); }

    Progress snapshot() const;
    void resolve_conflict(ConflictAction action, bool apply_to_all);
    void cancel();
    // Joins the threads of a finished transfer; blocks while one still runs.
    void reap();
    // Waits at most `timeout_ms` for the running transfer to end; true when none runs (any more).
    bool wait_finished(int timeout_ms);
    // Returns the path of a worker without progress for the report interval ("" when none) and
    // interrupts workers stuck past the kill interval.
    std::string watchdog_tick();

    void note_slot_progress(int slot);
    void set_current(int slot, const std::string& path);

    // A free name in `dir` made from `name` (photo.jpg -> photo.1.jpg ...), "" when none is left.
    static std::string unique_name(const std::string& dir, const std::string& name);

    // Tests shorten the stall intervals (15 s to report, 90 s to interrupt) with this.
    void set_watchdog_intervals(double report_seconds, double kill_seconds);
    // Tests hold the watchdog between deciding to interrupt a slot and marking it with this (called on
    // the watchdog's thread with the slot), to let the worker move on meanwhile.
    void set_watchdog_mark_hook(std::function<void(size_t)> hook);

private:
    struct FileTask {
        std::string source;
        std::string target;
        int64_t size = 0;
        bool is_symlink = false;
        uint64_t inode = 0;
        uint64_t device = 0;
        bool multi_linked = false;
        bool fresh_dir = false;     // the target folder was made by this transfer
        uint64_t target_device = 0; // of the target folder, 0 when unknown
        uint32_t folder = 0;        // the target folder's number in the walk (0: the target itself)
    };
    static constexpr uint32_t kNoFolder = UINT32_MAX;
    // A source as the measuring phase found it (defined with the scan).
    struct Source;
    // The target folder the walk is in: made by this transfer (`fresh`), and its device.
    struct TargetFolder {
        bool fresh = false;
        uint64_t device = 0;
    };
    // A folder this transfer created, whose real mode and times are applied once its contents are in.
    struct MadeDir {
        std::string target;
        uint32_t mode = 0;
        timespec atime{};
        timespec mtime{};
    };
    // The first copy of a multi-linked inode: later names link to it once it is complete.
    struct LinkedInode {
        std::string target;
        bool complete = false;
    };
    // NameTaken: a new name was taken by someone else before the finished copy could have it.
    enum class CopyOutcome { Copied, Failed, Cancelled, NameTaken };
    // Where a task's file goes after the conflict rules; `done` when the task ended without a copy.
    struct Destination {
        std::string target;
        fsops::Placement place = fsops::Placement::NewName;
        std::string moved_aside; // the existing file that RenameExisting put aside
        bool done = false;
    };

    void scan_thread(std::vector<std::string> sources, std::string target_dir);
    // After the walk: keeps the data of the next small files to copy on its way into the cache.
    void read_ahead();
    // The status of every source, and for a folder the listings of every folder in it, kept for the
    // walk: each entry is examined once per transfer, and that status serves the totals, the tasks and
    // the copy. Sets the totals and ends the measuring phase.
    std::vector<Source> measure_sources(const std::vector<std::string>& paths);
    fsops::TreeSize measure_folder(const std::string& root);
    // The listing of a source folder: the one read while measuring, else a new one.
    fsops::RawListing take_listing(const std::string& dir);
    void check_free_space(const std::string& target_dir);
    // Turns one source into tasks; false when a Cancel answer ends the transfer.
    bool scan_source(const Source& src, const std::string& target_dir, const std::string& real_target,
                     uint64_t target_device);
    // A source folder: merged into a folder of its name, put beside it under a new name, or skipped, as
    // the conflict rules say; false when a Cancel answer ends the transfer.
    bool scan_top_folder(const Source& src, const std::string& to, uint64_t target_device);
    void walk_folder(const std::string& from, const std::string& to, bool made_root, uint64_t device);
    FileTask task_for(const fsops::RawEntry& e, std::string source, std::string target);
    void skip_special(const std::string& source, const std::string& target);
    std::string make_fresh_folder(const std::string& taken, uint32_t mode);
    bool enter_target_folder(const std::string& src_dir, const std::string& dst_dir, bool made_by_us,
                             TargetFolder& into);
    // Counts a subtree that will not be transferred as dealt with, so that the totals still add up.
    void count_skipped_tree(const std::string& path);
    bool sum_listed_tree(const std::string& path, fsops::TreeSize& out);
    void count_done(const fsops::TreeSize& t);
    void worker_thread(int slot);
    // Hands the slot its next task and marks the slot busy with it, under one lock; false when the
    // worker is to end. A slot left without work is marked idle before it waits, so that the watchdog
    // never takes the wait for a stall.
    bool next_task(int slot, FileTask& task);
    // Two workers in one folder queue on its lock for every name they add: when the next task is in a
    // folder that another worker is busy in, a task of another folder a little further on is swapped
    // in front of it. Called under the lock with a task at the queue position.
    void pick_other_folder(size_t slot);
    void run_task(const FileTask& task, int slot);
    // `look`: check for something at the target first; false for a folder this transfer made.
    Destination choose_destination(const FileTask& task, int slot, bool look);
    std::string move_existing_aside(const std::string& target);
    void count_without_copy(const FileTask& task);
    // A finished copy of a move whose source is removed once the target has been flushed.
    struct PendingRemoval {
        std::string source;
        std::string target;
    };
    void remove_moved_source(const FileTask& task, const std::string& target, bool changed);
    void remove_sources_when_durable(std::vector<PendingRemoval> batch);
    ConflictAction ask_conflict(const FileTask& task, bool target_is_dir, int slot);
    // `opened` receives the status of the source as its copy found it (for a move's check afterwards).
    CopyOutcome copy_one_with_retry(const FileTask& task, const std::string& target, fsops::Placement place,
                                    int slot, struct ::stat& opened);
    struct AttemptResult {
        bool cloned = false;
        bool linked = false;
        bool cancelled = false;
        int64_t moved = 0;
    };
    // For a name of a multi-linked file: the first copy of its inode to link to, once that is complete
    // (""), or this task is to make that copy (`owner`), or the wait was cancelled.
    std::string claim_inode(const FileTask& task, const std::string& target, int slot, bool& owner,
                            bool& cancelled);
    std::string copy_attempt(const FileTask& task, const std::string& target, fsops::Placement place,
                             int slot, AttemptResult& result, struct ::stat& opened);
    std::string symlink_attempt(const FileTask& task, const std::string& target, fsops::Placement place);
    void note_failure(const std::string& path, const std::string& message, const std::string& target,
                      int attempts, int code);
    // Queues the tasks (emptying the vector) with one wake-up for all of them.
    void queue_tasks(std::vector<FileTask>& tasks);
    void finish_transfer();
    void tidy_up_folders(bool cancelled);
    void wake_all();
    bool try_rename_move(const Source& src, const std::string& to);

    mutable std::mutex m_mutex;
    std::condition_variable m_conflict_cv;
    std::condition_variable m_queue_cv;
    std::condition_variable m_link_cv;
    std::condition_variable m_done_cv;
    std::condition_variable m_ahead_cv; // a worker took a task while the read-ahead waited for one
    bool m_ahead_waiting = false;       // locked
    size_t m_ahead_wake_at = 0;         // locked: the queue position at which to wake the read-ahead
    bool m_read_ahead = false;          // the sources are on a local disk, and a core is free to ask
    int m_measure_helpers = 0;          // threads that may list folders beside the scan while it measures
    std::vector<FileTask> m_queue;
    size_t m_queue_pos = 0;
    bool m_queue_complete = false;
    std::vector<std::thread> m_workers;
    std::thread m_scanner;
    std::atomic<uint64_t> m_scan_tid{0};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_scanning{false};
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_active_workers{0};
    std::atomic<int64_t> m_files_total{0};
    std::atomic<int64_t> m_files_done{0};
    std::atomic<int64_t> m_files_copied{0};
    std::atomic<int64_t> m_files_cancelled{0};
    std::atomic<int64_t> m_bytes_total{0};
    std::atomic<int64_t> m_bytes_done{0};
    std::atomic<Operation> m_op{Operation::Copy};
    std::string m_target_dir;
    std::atomic<int> m_thread_count{1};
    std::atomic<ConflictAction> m_default_action{ConflictAction::Ask};
    ConflictAction m_standing_rule = ConflictAction::Ask;
    ConflictRequest m_conflict;
    ConflictAction m_conflict_answer = ConflictAction::Ask;
    bool m_conflict_answered = false;
    uint64_t m_conflict_serial = 0;
    std::vector<FailedItem> m_failures;
    size_t m_failures_total = 0;
    std::vector<std::string> m_current;
    std::vector<uint32_t> m_slot_folder; // locked; per slot the folder of its task, kNoFolder when idle
    std::unique_ptr<std::atomic<double>[]> m_slot_last_progress;
    std::unique_ptr<std::atomic<uint64_t>[]> m_slot_tid;
    // Per slot, the serial of the file the watchdog interrupted (0: none); a slot's serial counts the
    // files its worker has started.
    std::unique_ptr<std::atomic<uint64_t>[]> m_slot_timed_out;
    std::unique_ptr<std::atomic<uint64_t>[]> m_slot_serial;
    // The folders a worker copies out of and into, held open while it stays in them (its own slot only).
    struct SlotFolders {
        fsops::FolderHandle source;
        fsops::FolderHandle target;
    };
    std::unique_ptr<SlotFolders[]> m_slot_folders;
    std::function<void(size_t)> m_before_mark;
    size_t m_slot_count = 0;
    std::string m_stalled_path;
    double m_stalled_seconds = 0;
    std::atomic<int64_t> m_target_free{-1};
    std::atomic<int64_t> m_space_short{0};
    std::atomic<bool> m_disk_full{false};
    std::vector<std::string> m_move_dirs;
    std::vector<PendingRemoval> m_removals; // locked
    int64_t m_removal_bytes = 0;            // locked
    std::vector<MadeDir> m_made_dirs;
    std::map<std::pair<uint64_t, uint64_t>, LinkedInode> m_written_inodes;
    // Scan thread only: inodes met with more than one link. A move removes names as it goes, so a
    // later name of the same file may show a single link and must still be linked, not copied.
    std::set<std::pair<uint64_t, uint64_t>> m_scan_linked;
    // Scan thread only: the listings of the measuring phase by source folder, let go as they are walked.
    std::unordered_map<std::string, fsops::RawListing> m_listings;
    uint32_t m_folders_walked = 0; // scan thread only
    std::string m_device_summary;
    std::atomic<int64_t> m_retried{0};
    std::atomic<int64_t> m_cloned{0};
    std::atomic<double> m_start_time{0};
    std::atomic<double> m_end_time{0};
    // Rate smoothing state of snapshot(); it changes on every snapshot, hence mutable.
    mutable std::mutex m_rate_mutex;
    mutable double m_last_rate_time = 0;
    mutable int64_t m_last_rate_bytes = 0;
    mutable double m_rate = 0;
    mutable int64_t m_last_rate_files = 0;
    mutable double m_file_rate = 0;
    std::atomic<double> m_report_after{15.0};
    std::atomic<double> m_kill_after{90.0};
};

// The process-wide engine.
Engine& instance();

} // namespace copy_engine
