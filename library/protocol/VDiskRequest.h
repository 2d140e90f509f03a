#pragma once
#include <cstring>
#include <vector>

#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0210: map a CD/DVD. Body: block size, block count, read-only, 255,
// then the table of contents with a 16-bit length.
class VDiskRequest : public ZELKPacket {
public:
    static constexpr int MAX_DATA = 0xFFFF;  // the length field is 16 bits

    explicit VDiskRequest(int deviceIndex) : ZELKPacket(0x0210, 24), m_deviceIndex(deviceIndex) {}
    std::string getName() const override { return "Map Request"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t* body) override {
        WriteUInt32BE(m_blockSize, body, 0);
        WriteUInt32BE(m_blockCount, body, 4);
        body[8] = m_readOnly ? 1 : 0;
        body[9] = 255;
        WriteUInt16BE(uint16_t(m_data.size()), body, 10);
        if (!m_data.empty()) std::memcpy(body + 12, m_data.data(), m_data.size());
    }

    // Keeps a copy; a length of 0 or less keeps nothing. Longer than the
    // 16-bit field holds is cut to it.
    void setData(int length, const uint8_t* data) {
        m_data.clear();
        if (length > 0 && data != nullptr) m_data.assign(data, data + (length > MAX_DATA ? MAX_DATA : length));
        m_length = 24 + int(m_data.size());
    }
    void setBlockSize(uint32_t size) { m_blockSize = size; }
    void setBlockCount(uint32_t count) { m_blockCount = count; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    int getDeviceIndex() const { return m_deviceIndex; }

private:
    int m_deviceIndex;
    uint32_t m_blockSize = 0;
    uint32_t m_blockCount = 0;
    bool m_readOnly = true;
    std::vector<uint8_t> m_data;
};
