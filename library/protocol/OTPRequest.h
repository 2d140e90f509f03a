#pragma once
#include <cstring>

#include "protocol/ZELKPacket.h"

// TUVO 0x0103, 48 bytes: asks for the one-time user and password.
class OTPRequest : public ZELKPacket {
public:
    OTPRequest() : ZELKPacket(0x0103, 48) {}
    std::string getName() const override { return "OTP Request"; }
    void writeHeader(uint8_t* header) override { writeTuvoHeader(header); }
    void writeBody(uint8_t* body) override {
        std::memset(body, 0, 36);
        body[4] = 2;
    }
};
