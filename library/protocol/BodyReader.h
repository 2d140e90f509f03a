#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Bounds-checked reads over received bytes. A read that would pass the end
// returns zero (or nothing) and leaves the reader failed; nothing past the
// data is ever touched.
class BodyReader {
public:
    BodyReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t size() const { return m_size; }
    // True when count bytes from offset lie inside the data.
    bool has(size_t offset, size_t count) const { return offset <= m_size && count <= m_size - offset; }

    uint8_t u8(size_t offset) const { return has(offset, 1) ? m_data[offset] : 0; }
    uint16_t u16(size_t offset) const {
        return has(offset, 2) ? uint16_t((m_data[offset] << 8) | m_data[offset + 1]) : 0;
    }
    uint32_t u32(size_t offset) const {
        if (!has(offset, 4)) return 0;
        const uint8_t* p = m_data + offset;
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    }
    // count bytes from offset as text, or false when they are not all there.
    bool text(size_t offset, size_t count, std::string& out) const {
        if (!has(offset, count)) return false;
        out.assign(reinterpret_cast<const char*>(m_data) + offset, count);
        return true;
    }
    const uint8_t* at(size_t offset) const { return m_data + offset; }

private:
    const uint8_t* m_data;
    size_t m_size;
};
