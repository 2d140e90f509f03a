#pragma once
#include "protocol/ZELKPacket.h"

// ZELK 0x0101: log in with the client certificate of the TLS handshake.
class LoginCertificateMessage : public ZELKPacket {
public:
    LoginCertificateMessage() : ZELKPacket(0x0101, 12) {}
    std::string getName() const override { return "Certificate Login"; }
    void writeBody(uint8_t*) override {}
};
