#pragma once
// The device layer's system calls over one in-memory medium: handle 3 is open
// on it, `path` ("/fuzz/disk.img" unless changed) names it; everything else
// fails. It shows as an image file, or with `blockDevice` as a plain block
// device (no SCSI).
#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "device/VMIOPlatform.h"

namespace twfuzz {

// The medium's bytes: `disk` holds the first ones; the medium may be declared
// larger, and the rest reads as zeros (or, `patterned`, as a value of its
// offset, so that a read from the wrong place shows). Writes beyond `disk`
// land in 4 KiB pages kept on the side; writes past the end fail.
struct MemoryImage {
    static constexpr uint64_t PAGE = 4096;

    std::vector<uint8_t> disk;
    uint64_t declaredSize = 0;
    bool patterned = false;
    std::map<uint64_t, std::vector<uint8_t>> pages;

    uint64_t size() const { return std::max<uint64_t>(declaredSize, disk.size()); }

    static uint8_t patternAt(uint64_t offset) {
        const uint64_t x = (offset >> 2) * 0x9E3779B97F4A7C15ull;
        return uint8_t((x >> 56) ^ offset);
    }
    // Reads n bytes at offset (the caller keeps it inside the medium).
    void read(uint64_t offset, uint8_t* out, size_t n) const {
        while (n > 0) {
            if (offset < disk.size()) {
                const size_t k = size_t(std::min<uint64_t>(n, disk.size() - offset));
                std::memcpy(out, disk.data() + offset, k);
                offset += k, out += k, n -= k;
                continue;
            }
            const uint64_t page = offset / PAGE, in = offset % PAGE;
            const size_t k = size_t(std::min<uint64_t>(n, PAGE - in));
            auto it = pages.find(page);
            if (it != pages.end()) {
                std::memcpy(out, it->second.data() + in, k);
            } else if (patterned) {
                for (size_t i = 0; i < k; ++i) out[i] = patternAt(offset + i);
            } else {
                std::memset(out, 0, k);
            }
            offset += k, out += k, n -= k;
        }
    }
    // False (nothing written) when the range leaves the medium.
    bool write(uint64_t offset, const uint8_t* in, size_t n) {
        if (offset > size() || n > size() - offset) return false;
        while (n > 0) {
            if (offset < disk.size()) {
                const size_t k = size_t(std::min<uint64_t>(n, disk.size() - offset));
                std::memcpy(disk.data() + offset, in, k);
                offset += k, in += k, n -= k;
                continue;
            }
            const uint64_t page = offset / PAGE, at = offset % PAGE;
            const size_t k = size_t(std::min<uint64_t>(n, PAGE - at));
            auto it = pages.find(page);
            if (it == pages.end()) {
                std::vector<uint8_t> fresh(PAGE);
                read(page * PAGE, fresh.data(), PAGE);
                it = pages.emplace(page, std::move(fresh)).first;
            }
            std::memcpy(it->second.data() + at, in, k);
            offset += k, in += k, n -= k;
        }
        return true;
    }
    // Same bytes everywhere (pages written on one side only are compared
    // with what the other side reads there).
    bool sameBytes(const MemoryImage& other) const {
        if (size() != other.size() || disk != other.disk) return false;
        std::vector<uint8_t> a(PAGE), b(PAGE);
        for (const MemoryImage* side : {this, &other}) {
            for (const auto& [page, bytes] : side->pages) {
                const size_t n = size_t(std::min<uint64_t>(PAGE, size() - page * PAGE));
                read(page * PAGE, a.data(), n);
                other.read(page * PAGE, b.data(), n);
                if (std::memcmp(a.data(), b.data(), n) != 0) return false;
            }
        }
        return true;
    }
};

class MemoryDiskPlatform : public VMIOPlatform, public MemoryImage {
public:
    static constexpr intptr_t HANDLE = 3;
    static constexpr const char* PATH = "/fuzz/disk.img";

    std::string path = PATH;
    bool blockDevice = false;
    // How the medium was last opened, and writes it refused for that.
    int openFlags = 0;
    size_t writesRefused = 0;
    // Every read and write, when asked for.
    struct Access {
        bool write;
        uint64_t offset;
        size_t count;
    };
    bool logAccess = false;
    std::vector<Access> accesses;

    NodeInfo statPath(const std::string& p) override {
        if (p != path) return NodeInfo{};
        return regular();
    }
    NodeInfo statHandle(intptr_t handle) override {
        if (handle != HANDLE) return fail<NodeInfo>(EBADF, NodeInfo{});
        return regular();
    }
    intptr_t openNode(const std::string& p, int flags) override {
        if (p != path) return fail<intptr_t>(ENOENT, -1);
        openFlags = flags;
        return HANDLE;
    }
    int closeNode(intptr_t handle) override { return handle == HANDLE ? 0 : fail(EBADF, -1); }
    ssize_t readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) override {
        if (handle != HANDLE) return fail<ssize_t>(EBADF, -1);
        if (logAccess) accesses.push_back({false, offset, count});
        if (offset >= size()) return 0;
        const size_t n = size_t(std::min<uint64_t>(count, size() - offset));
        read(offset, static_cast<uint8_t*>(buf), n);
        return static_cast<ssize_t>(n);
    }
    ssize_t writeAt(intptr_t handle, const void* buf, size_t count, uint64_t offset) override {
        if (handle != HANDLE) return fail<ssize_t>(EBADF, -1);
        if (logAccess) accesses.push_back({true, offset, count});
        if ((openFlags & O_ACCMODE) == O_RDONLY) {
            ++writesRefused;
            return fail<ssize_t>(EBADF, -1);
        }
        if (!write(offset, static_cast<const uint8_t*>(buf), count)) return fail<ssize_t>(ENOSPC, -1);
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
