#pragma once
// SKU.BIN: a 256-byte header with the entry table, the FRU image and the
// gzip-compressed SKU document, each entry 64-byte aligned.
#include <cstddef>
#include <cstdint>

#include "KelvaneContext.h"

namespace kv {

constexpr size_t SKUBIN_MAX_SIZE = 32768;
constexpr size_t SKUBIN_HEADER_SIZE = 256;

// 16-bit wrapping sum of the bytes (not complemented).
uint16_t zero_cksum(const uint8_t* bytes, size_t count);

// Builds the image in `image` (SKUBIN_MAX_SIZE zeroed bytes) and writes it to
// SKU.BIN in the current directory. 0, or 1 on failure (no file is left then).
int generate_skubin(const KelvaneContext& ctx, uint8_t* image);

// Only the building step. Stores the total size; false when it exceeds
// SKUBIN_MAX_SIZE (the buffer is left untouched then).
bool build_skubin(const KelvaneContext& ctx, uint8_t* image, size_t* total);

}  // namespace kv
