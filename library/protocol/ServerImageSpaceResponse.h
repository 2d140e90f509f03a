#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct ServerImageSpaceResponseFields {
    int storeId = 0;
    uint32_t totalBlocks = 0;
    uint32_t freeBlocks = 0;
};

// ZELK 0x8530: total and free space of a store, in 512-byte blocks.
class ServerImageSpaceResponse : public ReceivedPacket<ServerImageSpaceResponse, ServerImageSpaceResponseFields> {
public:
    ServerImageSpaceResponse() : ReceivedPacket(0x8530, 20) {}
    std::string getName() const override { return "ServerImageSpaceResponse"; }
    static std::optional<ServerImageSpaceResponseFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 8)) return std::nullopt;
        ServerImageSpaceResponseFields f;
        f.storeId = BodyReader(header, 12).u16(10);
        f.totalBlocks = r.u32(0);
        f.freeBlocks = r.u32(4);
        return f;
    }
    int getStoreId() const { return m_fields.storeId; }
    uint32_t getTotalSpace() const { return m_fields.totalBlocks; }
    uint32_t getFreeSpace() const { return m_fields.freeBlocks; }
};
