#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Every system call the device layer makes, behind one interface so tests can
// put in-memory disks, a SCSI target and faults under VMIO. Calls that fail
// return -1 and leave the reason in errno (tw::lastError()).
class VMIOPlatform {
public:
    virtual ~VMIOPlatform() = default;

    enum class NodeKind { Missing, Regular, Block, Other };
    struct NodeInfo {
        NodeKind kind = NodeKind::Missing;
        uint64_t rdev = 0;   // block devices: device number
        uint64_t size = 0;   // regular files: bytes
    };

    // One SCSI command through the generic SCSI interface.
    enum class SgDirection { None, FromDevice, ToDevice };
    struct SgCommand {
        uint8_t cdb[16] = {};
        int cdbLength = 10;
        SgDirection direction = SgDirection::None;
        void* data = nullptr;
        uint32_t dataLength = 0;
        uint32_t timeoutMs = 60000;
        uint8_t sense[32] = {};
        // Filled by sgIo.
        int scsiStatus = 0;    // SCSI status byte (0 GOOD, 2 CHECK CONDITION)
        int hostStatus = 0;
        int driverStatus = 0;
        int residual = 0;      // bytes not transferred
        int senseLength = 0;
    };

    struct BlockDeviceName {
        std::string name;  // kernel name with '/' for sysfs' '!', e.g. "sdb", "cciss/c0d0"
        uint64_t rdev = 0;
    };

    virtual NodeInfo statPath(const std::string& path) = 0;  // follows links
    virtual NodeInfo statHandle(intptr_t handle) = 0;
    // flags as for open(2); returns the handle or -1.
    virtual intptr_t openNode(const std::string& path, int flags) = 0;
    virtual int closeNode(intptr_t handle) = 0;
    // One transfer each; callers loop over short counts and EINTR.
    virtual ssize_t readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) = 0;
    virtual ssize_t writeAt(intptr_t handle, const void* buf, size_t count, uint64_t offset) = 0;
    virtual int syncNode(intptr_t handle) = 0;
    virtual int dropCache(intptr_t handle) = 0;            // posix_fadvise DONTNEED
    virtual int blkSize64(intptr_t handle, uint64_t* bytes) = 0;
    virtual int blkSectorSize(intptr_t handle, int* bytes) = 0;
    virtual int blkReadOnly(intptr_t handle, int* readOnly) = 0;
    virtual int blkFlush(intptr_t handle) = 0;             // BLKFLSBUF
    virtual int sgIo(intptr_t handle, SgCommand& cmd) = 0;
    virtual int cdromLockDoor(intptr_t handle, bool lock) = 0;
    // CDS_* value of CDROM_DRIVE_STATUS, or -1.
    virtual int cdromDriveStatus(intptr_t handle) = 0;
    // Text of /sys/dev/block/MAJ:MIN/<relPath> without the trailing newline.
    virtual std::optional<std::string> readSysAttr(uint64_t rdev, const std::string& relPath) = 0;
    // Resolved sysfs directory of the device ("" when it has none).
    virtual std::string sysDevicePath(uint64_t rdev) = 0;
    // Whole disks the system knows (/sys/block).
    virtual std::vector<BlockDeviceName> listBlockDevices() = 0;
};
