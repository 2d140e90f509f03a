#pragma once
#include <cstdint>

#include "device/DriveGeometry.h"

// One 16-byte MBR partition entry and the disk geometry its CHS fields imply.
class PartitionInfo {
public:
    static constexpr int FALLBACK_HEADS = 16;
    static constexpr int FALLBACK_SECTORS = 63;
    static constexpr int FALLBACK_MAX_CYLINDERS = 16383;

    PartitionInfo() = default;
    virtual ~PartitionInfo() = default;
    PartitionInfo(const PartitionInfo&) = default;
    PartitionInfo& operator=(const PartitionInfo&) = default;

    void parseEntry(const uint8_t* entry);
    // Solves heads and sectors per track from the start and end CHS
    // addresses; falls back to 16 heads, 63 sectors when they do not give
    // one exact geometry.
    void calculateDeviceCHS(DriveGeometry& out) const;

    int active = 0;
    int startHead = 0;
    int startSector = 0;
    int startCylinder = 0;
    int partitionType = 0;
    int endHead = 0;
    int endSector = 0;
    int endCylinder = 0;
    int32_t startLBA = 0;     // as stored: signed
    uint32_t sectorCount = 0;
};
