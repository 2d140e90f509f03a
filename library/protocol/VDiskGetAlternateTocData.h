#pragma once
#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct VDiskGetAlternateTocDataFields {
    int deviceIndex = 0;
    int msf = 0;
    int format = 0;
    int track = 0;
};

// ZELK 0x8320: the server asks for a table of contents (MSF, format, track).
class VDiskGetAlternateTocData : public ReceivedPacket<VDiskGetAlternateTocData, VDiskGetAlternateTocDataFields> {
public:
    VDiskGetAlternateTocData() : ReceivedPacket(0x8320, 15) {}
    std::string getName() const override { return "VDisk Get Alternate TOC Data"; }
    static std::optional<VDiskGetAlternateTocDataFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 3)) return std::nullopt;
        VDiskGetAlternateTocDataFields f;
        f.deviceIndex = BodyReader(header, 12).u16(10);
        f.msf = r.u8(0);
        f.format = r.u8(1);
        f.track = r.u8(2);
        return f;
    }
    int getDeviceIndex() const { return m_fields.deviceIndex; }
    int getMsf() const { return m_fields.msf; }
    int getFormat() const { return m_fields.format; }
    int getTrack() const { return m_fields.track; }
};
