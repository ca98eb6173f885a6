#pragma once

#include <string>
#include <sys/types.h>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when the object dies.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "tavrin");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + rel
    std::string sub(const std::string& rel) const;

private:
    std::string m_path;
};

// Small file helpers for fixtures; each fails the current test (ADD_FAILURE) when the call fails.
void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
std::string read_file(const std::string& path);
void make_dir(const std::string& path, mode_t mode = 0755);
bool exists(const std::string& path);

// The page cache of a file: whether its first page is there, and dropping its pages (written to disk
// first, since dirty pages cannot be dropped).
bool first_page_cached(const std::string& path);
void drop_from_cache(const std::string& path);

// Removes a tree without following symbolic links; used by TempDir and by tests that clean up early.
void remove_tree(const std::string& path);

// Points HOME and XDG_CONFIG_HOME at test folders and forgets any invoking user (SUDO_USER, PKEXEC_UID),
// so that the configuration, log and lists the program writes land there and not in the real home.
void use_home(const std::string& home, const std::string& config_home);

// Runs a shell command and returns its exit status (-1 when it could not run); output goes to the test log.
int run(const std::string& command);
// Runs a shell command and returns its standard output.
std::string capture(const std::string& command);

} // namespace testsupport
