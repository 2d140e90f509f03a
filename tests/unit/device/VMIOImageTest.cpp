#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "DeviceTestSupport.h"
#include "device/VMIO.h"

using devtest::TempDir;
using devtest::W;

TEST(VMIOCheckForFile, Suffixes) {
    struct Row {
        const wchar_t* path;
        int type;
    } rows[] = {
        {L"a.img", 6}, {L"X.IMG", 6}, {L"y.Iso", 5}, {L"/dir.img/disk.raw", 0},
        {L".img", 6},  {L"img", 0},   {L"", 0},      {L"a.imgx", 0},
    };
    for (const Row& r : rows) EXPECT_EQ(VMIO::CheckForFile(r.path), r.type) << r.path;
    EXPECT_EQ(VMIO::CheckForFile(nullptr), 0);
}

TEST(VMIOPrefix, LimitsOfTheBuffers) {
    wchar_t w[160];
    VMIO::AddPrefix(w, L"D:");
    EXPECT_STREQ(w, L"\\\\.\\D:");
    std::wstring longest(154, L'x'), tooLong(155, L'x');
    VMIO::AddPrefix(w, longest.c_str());
    EXPECT_EQ(std::wcslen(w), 158u);
    VMIO::AddPrefix(w, tooLong.c_str());
    EXPECT_EQ(w[0], 0);
    char n[80];
    VMIO::AddPrefixA(n, std::string(75, 'x').c_str());
    EXPECT_EQ(std::strlen(n), 79u);
    VMIO::AddPrefixA(n, std::string(76, 'x').c_str());
    EXPECT_EQ(n[0], 0);
}

// Image files: type, capacity and media from the suffix and size.
TEST(VMIOLocalDriveType, ImageFilesBySizeAndSuffix) {
    TempDir d;
    struct Row {
        const char* name;
        unsigned long long size;
        int type;
        uint32_t blocks, blockSize;
        int hasMedia;
    } rows[] = {
        {"max-floppy.img", 3019776, 6, 5898, 512, 1},
        {"one-more.img", 3020288, 7, 5899, 512, 1},
        {"odd.img", 1474561, 6, 2880, 512, 1},
        {"empty.img", 0, 6, 0, 512, 1},
        {"UPPER.IMG", 1474560, 6, 2880, 512, 1},
        {"cd.Iso", 4096 * 3 + 100, 5, 6, 2048, 1},
        {"disk.raw", 1474560, 0, 0, 0, 0},
        {"big.img", 8422687232ULL, 7, 16450561, 512, 1},
        // 3 TiB: more blocks than 32 bits hold is a capacity error, not a wrap.
        {"huge.img", 3ULL << 40, -1, 0, 512, 0},
    };
    for (const Row& r : rows) {
        const std::string p = devtest::sizedFile(d, r.name, r.size);
        VMIO::Capacity cap{99, 99};
        int media = 0;
        EXPECT_EQ(VMIO::GetLocalDriveType(W(p).c_str(), &cap, &media), r.type) << r.name;
        EXPECT_EQ(cap.blocks, r.blocks) << r.name;
        EXPECT_EQ(cap.blockSize, r.blockSize) << r.name;
        EXPECT_EQ(media, r.hasMedia) << r.name;
    }
}

TEST(VMIOLocalDriveType, OnlyRegularFilesAreImages) {
    TempDir d;
    const std::string fifo = d.file("pipe.iso"), dir = d.file("dir.img"), link = d.file("link.img");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    devtest::sizedFile(d, "target.bin", 1474560);
    ASSERT_EQ(symlink(d.file("target.bin").c_str(), link.c_str()), 0);
    VMIO::Capacity cap;
    int media = 0;
    EXPECT_EQ(VMIO::GetLocalDriveType(W(fifo).c_str(), &cap, &media), 0);
    EXPECT_EQ(VMIO::GetLocalDriveType(W(dir).c_str(), &cap, &media), 0);
    EXPECT_EQ(VMIO::GetLocalDriveType(L"/dev/null", &cap, &media), 0);  // character device
    EXPECT_EQ(VMIO::GetLocalDriveType(W(link).c_str(), &cap, &media), 6);
    EXPECT_EQ(cap.blocks, 2880u);
    // A FIFO must not hang the open, and is refused.
    EXPECT_EQ(VMIO::OpenFile(W(fifo).c_str(), false), VMIO::INVALID_HANDLE);
    EXPECT_EQ(VMIO::OpenFile(W(dir).c_str(), false), VMIO::INVALID_HANDLE);
    EXPECT_EQ(VMIO::GetLocalDriveType(nullptr, &cap, &media), 0);
}

