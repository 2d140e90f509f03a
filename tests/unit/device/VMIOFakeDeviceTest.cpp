#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>

#include "fakes/FakeDevicePlatform.h"
#include "device/VMIO.h"

using Disk = FakeDevicePlatform::Disk;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(uint8_t(b));
    return out;
}

struct FakeFixture : ::testing::Test {
    FakeDevicePlatform fake;
    std::unique_ptr<ScopedPlatform> use;
    void SetUp() override { use = std::make_unique<ScopedPlatform>(fake); }
    void TearDown() override {
        use.reset();
        EXPECT_EQ(fake.openHandles(), 0) << "a handle was left open";
    }
    Disk& usbDisk(const std::string& path, unsigned min, uint64_t size, uint32_t bs = 512) {
        Disk& d = fake.addDisk(path, 8, min, size, bs);
        d.usb = true;
        return d;
    }
    Disk& cd(const std::string& path, unsigned min, uint64_t size) { return fake.addDisk(path, 11, min, size, 2048); }
};

}  // namespace

// Which type a device gets from its sysfs attributes and capacity.
TEST_F(FakeFixture, DeviceTypesFromSysfs) {
    usbDisk("/fake/usb-big", 16, 8 << 20);
    usbDisk("/fake/usb-2m", 32, 2 << 20);
    fake.addDisk("/fake/removable", 8, 48, 8 << 20).removable = true;
    Disk& nomedia = fake.addDisk("/fake/reader", 8, 64, 8 << 20);
    nomedia.removable = true;
    nomedia.mediaPresent = false;
    usbDisk("/fake/usb-4k", 80, 32 << 20, 4096);
    usbDisk("/fake/usb-2k-small", 96, 1 << 20, 2048);
    fake.addDisk("/fake/sata", 8, 112, 64 << 20);
    fake.addDisk("/fake/nbd0", 43, 0, 8 << 20).usb = true;  // a network disk is never offered
    Disk& mmc = fake.addDisk("/fake/mmcblk0", 179, 0, 8 << 20);
    mmc.deviceType = "SD";
    fake.addDisk("/fake/fd0", 2, 0, 1474560);
    Disk& disc = cd("/fake/sr0", 0, 1000 * 2048);
    disc.aliases.push_back("/fake/cdrom");
    cd("/fake/sr1", 1, 0).mediaPresent = false;
    Disk& badcap = cd("/fake/sr2", 2, 2048 * 10);
    badcap.capacityLastLba = 0x80000000;
    Disk& parent = usbDisk("/fake/sdx", 128, 8 << 20);
    fake.addPartition(parent, "/fake/sdx1", 129, 2048, 4096);
    fake.addPartition(parent, "/fake/sdx2", 130, 6144, 8192);

    struct Row {
        const char* path;
        int type;
        uint32_t blocks, blockSize;
        int hasMedia;
    } rows[] = {
        {"/fake/usb-big", 1, 16384, 512, 1},
        {"/fake/usb-2m", 4, 4096, 512, 1},
        {"/fake/removable", 1, 16384, 512, 1},
        {"/fake/reader", -1, 0, 512, 7},
        {"/fake/usb-4k", -2, 8192, 4096, 1},
        {"/fake/usb-2k-small", -2, 512, 2048, 1},
        // Fixed and network disks are offered to no server drive, but probed as disks.
        {"/fake/sata", 3, 131072, 512, 1},
        {"/fake/nbd0", 3, 16384, 512, 1},
        {"/fake/mmcblk0", 3, 16384, 512, 1},
        {"/fake/fd0", 4, 2880, 512, 1},
        {"/fake/sr0", 2, 1000, 2048, 1},
        {"/fake/cdrom", 2, 1000, 2048, 1},
        {"/fake/sr1", 2, 0, 2048, 7},  // no disc: media flag untouched
        {"/fake/sr2", 2, 0, 2048, 1},
        {"/fake/sdx1", 4, 4096, 512, 1},
        {"/fake/sdx2", 1, 8192, 512, 1},
    };
    for (const Row& r : rows) {
        VMIO::Capacity cap{99, 99};
        int media = 7;
        const std::wstring w(r.path, r.path + std::strlen(r.path));
        EXPECT_EQ(VMIO::GetLocalDriveType(w.c_str(), &cap, &media), r.type) << r.path;
        EXPECT_EQ(cap.blocks, r.blocks) << r.path;
        EXPECT_EQ(cap.blockSize, r.blockSize) << r.path;
        EXPECT_EQ(media, r.hasMedia) << r.path;  // 7: left as it was
    }
    EXPECT_TRUE(VMIO::IsDriveRemovable("/fake/usb-big"));
    EXPECT_TRUE(VMIO::IsDriveRemovable("/fake/removable"));
    EXPECT_FALSE(VMIO::IsDriveRemovable("/fake/sata"));
}

