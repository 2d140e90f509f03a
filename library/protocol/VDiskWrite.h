#pragma once
#include <vector>

#include "protocol/BodyReader.h"
#include "protocol/ReceivedPacket.h"

struct VDiskWriteFields {
    int deviceIndex = 0;
    uint32_t startBlock = 0;
    uint32_t blockCount = 0;
    std::vector<uint8_t> data;
};

// ZELK 0x8310: the server writes blocks; the data is the rest of the body.
class VDiskWrite : public ReceivedPacket<VDiskWrite, VDiskWriteFields> {
public:
    VDiskWrite() : ReceivedPacket(0x8310, 20) {}
    std::string getName() const override { return "VDisk Write"; }
    static std::optional<VDiskWriteFields> decode(const uint8_t* header, const uint8_t* body, size_t n) {
        BodyReader r(body, n);
        if (!r.has(0, 8)) return std::nullopt;
        VDiskWriteFields f;
        f.deviceIndex = BodyReader(header, 12).u16(10);
        f.startBlock = r.u32(0);
        f.blockCount = r.u32(4);
        if (n > 8) f.data.assign(body + 8, body + n);
        return f;
    }
    int getDeviceIndex() const { return m_fields.deviceIndex; }
    uint32_t getStartBlock() const { return m_fields.startBlock; }
    uint32_t getBlockCount() const { return m_fields.blockCount; }
    const uint8_t* getData() const { return m_fields.data.empty() ? nullptr : m_fields.data.data(); }
    int getDataLength() const { return int(m_fields.data.size()); }
};
