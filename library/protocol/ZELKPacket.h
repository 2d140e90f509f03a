#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Base of every packet: a 12-byte big-endian header (magic, total length,
// type, 16-bit parameter) followed by the body.
class ZELKPacket {
public:
    static constexpr int HEADER_SIZE = 12;
    // Largest packet taken whole from the network: a 16 MiB body plus header
    // (the receiver skips the body of a longer one).
    static constexpr uint32_t MAX_PACKET_LENGTH = 16u * 1024u * 1024u + 12u;

    ZELKPacket(int type, int length) : m_type(type), m_length(length) {}
    virtual ~ZELKPacket() = default;
    ZELKPacket(const ZELKPacket&) = delete;
    ZELKPacket& operator=(const ZELKPacket&) = delete;

    virtual std::string getName() const = 0;
    // body = buffer + 12, with room for length - 12 bytes.
    virtual void writeBody(uint8_t* body) = 0;
    // header: 12 bytes; body: length - 12 bytes. Returns false when the body
    // does not hold what the packet needs; such a packet is dropped.
    virtual bool parse(const uint8_t* header, const uint8_t* body, int length);
    virtual void writeHeader(uint8_t* header);
    virtual void parseHeader(const uint8_t* header);

    int getType() const { return m_type; }
    int getLength() const { return m_length; }
    void setType(int type) { m_type = type; }
    void setLength(int length) { m_length = length; }

    // The whole packet as it goes on the wire (getLength() bytes).
    std::vector<uint8_t> serialize();

    static bool isTuvoMagic(const uint8_t* header);
    static bool isZelkMagic(const uint8_t* header);

protected:
    // Header-writer variants; each starts from the default writer.
    void writeHeaderWithParam(uint8_t* header, uint16_t param);    // device or image index
    void writeTuvoHeader(uint8_t* header);                         // "TUVO" magic
    void writeTuvoHeaderWithParam(uint8_t* header, uint16_t param);
    static size_t bodyLength(int length) { return length > HEADER_SIZE ? size_t(length - HEADER_SIZE) : 0; }

    int m_type;
    int m_length;
};
