#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ScratchDir.h"
#include "SkuBin.h"

namespace {

uint32_t u24(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
}
uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

kv::KelvaneContext contextWith(size_t fruLen, size_t gzLen) {
    kv::KelvaneContext ctx;
    for (size_t i = 0; i < fruLen; ++i) ctx.fruImage.push_back(static_cast<uint8_t>(0x80 + i));
    for (size_t i = 0; i < gzLen; ++i) ctx.compressed.push_back(static_cast<uint8_t>(i * 7 + 1));
    return ctx;
}

class SkuBin : public ScratchDir {};

}  // namespace

TEST_F(SkuBin, LayoutOfTheHeaderEntriesAndData) {
    struct Case { size_t fru, gz, gzOffset, total; };
    const Case cases[] = {
        {88, 1000, 384, 1408},  // gap after the FRU image, tail padding
        {128, 64, 384, 448},    // FRU ends on a 64-byte boundary: no gap
        {72, 0, 384, 384},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "fru " << c.fru << " gz " << c.gz);
        kv::KelvaneContext ctx = contextWith(c.fru, c.gz);
        std::vector<uint8_t> image(kv::SKUBIN_MAX_SIZE, 0);
        ASSERT_EQ(kv::generate_skubin(ctx, image.data()), 0);
        std::vector<uint8_t> bin = readFile("SKU.BIN");
        ASSERT_EQ(bin.size(), c.total);

        EXPECT_EQ(std::string(bin.begin(), bin.begin() + 8), "TRESKOVA");
        EXPECT_EQ(bin[8], 3);
        EXPECT_EQ(u24(bin, 9), c.total);
        EXPECT_EQ(u16(bin, 12), 0);
        uint16_t sum = 0;
        for (int i = 0; i < 14; ++i) sum = static_cast<uint16_t>(sum + bin[i]);
        EXPECT_EQ(u16(bin, 14), sum);
        for (size_t i = 16; i < 160; ++i) ASSERT_EQ(bin[i], 0) << i;

        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bin[160])), "NVRAM_MAC00.dat");
        EXPECT_EQ(u24(bin, 160 + 24), 0u);
        EXPECT_EQ(u24(bin, 160 + 27), 0u);
        EXPECT_EQ(u16(bin, 160 + 30), 0);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bin[192])), "NVRAM_FRU00.dat");
        EXPECT_EQ(u24(bin, 192 + 24), 256u);
        EXPECT_EQ(u24(bin, 192 + 27), c.fru);
        EXPECT_EQ(u16(bin, 192 + 30), kv::zero_cksum(ctx.fruImage.data(), c.fru));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bin[224])), "sku.xml.gz");
        EXPECT_EQ(u24(bin, 224 + 24), c.gzOffset);
        EXPECT_EQ(u24(bin, 224 + 27), c.gz);
        EXPECT_EQ(u16(bin, 224 + 30), kv::zero_cksum(ctx.compressed.data(), c.gz));
        // Names are NUL-padded to 24 bytes.
        for (size_t e : {160u, 192u, 224u}) {
            for (size_t i = e + std::strlen(reinterpret_cast<const char*>(&bin[e])); i < e + 24; ++i)
                ASSERT_EQ(bin[i], 0) << i;
        }

        EXPECT_TRUE(std::equal(ctx.fruImage.begin(), ctx.fruImage.end(), bin.begin() + 256));
        for (size_t i = 256 + c.fru; i < c.gzOffset; ++i) ASSERT_EQ(bin[i], 0) << i;
        EXPECT_TRUE(std::equal(ctx.compressed.begin(), ctx.compressed.end(),
                               bin.begin() + long(c.gzOffset)));
        for (size_t i = c.gzOffset + c.gz; i < c.total; ++i) ASSERT_EQ(bin[i], 0) << i;
    }
}

TEST_F(SkuBin, LargestImageIsWrittenOneMoreByteIsRefused) {
    std::vector<uint8_t> image(kv::SKUBIN_MAX_SIZE, 0);
    kv::KelvaneContext fits = contextWith(72, 32768 - 384);
    ASSERT_EQ(kv::generate_skubin(fits, image.data()), 0);
    EXPECT_EQ(readFile("SKU.BIN").size(), 32768u);
    std::filesystem::remove("SKU.BIN");

    kv::KelvaneContext tooBig = contextWith(72, 32768 - 384 + 1);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kv::generate_skubin(tooBig, image.data()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error! SKU.BIN is too big (size = 32832\n)");
    EXPECT_FALSE(std::filesystem::exists("SKU.BIN"));
}

TEST_F(SkuBin, ReplacesAnOldImageInsteadOfAppending) {
    writeFile("SKU.BIN", std::string(4096, 'X'));
    kv::KelvaneContext ctx = contextWith(72, 10);
    std::vector<uint8_t> image(kv::SKUBIN_MAX_SIZE, 0);
    ASSERT_EQ(kv::generate_skubin(ctx, image.data()), 0);
    EXPECT_EQ(readFile("SKU.BIN").size(), 448u);
}

TEST_F(SkuBin, UnwritableDirectoryIsReported) {
    if (geteuid() == 0) {
        // root writes anyway; a directory in its place makes the open fail.
        std::filesystem::create_directory("SKU.BIN");
    } else {
        std::filesystem::permissions(m_dir, std::filesystem::perms::owner_read |
                                                std::filesystem::perms::owner_exec);
    }
    kv::KelvaneContext ctx = contextWith(72, 10);
    std::vector<uint8_t> image(kv::SKUBIN_MAX_SIZE, 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kv::generate_skubin(ctx, image.data()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error! Can't create SKU.BIN");
    std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all);
}

TEST_F(SkuBin, FailedWriteLeavesNoFile) {
    std::filesystem::create_symlink("/dev/full", "SKU.BIN");
    kv::KelvaneContext ctx = contextWith(72, 10);
    std::vector<uint8_t> image(kv::SKUBIN_MAX_SIZE, 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kv::generate_skubin(ctx, image.data()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error! Can't create SKU.BIN");
    EXPECT_FALSE(std::filesystem::is_symlink("SKU.BIN"));
}

TEST(ZeroCksum, IsAPlainWrappingSum) {
    std::vector<uint8_t> b(300, 0xFF);
    EXPECT_EQ(kv::zero_cksum(b.data(), b.size()), static_cast<uint16_t>(300 * 255));
    std::vector<uint8_t> big(70000, 0xFF);
    EXPECT_EQ(kv::zero_cksum(big.data(), big.size()), static_cast<uint16_t>(70000u * 255u));
    EXPECT_EQ(kv::zero_cksum(b.data(), 0), 0);
}