TEST_F(FakeFixture, ReadAndWriteCommandsCarryTheRightBytes) {
    Disk& d = usbDisk("/fake/sdb", 16, 32 << 20);
    for (size_t i = 0; i < d.data.size(); ++i) d.data[i] = uint8_t(i / 512);
    VMIO::Handle h = VMIO::OpenDevice(L"/fake/sdb", true, true);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    EXPECT_TRUE(d.openFlags.back() & O_EXCL);
    std::vector<uint8_t> buf(70000);
    fake.clearCdbLog();
    EXPECT_EQ(VMIO::ReadSectors(h, 65537, 512, 0x00010203, buf.data()), 0);  // past the end: CHECK CONDITION
    EXPECT_EQ(fake.cdbs(0x28).back(), bytes({0x28, 0, 0x00, 0x01, 0x02, 0x03, 0, 0x00, 0x80, 0}));
    EXPECT_EQ(fake.cdbLog().front(), bytes({0, 0, 0, 0, 0, 0}));  // TEST UNIT READY first

    EXPECT_EQ(VMIO::ReadSectors(h, 65537, 512, 100, buf.data()), 65536);
    EXPECT_EQ(buf[0], 100);
    EXPECT_EQ(buf[65535], uint8_t(227));
    EXPECT_EQ(VMIO::ReadSectors(h, 1000, 512, 3, buf.data()), 512);  // whole blocks only
    EXPECT_EQ(fake.cdbs(0x28).back()[8], 1);
    EXPECT_EQ(VMIO::ReadSectors(h, 100, 512, 3, buf.data()), 0);  // less than a block

    // A write of more than one command's worth is split, nothing is dropped.
    std::vector<uint8_t> out(65536 * 2 + 512, 0xAB);
    fake.clearCdbLog();
    EXPECT_EQ(VMIO::WriteSectors(h, uint32_t(out.size()), 512, 10, out.data()), int(out.size()));
    auto writes = fake.cdbs(0x2A);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], bytes({0x2A, 0, 0, 0, 0, 10, 0, 0, 127, 0}));
    EXPECT_EQ(writes[1], bytes({0x2A, 0, 0, 0, 0, 137, 0, 0, 127, 0}));
    EXPECT_EQ(writes[2], bytes({0x2A, 0, 0, 0, 1, 8, 0, 0, 3, 0}));
    EXPECT_EQ(d.data[10 * 512], 0xAB);
    EXPECT_EQ(d.data[(10 + 257) * 512 - 1], 0xAB);
    EXPECT_EQ(d.data[(10 + 257) * 512], uint8_t(267));

    // A device that reports a short transfer: only what arrived counts.
    d.readResidual = 512;
    EXPECT_EQ(VMIO::ReadSectors(h, 4096, 512, 0, buf.data()), 3584);
    d.readResidual = 0;
    VMIO::CloseDrive(h, true);
    EXPECT_EQ(d.syncs, 1);
    EXPECT_EQ(d.cacheDrops, 1);
    EXPECT_EQ(d.flushes, 1);
}

TEST_F(FakeFixture, ScsiErrorsAreFailures) {
    Disk& d = usbDisk("/fake/sdb", 16, 8 << 20);
    VMIO::Handle h = VMIO::OpenDevice(L"/fake/sdb", false);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    EXPECT_EQ(d.openFlags.back() & (O_ACCMODE | O_EXCL), O_RDONLY);
    std::vector<uint8_t> buf(4096);
    d.checkCondition = true;  // not ready
    EXPECT_FALSE(VMIO::CheckDrive(h));
    EXPECT_EQ(VMIO::ReadSectors(h, 4096, 512, 0, buf.data()), 0);
    d.checkCondition = false;
    d.readOnly = true;  // write protect: DATA PROTECT
    EXPECT_EQ(VMIO::WriteSectors(h, 4096, 512, 0, buf.data()), 0);
    EXPECT_FALSE(VMIO::IsDeviceWritable(h));
    d.readOnly = false;
    EXPECT_TRUE(VMIO::IsDeviceWritable(h));
    d.sgErrno = EIO;  // the transfer itself failed: no silent fallback
    EXPECT_EQ(VMIO::ReadSectors(h, 4096, 512, 0, buf.data()), 0);
    d.sgErrno = 0;
    d.scsi = false;  // no SCSI at all: positioned reads instead
    d.data[512] = 0x5A;
    fake.clearCdbLog();
    EXPECT_EQ(VMIO::ReadSectors(h, 1024, 512, 0, buf.data()), 1024);
    EXPECT_EQ(buf[512], 0x5A);
    EXPECT_TRUE(fake.cdbs(0x28).size() == 1);  // tried once, then fell back
    d.mediaPresent = false;
    EXPECT_FALSE(VMIO::CheckDrive(h));
    VMIO::CloseDrive(h, false);
    EXPECT_EQ(d.flushes, 0);
}

