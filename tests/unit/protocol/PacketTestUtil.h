#pragma once
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/ByteStream.h"

// "5A 45 4C 4B" -> bytes; spaces and '|' are ignored.
inline std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(uint8_t(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

inline std::string ToHex(const std::vector<uint8_t>& v) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += ' ';
        out += digits[v[i] >> 4];
        out += digits[v[i] & 15];
    }
    return out;
}

// A 12-byte header for tests.
inline std::vector<uint8_t> Header(const char* magic, uint32_t length, uint16_t type, uint16_t param) {
    std::vector<uint8_t> h(magic, magic + 4);
    h.push_back(uint8_t(length >> 24));
    h.push_back(uint8_t(length >> 16));
    h.push_back(uint8_t(length >> 8));
    h.push_back(uint8_t(length));
    h.push_back(uint8_t(type >> 8));
    h.push_back(uint8_t(type));
    h.push_back(uint8_t(param >> 8));
    h.push_back(uint8_t(param));
    return h;
}

// Header plus body with the length field set from the body.
inline std::vector<uint8_t> Packet(const char* magic, uint16_t type, uint16_t param, const std::vector<uint8_t>& body) {
    return Cat(Header(magic, uint32_t(12 + body.size()), type, param), body);
}

// A ByteStream over bytes in memory; reads past the end fail like a closed peer.
class MemoryStream : public ByteStream {
public:
    explicit MemoryStream(std::vector<uint8_t> data = {}) : m_data(std::move(data)) {}
    void append(const std::vector<uint8_t>& more) { m_data.insert(m_data.end(), more.begin(), more.end()); }
    int write(const char* data, int length) override {
        if (length <= 0) return 0;
        written.insert(written.end(), data, data + length);
        return length;
    }
    int readFully(char* buffer, int count) override {
        ++reads;
        if (count <= 0) return 0;
        if (m_data.size() - m_pos < size_t(count)) {
            m_pos = m_data.size();
            return -1;
        }
        std::memcpy(buffer, m_data.data() + m_pos, size_t(count));
        m_pos += size_t(count);
        return count;
    }
    size_t position() const { return m_pos; }
    size_t remaining() const { return m_data.size() - m_pos; }

    std::vector<uint8_t> written;
    int reads = 0;

private:
    std::vector<uint8_t> m_data;
    size_t m_pos = 0;
};
