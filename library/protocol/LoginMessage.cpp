#include "protocol/LoginMessage.h"

#include <openssl/crypto.h>

#include <cstring>

#include "protocol/PacketBytes.h"

namespace {
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

LoginMessage::LoginMessage(int version) : ZELKPacket(version <= 113 ? TYPE_FIXED : TYPE_VARIABLE, 153) {
    if (m_type == TYPE_VARIABLE) m_length = 64;
}

LoginMessage::~LoginMessage() {
    if (!m_password.empty()) OPENSSL_cleanse(m_password.data(), m_password.size());
}

void LoginMessage::setCredentials(const char* user, const char* password) {
    size_t u = user ? std::strlen(user) : 0;
    size_t p = password ? std::strlen(password) : 0;
    if (m_type == TYPE_FIXED) {
        if (u > size_t(MAX_FIXED_USER)) throw "Invalid username specified for login request.";
    } else {
        // Lengths and offsets travel in 16 bits.
        if (64 + u > 0xFFFF) throw "Invalid username specified for login request.";
        if (64 + u + p > 0xFFFF) throw "Invalid password specified for login request.";
    }
    if (!m_password.empty()) OPENSSL_cleanse(m_password.data(), m_password.size());
    m_user.assign(user ? user : "", u);
    m_password.assign(password ? password : "", p);
    if (m_type == TYPE_FIXED) {
        if (m_password.size() > size_t(m_authLength)) {
            OPENSSL_cleanse(m_password.data() + m_authLength, m_password.size() - size_t(m_authLength));
            m_password.resize(size_t(m_authLength));
        }
        m_length = 153;
    } else {
        m_length = int(64 + u + p);
    }
}

void LoginMessage::setRipId(const char* ripId) {
    if (ripId == nullptr || *ripId == '\0') {
        m_hasRipId = false;
        std::memset(m_ripId, 0, sizeof m_ripId);
        return;
    }
    std::string digits(ripId);
    size_t dash = digits.find('-');
    if (dash != std::string::npos) digits.erase(dash, 1);
    for (char c : digits)
        if (HexValue(c) < 0) throw "RIP ID contains non-hex characters";
    if (digits.size() != 16) throw "RIP ID must be 16 hex digits";
    for (int i = 0; i < 8; ++i)
        m_ripId[i] = uint8_t(HexValue(digits[size_t(2 * i)]) << 4 | HexValue(digits[size_t(2 * i + 1)]));
    m_hasRipId = true;
}

void LoginMessage::writeBody(uint8_t* body) {
    uint8_t* packet = body - HEADER_SIZE;
    if (m_type == TYPE_FIXED) {
        std::memset(body, 0, 141);
        // setCredentials keeps the name within bounds; guard the buffer anyway.
        size_t n = m_user.size() > size_t(MAX_FIXED_USER) ? size_t(MAX_FIXED_USER) : m_user.size();
        body[0] = uint8_t(n);
        std::memcpy(body + 1, m_user.data(), n);
        std::memcpy(body + 97, m_password.data(), m_password.size() < 32 ? m_password.size() : 32);
        if (m_hasRipId) {
            std::memcpy(body + 129, m_ripId, 8);
            body[137] = uint8_t(m_appliancePort);
            body[138] = uint8_t(m_applianceChannel);
        }
        body[140] = m_preempt ? 1 : 0;
        return;
    }
    uint16_t u = uint16_t(m_user.size());
    uint16_t p = uint16_t(m_password.size());
    std::memset(body, 0, 52);
    WriteUInt16BE(u, packet, 12);
    WriteUInt16BE(uint16_t(m_length - u - p), packet, 14);
    WriteUInt16BE(p, packet, 16);
    WriteUInt16BE(uint16_t(m_length - p), packet, 18);
    if (m_hasRipId) {
        std::memcpy(packet + 52, m_ripId, 8);
        packet[60] = uint8_t(m_appliancePort);
        packet[61] = uint8_t(m_applianceChannel);
    }
    packet[63] = m_preempt ? 1 : 0;
    std::memcpy(packet + 64, m_user.data(), u);
    std::memcpy(packet + 64 + u, m_password.data(), p);
}
