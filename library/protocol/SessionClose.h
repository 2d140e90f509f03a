#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// TUVO 0x01FF, 16 bytes: the session id the server gave.
class SessionClose : public ZELKPacket {
public:
    explicit SessionClose(uint32_t sessionId) : ZELKPacket(0x01FF, 16), m_sessionId(sessionId) {}
    std::string getName() const override { return "Session Close"; }
    void writeHeader(uint8_t* header) override { writeTuvoHeader(header); }
    void writeBody(uint8_t* body) override { WriteUInt32BE(m_sessionId, body, 0); }
    uint32_t getSessionId() const { return m_sessionId; }

private:
    uint32_t m_sessionId;
};
