#include <gtest/gtest.h>

#include <cstring>

#include "DeviceTestSupport.h"
#include "device/BootSector.h"
#include "device/VMIO.h"

using devtest::quote;
using devtest::sh;
using devtest::TempDir;
using devtest::W;

namespace {

// Loads block 0 of an image through the file interface.
struct OpenImage {
    explicit OpenImage(const std::string& path) : h(VMIO::OpenFile(W(path).c_str(), false)) {}
    ~OpenImage() { VMIO::CloseDrive(h, false); }
    VMIO::Handle h;
};

void makeImage(const std::string& path, const std::vector<uint8_t>& sector0, unsigned long long size) {
    ASSERT_TRUE(sh("truncate -s " + std::to_string(size) + " " + quote(path)));
    devtest::writeAt(path, 0, sector0);
}

std::vector<uint8_t> mbrWith(std::initializer_list<std::pair<int, std::vector<uint8_t>>> entries) {
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xFA;
    s[510] = 0x55;
    s[511] = 0xAA;
    for (const auto& [index, e] : entries) std::memcpy(&s[446 + 16 * index], e.data(), 16);
    return s;
}

// Entry bytes from CHS and LBA values.
std::vector<uint8_t> entry(int h1, int s1, int c1, int h2, int s2, int c2, uint32_t lba, uint32_t count) {
    std::vector<uint8_t> e(16, 0);
    e[1] = uint8_t(h1);
    e[2] = uint8_t((s1 & 0x3F) | ((c1 >> 2) & 0xC0));
    e[3] = uint8_t(c1);
    e[4] = 0x0C;
    e[5] = uint8_t(h2);
    e[6] = uint8_t((s2 & 0x3F) | ((c2 >> 2) & 0xC0));
    e[7] = uint8_t(c2);
    for (int i = 0; i < 4; ++i) {
        e[8 + i] = uint8_t(lba >> (8 * i));
        e[12 + i] = uint8_t(count >> (8 * i));
    }
    return e;
}

}  // namespace

TEST(BootSector, FatImagesMadeByMkfsFat) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    struct Row {
        const char* args;  // mkfs.fat options before the file
        unsigned kib;
        int bytesPerSector, source, heads, sectors, cylinders;
        uint32_t totalSectors;
    } rows[] = {
        {"", 360, 512, 1, 2, 9, 40, 720},
        {"", 720, 512, 1, 2, 9, 80, 1440},
        {"", 1200, 512, 1, 2, 15, 80, 2400},
        {"", 1440, 512, 1, 2, 18, 80, 2880},
        {"", 2880, 512, 1, 2, 36, 80, 5760},
        {"-g 4/32", 1440, 512, 1, 4, 32, 22, 2880},
        {"-F 32", 65536, 512, 2, 8, 32, 512, 131072},
    };
    for (const Row& r : rows) {
        const std::string p = d.file("f" + std::to_string(r.kib) + ".img");
        std::filesystem::remove(p);
        ASSERT_TRUE(sh("mkfs.fat -C " + std::string(r.args) + " " + quote(p) + " " + std::to_string(r.kib)))
            << r.args;
        OpenImage img(p);
        BootSector bs(img.h, 1);
        SCOPED_TRACE(std::string(r.args) + " " + std::to_string(r.kib));
        EXPECT_EQ(bs.load(), 0);
        ASSERT_TRUE(bs.isBPB());
        EXPECT_EQ(std::memcmp(bs.getOemName(), "mkfs.fat", 8), 0);
        EXPECT_EQ(bs.getBytesPerSector(), r.bytesPerSector);
        EXPECT_EQ(bs.getTotalSectorSource(), r.source);
        EXPECT_EQ(bs.getTotalSectors(), r.totalSectors);
        EXPECT_FALSE(bs.isCorvaneImage());
        uint32_t blocks = r.kib * 2;
        DriveGeometry g;
        bs.getCHS(blocks, g);
        EXPECT_EQ(blocks, r.kib * 2);
        EXPECT_EQ(g.heads, r.heads);
        EXPECT_EQ(g.sectors, r.sectors);
        EXPECT_EQ(g.cylinders, r.cylinders);
        EXPECT_EQ(g.startLBA, 0);
    }
}

