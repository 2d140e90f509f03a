#pragma once
#include <string>

#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct OTPResponseFields {
    std::optional<std::string> user;
    std::optional<std::string> password;
};

// TUVO 0x8103: one-time user and password; their lengths are header bytes
// 10 and 11, the strings follow each other in the body.
class OTPResponse : public ReceivedPacket<OTPResponse, OTPResponseFields> {
public:
    OTPResponse() : ReceivedPacket(0x8103, 12) {}
    std::string getName() const override { return "OTP Response"; }
    void writeHeader(uint8_t*) override {}
    static std::optional<OTPResponseFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        size_t u = header[10];
        size_t p = header[11];
        if (!r.has(0, u + p)) return std::nullopt;
        OTPResponseFields f;
        std::string text;
        if (u > 0 && r.text(0, u, text)) f.user = text;
        if (p > 0 && r.text(u, p, text)) f.password = text;
        return f;
    }
    // Null when absent.
    const char* getUser() const { return m_fields.user ? m_fields.user->c_str() : nullptr; }
    const char* getPassword() const { return m_fields.password ? m_fields.password->c_str() : nullptr; }
};
