// The parts of fsops that need no system calls: classification tables, name rules and the choice of
// the number of copy workers.
#include "fs/fs_ops.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>

namespace fsops {

bool is_transient(int code) {
    switch (code) {
    case EINTR:
    case EIO:
    case EAGAIN:
    case EBUSY:
    case ETXTBSY:
    case ENETDOWN:
    case ENETUNREACH:
    case ECONNABORTED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ESTALE:
    case EREMOTEIO:
        return true;
    default:
        return false;
    }
}

bool is_valid_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.size() >= 256) return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

namespace {

constexpr std::string_view kPartialMarker = ".tavrin-part-";
constexpr size_t kPartialSuffixLen = 6;

} // namespace

bool is_partial_copy_name(std::string_view name) {
    // "." + at least one byte of the original name + marker + six random characters
    if (name.size() < 1 + 1 + kPartialMarker.size() + kPartialSuffixLen || name[0] != '.') return false;
    std::string_view head = name.substr(0, name.size() - kPartialSuffixLen);
    if (head.size() < kPartialMarker.size() ||
        head.substr(head.size() - kPartialMarker.size()) != kPartialMarker)
        return false;
    for (char c : name.substr(name.size() - kPartialSuffixLen))
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

const char* device_class_name(DeviceClass cls) {
    switch (cls) {
    case DeviceClass::Rotational:
        return "rotational disk";
    case DeviceClass::Ssd:
        return "SSD";
    case DeviceClass::Nvme:
        return "NVMe";
    case DeviceClass::Network:
        return "network";
    case DeviceClass::Memory:
        return "memory";
    default:
        return "unknown";
    }
}

int device_class_rank(DeviceClass cls) {
    switch (cls) {
    case DeviceClass::Rotational:
        return 0;
    case DeviceClass::Ssd:
        return 2;
    case DeviceClass::Network:
        return 3;
    case DeviceClass::Nvme:
        return 4;
    case DeviceClass::Memory:
        return 5;
    default:
        return 1;
    }
}

bool is_network_fs_type(std::string_view type) {
    static constexpr std::array<std::string_view, 9> kNetworkTypes = {
        "nfs", "nfs4", "cifs", "smb3", "smbfs", "afs", "9p", "ceph", "glusterfs"};
    if (type.substr(0, 5) == "fuse.") return true;
    return std::find(kNetworkTypes.begin(), kNetworkTypes.end(), type) != kNetworkTypes.end();
}

std::string whole_disk_name(const std::string& block_name) {
    if (block_name.rfind("mmcblk", 0) == 0) {
        size_t p = block_name.rfind('p');
        return p == std::string::npos ? block_name : block_name.substr(0, p);
    }
    size_t end = block_name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(block_name[end - 1])))
        --end;
    return block_name.substr(0, end);
}

int threads_for(DeviceClass bottleneck, int cores) {
    int c = std::max(cores, 1);
    switch (bottleneck) {
    case DeviceClass::Rotational:
        return 1;
    case DeviceClass::Network:
        return 8;
    case DeviceClass::Nvme:
        return std::clamp(c, 4, 16);
    case DeviceClass::Memory:
        return std::clamp(c, 2, 16);
    default: // SSD and unknown storage
        return c >= 4 ? 4 : (c == 3 ? 3 : 2);
    }
}

int recommended_threads(DeviceClass source, DeviceClass target, int configured) {
    if (configured > 0) return std::min(configured, 32);
    // The slower side limits the transfer; on a tie the source decides.
    DeviceClass bottleneck = device_class_rank(target) < device_class_rank(source) ? target : source;
    return threads_for(bottleneck, cpu_cores());
}

int recommended_threads(const std::string& source, const std::string& target, int configured) {
    if (configured > 0) return std::min(configured, 32);
    DeviceClass a;
    DeviceClass b;
    classify_devices(source, target, a, b);
    return recommended_threads(a, b, configured);
}

} // namespace fsops
