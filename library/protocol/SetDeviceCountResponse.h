#pragma once
#include "protocol/ReceivedPacket.h"

struct SetDeviceCountResponseFields {};

// ZELK 0x8241: its body is not interpreted.
class SetDeviceCountResponse : public ReceivedPacket<SetDeviceCountResponse, SetDeviceCountResponseFields> {
public:
    SetDeviceCountResponse() : ReceivedPacket(0x8241, 12) {}
    std::string getName() const override { return "SetDeviceCountResponse"; }
    static std::optional<SetDeviceCountResponseFields> decode(const uint8_t*, const uint8_t*, size_t) {
        return SetDeviceCountResponseFields{};
    }
};
