#include "protocol/PacketBytes.h"

#include <cstring>

uint32_t ReadUInt32BE(int offset, const uint8_t* buffer) {
    const uint8_t* p = buffer + offset;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t ReadUInt16BE(int offset, const uint8_t* buffer) {
    const uint8_t* p = buffer + offset;
    return uint16_t((p[0] << 8) | p[1]);
}

void WriteUInt32BE(uint32_t value, uint8_t* buffer, int offset) {
    uint8_t* p = buffer + offset;
    p[0] = uint8_t(value >> 24);
    p[1] = uint8_t(value >> 16);
    p[2] = uint8_t(value >> 8);
    p[3] = uint8_t(value);
}

void WriteUInt16BE(uint16_t value, uint8_t* buffer, int offset) {
    uint8_t* p = buffer + offset;
    p[0] = uint8_t(value >> 8);
    p[1] = uint8_t(value);
}

void CopyStringToBuffer(const char* text, uint8_t* buffer, int index) {
    if (text == nullptr) return;
    std::memcpy(buffer + index, text, std::strlen(text));
}
