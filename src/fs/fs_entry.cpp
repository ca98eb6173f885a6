#include "fs/fs_entry.h"

bool FsEntry::is_dir_like() const {
    return kind == Kind::Dir || kind == Kind::SymlinkDir;
}

bool FsEntry::is_symlink() const {
    return kind == Kind::Symlink || kind == Kind::SymlinkDir || kind == Kind::BrokenSymlink;
}
