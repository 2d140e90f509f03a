#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DeviceTestSupport.h"
#include "api/VMConstants.h"
#include "device/LinuxVMIOPlatform.h"
#include "device/VMLocalDrive.h"
#include "fakes/FakeDevicePlatform.h"

using devtest::quote;
using devtest::sh;
using devtest::TempDir;
using devtest::W;

namespace {

// A loop device over an image file, detached at scope end.
class Loop {
public:
    Loop(const std::string& file, const std::string& options) {
        m_dev = devtest::capture("losetup -f --show " + options + " " + quote(file));
        if (m_dev.rfind("/dev/loop", 0) != 0) m_dev.clear();
    }
    ~Loop() {
        if (!m_dev.empty()) sh("losetup -d " + m_dev);
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    bool ok() const { return !m_dev.empty(); }
    const std::string& dev() const { return m_dev; }
    std::wstring wdev() const { return W(m_dev); }
    uint64_t rdev() const {
        struct stat st{};
        return ::stat(m_dev.c_str(), &st) == 0 ? st.st_rdev : 0;
    }

private:
    std::string m_dev;
};

// Real devices with one sysfs answer changed: the loop device says it is removable.
class RemovableOverlay : public LinuxVMIOPlatform {
public:
    explicit RemovableOverlay(uint64_t rdev) : m_rdev(rdev) {}
    std::optional<std::string> readSysAttr(uint64_t rdev, const std::string& rel) override {
        if (rdev == m_rdev && rel == "removable") return std::string("1");
        return LinuxVMIOPlatform::readSysAttr(rdev, rel);
    }

private:
    uint64_t m_rdev;
};

#define NEED_LOOP(loop) \
    if (!(loop).ok()) GTEST_SKIP() << "no loop devices here (losetup failed)"

}  // namespace

TEST(LoopDevice, CapacityAndTypeFromTheKernel) {
    TempDir d;
    struct Row {
        unsigned long long size;
        const char* options;
        uint32_t blocks, blockSize;
        int plainType;      // a plain local disk
        int removableType;  // with the overlay
    } rows[] = {
        {8 << 20, "", 16384, 512, 3, 1},
        {1474560, "", 2880, 512, 3, 4},
        {8 << 20, "--sector-size 2048", 4096, 2048, -2, -2},
        {32 << 20, "--sector-size 4096", 8192, 4096, -2, -2},
    };
    for (const Row& r : rows) {
        const std::string img = devtest::sizedFile(d, "l.img", r.size);
        Loop loop(img, r.options);
        NEED_LOOP(loop);
        SCOPED_TRACE(r.options);
        VMIO::Capacity cap;
        ASSERT_TRUE(VMIO::GetBlockDeviceCapacity(loop.wdev().c_str(), &cap));
        EXPECT_EQ(cap.blocks, r.blocks);
        EXPECT_EQ(cap.blockSize, r.blockSize);
        int media = 0;
        cap = VMIO::Capacity{0, 0};
        EXPECT_EQ(VMIO::GetLocalDriveType(loop.wdev().c_str(), &cap, &media), r.plainType);
        EXPECT_EQ(cap.blocks, r.blocks);
        EXPECT_EQ(cap.blockSize, r.blockSize);
        EXPECT_EQ(media, 1);
        media = 0;
        RemovableOverlay overlay(loop.rdev());
        ScopedPlatform use(overlay);
        EXPECT_EQ(VMIO::GetLocalDriveType(loop.wdev().c_str(), &cap, &media), r.removableType);
        EXPECT_EQ(media, 1);
        std::filesystem::remove(img);
    }
}

TEST(LoopDevice, BlocksMatchTheBackingFile) {
    TempDir d;
    const std::string img = devtest::sizedFile(d, "io.img", 1 << 20);
    std::vector<uint8_t> pattern(4096);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 13 + 1);
    devtest::writeAt(img, 8192, pattern);
    Loop loop(img, "");
    NEED_LOOP(loop);
    VMIO::Handle h = VMIO::OpenDevice(loop.wdev().c_str(), true, true);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(VMIO::ReadSectors(h, 4096, 512, 16, buf.data()), 4096);  // no SCSI on loop: positioned read
    EXPECT_EQ(buf, pattern);
    std::vector<uint8_t> out(70000, 0x42);
    EXPECT_EQ(VMIO::WriteSectors(h, uint32_t(out.size()), 512, 100, out.data()), 69632);  // whole blocks
    EXPECT_TRUE(VMIO::IsDeviceWritable(h));
    EXPECT_FALSE(VMIO::LockCD(h));
    VMIO::CloseDrive(h, true);
    const auto file = devtest::readFile(img);
    EXPECT_EQ(file[100 * 512], 0x42);
    EXPECT_EQ(file[100 * 512 + 69631], 0x42);
    EXPECT_EQ(file[100 * 512 + 69632], 0);
}

