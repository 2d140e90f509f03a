#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// TUVO 0x0102: 12 bytes for reconnect method 1, else 16 with the body 00 00 00 01.
class SessionIdRequest : public ZELKPacket {
public:
    explicit SessionIdRequest(int reconnectMethod) : ZELKPacket(0x0102, reconnectMethod == 1 ? 12 : 16) {}
    std::string getName() const override { return "Session Id Request"; }
    void writeHeader(uint8_t* header) override { writeTuvoHeader(header); }
    void writeBody(uint8_t* body) override {
        if (m_length >= 16) WriteUInt32BE(1, body, 0);
    }
};
