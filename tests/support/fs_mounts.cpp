#include "fs_mounts.h"

#include "temp_dir.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace testsupport {

ScopedMount::ScopedMount() : m_dir(std::make_unique<TempDir>("tavrin-mnt")) {
    m_point = m_dir->sub("mnt");
    if (::mkdir(m_point.c_str(), 0755) != 0) m_reason = "mkdir " + m_point + ": " + strerror(errno);
}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : m_dir(std::move(other.m_dir)), m_point(std::move(other.m_point)), m_reason(std::move(other.m_reason)),
      m_mounted(std::exchange(other.m_mounted, false)) {}

ScopedMount& ScopedMount::operator=(ScopedMount&& other) noexcept {
    if (this != &other) {
        unmount();
        m_dir = std::move(other.m_dir);
        m_point = std::move(other.m_point);
        m_reason = std::move(other.m_reason);
        m_mounted = std::exchange(other.m_mounted, false);
    }
    return *this;
}

ScopedMount::~ScopedMount() {
    unmount();
}

void ScopedMount::unmount() {
    if (!m_mounted) return;
    // A lazy detach when something still holds it open, so that the folder can go in any case.
    if (::umount2(m_point.c_str(), 0) != 0) ::umount2(m_point.c_str(), MNT_DETACH);
    m_mounted = false;
}

ScopedMount ScopedMount::tmpfs(const std::string& size) {
    ScopedMount m;
    if (!m.m_reason.empty()) return m;
    std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", m.m_point.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        m.m_reason = "mount -t tmpfs -o " + options + ": " + strerror(errno);
        return m;
    }
    m.m_mounted = true;
    return m;
}

ScopedMount ScopedMount::xfs_reflink(int megabytes) {
    return loop_image("mkfs.xfs -q -m reflink=1", megabytes);
}

ScopedMount ScopedMount::loop_image(const std::string& mkfs, int megabytes) {
    ScopedMount m;
    if (!m.m_reason.empty()) return m;
    if (::geteuid() != 0) {
        m.m_reason = "loop mounts need root";
        return m;
    }
    std::string program = mkfs.substr(0, mkfs.find(' '));
    if (run("command -v " + program + " >/dev/null 2>&1") != 0) {
        m.m_reason = program + " is not installed";
        return m;
    }
    std::string image = m.m_dir->sub("fs.img");
    int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(megabytes) << 20) != 0) {
        m.m_reason = "image " + image + ": " + strerror(errno);
        if (fd >= 0) ::close(fd);
        return m;
    }
    ::close(fd);
    if (run(mkfs + " '" + image + "' >/dev/null 2>&1") != 0) {
        m.m_reason = "'" + mkfs + "' failed";
        return m;
    }
    if (run("mount -o loop '" + image + "' '" + m.m_point + "' 2>/dev/null") != 0) {
        m.m_reason = "mount -o loop failed (no loop devices or no right to mount)";
        return m;
    }
    m.m_mounted = true;
    return m;
}

} // namespace testsupport