// The geometry of a FAT boot sector on a drive of any size is one a CHS
// address holds: heads and sectors come from the medium, so one head of one
// sector (mkfs.fat -g 1/1) on 2^32 - 1 blocks once gave negative cylinders.
TEST(BootSector, FatGeometryBeyondChsFallsBack) {
    TempDir d;
    const std::string p = d.file("g.img");
    struct Row {
        int heads, sectors;
        uint32_t blocks;
        int cylinders, outHeads, outSectors;
    } rows[] = {
        {1, 1, 0xFFFFFFFFu, 16383, 16, 63},
        {255, 63, 0xFFFFFFFFu, 16383, 16, 63},
        {1, 1, 2880, 2880, 1, 1},
        {1, 1, 0x10000, 65, 16, 63},  // one cylinder past 16 bits
        {1, 1, 0xFFFF, 0xFFFF, 1, 1},
        {256, 63, 1 << 20, 1040, 16, 63},
        {2, 64, 1 << 20, 1040, 16, 63},
        {2, 0, 0xFFFFFFFFu, 0, 2, 0},
    };
    for (const Row& r : rows) {
        std::vector<uint8_t> s(512, 0);
        s[0] = 0xEB;
        s[24] = uint8_t(r.sectors);
        s[25] = uint8_t(r.sectors >> 8);
        s[26] = uint8_t(r.heads);
        s[27] = uint8_t(r.heads >> 8);
        std::filesystem::remove(p);
        makeImage(p, s, 4096);
        OpenImage img(p);
        BootSector bs(img.h, 1);
        SCOPED_TRACE(testing::Message() << r.heads << "/" << r.sectors << " on " << r.blocks);
        ASSERT_TRUE(bs.isBPB());
        uint32_t blocks = r.blocks;
        DriveGeometry g;
        bs.getCHS(blocks, g);
        EXPECT_EQ(blocks, r.blocks);
        EXPECT_EQ(g.cylinders, r.cylinders);
        EXPECT_EQ(g.heads, r.outHeads);
        EXPECT_EQ(g.sectors, r.outSectors);
        EXPECT_EQ(g.startLBA, 0);
    }
}

