#pragma once
#include <cstring>

#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// First packet of a connection (TUVO 0x0100, 68 bytes, header parameter =
// the client's TUVO version). Written directly on the socket by session setup.
class SessionRequest : public ZELKPacket {
public:
    static constexpr int LENGTH = 68;
    static constexpr uint16_t CLIENT_TUVO_VERSION = 0x0103;
    static constexpr int MAX_RANDOM = 32;

    SessionRequest() : ZELKPacket(0x0100, LENGTH) {}

    std::string getName() const override { return "Session Request"; }
    void writeHeader(uint8_t* header) override { writeTuvoHeaderWithParam(header, headerParam()); }
    void writeBody(uint8_t* body) override {
        std::memset(body, 0, LENGTH - HEADER_SIZE);
        body[0] = m_connectionKind;
        body[1] = m_zelkMajor;
        body[2] = m_zelkMinor;
        WriteUInt32BE(m_capabilities, body, 4);
        body[8] = uint8_t(m_randomLength);
        std::memcpy(body + 9, m_random, size_t(m_randomLength));
        WriteUInt16BE(firstTimeout(), body, 44);
        WriteUInt16BE(secondTimeout(), body, 46);
        WriteUInt32BE(m_sessionId, body, 48);
    }

    void setConnectionKind(uint8_t kind) { m_connectionKind = kind; }
    void setVersion(uint8_t major, uint8_t minor) { m_zelkMajor = major; m_zelkMinor = minor; }
    void setCapabilities(uint32_t word) { m_capabilities = word; }
    // At most 32 bytes are carried.
    void setRandom(const uint8_t* random, int length) {
        m_randomLength = length < 0 ? 0 : (length > MAX_RANDOM ? MAX_RANDOM : length);
        if (m_randomLength > 0) std::memcpy(m_random, random, size_t(m_randomLength));
    }
    void setSessionId(uint32_t id) { m_sessionId = id; }

protected:
    SessionRequest(int type) : ZELKPacket(type, LENGTH) {}
    virtual uint16_t headerParam() const { return CLIENT_TUVO_VERSION; }
    virtual uint16_t firstTimeout() const { return 180; }
    virtual uint16_t secondTimeout() const { return 0; }

private:
    uint8_t m_connectionKind = 2;
    uint8_t m_zelkMajor = 1;
    uint8_t m_zelkMinor = 14;
    uint32_t m_capabilities = 0;
    int m_randomLength = 0;
    uint8_t m_random[MAX_RANDOM] = {};
    uint32_t m_sessionId = 0;
};
