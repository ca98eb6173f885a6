#pragma once

#include <cstdint>
#include <string>

// One row of a listed folder. A plain value: panes, drawing, file operations and the properties panel
// all copy it around freely.
struct FsEntry {
    enum class Kind : uint8_t {
        File = 0,
        Dir = 1,
        Symlink = 2,       // target exists and is not a directory
        SymlinkDir = 3,    // target is a directory
        BrokenSymlink = 4, // target cannot be reached
        Special = 5,       // device, FIFO, socket, or a status that could not be read
        Parent = 6,        // the synthetic ".." row
    };

    // The strings come first and the small fields last so that a row stays small: a pane may hold a
    // million of them.
    std::string name; // valid UTF-8; ".." for the parent row
    // The name as stored on disk when it is not valid UTF-8 (so `name` is a repaired copy); empty otherwise.
    // Paths for file operations must be built from the stored name, or they would name a file that does
    // not exist.
    std::string raw_name;
    std::string link_target; // link text of a symbolic link, valid UTF-8; empty otherwise
    std::string owner;       // user name, or the uid in decimal
    std::string group;       // group name, or the gid in decimal
    int64_t size = -1;       // -1 for folders, links to folders, the parent row and unknown sizes
    int64_t mtime = 0;       // whole seconds since the epoch; 0 when unknown
    int64_t ctime = 0;
    int64_t btime = 0; // 0 when the file system does not report a birth time
    uint32_t perm = 0; // st_mode & 0xfff
    Kind kind = Kind::File;
    bool hidden = false; // the name begins with "."

    // The name to build paths with.
    const std::string& disk_name() const { return raw_name.empty() ? name : raw_name; }

    // Dir and SymlinkDir; the parent row is not counted, callers test for it separately.
    bool is_dir_like() const;
    // is_dir_like() or the parent row: everything that opens as a folder.
    bool is_folder_like() const { return is_dir_like() || kind == Kind::Parent; }
    // Symlink, SymlinkDir and BrokenSymlink.
    bool is_symlink() const;
};
