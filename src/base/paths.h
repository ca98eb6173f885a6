#pragma once

#include <string>

// Where the user's files and settings live and under which packaging the program runs. Predicates that
// probe the system are computed once and cached for the life of the process; the path functions read
// the environment afresh on every call.

// The value of an environment variable, or null when it is unset or empty: an empty variable counts as
// unset everywhere in the program.
const char* env_or_null(const char* name);

// The user's real home directory (SNAP_REAL_HOME, HOME, then the password database); may be empty.
std::string real_home();
// The program's configuration directory, created with mode 0700 when missing; "." when no base is known.
std::string config_dir();
// The freedesktop trash "files" directory of the user; empty when the data directory is unknown.
std::string trash_dir();

bool running_in_snap();
bool running_in_flatpak();
// "snap", "flatpak", "appimage", "system" or "dev"; a string with static lifetime.
const char* package_kind();
// True when the effective user id is 0.
bool running_as_root();
// The name of the user who started a root instance through sudo or pkexec, or empty.
std::string invoking_user();
// True inside a snap whose view of the host file system can be opened.
bool hostfs_available();
// False only inside a snap that can open none of the media directories.
bool removable_media_available();

// The path through which this process reaches what the user sees as display_path (differs only inside
// a snap with the host view), and back.
std::string to_scan_path(const std::string& display_path);
std::string to_display_path(const std::string& scan_path);
