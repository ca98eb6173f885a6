#pragma once

#include <memory>
#include <string>

namespace testsupport {

class TempDir;

// A file system mounted for one test on a fresh folder, unmounted and removed when the object dies.
// Mounting needs root and a kernel that allows it; when it cannot be done, ok() is false and
// skip_reason() says why, so a test can GTEST_SKIP() with it.
class ScopedMount {
public:
    // A tmpfs limited to `size` (a tmpfs size option such as "1m" or "64m").
    static ScopedMount tmpfs(const std::string& size = "64m");
    // An XFS with reflink support on a sparse loop image of `megabytes` MiB.
    static ScopedMount xfs_reflink(int megabytes = 600);
    // Any file system on a sparse loop image of `megabytes` MiB, made by `mkfs` (a command to which the
    // image path is appended, such as "mkfs.ext2 -q -F").
    static ScopedMount loop_image(const std::string& mkfs, int megabytes);

    ScopedMount(ScopedMount&&) noexcept;
    ScopedMount& operator=(ScopedMount&&) noexcept;
    ~ScopedMount();

    bool ok() const { return m_mounted; }
    const std::string& skip_reason() const { return m_reason; }
    // The mount point.
    const std::string& path() const { return m_point; }
    // path() + "/" + rel
    std::string sub(const std::string& rel) const { return m_point + "/" + rel; }

private:
    ScopedMount();
    void unmount();

    std::unique_ptr<TempDir> m_dir; // holds the mount point and the image file
    std::string m_point;
    std::string m_reason;
    bool m_mounted = false;
};

} // namespace testsupport

// Skips the current test with the mount's reason when it could not be mounted.
#define SKIP_UNLESS_MOUNTED(m)                                                                               \
    do {                                                                                                     \
        if (!(m).ok()) GTEST_SKIP() << "cannot mount: " << (m).skip_reason();                                \
    } while (0)
