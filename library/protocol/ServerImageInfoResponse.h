#pragma once
#include <memory>
#include <vector>

#include "api/VMServerImage.h"
#include "protocol/ReceivedPacket.h"

struct ServerImageInfoResponseFields {
    int declaredCount = 0;
    std::vector<std::unique_ptr<VMServerImage>> images;
};

// ZELK 0x8500: the image store's contents, one 268-byte record per image;
// the header parameter is the record count (signed; 0 or less: none). Only
// whole records present in the body are kept.
class ServerImageInfoResponse : public ReceivedPacket<ServerImageInfoResponse, ServerImageInfoResponseFields> {
public:
    static constexpr size_t RECORD_SIZE = 268;
    static constexpr size_t NAME_SIZE = 253;

    ServerImageInfoResponse() : ReceivedPacket(0x8500, 12) {}
    std::string getName() const override { return "ServerImageInfoResponse"; }
    static std::optional<ServerImageInfoResponseFields> decode(const uint8_t* header, const uint8_t* body, size_t n);
    bool parse(const uint8_t* header, const uint8_t* body, int length) override;

    int getNumberOfImages() const { return int(m_fields.images.size()); }
    int getDeclaredCount() const { return m_fields.declaredCount; }
    // The packet's own objects; null outside the list.
    VMServerImage* getImageAt(int i) const {
        return i >= 0 && size_t(i) < m_fields.images.size() ? m_fields.images[size_t(i)].get() : nullptr;
    }
    // The form VMServerImageList::updateServerImageList takes.
    std::vector<VMServerImage*> getImages() const;
};