// SCSI addresses the whole disk, so a partition is read with positioned I/O.
TEST_F(FakeFixture, PartitionsNeverGetScsiCommands) {
    Disk& disk = usbDisk("/fake/sdb", 16, 8 << 20);
    fake.addPartition(disk, "/fake/sdb1", 17, 2048, 4096);
    disk.data[2048 * 512 + 5] = 0x77;
    VMIO::Handle h = VMIO::OpenDevice(L"/fake/sdb1", true, true);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    EXPECT_EQ(VMIO::OpenDevice(L"/fake/sdb1", true, true), VMIO::INVALID_HANDLE);  // already claimed
    fake.clearCdbLog();
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(VMIO::ReadSectors(h, 1024, 512, 0, buf.data()), 1024);
    EXPECT_EQ(buf[5], 0x77);
    buf[0] = 0x11;
    EXPECT_EQ(VMIO::WriteSectors(h, 512, 512, 1, buf.data()), 512);
    EXPECT_EQ(disk.data[2049 * 512], 0x11);
    EXPECT_TRUE(fake.cdbLog().empty());
    VMIO::CloseDrive(h, true);
}

TEST_F(FakeFixture, PositionedIoLoopsOverShortTransfers) {
    Disk& d = fake.addDisk("/fake/fd0", 2, 0, 1474560);
    d.maxChunk = 100;
    for (int i = 0; i < 4096; ++i) d.data[i] = uint8_t(i);
    VMIO::Handle h = VMIO::OpenDevice(L"/fake/fd0", true, true);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    std::vector<uint8_t> buf(4096);
    EXPECT_EQ(VMIO::ReadDriveEx(h, 0, 4096, buf.data()), 4096u);
    EXPECT_EQ(buf[4095], uint8_t(4095 & 0xFF));
    std::vector<uint8_t> out(2048, 0xEE);
    EXPECT_EQ(VMIO::WriteDriveEx(h, 1024, 2048, out.data()), 2048u);
    EXPECT_EQ(d.data[3071], 0xEE);
    d.ioErrno = EIO;
    EXPECT_EQ(VMIO::ReadDriveEx(h, 0, 512, buf.data()), 0u);
    EXPECT_EQ(VMIO::WriteDriveEx(h, 0, 512, out.data()), 0u);
    VMIO::CloseDrive(h, true);
}

TEST_F(FakeFixture, TableOfContents) {
    Disk& disc = cd("/fake/sr0", 0, 1000 * 2048);
    uint8_t toc[VMIO::TOC_BUFFER_BYTES + 16];
    EXPECT_EQ(VMIO::GetCdToc(L"/fake/sr0", toc), 20);
    EXPECT_EQ(fake.cdbs(0x43).back(), bytes({0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}));
    EXPECT_EQ(std::memcmp(toc, FakeDevicePlatform::defaultToc().data(), 20), 0);
    EXPECT_EQ(VMIO::GetAlternateCdToc(L"/fake/sr0", toc, 1, 2, 5), 20);
    EXPECT_EQ(fake.cdbs(0x43).back(), bytes({0x43, 2, 2, 0, 0, 0, 5, 0x03, 0x24, 0}));
    fake.clearCdbLog();
    EXPECT_EQ(VMIO::GetAlternateCdToc(L"/fake/sr0", toc, 2, 0, 0), -1);
    EXPECT_EQ(VMIO::GetAlternateCdToc(L"/fake/sr0", toc, 0, 6, 0), -1);
    EXPECT_TRUE(fake.cdbLog().empty());

    // The device's length field is not trusted beyond the buffer or the transfer.
    struct Row {
        std::vector<uint8_t> answer;
        int length;
    } rows[] = {
        {std::vector<uint8_t>(900, 0xFF), 804},             // claims 65537
        {bytes({0x00, 0x64, 1, 1, 0, 0x14, 1, 0, 0, 0}), 10},  // claims 102, sent 10
        {bytes({0x00, 0x02, 1}), 0},                         // fewer than 4 bytes
    };
    for (const Row& r : rows) {
        disc.toc = r.answer;
        std::memset(toc, 0xCC, sizeof toc);
        EXPECT_EQ(VMIO::GetCdToc(L"/fake/sr0", toc), r.length);
        EXPECT_EQ(toc[VMIO::TOC_BUFFER_BYTES], 0xCC);
    }
    disc.toc.clear();
    disc.checkCondition = true;
    EXPECT_EQ(VMIO::GetCdToc(L"/fake/sr0", toc), 0);
}

