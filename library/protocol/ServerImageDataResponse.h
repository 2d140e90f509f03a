#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct ServerImageDataResponseFields {
    int imageIndex = 0;
    int status = 0;
};

// ZELK 0x8570: status (one byte) for a server image (header parameter = index).
class ServerImageDataResponse : public ReceivedPacket<ServerImageDataResponse, ServerImageDataResponseFields> {
public:
    ServerImageDataResponse() : ReceivedPacket(0x8570, 13) {}
    std::string getName() const override { return "ServerImageDataResponse"; }
    static std::optional<ServerImageDataResponseFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 1)) return std::nullopt;
        ServerImageDataResponseFields f;
        f.imageIndex = BodyReader(header, 12).u16(10);
        f.status = r.u8(0);
        return f;
    }
    int getImageIndex() const { return m_fields.imageIndex; }
    int getStatus() const { return m_fields.status; }
};
