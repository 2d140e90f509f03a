#pragma once
#include "protocol/ZELKPacket.h"

// Type 0x0400, no body. Sent under "ZELK", or "TUVO" when flagged; a received
// heartbeat (TUVO 0x0400 or 0x8400) is built with the flag set.
class Heartbeat : public ZELKPacket {
public:
    explicit Heartbeat(bool tuvo = false) : ZELKPacket(0x0400, 12), m_tuvo(tuvo) {}
    std::string getName() const override { return "Heartbeat"; }
    void writeHeader(uint8_t* header) override {
        if (m_tuvo)
            writeTuvoHeader(header);
        else
            ZELKPacket::writeHeader(header);
    }
    void writeBody(uint8_t*) override {}
    bool isTuvo() const { return m_tuvo; }
    void setTuvo(bool tuvo) { m_tuvo = tuvo; }

private:
    bool m_tuvo;
};
