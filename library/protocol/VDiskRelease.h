#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0220 sent by the client; received as 0x8240 when the server
// releases a drive. The device index is the header parameter both ways.
class VDiskRelease : public ZELKPacket {
public:
    explicit VDiskRelease(int deviceIndex = 0) : ZELKPacket(0x0220, 12), m_deviceIndex(deviceIndex) {}
    std::string getName() const override { return "Disk Release"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t*) override {}
    void parseHeader(const uint8_t* header) override {
        ZELKPacket::parseHeader(header);
        m_deviceIndex = ReadUInt16BE(10, header);
    }
    int getDeviceIndex() const { return m_deviceIndex; }

private:
    int m_deviceIndex;
};
