#pragma once
#include <string>

#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct DisconnectFields {
    int reason = 0;
    int preempt = 0;
    int timeout = 0;
    std::optional<std::string> message;
};

// ZELK 0x8110: the server ends the session. A message that runs past the
// body is treated as absent; without the reason byte the packet is dropped.
class Disconnect : public ReceivedPacket<Disconnect, DisconnectFields> {
public:
    static constexpr int PREEMPT_ALLOWED = 128;

    Disconnect() : ReceivedPacket(0x8110, 16) {}
    std::string getName() const override { return "Disconnect"; }
    static std::optional<DisconnectFields> decode(const uint8_t*, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 1)) return std::nullopt;
        DisconnectFields f;
        f.reason = r.u8(0);
        f.preempt = r.u8(1);
        f.timeout = r.u8(2);
        size_t len = r.u8(3);
        std::string text;
        if (len > 0 && r.text(4, len, text)) f.message = text;
        return f;
    }
    int getReason() const { return m_fields.reason; }
    int getPreempt() const { return m_fields.preempt; }
    bool canPreempt() const { return m_fields.preempt == PREEMPT_ALLOWED; }
    int getTimeout() const { return m_fields.timeout; }
    const char* getMessage() const { return m_fields.message ? m_fields.message->c_str() : nullptr; }
};
