#pragma once
// The device layer's system calls over one in-memory medium: handle 3 is open
// on it, path "/fuzz/disk.img" names it; everything else fails. It shows as an
// image file, or with `blockDevice` as a plain block device (no SCSI).
#include <sys/sysmacros.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "device/VMIOPlatform.h"

namespace twfuzz {

class MemoryDiskPlatform : public VMIOPlatform {
public:
    static constexpr intptr_t HANDLE = 3;
    static constexpr const char* PATH = "/fuzz/disk.img";

    std::vector<uint8_t> disk;
    // A larger medium than the bytes held: the rest reads as zeros.
    uint64_t declaredSize = 0;
    bool blockDevice = false;

    uint64_t size() const { return std::max<uint64_t>(declaredSize, disk.size()); }

    NodeInfo statPath(const std::string& path) override {
        if (path != PATH) return NodeInfo{};
        return regular();
    }
    NodeInfo statHandle(intptr_t handle) override {
        if (handle != HANDLE) return fail<NodeInfo>(EBADF, NodeInfo{});
        return regular();
    }
    intptr_t openNode(const std::string& path, int) override {
        return path == PATH ? HANDLE : fail<intptr_t>(ENOENT, -1);
    }
    int closeNode(intptr_t handle) override { return handle == HANDLE ? 0 : fail(EBADF, -1); }
    ssize_t readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) override {
        if (handle != HANDLE) return fail<ssize_t>(EBADF, -1);
        if (offset >= size()) return 0;
        const size_t n = std::min<uint64_t>(count, size() - offset);
        const size_t held = offset < disk.size() ? std::min<uint64_t>(n, disk.size() - offset) : 0;
        if (held) std::memcpy(buf, disk.data() + offset, held);
        std::memset(static_cast<uint8_t*>(buf) + held, 0, n - held);
        return static_cast<ssize_t>(n);
    }
    ssize_t writeAt(intptr_t handle, const void* buf, size_t count, uint64_t offset) override {
        if (handle != HANDLE) return fail<ssize_t>(EBADF, -1);
        if (offset > disk.size() || count > disk.size() - offset) return fail<ssize_t>(ENOSPC, -1);
        std::memcpy(disk.data() + offset, buf, count);
        return static_cast<ssize_t>(count);
    }
    int syncNode(intptr_t) override { return 0; }
    int dropCache(intptr_t) override { return 0; }
    int blkSize64(intptr_t handle, uint64_t* bytes) override {
        if (handle != HANDLE || !blockDevice) return fail(ENOTTY, -1);
        *bytes = size();
        return 0;
    }
    int blkSectorSize(intptr_t handle, int* bytes) override {
        if (handle != HANDLE || !blockDevice) return fail(ENOTTY, -1);
        *bytes = 512;
        return 0;
    }
    int blkReadOnly(intptr_t handle, int* readOnly) override {
        if (handle != HANDLE || !blockDevice) return fail(ENOTTY, -1);
        *readOnly = 0;
        return 0;
    }
    int blkFlush(intptr_t) override { return fail(ENOTTY, -1); }
    int sgIo(intptr_t, SgCommand&) override { return fail(ENOTTY, -1); }
    int cdromLockDoor(intptr_t, bool) override { return fail(ENOTTY, -1); }
    int cdromDriveStatus(intptr_t) override { return fail(ENOTTY, -1); }
    std::optional<std::string> readSysAttr(uint64_t, const std::string&) override {
        return std::nullopt;
    }
    std::string sysDevicePath(uint64_t) override { return {}; }
    std::vector<BlockDeviceName> listBlockDevices() override { return {}; }

private:
    NodeInfo regular() const {
        NodeInfo info;
        if (blockDevice) {
            info.kind = NodeKind::Block;
            info.rdev = makedev(259, 0);  // no floppy, CD or SCSI major
        } else {
            info.kind = NodeKind::Regular;
            info.size = size();
        }
        return info;
    }
    template <typename T = int>
    static T fail(int error, T result) {
        errno = error;
        return result;
    }
};

}  // namespace twfuzz
