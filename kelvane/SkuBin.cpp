#include "SkuBin.h"

#include <cstdio>
#include <cstring>

namespace kv {

namespace {

constexpr size_t ENTRY_TABLE = 160;
constexpr size_t ENTRY_SIZE = 32;

size_t roundUp64(size_t n) { return (n + 63) & ~size_t(63); }

void putU24(uint8_t* p, size_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void writeEntry(uint8_t* image, int index, const char* name, size_t offset, size_t size,
                uint16_t sum) {
    uint8_t* e = image + ENTRY_TABLE + ENTRY_SIZE * static_cast<size_t>(index);
    std::memcpy(e, name, std::strlen(name));
    putU24(e + 24, offset);
    putU24(e + 27, size);
    putU16(e + 30, sum);
    image[8] = static_cast<uint8_t>(index + 1);
}

}  // namespace

uint16_t zero_cksum(const uint8_t* bytes, size_t count) {
    uint16_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

bool build_skubin(const KelvaneContext& ctx, uint8_t* image, size_t* total) {
    const size_t fruLen = ctx.fruImage.size();
    const size_t gzLen = ctx.compressed.size();
    const size_t gzOffset = roundUp64(SKUBIN_HEADER_SIZE + fruLen);
    *total = roundUp64(gzOffset + gzLen);
    if (*total > SKUBIN_MAX_SIZE) return false;

    std::memset(image, 0, *total);  // header, gaps and tail padding
    std::memcpy(image, "TRESKOVA", 8);
    writeEntry(image, 0, "NVRAM_MAC00.dat", 0, 0, 0);
    if (fruLen) std::memcpy(image + SKUBIN_HEADER_SIZE, ctx.fruImage.data(), fruLen);
    writeEntry(image, 1, "NVRAM_FRU00.dat", SKUBIN_HEADER_SIZE, fruLen,
               zero_cksum(ctx.fruImage.data(), fruLen));
    if (gzLen) std::memcpy(image + gzOffset, ctx.compressed.data(), gzLen);
    writeEntry(image, 2, "sku.xml.gz", gzOffset, gzLen,
               zero_cksum(ctx.compressed.data(), gzLen));
    putU24(image + 9, *total);
    putU16(image + 14, zero_cksum(image, 16));
    return true;
}

int generate_skubin(const KelvaneContext& ctx, uint8_t* image) {
    size_t total = 0;
    if (!build_skubin(ctx, image, &total)) {
        std::printf("Error! SKU.BIN is too big (size = %d\n)", static_cast<int>(total));
        return 1;
    }
    // Truncating, not appending: an old image must never survive in front of
    // the new one.
    std::FILE* f = std::fopen("SKU.BIN", "wb");
    if (!f) {
        std::printf("Error! Can't create SKU.BIN");
        return 1;
    }
    bool ok = std::fwrite(image, 1, total, f) == total;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::remove("SKU.BIN");
        std::printf("Error! Can't create SKU.BIN");
        return 1;
    }
    return 0;
}

}  // namespace kv
