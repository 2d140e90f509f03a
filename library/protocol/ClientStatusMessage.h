#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0410, 16 bytes: status of the last request for a device
// (0 success, 2 read failed, 3 write failed, 7 error, -1 partial write).
class ClientStatusMessage : public ZELKPacket {
public:
    ClientStatusMessage(int deviceIndex, int status)
        : ZELKPacket(0x0410, 16), m_deviceIndex(deviceIndex), m_status(status) {}
    std::string getName() const override { return "Client Status"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_deviceIndex)); }
    void writeBody(uint8_t* body) override { WriteUInt32BE(uint32_t(m_status), body, 0); }
    int getDeviceIndex() const { return m_deviceIndex; }
    int getStatus() const { return m_status; }

private:
    int m_deviceIndex;
    int m_status;
};
