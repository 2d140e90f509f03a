#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0211, 26 bytes: map a floppy or removable drive with its geometry.
class VDiskRequest2 : public ZELKPacket {
public:
    explicit VDiskRequest2(int deviceIndex) : ZELKPacket(0x0211, 26), m_deviceIndex(deviceIndex) {}
    std::string getName() const override { return "Map Request"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t* body) override {
        WriteUInt32BE(m_blockSize, body, 0);
        WriteUInt32BE(m_blockCount, body, 4);
        body[8] = m_readOnly ? 1 : 0;
        body[9] = m_blockCount >= 255 ? 255 : uint8_t(m_blockCount);
        WriteUInt16BE(uint16_t(m_cylinders), body, 10);
        body[12] = uint8_t(m_heads);
        body[13] = uint8_t(m_sectors);
    }

    void setBlockSize(uint32_t size) { m_blockSize = size; }
    void setBlockCount(uint32_t count) { m_blockCount = count; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    void setGeometry(int cylinders, int heads, int sectors) {
        m_cylinders = cylinders;
        m_heads = heads;
        m_sectors = sectors;
    }
    int getDeviceIndex() const { return m_deviceIndex; }

private:
    int m_deviceIndex;
    uint32_t m_blockSize = 0;
    uint32_t m_blockCount = 0;
    bool m_readOnly = true;
    int m_cylinders = 0;
    int m_heads = 0;
    int m_sectors = 0;
};
