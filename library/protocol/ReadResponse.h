#pragma once
#include <cstring>
#include <vector>

#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0300: blocks read for the server. Body: block value, number of
// blocks carried, the data.
class ReadResponse : public ZELKPacket {
public:
    explicit ReadResponse(int deviceIndex) : ZELKPacket(0x0300, 20), m_deviceIndex(deviceIndex) {}
    std::string getName() const override { return "Read Response"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t* body) override {
        WriteUInt32BE(m_blockValue, body, 0);
        WriteUInt32BE(m_blocks, body, 4);
        if (!m_data.empty()) std::memcpy(body + 8, m_data.data(), m_data.size());
    }

    void setBlockValue(uint32_t value) { m_blockValue = value; }
    // Keeps a copy of length bytes carrying blocks blocks.
    void setData(uint32_t blocks, const uint8_t* data, int length) {
        m_blocks = blocks;
        m_data.clear();
        if (length > 0 && data != nullptr) m_data.assign(data, data + length);
        m_length = 20 + int(m_data.size());
    }
    int getDeviceIndex() const { return m_deviceIndex; }

private:
    int m_deviceIndex;
    uint32_t m_blockValue = 0;
    uint32_t m_blocks = 0;
    std::vector<uint8_t> m_data;
};
