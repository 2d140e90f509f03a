#include "protocol/ServerImageInfoResponse.h"

#include <cstring>

#include "base/DebugLog.h"
#include "protocol/BodyReader.h"

std::optional<ServerImageInfoResponseFields> ServerImageInfoResponse::decode(const uint8_t* header,
                                                                             const uint8_t* body, size_t n) {
    BodyReader r(body, n);
    ServerImageInfoResponseFields f;
    f.declaredCount = int16_t(BodyReader(header, 12).u16(10));
    for (int i = 0; i < f.declaredCount && r.has(size_t(i) * RECORD_SIZE, RECORD_SIZE); ++i) {
        size_t at = size_t(i) * RECORD_SIZE;
        auto image = std::make_unique<VMServerImage>();
        image->setIndex(r.u16(at));
        image->setVDisk(r.u16(at + 2));
        image->setSize(int(r.u32(at + 4)));
        image->setFlags(int(r.u32(at + 8)));
        image->setType(r.u8(at + 12));
        image->setFormat(r.u8(at + 13));
        image->setStore(r.u8(at + 14));
        const char* name = reinterpret_cast<const char*>(r.at(at + 15));
        image->setName(std::string(name, strnlen(name, NAME_SIZE)).c_str());
        f.images.push_back(std::move(image));
    }
    return f;
}

bool ServerImageInfoResponse::parse(const uint8_t* header, const uint8_t* body, int length) {
    if (!ReceivedPacket::parse(header, body, length)) return false;
    if (getDeclaredCount() > 0 && getNumberOfImages() != getDeclaredCount())
        LogMessage("%s count %i but only %i whole records received\n", "ServerImageInfoResponse::parse:",
                   getDeclaredCount(), getNumberOfImages());
    return true;
}

std::vector<VMServerImage*> ServerImageInfoResponse::getImages() const {
    std::vector<VMServerImage*> out;
    for (const auto& image : m_fields.images) out.push_back(image.get());
    return out;
}