// Writability comes from the device, not from whether the open worked.
TEST(LoopDevice, ReadOnlyLoop) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string img = d.file("ro.img");
    ASSERT_TRUE(sh("truncate -s 8M " + quote(img) + " && mkfs.fat " + quote(img)));
    Loop loop(img, "-r");
    NEED_LOOP(loop);
    VMIO::Handle h = VMIO::OpenDevice(loop.wdev().c_str(), false);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    EXPECT_FALSE(VMIO::IsDeviceWritable(h));
    VMIO::CloseDrive(h, false);
    RemovableOverlay overlay(loop.rdev());
    ScopedPlatform use(overlay);
    VMLocalDrive drive(loop.wdev().c_str());
    EXPECT_EQ(drive.getLocalDriveType(), 1);
    EXPECT_EQ(drive.isWritable(), 0);
    EXPECT_EQ(drive.isInReadOnlyMode(), 1);
    EXPECT_EQ(drive.getNumberOfBlocks(), 16384u);
    EXPECT_NE(drive.getHeads(), 0u);  // geometry read all the same
}

// Someone else holds the device (as a mount would): no write, marked mounted.
TEST(LoopDevice, ExclusiveOpenConflict) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string img = d.file("busy.img");
    ASSERT_TRUE(sh("mkfs.fat -C " + quote(img) + " 1440"));
    Loop loop(img, "");
    NEED_LOOP(loop);
    const int holder = ::open(loop.dev().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(VMIO::OpenDevice(loop.wdev().c_str(), true, true), VMIO::INVALID_HANDLE);
    RemovableOverlay overlay(loop.rdev());
    {
        ScopedPlatform use(overlay);
        VMLocalDrive drive(loop.wdev().c_str());
        EXPECT_EQ(drive.getLocalDriveType(), 4);
        EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
        EXPECT_EQ(drive.isMounted(), 1);
        EXPECT_EQ(drive.isWritable(), 0);
        EXPECT_EQ(drive.isInReadOnlyMode(), 1);
        EXPECT_EQ(drive.getMapAsFloppy(), 1);
        EXPECT_EQ(drive.getCylinders(), 80u);
        EXPECT_EQ(drive.getHeads(), 2u);
        EXPECT_EQ(drive.getSectors(), 18u);
    }
    ::close(holder);
    ScopedPlatform use(overlay);
    VMLocalDrive drive(loop.wdev().c_str());
    EXPECT_EQ(drive.isMounted(), 0);
    EXPECT_EQ(drive.isWritable(), 1);
}

// A loop device is a fixed disk (type 3): matched to no server drive, but
// probed like any disk: its size, its writability from the device and the
// exclusive open, and a mounted flag that follows the device.
TEST(LoopDevice, FixedDiskIsProbedLikeAnyDisk) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string img = d.file("fixed.img");
    ASSERT_TRUE(sh("mkfs.fat -C " + quote(img) + " 1440"));
    Loop loop(img, "");
    NEED_LOOP(loop);
    VMLocalDrive drive(loop.wdev().c_str());
    EXPECT_EQ(drive.getLocalDriveType(), 3);
    EXPECT_EQ(drive.getNumberOfBlocks(), 2880u);
    EXPECT_EQ(drive.getBlockSize(), 512u);
    EXPECT_EQ(drive.hasMedia(), 1);
    EXPECT_EQ(drive.isWritable(), 1);
    EXPECT_EQ(drive.isMounted(), 0);
    EXPECT_EQ(drive.getHeads(), 2u);
    EXPECT_EQ(drive.getSectors(), 18u);

    // Held by someone else, as a mount holds it: not writable, mounted...
    const int holder = ::open(loop.dev().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(drive.isMounted(), 1);
    EXPECT_EQ(drive.isWritable(), 0);
    EXPECT_EQ(drive.getNumberOfBlocks(), 2880u);
    // ...and no longer so once it is let go.
    ::close(holder);
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(drive.isMounted(), 0);
    EXPECT_EQ(drive.isWritable(), 1);

    // Write protection comes from the device.
    Loop readOnly(img, "-r");
    NEED_LOOP(readOnly);
    VMLocalDrive ro(readOnly.wdev().c_str());
    EXPECT_EQ(ro.getLocalDriveType(), 3);
    EXPECT_EQ(ro.getNumberOfBlocks(), 2880u);
    EXPECT_EQ(ro.isWritable(), 0);
    EXPECT_EQ(ro.isMounted(), 0);
}
