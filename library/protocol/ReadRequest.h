#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct ReadRequestFields {
    int deviceIndex = 0;
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
    uint32_t maxBlocks = 0;
};

// ZELK 0x8300: the server reads blocks (start, count, at most max per answer).
class ReadRequest : public ReceivedPacket<ReadRequest, ReadRequestFields> {
public:
    ReadRequest() : ReceivedPacket(0x8300, 24) {}
    std::string getName() const override { return "Read Request"; }
    static std::optional<ReadRequestFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 12)) return std::nullopt;
        ReadRequestFields f;
        f.deviceIndex = BodyReader(header, 12).u16(10);
        f.startBlock = r.u32(0);
        f.blockCount = r.u32(4);
        f.maxBlocks = r.u32(8);
        return f;
    }
    int getDeviceIndex() const { return m_fields.deviceIndex; }
    uint32_t getStartBlock() const { return m_fields.startBlock; }
    uint32_t getBlockCount() const { return m_fields.blockCount; }
    uint32_t getMaxBlocks() const { return m_fields.maxBlocks; }
};
