#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct DeviceStatusFields {
    int deviceIndex = 0;
    uint32_t status = 0;
};

// ZELK 0x8410: status of one remote drive.
class DeviceStatus : public ReceivedPacket<DeviceStatus, DeviceStatusFields> {
public:
    DeviceStatus() : ReceivedPacket(0x8410, 16) {}
    std::string getName() const override { return "Device Status"; }
    static std::optional<DeviceStatusFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 4)) return std::nullopt;
        DeviceStatusFields f;
        f.deviceIndex = BodyReader(header, 12).u16(10);
        f.status = r.u32(0);
        return f;
    }
    int getDeviceIndex() const { return m_fields.deviceIndex; }
    uint32_t getStatus() const { return m_fields.status; }
};
