#pragma once
#include "device/VMIOPlatform.h"

// The real system calls: open/pread/pwrite, the block and CD-ROM ioctls,
// SG_IO and sysfs. Tests may derive from it to override a few calls.
class LinuxVMIOPlatform : public VMIOPlatform {
public:
    // Where sysfs lives; tests may point it at a copy.
    explicit LinuxVMIOPlatform(std::string sysRoot = "/sys");

    NodeInfo statPath(const std::string& path) override;
    NodeInfo statHandle(intptr_t handle) override;
    intptr_t openNode(const std::string& path, int flags) override;
    int closeNode(intptr_t handle) override;
    ssize_t readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) override;
    ssize_t writeAt(intptr_t handle, const void* buf, size_t count, uint64_t offset) override;
    int syncNode(intptr_t handle) override;
    int dropCache(intptr_t handle) override;
    int blkSize64(intptr_t handle, uint64_t* bytes) override;
    int blkSectorSize(intptr_t handle, int* bytes) override;
    int blkReadOnly(intptr_t handle, int* readOnly) override;
    int blkFlush(intptr_t handle) override;
    int sgIo(intptr_t handle, SgCommand& cmd) override;
    int cdromLockDoor(intptr_t handle, bool lock) override;
    int cdromDriveStatus(intptr_t handle) override;
    std::optional<std::string> readSysAttr(uint64_t rdev, const std::string& relPath) override;
    std::string sysDevicePath(uint64_t rdev) override;
    std::vector<BlockDeviceName> listBlockDevices() override;

private:
    std::string devDir(uint64_t rdev) const;
    std::string m_sysRoot;
};
