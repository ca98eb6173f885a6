#pragma once

#include <optional>
#include <string>
#include <vector>

// User-level file commands that are not transfers. Every command returns "" on success or a message ready
// to show. UI thread only unless a function says otherwise.
namespace file_ops {

// Why `name` cannot become an entry of `parent`, or "" when it can. A name equal to `current_name` (a
// rename that changes nothing) is accepted without looking at the disk.
[[nodiscard]] std::string validate_name(const std::string& parent, const std::string& name,
                                        const std::string& current_name);
// Gives the entry at `path` (a path built from its stored name) the name `new_name` in the same folder.
// Never replaces an existing entry.
[[nodiscard]] std::string rename_entry(const std::string& path, const std::string& new_name);
[[nodiscard]] std::string create_directory(const std::string& parent, const std::string& name);
[[nodiscard]] std::string create_empty_file(const std::string& parent, const std::string& name);
// Hands the file to the desktop's default application for its type.
[[nodiscard]] std::string open_with_default_app(const std::string& path);

// The terminal program to open folders in, as its name (not its full path), or nothing when none is
// installed. Decided on the first call and kept for the rest of the process.
std::optional<std::string> terminal_program();

// The search terminal_program() runs once: $TERMINAL when it names an installed program, else the first
// installed program of the usual candidates. Reads the environment and the search path afresh each call
// and logs the choice.
std::optional<std::string> find_terminal_program();

// The argument list that opens `program` in `dir`: the program name first, then the folder option of the
// real terminal behind it (x-terminal-emulator is followed to what it points at). Terminals whose folder
// option is not known get only the name; they start in the working directory they are given.
std::vector<std::string> terminal_command(const std::string& program, const std::string& dir);

// Starts terminal_program() in `dir`, detached, with its output thrown away.
std::string open_terminal_at(const std::string& dir);

// Moves the file or folder to the desktop trash through GIO. A location without a trash (a tmpfs, a
// removable drive without one) gives "err.no_trash_here". Safe on any thread.
[[nodiscard]] std::string move_to_trash(const std::string& path);

// Deletes the paths (to the trash or for good) as the background task of kind Delete; false when a task
// runs already. Failures are listed by the task, the rest goes on.
bool start_delete(const std::vector<std::string>& paths, bool to_trash, const std::string& title);

// Duplicates the paths beside themselves (photo.jpg gives photo.1.jpg) on the copy engine; false when the
// engine is busy or the list is empty. All paths lie in one folder.
bool start_clone(const std::vector<std::string>& paths, int thread_count);

} // namespace file_ops