TEST(BootSector, LargeSectorsAndMarker) {
    if (!devtest::haveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
    TempDir d;
    const std::string p = d.file("s4k.img");
    ASSERT_TRUE(sh("mkfs.fat -C -S 4096 -n KXRT " + quote(p) + " 1440"));
    {
        OpenImage img(p);
        BootSector bs(img.h, 1);
        EXPECT_TRUE(bs.isBPB());
        EXPECT_EQ(bs.getBytesPerSector(), 4096);
        EXPECT_EQ(bs.getTotalBytes(), 1474560u);
    }
    devtest::writeAt(p, 3, {'K', 'X', 'R', 'T', '1', '.', '0', ' '});
    OpenImage img(p);
    BootSector bs(img.h, 1);
    EXPECT_TRUE(bs.isCorvaneImage());
}

TEST(BootSector, KindsAndPartitionTables) {
    TempDir d;
    const std::string p = d.file("t.img");
    struct Row {
        const char* what;
        std::vector<uint8_t> sector;
        int load;
        const char* kind;
        int partitions;
        int32_t firstStart;
    } rows[] = {
        {"all starts zero", mbrWith({{0, entry(0, 1, 0, 3, 32, 31, 0, 100)}}), 1, "MBR", 0, 0},
        {"second entry only", mbrWith({{1, entry(0, 1, 16, 3, 32, 31, 2048, 2048)}}), 0, "MBR", 1, 2048},
        {"start at 2^31 skipped",
         mbrWith({{0, entry(0, 1, 0, 3, 32, 31, 0x80000000u, 8)}, {2, entry(1, 1, 0, 3, 32, 31, 32, 64)}}), 0,
         "MBR", 1, 32},
        {"zero byte 0", std::vector<uint8_t>(512, 0), 0, "NOG", 0, 0},
    };
    for (const Row& r : rows) {
        std::filesystem::remove(p);
        makeImage(p, r.sector, 1 << 20);
        OpenImage img(p);
        BootSector bs(img.h, 1);
        SCOPED_TRACE(r.what);
        EXPECT_EQ(bs.load(), r.load);
        EXPECT_EQ(bs.getKind(), r.kind);
        ASSERT_EQ(bs.getNumberOfPartitions(), r.partitions);
        if (r.partitions) {
            EXPECT_EQ(bs.getPartitions()[0].startLBA, r.firstStart);
        }
    }
    // NOG leaves the geometry alone.
    OpenImage img(p);
    BootSector bs(img.h, 1);
    DriveGeometry g{1, 2, 3, 4};
    uint32_t blocks = 77;
    bs.getCHS(blocks, g);
    EXPECT_EQ(blocks, 77u);
    EXPECT_EQ(g.heads, 2);
}

TEST(BootSector, UnreadableBlockZeroFailsTheLoad) {
    TempDir d;
    const std::string p = devtest::sizedFile(d, "short.img", 100);
    OpenImage img(p);
    BootSector bs(img.h, 1);
    EXPECT_EQ(bs.load(), 1);
    BootSector bad(VMIO::INVALID_HANDLE, 1);
    EXPECT_EQ(bad.load(), 1);
}

// The floppy view of a partitioned medium offers the partition, not more.
TEST(BootSector, MbrBlockCountIsThePartitionClampedToTheMedium) {
    TempDir d;
    const std::string p = d.file("m.img");
    makeImage(p, mbrWith({{0, entry(0, 1, 16, 3, 32, 31, 2048, 2048)}}), 4096 * 512);
    OpenImage img(p);
    BootSector bs(img.h, 1);
    struct Row {
        uint32_t medium, expected;
    } rows[] = {{4096, 2048}, {3000, 952}, {2048, 0}, {100, 0}};
    for (const Row& r : rows) {
        uint32_t blocks = r.medium;
        DriveGeometry g;
        bs.getCHS(blocks, g);
        EXPECT_EQ(blocks, r.expected) << r.medium;
        EXPECT_EQ(g.startLBA, 2048);
        EXPECT_EQ(g.heads, 4);
        EXPECT_EQ(g.sectors, 32);
    }
}

// Geometry solved from the first partition's CHS addresses.
TEST(PartitionInfo, GeometryFromEntries) {
    struct Row {
        const char* what;
        std::vector<uint8_t> e;
        int cylinders, heads, sectors;
    } rows[] = {
        {"parted 2 MiB (4/32)", entry(0, 1, 16, 3, 32, 31, 2048, 2048), 32, 4, 32},
        {"classic 0/1/1 at 63 (255/63)", entry(1, 1, 0, 254, 63, 521, 63, 8385867), 522, 255, 63},
        {"floppy-like partition (2/18)", entry(0, 1, 1, 1, 18, 79, 36, 2844), 80, 2, 18},
        {"sfdisk small image: cylinder 0 only", entry(32, 33, 0, 65, 1, 0, 2048, 2048), 2, 16, 63},
        {"GPT protective MBR", entry(0, 2, 0, 255, 63, 1023, 1, 4095), 4, 16, 63},
        {"inconsistent CHS", entry(0, 1, 16, 3, 32, 31, 2048, 4000), 3, 16, 63},
        {"huge count: fallback cylinders capped", entry(0, 2, 0, 255, 63, 1023, 1, 0xFFFFFFFFu), 16383, 16, 63},
        {"zero count", entry(0, 1, 16, 3, 32, 31, 2048, 0), 0, 16, 63},
    };
    for (const Row& r : rows) {
        PartitionInfo pi;
        pi.parseEntry(r.e.data());
        DriveGeometry g;
        pi.calculateDeviceCHS(g);
        EXPECT_EQ(g.heads, r.heads) << r.what;
        EXPECT_EQ(g.sectors, r.sectors) << r.what;
        EXPECT_EQ(g.cylinders, r.cylinders) << r.what;
        EXPECT_EQ(g.startLBA, pi.startLBA) << r.what;
    }
}

TEST(PartitionInfo, ParsesTheTenFields) {
    const uint8_t e[16] = {0x80, 0xFE, 0xFF, 0xFF, 0x0C, 0x12, 0xC5, 0x34, 0x78, 0x56, 0x34, 0x12, 0x01, 0, 0, 0x80};
    PartitionInfo p;
    p.parseEntry(e);
    EXPECT_EQ(p.active, 1);
    EXPECT_EQ(p.startHead, 254);
    EXPECT_EQ(p.startSector, 63);
    EXPECT_EQ(p.startCylinder, 1023);
    EXPECT_EQ(p.partitionType, 0x0C);
    EXPECT_EQ(p.endHead, 0x12);
    EXPECT_EQ(p.endSector, 5);
    EXPECT_EQ(p.endCylinder, 0x334);
    EXPECT_EQ(p.startLBA, 0x12345678);
    EXPECT_EQ(p.sectorCount, 0x80000001u);
}

// Tables written by the real tools.
TEST(PartitionInfo, TablesMadeByPartedAndSfdisk) {
    if (!devtest::haveTool("parted") || !devtest::haveTool("sfdisk")) GTEST_SKIP() << "parted/sfdisk missing";
    TempDir d;
    struct Row {
        const char* what;
        std::string make;  // %F is the image
        bool pokeByte0;
        const char* kind;
        int heads, sectors;
        int32_t start;
        uint32_t blocks;  // floppy view of a 2 MiB medium
    } rows[] = {
        {"parted", "parted -s %F mklabel msdos mkpart primary fat16 1MiB 100%", false, "MBR", 4, 32, 2048, 2048},
        {"sfdisk", "echo '2048,,c' | sfdisk -q %F", false, "NOG", 0, 0, 0, 4096},
        {"sfdisk poked", "echo '2048,,c' | sfdisk -q %F", true, "MBR", 16, 63, 2048, 2048},
        {"sfdisk second entry", "printf 'label: dos\\n2: start=2048\\n' | sfdisk -q %F", true, "MBR", 16, 63,
         2048, 2048},
        {"gpt poked", "echo 'label: gpt' | sfdisk -q %F", true, "MBR", 16, 63, 1, 4095},
    };
    for (const Row& r : rows) {
        const std::string p = d.file(std::string(r.what) + ".img");
        std::string cmd = r.make;
        cmd.replace(cmd.find("%F"), 2, quote(p));
        ASSERT_TRUE(sh("truncate -s 2M " + quote(p) + " && " + cmd)) << cmd;
        if (r.pokeByte0) devtest::writeAt(p, 0, {0x33});
        OpenImage img(p);
        BootSector bs(img.h, 1);
        SCOPED_TRACE(r.what);
        EXPECT_EQ(bs.getKind(), r.kind);
        uint32_t blocks = 4096;
        DriveGeometry g;
        bs.getCHS(blocks, g);
        EXPECT_EQ(g.heads, r.heads);
        EXPECT_EQ(g.sectors, r.sectors);
        EXPECT_EQ(g.startLBA, r.start);
        EXPECT_EQ(blocks, r.blocks);
    }
}
