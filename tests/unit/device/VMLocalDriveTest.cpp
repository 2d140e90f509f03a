#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>

#include "DeviceTestSupport.h"
#include "api/VMConstants.h"
#include "device/VMLocalDrive.h"
#include "fakes/FakeDevicePlatform.h"

using devtest::quote;
using devtest::sh;
using devtest::TempDir;
using devtest::W;

namespace {

struct Expect {
    int type;
    unsigned blocks, blockSize;
    int writable, readOnly, isDrive, mapAsFloppy;
    unsigned cylinders, heads, sectors;
    unsigned getBlocks, lbaStart;
};

void check(const VMLocalDrive& d, const Expect& e) {
    EXPECT_EQ(d.getLocalDriveType(), e.type);
    EXPECT_EQ(d.getNumberOfBlocks(), e.blocks);
    EXPECT_EQ(d.getBlockSize(), e.blockSize);
    EXPECT_EQ(d.isWritable(), e.writable);
    EXPECT_EQ(d.isInReadOnlyMode(), e.readOnly);
    EXPECT_EQ(d.isDrive(), e.isDrive);
    EXPECT_EQ(d.getMapAsFloppy(), e.mapAsFloppy);
    EXPECT_EQ(d.getCylinders(), e.cylinders);
    EXPECT_EQ(d.getHeads(), e.heads);
    EXPECT_EQ(d.getSectors(), e.sectors);
    EXPECT_EQ(d.getBlocks(), e.getBlocks);
    EXPECT_EQ(d.getLBAStart(), e.lbaStart);
    EXPECT_EQ(d.getLastError(), 0);
    EXPECT_EQ(d.hasMedia(), 1);
}

}  // namespace

