#pragma once
#include "protocol/ZELKPacket.h"

// ZELK 0x0120, 13 bytes: 0x34 when the preemption is accepted, else 0.
class PreemptResponse : public ZELKPacket {
public:
    explicit PreemptResponse(bool accepted) : ZELKPacket(0x0120, 13), m_accepted(accepted) {}
    std::string getName() const override { return "PreemptResponse"; }
    void writeBody(uint8_t* body) override { body[0] = m_accepted ? 0x34 : 0; }

private:
    bool m_accepted;
};
