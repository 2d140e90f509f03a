#pragma once
#include <string>

#include "protocol/ZELKPacket.h"

// ZELK login with user name and password. Servers of ZELK version 1.13 and
// below get type 0x0100 (fixed 153 bytes, password cut to 32 bytes); 1.14
// and above get 0x0104 (64 bytes plus both strings whole).
class LoginMessage : public ZELKPacket {
public:
    static constexpr int TYPE_FIXED = 0x0100;
    static constexpr int TYPE_VARIABLE = 0x0104;
    static constexpr int MAX_FIXED_USER = 95;

    // version = major * 100 + minor
    explicit LoginMessage(int version);
    ~LoginMessage() override;

    std::string getName() const override { return "Login Request"; }
    void writeBody(uint8_t* body) override;

    // Throws a C string when the credentials do not fit the packet (so the
    // caller learns it, not the send thread); the packet is then unchanged.
    void setCredentials(const char* user, const char* password);
    // "XXXXXXXX-XXXXXXXX": the first "-" is dropped and exactly 16 hex digits
    // must remain. Null or empty clears it. Throws a C string otherwise.
    void setRipId(const char* ripId);
    void setAppliance(int port, int channel) {
        m_appliancePort = port;
        m_applianceChannel = channel;
    }
    void setPreempt(bool preempt) { m_preempt = preempt; }

    const std::string& getUser() const { return m_user; }
    bool isPreempt() const { return m_preempt; }

private:
    std::string m_user;
    std::string m_password;
    int m_authLength = 32;
    bool m_hasRipId = false;
    uint8_t m_ripId[8] = {};
    int m_appliancePort = 0;
    int m_applianceChannel = 0;
    bool m_preempt = false;
};