// What the probe reports for images the standard tools make.
TEST(VMLocalDrive, ImagesMadeByTheTools) {
    for (const char* tool : {"mkfs.fat", "parted", "sfdisk", "genisoimage", "xorriso"})
        if (!devtest::haveTool(tool)) GTEST_SKIP() << tool << " missing";
    TempDir d;
    ASSERT_TRUE(sh("mkdir " + quote(d.file("tree")) + " && echo hello > " + quote(d.file("tree/a.txt"))));
    struct Row {
        const char* name;
        std::string make;  // %F is the image, %D the source tree
        Expect e;
    } rows[] = {
        {"f360.img", "mkfs.fat -C %F 360", {6, 720, 512, 1, 0, 0, 1, 40, 2, 9, 720, 0}},
        {"f720.img", "mkfs.fat -C %F 720", {6, 1440, 512, 1, 0, 0, 1, 80, 2, 9, 1440, 0}},
        {"f1200.img", "mkfs.fat -C %F 1200", {6, 2400, 512, 1, 0, 0, 1, 80, 2, 15, 2400, 0}},
        {"f1440.img", "mkfs.fat -C %F 1440", {6, 2880, 512, 1, 0, 0, 1, 80, 2, 18, 2880, 0}},
        {"f2880.img", "mkfs.fat -C %F 2880", {6, 5760, 512, 1, 0, 0, 1, 80, 2, 36, 5760, 0}},
        {"fat32.img", "mkfs.fat -C -F 32 %F 65536", {7, 131072, 512, 1, 0, 0, 0, 512, 8, 32, 131072, 0}},
        {"parted.img", "truncate -s 2M %F && parted -s %F mklabel msdos mkpart primary fat16 1MiB 100%",
         {6, 4096, 512, 1, 0, 0, 1, 32, 4, 32, 2048, 2048}},
        {"sfdisk.img", "truncate -s 2M %F && echo '2048,,c' | sfdisk -q %F",
         {6, 4096, 512, 1, 0, 0, 1, 0, 0, 0, 4096, 0}},
        {"xorriso-mbr.img", "xorriso -as mkisofs -quiet -partition_offset 16 -o %F %D",
         {6, 800, 512, 1, 0, 0, 1, 0, 0, 0, 800, 0}},
        // CD images are never opened, so getBlocks (the mapped view) stays 0.
        {"geniso.iso", "genisoimage -quiet -o %F %D", {5, 175, 2048, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"xorriso.iso", "xorriso -as mkisofs -quiet -o %F %D", {5, 184, 2048, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        // Past what CHS can address: the largest standard geometry.
        {"sparse.img", "truncate -s 8422687232 %F && mkfs.fat -F 32 %F",
         {7, 16450561, 512, 1, 0, 0, 0, 16383, 16, 63, 16450561, 0}},
    };
    for (const Row& r : rows) {
        const std::string p = d.file(r.name);
        std::string cmd = r.make;
        for (size_t at; (at = cmd.find("%F")) != std::string::npos;) cmd.replace(at, 2, quote(p));
        for (size_t at; (at = cmd.find("%D")) != std::string::npos;) cmd.replace(at, 2, quote(d.file("tree")));
        ASSERT_TRUE(sh(cmd)) << cmd;
        SCOPED_TRACE(r.name);
        VMLocalDrive drive(W(p).c_str());
        check(drive, r.e);
        EXPECT_EQ(drive.getFileHandle(), VMIO::INVALID_HANDLE);
        EXPECT_EQ(drive.getDriveId(), -1);
        EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);  // a second probe agrees
        check(drive, r.e);
    }
}

// A boot sector's heads and sectors per track are 16-bit fields; values no
// CHS address holds give the standard geometry, not bytes cut short.
TEST(VMLocalDrive, BootSectorGeometryOutOfChsRange) {
    TempDir d;
    struct Row { uint16_t sectors, heads; unsigned c, h, s; } rows[] = {
        {18, 2, 80, 2, 18}, {63, 255, 0, 255, 63}, {100, 2, 2, 16, 63}, {18, 300, 2, 16, 63},
        {0xFFFF, 0xFFFF, 2, 16, 63},
    };
    for (const Row& r : rows) {
        const std::string p = devtest::sizedFile(d, "bpb.img", 2880 * 512);
        std::vector<uint8_t> bpb(512, 0);
        bpb[0] = 0xEB;
        bpb[11] = 0x00, bpb[12] = 0x02;  // 512 bytes per sector
        bpb[19] = 2880 & 0xFF, bpb[20] = 2880 >> 8;
        bpb[24] = uint8_t(r.sectors), bpb[25] = uint8_t(r.sectors >> 8);
        bpb[26] = uint8_t(r.heads), bpb[27] = uint8_t(r.heads >> 8);
        devtest::writeAt(p, 0, bpb);
        VMLocalDrive drive(W(p).c_str());
        SCOPED_TRACE(std::to_string(r.sectors) + "/" + std::to_string(r.heads));
        EXPECT_EQ(drive.getCylinders(), r.c);
        EXPECT_EQ(drive.getHeads(), r.h);
        EXPECT_EQ(drive.getSectors(), r.s);
    }
}

TEST(VMLocalDrive, ProbeFailures) {
    TempDir d;
    struct Row {
        std::string path;
        int lastError;
    } rows[] = {
        {devtest::sizedFile(d, "disk.raw", 1474560), VMLocalDrive::ERROR_NOT_SUPPORTED},
        {devtest::sizedFile(d, "huge.img", 3ULL << 40), VMLocalDrive::ERROR_CAPACITY},
        {d.file("missing.img"), VMLocalDrive::ERROR_NOT_READABLE},
        {"/dev/null", VMLocalDrive::ERROR_NOT_SUPPORTED},
    };
    for (const Row& r : rows) {
        VMLocalDrive drive(W(r.path).c_str());
        EXPECT_EQ(drive.getLocalDriveType(), 0) << r.path;
        EXPECT_EQ(drive.getLastError(), r.lastError) << r.path;
        EXPECT_EQ(drive.refresh(), VMConstants::API_ERROR) << r.path;
    }
    VMLocalDrive none(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(none.getPath(), nullptr);
    EXPECT_EQ(none.getLastError(), VMLocalDrive::ERROR_NOT_SUPPORTED);
}

TEST(VMLocalDrive, ImmutableImageIsReadOnlyButStillHasGeometry) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string p = d.file("ro.img");
    ASSERT_TRUE(sh("mkfs.fat -C " + quote(p) + " 1440"));
    // Root ignores file modes; an immutable file refuses write opens even to root.
    if (!sh("chattr +i " + quote(p))) GTEST_SKIP() << "chattr +i not supported here";
    VMLocalDrive drive(W(p).c_str());
    sh("chattr -i " + quote(p));
    check(drive, {6, 2880, 512, 0, 1, 0, 1, 80, 2, 18, 2880, 0});
}

TEST(VMLocalDrive, MappedDriveIsNotProbed) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string p = d.file("m.img");
    ASSERT_TRUE(sh("mkfs.fat -C " + quote(p) + " 1440"));
    VMLocalDrive drive(W(p).c_str());
    drive.setMappedTo(4);
    std::filesystem::resize_file(p, 0);
    EXPECT_EQ(drive.refresh(), VMConstants::API_ERROR);
    check(drive, {6, 2880, 512, 1, 0, 0, 1, 80, 2, 18, 2880, 0});
}

// A medium swapped for a blank one must not keep the old partition offset.
TEST(VMLocalDrive, NewProbeForgetsTheOldPartition) {
    if (!devtest::haveTool("parted")) GTEST_SKIP() << "parted missing";
    TempDir d;
    const std::string p = d.file("swap.img");
    ASSERT_TRUE(sh("truncate -s 2M " + quote(p) + " && parted -s " + quote(p) +
                   " mklabel msdos mkpart primary fat16 1MiB 100%"));
    VMLocalDrive drive(W(p).c_str());
    EXPECT_EQ(drive.getLBAStart(), 2048u);
    devtest::writeAt(p, 0, std::vector<uint8_t>(512, 0));
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(drive.getLBAStart(), 0u);
    EXPECT_EQ(drive.getBlocks(), 4096u);
    EXPECT_EQ(drive.getHeads(), 0u);
}

TEST(VMLocalDrive, CopiesAreDeep) {
    TempDir d;
    const std::string p = devtest::sizedFile(d, "c.img", 1474560);
    auto original = std::make_unique<VMLocalDrive>(W(p).c_str());
    original->setDriveId(9);
    VMLocalDrive byPointer(original.get());
    VMLocalDrive byValue(*original);
    VMLocalDrive assigned;
    assigned = byPointer;
    assigned = assigned;
    original.reset();
    for (const VMLocalDrive* c : {&byPointer, &byValue, &assigned}) {
        EXPECT_EQ(tw::toNativePath(c->getPath()), p);
        EXPECT_EQ(c->getDriveId(), 9);
        EXPECT_EQ(c->getNumberOfBlocks(), 2880u);
    }
    assigned.setPath(L"/x/y.img\u2F2F");
    EXPECT_STREQ(assigned.getPath(), L"/x/y.img");
    assigned.setPath(nullptr);
    EXPECT_STREQ(assigned.getPath(), L"/x/y.img");
    assigned.setPath(L"/x/");
    EXPECT_STREQ(assigned.getPath(), L"/x/");
    EXPECT_STREQ(byPointer.getPath(), W(p).c_str());
}

TEST(VMLocalDrive, DefaultsAndComputedAccessors) {
    VMLocalDrive d;
    EXPECT_EQ(d.getDriveId(), -1);
    EXPECT_EQ(d.getMappedTo(), -1);
    EXPECT_FALSE(d.isMapped());
    EXPECT_EQ(d.getFileHandle(), VMIO::INVALID_HANDLE);
    EXPECT_EQ(d.isInReadOnlyMode(), 1);  // not writable
    EXPECT_EQ(d.getPath(), nullptr);
    d.setMappedTo(2);
    EXPECT_TRUE(d.isMapped());
}

namespace {

struct FakeDrives : ::testing::Test {
    FakeDevicePlatform fake;
    std::unique_ptr<ScopedPlatform> use;
    void SetUp() override { use = std::make_unique<ScopedPlatform>(fake); }
    void TearDown() override {
        use.reset();
        EXPECT_EQ(fake.openHandles(), 0);
    }
    // An MBR whose first partition starts at 2048 on a 4-head, 32-sector disk.
    static void writeMbr(FakeDevicePlatform::Disk& d, uint32_t count) {
        const uint8_t e[16] = {0, 0, 1, 16, 0x0C, 3, 32, 31, 0x00, 0x08, 0, 0,
                               uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16), uint8_t(count >> 24)};
        d.data[0] = 0xFA;
        std::memcpy(&d.data[446], e, 16);
    }
    static bool openedForWrite(const FakeDevicePlatform::Disk& d) {
        for (int f : d.openFlags)
            if ((f & O_ACCMODE) != O_RDONLY) return true;
        return false;
    }
};

}  // namespace

