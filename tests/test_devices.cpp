#include "fs/fs_ops.h"
#include "fs/mounts.h"

#include "fs_mounts.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

using fsops::DeviceClass;

namespace {

// The mount table is read once per process, so the tmpfs the tests classify is mounted before any test.
class MountEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        g_tmpfs = std::make_unique<testsupport::ScopedMount>(testsupport::ScopedMount::tmpfs("1m"));
        g_loop = std::make_unique<testsupport::ScopedMount>(
            testsupport::ScopedMount::loop_image("mkfs.ext2 -q -F", 8));
    }
    void TearDown() override {
        g_loop.reset();
        g_tmpfs.reset();
    }
    static std::unique_ptr<testsupport::ScopedMount> g_tmpfs;
    static std::unique_ptr<testsupport::ScopedMount> g_loop;
};
std::unique_ptr<testsupport::ScopedMount> MountEnvironment::g_tmpfs;
std::unique_ptr<testsupport::ScopedMount> MountEnvironment::g_loop;
[[maybe_unused]] auto* const g_env = ::testing::AddGlobalTestEnvironment(new MountEnvironment);

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    while (!s.empty() && s.front() == ' ')
        s.erase(0, 1);
    return s;
}

// What lsblk says about the device under "/", independently of the code under test.
bool root_class_by_lsblk(DeviceClass& out) {
    std::string source = trim(testsupport::capture("findmnt -no SOURCE / 2>/dev/null"));
    if (source.rfind("/dev/", 0) != 0) return false;
    if (source.rfind("/dev/nvme", 0) == 0) {
        out = DeviceClass::Nvme;
        return true;
    }
    // A partition (sda1, mmcblk0p2) or a whole device (vda, dm-0, md0); lsblk reports either's queue.
    const std::string name = source.substr(5);
    if (!testsupport::exists("/sys/block/" + name) &&
        !testsupport::exists("/sys/block/" + fsops::whole_disk_name(name)))
        return false;
    std::string rota = trim(testsupport::capture("lsblk -dno ROTA '" + source + "' 2>/dev/null"));
    if (rota != "0" && rota != "1") return false;
    out = rota == "1" ? DeviceClass::Rotational : DeviceClass::Ssd;
    return true;
}

} // namespace

TEST(Devices, NamesAndRanks) {
    struct Case {
        int value;
        const char* name;
        int rank;
    };
    const std::vector<Case> cases = {
        {0, "unknown", 1}, {1, "rotational disk", 0}, {2, "SSD", 2},     {3, "NVMe", 4},
        {4, "network", 3}, {5, "memory", 5},          {6, "unknown", 1}, {-1, "unknown", 1},
    };
    for (const auto& c : cases) {
        auto cls = static_cast<DeviceClass>(c.value);
        EXPECT_STREQ(fsops::device_class_name(cls), c.name) << c.value;
        EXPECT_EQ(fsops::device_class_rank(cls), c.rank) << c.value;
    }
}

TEST(Devices, NetworkFileSystemTypes) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"nfs", true},   {"nfs4", true},   {"cifs", true},     {"smb3", true},      {"smbfs", true},
        {"afs", true},   {"9p", true},     {"ceph", true},     {"glusterfs", true}, {"fuse.sshfs", true},
        {"fuse.", true}, {"fuse", false},  {"fuseblk", false}, {"ext4", false},     {"NFS", false},
        {"nfsd", false}, {"tmpfs", false}, {"", false},
    };
    for (const auto& [type, network] : cases)
        EXPECT_EQ(fsops::is_network_fs_type(type), network) << type;
}

TEST(Devices, WholeDiskNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sda1", "sda"},        {"sda", "sda"},
        {"vda12", "vda"},       {"mmcblk0p2", "mmcblk0"},
        {"mmcblk0", "mmcblk0"}, {"mmcblk1boot0", "mmcblk1boot0"},
        {"xvdb3", "xvdb"},      {"123", ""},
    };
    for (const auto& [part, disk] : cases)
        EXPECT_EQ(fsops::whole_disk_name(part), disk) << part;
}

