#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device/DriveGeometry.h"
#include "device/PartitionInfo.h"
#include "device/VMIO.h"

// Block 0 of an open drive, sorted into a FAT boot sector with a BIOS
// parameter block ("BPB"), a master boot record ("MBR") or neither ("NOG").
// Everything in it comes from the medium and is treated as untrusted.
class BootSector {
public:
    // openKind 1 reads through the file interface, else through ReadSectors.
    // The handle stays the caller's. Loads block 0 once.
    BootSector(VMIO::Handle handle, int openKind);
    virtual ~BootSector();
    BootSector(const BootSector&) = delete;
    BootSector& operator=(const BootSector&) = delete;

    // 0 on success, 1 when block 0 cannot be read or an MBR lists no partition.
    int load();
    bool isBPB() const { return m_kind == "BPB"; }
    const std::string& getKind() const { return m_kind; }
    int getNumberOfPartitions() const { return static_cast<int>(m_partitions.size()); }
    const std::vector<PartitionInfo>& getPartitions() const { return m_partitions; }
    // blocks: the drive's block count in; for an MBR the block count of the
    // first partition out (clamped to the drive). A FAT geometry whose heads,
    // sectors or cylinders no CHS address holds gives 16 heads, 63 sectors.
    void getCHS(uint32_t& blocks, DriveGeometry& out) const;
    bool isCorvaneImage() const;

    const uint8_t* getOemName() const { return m_oemName; }
    int getBytesPerSector() const { return m_bytesPerSector; }
    uint32_t getTotalSectors() const { return m_totalSectors; }
    int getTotalSectorSource() const { return m_totalSectorSource; }
    uint32_t getTotalBytes() const { return m_totalBytes; }
    const uint8_t* getSector() const { return m_sector; }

private:
    void readSector(uint8_t* buffer);

    std::string m_name = "BootSector";
    VMIO::Handle m_handle;
    std::string m_kind;
    int m_openKind;
    uint8_t m_oemName[8] = {};
    int m_totalSectorSource = 1;
    int m_bytesPerSector = 0;
    uint32_t m_totalSectors = 0;
    uint32_t m_totalBytes = 0;
    std::vector<PartitionInfo> m_partitions;
    uint8_t m_sector[512] = {};
};
