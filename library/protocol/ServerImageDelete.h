#pragma once
#include "protocol/ZELKPacket.h"

// ZELK 0x0550: delete a server image (header parameter = image index).
class ServerImageDelete : public ZELKPacket {
public:
    explicit ServerImageDelete(int imageIndex) : ZELKPacket(0x0550, 12), m_imageIndex(imageIndex) {}
    std::string getName() const override { return "ServerImageDelete"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_imageIndex)); }
    void writeBody(uint8_t*) override {}
    int getImageIndex() const { return m_imageIndex; }

private:
    int m_imageIndex;
};
