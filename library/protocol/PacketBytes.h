#pragma once
#include <cstdint>

// Big-endian helpers for packet buffers. The caller guarantees the bytes
// exist; parsers of received data go through BodyReader instead.

uint32_t ReadUInt32BE(int offset, const uint8_t* buffer);
uint16_t ReadUInt16BE(int offset, const uint8_t* buffer);
void WriteUInt32BE(uint32_t value, uint8_t* buffer, int offset);
void WriteUInt16BE(uint16_t value, uint8_t* buffer, int offset);
// Copies the string's characters, without the terminating NUL, from index on.
void CopyStringToBuffer(const char* text, uint8_t* buffer, int index);