TEST(Devices, ThreadsByBottleneckAndCores) {
    struct Case {
        DeviceClass cls;
        int cores;
        int threads;
    };
    const std::vector<Case> cases = {
        {DeviceClass::Rotational, 1, 1}, {DeviceClass::Rotational, 64, 1}, {DeviceClass::Ssd, 1, 2},
        {DeviceClass::Ssd, 2, 2},        {DeviceClass::Ssd, 3, 3},         {DeviceClass::Ssd, 4, 4},
        {DeviceClass::Ssd, 32, 4},       {DeviceClass::Unknown, 2, 2},     {DeviceClass::Unknown, 3, 3},
        {DeviceClass::Unknown, 8, 4},    {DeviceClass::Network, 1, 8},     {DeviceClass::Network, 64, 8},
        {DeviceClass::Nvme, 2, 4},       {DeviceClass::Nvme, 6, 6},        {DeviceClass::Nvme, 32, 16},
        {DeviceClass::Memory, 1, 2},     {DeviceClass::Memory, 8, 8},      {DeviceClass::Memory, 64, 16},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fsops::threads_for(c.cls, c.cores), c.threads)
            << fsops::device_class_name(c.cls) << " with " << c.cores << " cores";
}

TEST(Devices, ConfiguredCountWinsUpToThirtyTwo) {
    const std::vector<std::pair<int, int>> cases = {{1, 1}, {5, 5}, {32, 32}, {33, 32}, {100, 32}};
    for (auto [configured, threads] : cases)
        EXPECT_EQ(fsops::recommended_threads("/nonexistent", "/nonexistent", configured), threads)
            << configured;
    // Zero or less means automatic: an unknown device gives the middle count.
    int automatic = fsops::threads_for(DeviceClass::Unknown, fsops::cpu_cores());
    EXPECT_EQ(fsops::recommended_threads("/proc", "/proc", 0), automatic);
    EXPECT_EQ(fsops::recommended_threads("/proc", "/proc", -3), automatic);
}

TEST(Devices, ClassifiesThroughTheMountTable) {
    auto& tmp = MountEnvironment::g_tmpfs;
    if (!tmp || !tmp->ok()) GTEST_SKIP() << "cannot mount a tmpfs: " << (tmp ? tmp->skip_reason() : "");
    EXPECT_EQ(fsops::classify_device(tmp->path()), DeviceClass::Memory);
    EXPECT_EQ(fsops::classify_device(tmp->sub("not/yet/there")), DeviceClass::Memory);
    EXPECT_EQ(fsops::classify_device("/proc/self"), DeviceClass::Unknown) << "virtual device, major 0";
    EXPECT_EQ(fsops::classify_device("/nonexistent/path"), DeviceClass::Unknown);

    DeviceClass root;
    if (!root_class_by_lsblk(root))
        GTEST_SKIP() << "the root file system is not on a block device lsblk knows";
    EXPECT_EQ(fsops::classify_device("/"), root);
    EXPECT_EQ(fsops::classify_device("/usr/bin"), root);
    // Disk to memory: the disk is the slower side, whichever end it is on.
    int expected = fsops::threads_for(root, fsops::cpu_cores());
    EXPECT_EQ(fsops::recommended_threads("/usr", tmp->path(), 0), expected);
    EXPECT_EQ(fsops::recommended_threads(tmp->path(), "/usr", 0), expected);
    EXPECT_EQ(fsops::recommended_threads(tmp->path(), tmp->path(), 0),
              fsops::threads_for(DeviceClass::Memory, fsops::cpu_cores()));
}