TEST_F(FakeFixture, CdCapacityAndMediaRemoval) {
    Disk& disc = cd("/fake/sr0", 0, 1000 * 2048);
    VMIO::Capacity cap;
    EXPECT_TRUE(VMIO::GetCdCapacity(L"/fake/sr0", &cap));
    EXPECT_EQ(fake.cdbs(0x25).back(), bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cap.blocks, 1000u);
    EXPECT_EQ(cap.blockSize, 2048u);
    struct Row {
        const char* what;
        int openErrno, sgErrno;
        bool checkCondition;
        bool result;
        uint32_t blocks;
    } rows[] = {
        {"access denied", EACCES, 0, false, true, 0},
        {"other open failure", ENOENT, 0, false, false, 77},
        {"not ready", 0, 0, true, true, 0},
        {"transfer error", 0, EIO, false, true, 0},
        {"host error", 0, ENODEV, false, false, 77},
    };
    for (const Row& r : rows) {
        disc.openErrno = r.openErrno;
        disc.sgErrno = r.sgErrno;
        disc.checkCondition = r.checkCondition;
        cap = VMIO::Capacity{77, 77};
        EXPECT_EQ(VMIO::GetCdCapacity(L"/fake/sr0", &cap), r.result) << r.what;
        EXPECT_EQ(cap.blocks, r.blocks) << r.what;
        if (r.result) {
            EXPECT_EQ(cap.blockSize, 2048u) << r.what;
        }
    }
    disc.openErrno = disc.sgErrno = 0;
    disc.checkCondition = false;

    VMIO::Handle h = VMIO::OpenDevice(L"/fake/sr0", false);
    EXPECT_TRUE(VMIO::LockCD(h));
    EXPECT_TRUE(disc.doorLocked);
    EXPECT_TRUE(VMIO::UnlockCD(h));
    EXPECT_FALSE(disc.doorLocked);
    EXPECT_TRUE(VMIO::CheckDrive(h));
    disc.mediaPresent = false;
    EXPECT_FALSE(VMIO::CheckDrive(h));
    VMIO::CloseDrive(h, false);

    Disk& stick = usbDisk("/fake/sdb", 16, 8 << 20);
    h = VMIO::OpenDevice(L"/fake/sdb", false);
    EXPECT_FALSE(VMIO::LockCD(h));  // no tray to lock
    EXPECT_FALSE(stick.doorLocked);
    VMIO::CloseDrive(h, false);
}

TEST_F(FakeFixture, FindDrivesListsWhatCanBeOffered) {
    cd("/dev/fake-sr0", 0, 2048 * 10);
    usbDisk("/dev/fake-sda", 0, 8 << 20);
    usbDisk("/dev/fake-sdb", 16, 8 << 20).mediaPresent = false;
    usbDisk("/dev/fake-sdc", 32, 8 << 20, 4096);
    Disk& locked = usbDisk("/dev/fake-sdd", 48, 8 << 20);
    locked.openErrno = EACCES;
    fake.addDisk("/dev/fake-sde", 8, 64, 8 << 20).removable = true;
    fake.addDisk("/dev/fake-sdf", 8, 80, 8 << 20);  // fixed
    fake.addDisk("/dev/fake-nbd0", 43, 0, 8 << 20);
    fake.addDisk("/dev/fake-loop0", 7, 0, 8 << 20);
    auto table = std::make_unique<VMIO::DriveTable>();
    std::memset(table.get(), 0, sizeof *table);
    EXPECT_EQ(VMIO::FindDrives(table.get()), 4);
    std::vector<std::string> names;
    for (int i = 0; i < table->count; ++i) names.push_back(table->entries[i].name);
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/fake-sda", "/dev/fake-sdd", "/dev/fake-sde", "/dev/fake-sr0"}));
    EXPECT_NE(std::string(table->entries[3].target).find("/block/fake-sr0"), std::string::npos);
    EXPECT_EQ(VMIO::FindDrives(nullptr), 0);
}

TEST_F(FakeFixture, FindDrivesStopsAtTheTableSize) {
    for (int i = 0; i < 40; ++i) fake.addDisk("/fake/sr" + std::to_string(i), 11, unsigned(i), 2048);
    auto table = std::make_unique<VMIO::DriveTable>();
    EXPECT_EQ(VMIO::FindDrives(table.get()), VMIO::MAX_DRIVES);
}
