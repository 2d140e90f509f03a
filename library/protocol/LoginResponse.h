#pragma once
#include <string>

#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct LoginResponseFields {
    int status = 0;
    int second = 0;
    std::optional<std::string> userName;
};

// ZELK 0x8100: login status, an uninterpreted byte, and the name of the user
// who holds the session (for preemption). A name that runs past the body is
// treated as absent; without even the status byte the packet is dropped.
class LoginResponse : public ReceivedPacket<LoginResponse, LoginResponseFields> {
public:
    LoginResponse() : ReceivedPacket(0x8100, 15) {}
    std::string getName() const override { return "Login Response"; }
    static std::optional<LoginResponseFields> decode(const uint8_t*, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 1)) return std::nullopt;
        LoginResponseFields f;
        f.status = r.u8(0);
        f.second = r.u8(1);
        size_t len = r.u8(2);
        std::string text;
        if (len > 0 && r.text(3, len, text)) f.userName = text;
        return f;
    }
    int getStatus() const { return m_fields.status; }
    int getSecondByte() const { return m_fields.second; }
    const char* getUserName() const { return m_fields.userName ? m_fields.userName->c_str() : nullptr; }
};
