#pragma once
#include "protocol/PacketBytes.h"
#include "protocol/ZELKPacket.h"

// ZELK 0x0102, 22 bytes: log in with the two random numbers of the settings.
class RandomLoginMessage : public ZELKPacket {
public:
    RandomLoginMessage(uint32_t clientRandom, uint32_t applianceRandom, bool preempt)
        : ZELKPacket(0x0102, 22), m_clientRandom(clientRandom), m_applianceRandom(applianceRandom),
          m_preempt(preempt) {}
    std::string getName() const override { return "Random Number Login"; }
    void writeBody(uint8_t* body) override {
        WriteUInt32BE(m_clientRandom, body, 0);
        WriteUInt32BE(m_applianceRandom, body, 4);
        body[8] = 0;
        body[9] = m_preempt ? 1 : 0;
    }
    void setPreempt(bool preempt) { m_preempt = preempt; }

private:
    uint32_t m_clientRandom;
    uint32_t m_applianceRandom;
    bool m_preempt;
};
