#pragma once
#include "protocol/ZELKPacket.h"

// ZELK 0x0200: asks for the server's drive list (header parameter 0xFFFF).
class GetVDiskInfo : public ZELKPacket {
public:
    GetVDiskInfo() : ZELKPacket(0x0200, 12) {}
    std::string getName() const override { return "Get VDisk Info"; }
    void writeBody(uint8_t*) override {}
};