TEST(VMIOLocalDriveType, NameWithBytesTheLocaleRejects) {
    TempDir d;
    const std::string p = d.file(std::string("bad\xff\xfe name.img"));
    devtest::sizedFile(d, std::string("bad\xff\xfe name.img"), 1474560);
    const std::wstring w = W(p);
    EXPECT_EQ(tw::toNativePath(w), p);
    VMIO::Capacity cap;
    int media = 0;
    EXPECT_EQ(VMIO::GetLocalDriveType(w.c_str(), &cap, &media), 6);
    VMIO::Handle h = VMIO::OpenDrive(false, w.c_str(), 1, false);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    VMIO::CloseDrive(h, false);
}

TEST(VMIOFileIO, PositionedReadsAndWritesStayInsideTheImage) {
    TempDir d;
    const std::string p = devtest::sizedFile(d, "rw.img", 8192);
    VMIO::Handle h = VMIO::OpenDrive(true, W(p).c_str(), 1, true);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(VMIO::WriteDriveEx(h, 4096, 1024, data.data()), 1024u);
    std::vector<uint8_t> back(1024);
    EXPECT_EQ(VMIO::ReadDriveEx(h, 4096, 1024, back.data()), 1024u);
    EXPECT_EQ(back, data);
    // Reads at the end come back short; writes past it are refused whole.
    EXPECT_EQ(VMIO::ReadDriveEx(h, 8192 - 100, 1024, back.data()), 100u);
    EXPECT_EQ(VMIO::WriteDriveEx(h, 8192 - 512, 1024, data.data()), 0u);
    EXPECT_EQ(VMIO::WriteDriveEx(h, 8192, 1, data.data()), 0u);
    // ReadSectors on an image file is no device read.
    EXPECT_EQ(VMIO::ReadSectors(h, 512, 512, 0, back.data()), 0);
    VMIO::CloseDrive(h, true);
    EXPECT_EQ(std::filesystem::file_size(p), 8192u);
    EXPECT_EQ(devtest::readFile(p)[4096 + 3], uint8_t(21));
    EXPECT_EQ(VMIO::ReadDriveEx(VMIO::INVALID_HANDLE, 0, 1, back.data()), 0u);
}

TEST(VMIOFileIO, ReadOnlyOpenCannotWrite) {
    TempDir d;
    const std::string p = devtest::sizedFile(d, "ro.img", 4096);
    VMIO::Handle h = VMIO::OpenFile(W(p).c_str(), false);
    ASSERT_NE(h, VMIO::INVALID_HANDLE);
    uint8_t b[512] = {1};
    EXPECT_EQ(VMIO::WriteDriveEx(h, 0, 512, b), 0u);
    EXPECT_FALSE(VMIO::IsDeviceWritable(h));  // files answer no, as the disk query fails on them
    EXPECT_FALSE(VMIO::LockCD(h));
    EXPECT_FALSE(VMIO::CheckDrive(h));
    VMIO::CloseDrive(h, false);
    EXPECT_FALSE(VMIO::LockCD(VMIO::INVALID_HANDLE));
    EXPECT_FALSE(VMIO::UnlockCD(VMIO::INVALID_HANDLE));
}

TEST(VMIOCdOnFiles, TocAndCapacityNeedADevice) {
    TempDir d;
    const std::string p = devtest::sizedFile(d, "x.iso", 4096);
    uint8_t toc[VMIO::TOC_BUFFER_BYTES];
    EXPECT_EQ(VMIO::GetCdToc(W(p).c_str(), toc), 0);
    EXPECT_EQ(VMIO::GetAlternateCdToc(W(p).c_str(), toc, 2, 0, 0), -1);
    EXPECT_EQ(VMIO::GetAlternateCdToc(W(p).c_str(), toc, 0, 6, 0), -1);
    EXPECT_EQ(VMIO::GetAlternateCdToc(W(p).c_str(), toc, 1, 5, 0), 0);
    VMIO::Capacity cap;
    EXPECT_FALSE(VMIO::GetCdCapacity(W(p).c_str(), &cap));
    EXPECT_FALSE(VMIO::GetBlockDeviceCapacity(W(p).c_str(), &cap));
}
