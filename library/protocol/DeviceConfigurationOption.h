#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct DeviceConfigurationOptionFields {
    int deviceIndex = 0;
    uint32_t optionId = 0;
    uint32_t valueSize = 0;
    uint32_t value = 0;
};

// ZELK 0x8430: option id, value size and a 1-, 2- or 4-byte value (any other
// size, or a value not all present, leaves it 0). Option 1 is read-only.
class DeviceConfigurationOption
    : public ReceivedPacket<DeviceConfigurationOption, DeviceConfigurationOptionFields> {
public:
    static constexpr uint32_t OPTION_READ_ONLY = 1;

    DeviceConfigurationOption() : ReceivedPacket(0x8430, 20) {}
    std::string getName() const override { return "Device Configuration Option"; }
    static std::optional<DeviceConfigurationOptionFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 8)) return std::nullopt;
        DeviceConfigurationOptionFields f;
        f.deviceIndex = BodyReader(header, 12).u16(10);
        f.optionId = r.u32(0);
        f.valueSize = r.u32(4);
        if (r.has(8, f.valueSize)) {
            if (f.valueSize == 1) f.value = r.u8(8);
            if (f.valueSize == 2) f.value = r.u16(8);
            if (f.valueSize == 4) f.value = r.u32(8);
        }
        return f;
    }
    int getDeviceIndex() const { return m_fields.deviceIndex; }
    uint32_t getOptionId() const { return m_fields.optionId; }
    uint32_t getValueSize() const { return m_fields.valueSize; }
    uint32_t getValue() const { return m_fields.value; }
};
