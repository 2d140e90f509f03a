#pragma once
// A byte stream over the fuzzer's input: reads are served in order until the
// bytes run out; writes are collected.
#include <cstring>
#include <vector>

#include "base/ByteStream.h"

namespace twfuzz {

class MemoryStream : public ByteStream {
public:
    MemoryStream(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    int write(const char* data, int length) override {
        if (length <= 0) return -1;
        written.insert(written.end(), data, data + length);
        return length;
    }
    int readFully(char* buffer, int count) override {
        if (count < 0 || size_t(count) > m_size - m_pos) {
            m_pos = m_size;
            return -1;
        }
        std::memcpy(buffer, m_data + m_pos, size_t(count));
        m_pos += size_t(count);
        return count;
    }
    bool atEnd() const { return m_pos == m_size; }
    size_t position() const { return m_pos; }

    std::vector<char> written;

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace twfuzz