TEST_F(FakeDrives, DevicesThroughTheSeam) {
    auto& usb = fake.addDisk("/fake/sdb", 8, 16, 8 << 20);
    usb.usb = true;
    writeMbr(usb, 2048);
    VMLocalDrive stick(L"/fake/sdb");
    // A removable disk is offered whole: the partition table only lends the geometry.
    check(stick, {1, 16384, 512, 1, 0, 1, 0, 128, 4, 32, 16384, 0});
    EXPECT_FALSE(fake.cdbs(0x28).empty());  // block 0 came through SCSI
    EXPECT_EQ(usb.exclusiveOpens, 0);

    auto& small = fake.addDisk("/fake/sdc", 8, 32, 2 << 20);
    small.removable = true;
    writeMbr(small, 2048);
    VMLocalDrive floppy(L"/fake/sdc");
    check(floppy, {4, 4096, 512, 1, 0, 1, 1, 32, 4, 32, 2048, 2048});

    auto& disc = fake.addDisk("/fake/sr0", 11, 0, 1000 * 2048, 2048);
    VMLocalDrive cd(L"/fake/sr0");
    EXPECT_EQ(cd.getLocalDriveType(), 2);
    EXPECT_EQ(cd.isDrive(), 1);
    EXPECT_EQ(cd.isWritable(), 0);
    EXPECT_EQ(cd.isInReadOnlyMode(), 1);
    EXPECT_EQ(cd.getBlockSize(), 2048u);
    EXPECT_EQ(cd.getNumberOfBlocks(), 1000u);
    EXPECT_EQ(cd.hasMedia(), 1);
    EXPECT_FALSE(openedForWrite(disc));

    // A fixed disk: type 3, which no server drive takes, with its true size
    // and writability.
    auto& sda = fake.addDisk("/fake/sda", 8, 0, 8 << 20);
    VMLocalDrive fixed(L"/fake/sda");
    EXPECT_EQ(fixed.getLocalDriveType(), 3);
    EXPECT_EQ(fixed.getLastError(), 0);
    EXPECT_EQ(fixed.getNumberOfBlocks(), 16384u);
    EXPECT_EQ(fixed.getBlockSize(), 512u);
    EXPECT_EQ(fixed.isWritable(), 1);
    EXPECT_EQ(fixed.isMounted(), 0);
    EXPECT_EQ(fixed.isDrive(), 0);
    sda.mounted = true;
    EXPECT_EQ(fixed.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(fixed.isWritable(), 0);
    EXPECT_EQ(fixed.isMounted(), 1);
    sda.mounted = false;  // unmounted again: the flag follows
    EXPECT_EQ(fixed.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(fixed.isWritable(), 1);
    EXPECT_EQ(fixed.isMounted(), 0);
}

TEST_F(FakeDrives, WriteProtectionAndMounts) {
    // A protected stick whose driver still accepts the write open.
    auto& big = fake.addDisk("/fake/sdb", 8, 16, 8 << 20);
    big.usb = true;
    big.readOnly = true;
    VMLocalDrive stick(L"/fake/sdb");
    EXPECT_EQ(stick.getLocalDriveType(), 1);
    EXPECT_EQ(stick.isWritable(), 0);
    EXPECT_EQ(stick.isInReadOnlyMode(), 1);

    // A protected floppy-sized stick whose driver refuses the write open.
    auto& small = fake.addDisk("/fake/sdc", 8, 32, 1474560);
    small.usb = true;
    small.readOnly = small.refuseWriteOpen = true;
    writeMbr(small, 1000);
    VMLocalDrive floppy(L"/fake/sdc");
    EXPECT_EQ(floppy.getLocalDriveType(), 4);
    EXPECT_EQ(floppy.isWritable(), 0);
    EXPECT_EQ(floppy.getMapAsFloppy(), 1);
    EXPECT_EQ(floppy.getLBAStart(), 2048u);
    EXPECT_EQ(floppy.getBlocks(), 832u);  // the partition, clamped to the medium
    EXPECT_EQ(floppy.isMounted(), 0);

    // Mounted: the exclusive open is refused; read-only, geometry still read.
    auto& mounted = fake.addDisk("/fake/sdd", 8, 48, 8 << 20);
    mounted.usb = mounted.mounted = true;
    writeMbr(mounted, 2048);
    VMLocalDrive m(L"/fake/sdd");
    EXPECT_EQ(m.getLastError(), 0);
    EXPECT_EQ(m.isMounted(), 1);
    EXPECT_EQ(m.isWritable(), 0);
    EXPECT_EQ(m.isInReadOnlyMode(), 1);
    EXPECT_EQ(m.getHeads(), 4u);

    auto& gone = fake.addDisk("/fake/sde", 8, 64, 8 << 20);
    gone.usb = true;
    gone.openErrno = EACCES;
    VMLocalDrive unreadable(L"/fake/sde");
    EXPECT_EQ(unreadable.getLocalDriveType(), 0);
    EXPECT_EQ(unreadable.getLastError(), VMLocalDrive::ERROR_CAPACITY);
}

TEST_F(FakeDrives, MediumChangesBetweenProbes) {
    auto& d = fake.addDisk("/fake/sdb", 8, 16, 2 << 20);
    d.removable = true;
    writeMbr(d, 2048);
    VMLocalDrive drive(L"/fake/sdb");
    EXPECT_EQ(drive.getLBAStart(), 2048u);
    std::fill(d.data.begin(), d.data.begin() + 512, 0);  // blank medium
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(drive.getLBAStart(), 0u);
    EXPECT_EQ(drive.getBlocks(), 4096u);
    writeMbr(d, 2048);
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    d.mediaPresent = false;  // pulled
    EXPECT_EQ(drive.refresh(), VMConstants::API_ERROR);
    EXPECT_EQ(drive.getLastError(), VMLocalDrive::ERROR_CAPACITY);
    EXPECT_EQ(drive.getLBAStart(), 0u);
    EXPECT_EQ(drive.getMapAsFloppy(), 0);
    d.mediaPresent = true;
    EXPECT_EQ(drive.refresh(), VMConstants::API_SUCCESS);
    EXPECT_EQ(drive.getLastError(), 0);
}
