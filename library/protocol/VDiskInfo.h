#pragma once
#include <vector>

#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct VDiskInfoEntry {
    int type = 0;    // 1 removable, 2 CD/DVD, 4 floppy
    int status = 0;  // 0 available
    int value = 0;   // not interpreted
};

struct VDiskInfoFields {
    int declaredCount = 0;
    std::vector<VDiskInfoEntry> entries;
};

// ZELK 0x8200: the server's drive list. Only whole entries present in the
// body are kept, whatever the count says.
class VDiskInfo : public ReceivedPacket<VDiskInfo, VDiskInfoFields> {
public:
    VDiskInfo() : ReceivedPacket(0x8200, 14) {}
    std::string getName() const override { return "VDisk Info"; }
    static std::optional<VDiskInfoFields> decode(const uint8_t*, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 2)) return std::nullopt;
        VDiskInfoFields f;
        f.declaredCount = r.u16(0);
        for (int i = 0; i < f.declaredCount && r.has(2 + size_t(i) * 4, 4); ++i) {
            size_t at = 2 + size_t(i) * 4;
            f.entries.push_back({r.u8(at), r.u8(at + 1), r.u16(at + 2)});
        }
        return f;
    }
    bool parse(const uint8_t* header, const uint8_t* body, int length) override;
    int getCount() const { return int(m_fields.entries.size()); }
    int getDeclaredCount() const { return m_fields.declaredCount; }
    const VDiskInfoEntry& getEntry(int i) const { return m_fields.entries.at(size_t(i)); }
    const std::vector<VDiskInfoEntry>& getEntries() const { return m_fields.entries; }
};
