#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Thin layer over the Linux file-system calls. Operations that can fail return "" on success or a
// ready-to-show message "<path>: <system error text>"; the errno behind the last such message is kept
// per thread (last_error_code) for callers that must classify a failure.
struct stat;

namespace fsops {

// The errno of the last failure reported on this thread. A success does not reset it: read it only
// right after a call returned a message.
int last_error_code();
// Errors that a later attempt may cure: interrupted or busy calls, I/O and network trouble.
bool is_transient(int code);

// Status of one path; everything zero / false when the path cannot be queried.
struct Stat {
    bool exists = false;
    bool is_dir = false;
    bool is_symlink = false; // only from lstat_path
    int64_t size = 0;
    int64_t mtime = 0; // whole seconds
    uint32_t perm = 0; // st_mode & 0xfff
    uint64_t device = 0;
    bool is_regular = false;
};

Stat lstat_path(const std::string& path);
Stat stat_path(const std::string& path);
// lstat succeeds: a dangling symbolic link exists.
bool exists(const std::string& path);
// lstat with every field (nanosecond times, inode, link count); false with errno set on failure.
// Like every call here it takes paths of any length.
bool lstat_raw(const std::string& path, struct ::stat& out);
// Fails (EEXIST) when anything is at `path` already.
[[nodiscard]] std::string make_dir_exclusive(const std::string& path, uint32_t perm);
// The permission bits (mode & 07777), following a link.
[[nodiscard]] std::string set_mode(const std::string& path, uint32_t mode);
// Access and modification times of the entry itself (a link's own times, not its target's).
[[nodiscard]] std::string set_times(const std::string& path, const timespec& atime, const timespec& mtime);

// An existing directory counts as success.
[[nodiscard]] std::string make_dir(const std::string& path, uint32_t perm);
// Creates every missing level of an absolute path.
[[nodiscard]] std::string make_dirs(const std::string& path, uint32_t perm);
[[nodiscard]] std::string remove_file(const std::string& path);
[[nodiscard]] std::string remove_dir(const std::string& path);
// Removes a tree without following links; goes on past failures and returns the first message.
// on_removed runs once for every file, link and folder actually removed.
[[nodiscard]] std::string remove_recursive(const std::string& path,
                                           const std::function<void()>& on_removed = {});
[[nodiscard]] std::string rename_path(const std::string& from, const std::string& to);
// Like rename_path, but fails with EEXIST instead of replacing something at `to`.
[[nodiscard]] std::string rename_exclusive(const std::string& from, const std::string& to);
// True when `from` and the folder that is to hold `to` are on different devices, or either is unknown.
bool rename_would_cross_device(const std::string& from, const std::string& to);
[[nodiscard]] std::string make_symlink(const std::string& target, const std::string& link_path);
[[nodiscard]] std::string make_hardlink(const std::string& existing, const std::string& link_path);
[[nodiscard]] std::string read_link(const std::string& path, std::string& target_out);

// The whole content of a file into content_out (left alone on failure, so an unreadable file is not
// mistaken for an empty one).
[[nodiscard]] std::string read_file(const std::string& path, std::string& content_out);
// Writes content to path + ".tmp" and renames it over path, so path holds either the old content or
// the new, never a mix. With `sync` the data reaches the disk before the rename (a power cut then cannot
// leave an empty file). On failure the old file is untouched and no ".tmp" stays behind.
[[nodiscard]] std::string write_file_replacing(const std::string& path, const std::string& content,
                                               bool sync);

// Whatever is at link_path (a file or a link, not a folder) is replaced in one step by the new link: the
// link is made under a temporary name beside it and renamed over, so the old entry stays until the new
// one exists.
[[nodiscard]] std::string replace_with_symlink(const std::string& target, const std::string& link_path);
[[nodiscard]] std::string replace_with_hardlink(const std::string& existing, const std::string& link_path);

// Writes everything cached for the file system that holds `path` to its disk (syncfs).
[[nodiscard]] std::string sync_file_system(const std::string& path);

// Bytes available to an unprivileged user, -1 when unknown.
int64_t free_space(const std::string& path);
bool disk_space(const std::string& path, int64_t& total_out, int64_t& free_out);
// A single file name: not empty, not "." or "..", no "/" or NUL, shorter than 256 bytes.
bool is_valid_name(std::string_view name);

struct TreeSize {
    int64_t bytes = 0;
    int64_t files = 0; // symbolic links count as files of 0 bytes
    int64_t dirs = 0;
    int64_t unreadable = 0;
};

// Walks a tree without following links. keep_going (may be empty) stops the walk when it returns false;
// on_progress (may be empty) receives the running totals of the whole walk (bytes, files, dirs) every
// 64 entries of a folder and when a folder is done.
TreeSize measure_tree(const std::string& path, const std::function<bool()>& keep_going = {},
                      const std::function<void(int64_t, int64_t, int64_t)>& on_progress = {});

// Copies are written under a hidden temporary name in the target folder and renamed over the target
// only when complete: ".<name>.tavrin-part-XXXXXX". A name of this form found in a folder is the
// remainder of a copy that was killed.
bool is_partial_copy_name(std::string_view name);

// How a finished copy takes its name: replacing whatever is there (an overwrite that was decided), or only
// if the name is still free.
enum class Placement { Overwrite, NewName };

// Receives byte counts as they are copied (holes included; the counts of one copy add up to the file
// size); returning false cancels the copy.
using CopyProgress = std::function<bool(int64_t)>;

// The message of a copy stopped by its progress callback; last_error_code() is then ECANCELED.
inline constexpr const char* kCopyCancelled = "cancelled";

// A folder held open by descriptor for a run of copies out of it or into it, so that each file's name is
// looked up in the folder rather than along its whole path from the root. A folder that is renamed while
// held keeps receiving (or giving) its files under its new name; one that is removed fails them.
class FolderHandle {
public:
    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    // Holds the folder that contains `file` (opened unless it is the one already held). False when it
    // cannot be opened: nothing is held then, and copies go by the whole path.
    bool hold_parent_of(const std::string& file);
    void release();
    // The descriptor when `file` lies directly in the held folder, else -1; `name` then points into
    // `file` at its last component.
    int lookup(const std::string& file, const char*& name) const;

private:
    int m_fd = -1;
    std::string m_path; // the folder, without a trailing slash ("" for the root)
};

// What the caller of copy_file already knows, so that it is not found out again for every file.
struct CopyHints {
    // `from` was found to be a regular file a moment ago (a folder walk's status): it is opened without
    // being examined by its path first. The status of the opened file still decides what is copied and
    // which mode and times the copy gets, since the file may have changed since the walk.
    bool source_is_regular = false;
    // The device of the folder that receives `to`, 0 when unknown (it is then asked of the new file).
    uint64_t target_device = 0;
    // When given, receives the status of the source as opened (only when the copy got that far).
    struct ::stat* opened = nullptr;
    // When given and holding the folder of `from` (`to`), the file is opened (created and named) in it.
    const FolderHandle* source_folder = nullptr;
    const FolderHandle* target_folder = nullptr;
};

// Copies one regular file with its contents, holes, permission bits (set-user-ID, set-group-ID and
// sticky included) and access and modification times (to the nanosecond): by reflink clone where the
// file system shares blocks, else with copy_file_range, else by reads and writes. Returns "" only when
// the copy is complete and in place, kCopyCancelled when the callback cancelled, else a message naming
// the file at fault. An existing file (or link) at `to` is replaced atomically: it stays untouched
// unless the new copy is complete. No partial file remains after a failure or a cancel.
// When `cloned` is given it tells whether the data was cloned. What a pair of file systems (source
// device, target device) turns out not to support, a clone or a copy inside the kernel, is not tried
// again between them for the rest of the run.
// With Placement::NewName nothing is ever replaced: when something exists at `to` by the time the copy is
// complete, the copy is discarded and the message is that of EEXIST (last_error_code() == EEXIST).
[[nodiscard]] std::string copy_file(const std::string& from, const std::string& to,
                                    const CopyProgress& progress = {}, bool* cloned = nullptr,
                                    Placement place = Placement::Overwrite, const CopyHints& hints = {});
// The clone step alone, with the same placement rules; "" on success, else a message.
[[nodiscard]] std::string clone_file(const std::string& from, const std::string& to,
                                     Placement place = Placement::Overwrite);

// Storage classes, slowest to fastest by rank: Rotational, Unknown, Ssd, Network, Nvme, Memory.
enum class DeviceClass : int32_t {
    Unknown = 0,
    Rotational = 1,
    Ssd = 2,
    Nvme = 3,
    Network = 4,
    Memory = 5,
};

DeviceClass classify_device(const std::string& path);
// Both ends of a transfer; a target on the source's device is not looked up under /sys a second time.
void classify_devices(const std::string& source, const std::string& target, DeviceClass& source_class,
                      DeviceClass& target_class);
// "unknown", "rotational disk", "SSD", "NVMe", "network", "memory" (not translated).
const char* device_class_name(DeviceClass cls);
int device_class_rank(DeviceClass cls);
bool is_network_fs_type(std::string_view type);
// The whole-disk name of a block device under /sys/block: sda1 gives sda, mmcblk0p2 gives mmcblk0.
std::string whole_disk_name(const std::string& block_name);
// Processors this thread may run on; at least 1.
int cpu_cores();
// Copy workers for a transfer: the user's setting when positive (at most 32), else chosen from the
// slower of the two devices and the number of cores.
int recommended_threads(const std::string& source, const std::string& target, int configured);
// The same for classes already known (a caller that also shows them classifies each side once).
int recommended_threads(DeviceClass source, DeviceClass target, int configured);
// The automatic choice for a bottleneck class on a machine with `cores` cores.
int threads_for(DeviceClass bottleneck, int cores);

// Unless the start of the file at `path` is in the cache already, asks the kernel to start reading the
// file's data into it; waits for neither and leaves the access time alone. True when it was cached. Best
// effort: a file that cannot be opened is left alone (and counts as not cached).
bool start_reading(const std::string& path);

// One entry of a raw listing: what the copy engine and the recursive walks need, without owner names.
struct RawEntry {
    std::string name;    // exactly as the directory stream gives it (not sanitised)
    bool is_dir = false; // not following links
    bool is_symlink = false;
    bool is_special = false; // FIFO, device, socket or any other non-regular, non-directory, non-link file
    int64_t size = 0;        // lstat size
    uint64_t inode = 0;
    uint64_t device = 0;
    uint32_t nlink = 1;
};

struct RawListing {
    std::vector<RawEntry> entries; // hidden names included
    std::string error;             // "<path>: <system text>"; empty on success
    int code = 0;                  // the errno behind `error`, 0 on success
};

// Lists a folder in the order of inode numbers (the order in which the disk holds the files' status and,
// mostly, their data; the stream's order among equal numbers), without sanitising names, without
// following a link at `path` itself and without moving the folder's access time (listing it to copy or
// measure it is no use of it). Opening failures give no entries; a failure part-way keeps what was read
// and sets error, so a walk never mistakes a partial list for the whole folder.
RawListing list_dir_raw(const std::string& path);

} // namespace fsops
