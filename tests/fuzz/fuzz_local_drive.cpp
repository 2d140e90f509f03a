// The probe of an image file (".img"): type, capacity and the geometry from
// its block 0, as a drive is offered to the server. Input: 4 bytes of the
// image size in 512-byte blocks (little endian; at least the bytes given),
// then the image's first bytes. What will be served must lie in the image.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "MemoryDiskPlatform.h"
#include "api/VMConstants.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"

namespace {
twfuzz::MemoryDiskPlatform* g_disk = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_disk = new twfuzz::MemoryDiskPlatform();
    VMIO::setPlatform(g_disk);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint32_t blocks = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t(data[3]) << 24);
    g_disk->disk.assign(data + 4, data + size);
    g_disk->declaredSize = uint64_t(blocks) * 512;
    const uint64_t imageBlocks = g_disk->size() / 512;

    const std::string path = twfuzz::MemoryDiskPlatform::PATH;
    const std::wstring wpath(path.begin(), path.end());
    VMLocalDrive drive(wpath.c_str());
    const int rc = drive.refresh();
    if (rc != VMConstants::API_SUCCESS) {
        twfuzz::check(drive.getLastError() != 0, "a failed probe without a reason");
        return 0;
    }
    const int type = drive.getLocalDriveType();
    twfuzz::check(type == VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY_IMAGE ||
                      type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE_IMAGE,
                  "an image probed as something else");
    twfuzz::check(drive.getBlockSize() == 512 && drive.getNumberOfBlocks() == imageBlocks,
                  "image capacity");
    // A partition wholly outside the image leaves a view of no blocks (its
    // start may then lie anywhere); any block offered must be in the image.
    twfuzz::check(drive.getBlocks() == 0 ||
                      uint64_t(drive.getLBAStart()) + drive.getBlocks() <= drive.getNumberOfBlocks(),
                  "the offered blocks reach past the image");
    twfuzz::check(drive.getHeads() <= 255 && drive.getSectors() <= 63 && drive.getCylinders() <= 0xFFFF,
                  "geometry out of CHS range");
    return 0;
}