// A loop device is a whole disk whose name ends in digits, like dm-0 or md127: it has its own queue,
// and the digits must not be taken for a partition number.
TEST(Devices, WholeDevicesNamedWithDigitsHaveTheirOwnQueue) {
    auto& loop = MountEnvironment::g_loop;
    if (!loop || !loop->ok())
        GTEST_SKIP() << "cannot mount a loop image: " << (loop ? loop->skip_reason() : "");
    const std::string source = trim(testsupport::capture("findmnt -no SOURCE '" + loop->path() + "'"));
    ASSERT_EQ(source.rfind("/dev/loop", 0), 0u) << source;
    const std::string rota =
        trim(testsupport::capture("cat /sys/block/" + source.substr(5) + "/queue/rotational"));
    ASSERT_TRUE(rota == "0" || rota == "1") << rota;
    EXPECT_EQ(fsops::classify_device(loop->path()), rota == "1" ? DeviceClass::Rotational : DeviceClass::Ssd);
}

// A pair is classified as each side alone, also where both sides are on one device and the second
// lookup is spared.
TEST(Devices, PairsAreClassifiedAsEachSideAlone) {
    std::vector<std::string> paths = {"/", "/usr/bin", "/proc/self", "/nonexistent/path"};
    for (auto* env : {&MountEnvironment::g_tmpfs, &MountEnvironment::g_loop})
        if (*env && (*env)->ok()) {
            paths.push_back((*env)->path());
            paths.push_back((*env)->sub("not/yet/there"));
        }
    for (const std::string& a : paths) {
        for (const std::string& b : paths) {
            DeviceClass ca = DeviceClass::Unknown;
            DeviceClass cb = DeviceClass::Unknown;
            fsops::classify_devices(a, b, ca, cb);
            EXPECT_EQ(ca, fsops::classify_device(a)) << a << " with " << b;
            EXPECT_EQ(cb, fsops::classify_device(b)) << b << " with " << a;
        }
    }
}

// A process that has not read the mount table (tavrin-copy) classifies a cached path on a block device
// without reading it, and gets what the table would have given.
TEST(Devices, BlockDevicesNeedNoMountTableAndAgreeWithIt) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    const std::string out = testsupport::capture(
        "TAVRIN_DEVICES_CHILD=1 '" + std::string(self) +
        "' --gtest_also_run_disabled_tests --gtest_filter=DevicesChild.DISABLED_BeforeTheMountTable 2>&1");
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

TEST(DevicesChild, DISABLED_BeforeTheMountTable) {
    if (!getenv("TAVRIN_DEVICES_CHILD")) GTEST_SKIP() << "runs only in the child of its test";
    auto& loop = MountEnvironment::g_loop;
    if (!loop || !loop->ok()) GTEST_SKIP() << "cannot mount a loop image";
    ASSERT_FALSE(mounts::table_read());
    std::vector<std::string> block = {loop->path()};
    struct stat st {};
    if (::stat("/", &st) == 0 && major(st.st_dev) != 0) block.insert(block.end(), {"/", "/usr/bin"});
    std::vector<DeviceClass> before;
    for (const std::string& p : block)
        before.push_back(fsops::classify_device(p));
    EXPECT_FALSE(mounts::table_read()) << "a cached path on a block device needed the mount table";
    // A path that is not there cannot be found in the caches: the table decides.
    const DeviceClass missing = fsops::classify_device(loop->sub("not/yet/there"));
    EXPECT_TRUE(mounts::table_read());
    EXPECT_EQ(missing, DeviceClass::Unknown);
    for (size_t i = 0; i < block.size(); ++i)
        EXPECT_EQ(fsops::classify_device(block[i]), before[i]) << block[i] << " by the table";
}

TEST(Devices, CoresFollowTheThreadAffinity) {
    int all = std::stoi(testsupport::capture("nproc"));
    EXPECT_EQ(fsops::cpu_cores(), all);
    int pinned = 0;
    std::thread t([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
        if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0) pinned = fsops::cpu_cores();
    });
    t.join();
    EXPECT_EQ(pinned, 1);
}
