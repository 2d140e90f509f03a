#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct SessionIdResponseFields {
    uint32_t sessionId = 0;
    int timeout = 60;
};

// TUVO 0x8102: the session id for reconnection and, when present, a timeout.
class SessionIdResponse : public ReceivedPacket<SessionIdResponse, SessionIdResponseFields> {
public:
    SessionIdResponse() : ReceivedPacket(0x8102, 18) {}
    std::string getName() const override { return "Session Id Response"; }
    static std::optional<SessionIdResponseFields> decode(const uint8_t*, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 4)) return std::nullopt;
        SessionIdResponseFields f;
        f.sessionId = r.u32(0);
        if (r.has(4, 2)) f.timeout = r.u16(4);
        return f;
    }
    uint32_t getSessionId() const { return m_fields.sessionId; }
    int getTimeout() const { return m_fields.timeout; }
};
