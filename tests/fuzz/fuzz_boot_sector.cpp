// Block 0 of a medium: the boot sector / partition table parser and the
// geometry solve. Input: 4 bytes of the drive's block count (little endian),
// one byte choosing the read path (bit 0: an image file read through the file
// interface, else a block device read by sectors),
// then the medium itself (block 0 first; shorter than 512 bytes cannot load).
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "MemoryDiskPlatform.h"
#include "device/BootSector.h"
#include "device/PartitionInfo.h"
#include "device/VMIO.h"

namespace {

twfuzz::MemoryDiskPlatform* g_disk = nullptr;

void checkGeometry(const DriveGeometry& g, bool partitionTable) {
    twfuzz::check(g.cylinders >= 0 && g.heads >= 0 && g.sectors >= 0, "negative geometry");
    if (partitionTable) {
        twfuzz::check(g.heads >= 1 && g.heads <= 255 && g.sectors >= 1 && g.sectors <= 63 &&
                          g.cylinders <= 0xFFFF,
                      "partition geometry out of CHS range");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_disk = new twfuzz::MemoryDiskPlatform();
    VMIO::setPlatform(g_disk);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint32_t driveBlocks = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t(data[3]) << 24);
    const int openKind = (data[4] & 1) ? 1 : 0;
    g_disk->disk.assign(data + 5, data + size);
    g_disk->blockDevice = openKind == 0;

    BootSector bs(twfuzz::MemoryDiskPlatform::HANDLE, openKind);
    if (bs.load() != 0) {
        twfuzz::check(g_disk->disk.size() < 512 || bs.getKind() == "MBR",
                      "a whole block 0 failed to load");
        return 0;
    }
    twfuzz::check(g_disk->disk.size() >= 512, "loaded a short block 0");
    const std::string& kind = bs.getKind();
    twfuzz::check(kind == "BPB" || kind == "MBR" || kind == "NOG", "unknown kind");
    twfuzz::check(std::memcmp(bs.getSector(), g_disk->disk.data(), 512) == 0, "block 0 differs");
    if (bs.isBPB()) {
        twfuzz::check(bs.getTotalBytes() == uint32_t(bs.getBytesPerSector()) * bs.getTotalSectors(),
                      "BPB total bytes");
    }
    (void)bs.isCorvaneImage();

    uint32_t blocks = driveBlocks;
    DriveGeometry g;
    bs.getCHS(blocks, g);
    if (kind == "MBR") {
        twfuzz::check(bs.getNumberOfPartitions() >= 1 && bs.getNumberOfPartitions() <= 4,
                      "partition count");
        twfuzz::check(blocks <= driveBlocks, "the partition reaches past the drive");
        checkGeometry(g, true);
    } else {
        twfuzz::check(blocks == driveBlocks, "blocks changed without a partition table");
        // A FAT geometry is a CHS one unless its heads or sectors are zero.
        checkGeometry(g, kind == "BPB" && g.heads != 0 && g.sectors != 0);
    }

    // The solve on every raw entry, used or not.
    for (int off : {446, 462, 478, 494}) {
        PartitionInfo p;
        p.parseEntry(bs.getSector() + off);
        DriveGeometry pg;
        p.calculateDeviceCHS(pg);
        checkGeometry(pg, true);
        twfuzz::check(pg.startLBA == p.startLBA, "start LBA");
    }
    return 0;
}
