#include "protocol/ZELKPacket.h"

#include <cstring>

#include "protocol/PacketBytes.h"

bool ZELKPacket::parse(const uint8_t* header, const uint8_t*, int) {
    parseHeader(header);
    return true;
}

void ZELKPacket::writeHeader(uint8_t* header) {
    std::memset(header, 0, HEADER_SIZE);
    std::memcpy(header, "ZELK", 4);
    WriteUInt32BE(uint32_t(m_length), header, 4);
    WriteUInt16BE(uint16_t(m_type), header, 8);
    if ((m_type & 0xFFFF) == 0x0200) {
        header[10] = 0xFF;
        header[11] = 0xFF;
    }
}

void ZELKPacket::parseHeader(const uint8_t* header) {
    m_type = ReadUInt16BE(8, header);
    m_length = int(ReadUInt32BE(4, header));
}

void ZELKPacket::writeHeaderWithParam(uint8_t* header, uint16_t param) {
    ZELKPacket::writeHeader(header);
    WriteUInt16BE(param, header, 10);
}

void ZELKPacket::writeTuvoHeader(uint8_t* header) {
    ZELKPacket::writeHeader(header);
    std::memcpy(header, "TUVO", 4);
}

void ZELKPacket::writeTuvoHeaderWithParam(uint8_t* header, uint16_t param) {
    writeTuvoHeader(header);
    WriteUInt16BE(param, header, 10);
}

std::vector<uint8_t> ZELKPacket::serialize() {
    size_t total = m_length > HEADER_SIZE ? size_t(m_length) : size_t(HEADER_SIZE);
    std::vector<uint8_t> out(total, 0);
    writeHeader(out.data());
    writeBody(out.data() + HEADER_SIZE);
    out.resize(m_length > 0 ? size_t(m_length) : 0);
    return out;
}

bool ZELKPacket::isTuvoMagic(const uint8_t* header) { return std::memcmp(header, "TUVO", 4) == 0; }
bool ZELKPacket::isZelkMagic(const uint8_t* header) { return std::memcmp(header, "ZELK", 4) == 0; }
