#pragma once
#include <cstring>
#include <vector>

#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0320: answer to a table-of-contents request. Body: 10 zero bytes,
// the 16-bit TOC length, the TOC.
class VDiskAlternateTocData : public ZELKPacket {
public:
    static constexpr int MAX_TOC = 0xFFFF;

    explicit VDiskAlternateTocData(int deviceIndex) : ZELKPacket(0x0320, 24), m_deviceIndex(deviceIndex) {}
    std::string getName() const override { return "VDisk Alternate TOC Data"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t* body) override {
        std::memset(body, 0, 10);
        WriteUInt16BE(uint16_t(m_toc.size()), body, 10);
        if (!m_toc.empty()) std::memcpy(body + 12, m_toc.data(), m_toc.size());
    }
    // Keeps a copy; a length of 0 or less keeps nothing.
    void setTocData(int length, const uint8_t* toc) {
        m_toc.clear();
        if (length > 0 && toc != nullptr) m_toc.assign(toc, toc + (length > MAX_TOC ? MAX_TOC : length));
        m_length = 24 + int(m_toc.size());
    }
    int getDeviceIndex() const { return m_deviceIndex; }

private:
    int m_deviceIndex;
    std::vector<uint8_t> m_toc;
};
