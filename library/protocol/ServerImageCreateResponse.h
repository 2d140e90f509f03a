#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct ServerImageCreateResponseFields {
    int imageIndex = 0;
    int status = 0;
};

// ZELK 0x8540: status (one byte) for a server image (header parameter = index).
class ServerImageCreateResponse : public ReceivedPacket<ServerImageCreateResponse, ServerImageCreateResponseFields> {
public:
    ServerImageCreateResponse() : ReceivedPacket(0x8540, 13) {}
    std::string getName() const override { return "ServerImageCreateResponse"; }
    static std::optional<ServerImageCreateResponseFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 1)) return std::nullopt;
        ServerImageCreateResponseFields f;
        f.imageIndex = BodyReader(header, 12).u16(10);
        f.status = r.u8(0);
        return f;
    }
    int getImageIndex() const { return m_fields.imageIndex; }
    int getStatus() const { return m_fields.status; }
};
