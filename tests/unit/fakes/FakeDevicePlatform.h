#pragma once
// In-memory block devices with sysfs attributes and a small SCSI target, for
// tests of the device layer and of everything above it. Paths that are not
// fake devices, and handles that are not fake, go to the real system, so
// image files keep working next to fake devices.
//
//   FakeDevicePlatform fake;
//   auto& sdb = fake.addDisk("/fake/sdb", 8, 16, 16 << 20);
//   sdb.usb = true;
//   ScopedPlatform use(fake);   // VMIO now sees /fake/sdb
#include <climits>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/cdrom.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/sysmacros.h>
#include <vector>

#include "device/LinuxVMIOPlatform.h"
#include "device/VMIO.h"

class FakeDevicePlatform : public LinuxVMIOPlatform {
public:
    struct Disk {
        std::string path;
        std::vector<std::string> aliases;
        std::string kernelName;
        uint64_t rdev = 0;
        std::vector<uint8_t> data;
        uint32_t blockSize = 512;
        // sysfs
        bool removable = false;
        bool usb = false;
        std::string deviceType = "0";  // "device/type": "0" disk, "5" CD, "SD", "" none
        Disk* parent = nullptr;         // set for a partition
        uint64_t partitionStartBlock = 0;
        uint64_t partitionBlocks = 0;
        // state and faults
        bool readOnly = false;           // BLKROGET; WRITE(10) gets DATA PROTECT
        bool refuseWriteOpen = false;    // EROFS on a write open when readOnly
        bool mediaPresent = true;
        bool mounted = false;            // O_EXCL opens fail with EBUSY
        int openErrno = 0;               // every open fails with this
        bool scsi = true;                // SG_IO understood (else ENOTTY)
        int sgErrno = 0;                 // SG_IO ioctl fails with this
        bool checkCondition = false;     // every command: CHECK CONDITION, NOT READY
        int readResidual = 0;            // READ(10) leaves this many bytes untransferred
        std::vector<uint8_t> toc;        // READ TOC answer (length field as given)
        int64_t capacityLastLba = -1;    // READ CAPACITY override
        int ioErrno = 0;                 // pread/pwrite fail with this
        int sizeErrno = 0;               // BLKGETSIZE64 fails with this
        size_t maxChunk = 0;             // pread/pwrite move at most this much per call
        bool blkFlushFails = false;
        std::function<void()> onClose;  // runs inside closeNode
        // records
        bool doorLocked = false;
        int exclusiveOpens = 0;
        int syncs = 0, cacheDrops = 0, flushes = 0;
        std::vector<int> openFlags;

        uint64_t size() const {
            if (!mediaPresent) return 0;
            if (parent) return partitionBlocks * parent->blockSize;
            return data.size();
        }
        uint8_t* bytes() { return parent ? parent->data.data() + partitionStartBlock * parent->blockSize : data.data(); }
    };

    FakeDevicePlatform() = default;

    // A whole disk of `bytes` zero bytes.
    Disk& addDisk(const std::string& path, unsigned maj, unsigned min, uint64_t bytes, uint32_t blockSize = 512) {
        auto d = std::make_unique<Disk>();
        d->path = path;
        d->kernelName = path.substr(path.find_last_of('/') + 1);
        d->rdev = makedev(maj, min);
        d->data.assign(bytes, 0);
        d->blockSize = blockSize;
        if (maj == 11) d->deviceType = "5";
        m_disks.push_back(std::move(d));
        return *m_disks.back();
    }

    Disk& addPartition(Disk& parent, const std::string& path, unsigned min, uint64_t startBlock, uint64_t blocks) {
        auto d = std::make_unique<Disk>();
        d->path = path;
        d->kernelName = path.substr(path.find_last_of('/') + 1);
        d->rdev = makedev(major(parent.rdev), min);
        d->parent = &parent;
        d->partitionStartBlock = startBlock;
        d->partitionBlocks = blocks;
        d->blockSize = parent.blockSize;
        m_disks.push_back(std::move(d));
        return *m_disks.back();
    }

    // Every CDB sent, in order.
    std::vector<std::vector<uint8_t>> cdbLog() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_cdbs;
    }
    void clearCdbLog() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_cdbs.clear();
    }
    // CDBs with this operation code.
    std::vector<std::vector<uint8_t>> cdbs(uint8_t op) {
        std::vector<std::vector<uint8_t>> out;
        for (auto& c : cdbLog())
            if (!c.empty() && c[0] == op) out.push_back(c);
        return out;
    }
    int openHandles() {
        std::lock_guard<std::mutex> g(m_mutex);
        return static_cast<int>(m_handles.size());
    }

    NodeInfo statPath(const std::string& path) override {
        if (Disk* d = byPath(path)) {
            NodeInfo i;
            i.kind = NodeKind::Block;
            i.rdev = d->rdev;
            return i;
        }
        return LinuxVMIOPlatform::statPath(path);
    }
    NodeInfo statHandle(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::statHandle(h);
        Disk* d = byHandle(h);
        if (!d) {
            errno = EBADF;
            return NodeInfo{};
        }
        NodeInfo i;
        i.kind = NodeKind::Block;
        i.rdev = d->rdev;
        return i;
    }
    intptr_t openNode(const std::string& path, int flags) override {
        Disk* d = byPath(path);
        if (!d) return LinuxVMIOPlatform::openNode(path, flags);
        std::lock_guard<std::mutex> g(m_mutex);
        d->openFlags.push_back(flags);
        if (d->openErrno) return fail(d->openErrno);
        const bool write = (flags & O_ACCMODE) != O_RDONLY;
        if (write && d->readOnly && d->refuseWriteOpen) return fail(EROFS);
        if (flags & O_EXCL) {
            if (d->mounted || d->exclusiveOpens > 0 || (d->parent && d->parent->exclusiveOpens > 0)) return fail(EBUSY);
            d->exclusiveOpens++;
        }
        intptr_t h = m_nextHandle++;
        m_handles[h] = Open{d, flags};
        return h;
    }
    int closeNode(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::closeNode(h);
        if (Disk* d = byHandle(h))
            if (d->onClose) d->onClose();
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_handles.find(h);
        if (it == m_handles.end()) return fail(EBADF);
        if (it->second.flags & O_EXCL) it->second.disk->exclusiveOpens--;
        m_handles.erase(it);
        return 0;
    }
    ssize_t readAt(intptr_t h, void* buf, size_t count, uint64_t offset) override {
        if (!isFake(h)) return LinuxVMIOPlatform::readAt(h, buf, count, offset);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        if (d->ioErrno) return fail(d->ioErrno);
        if (!d->mediaPresent) return fail(ENOMEDIUM);
        const uint64_t size = d->size();
        if (offset >= size) return 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
        if (d->maxChunk) n = std::min(n, d->maxChunk);
        std::memcpy(buf, d->bytes() + offset, n);
        return static_cast<ssize_t>(n);
    }
    ssize_t writeAt(intptr_t h, const void* buf, size_t count, uint64_t offset) override {
        if (!isFake(h)) return LinuxVMIOPlatform::writeAt(h, buf, count, offset);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        if ((flagsOf(h) & O_ACCMODE) == O_RDONLY) return fail(EBADF);
        if (d->ioErrno) return fail(d->ioErrno);
        if (d->readOnly) return fail(EPERM);
        const uint64_t size = d->size();
        if (offset >= size) return fail(ENOSPC);
        size_t n = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
        if (d->maxChunk) n = std::min(n, d->maxChunk);
        std::memcpy(d->bytes() + offset, buf, n);
        return static_cast<ssize_t>(n);
    }
    int syncNode(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::syncNode(h);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        d->syncs++;
        return 0;
    }
    int dropCache(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::dropCache(h);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        d->cacheDrops++;
        return 0;
    }
    int blkSize64(intptr_t h, uint64_t* bytes) override {
        if (!isFake(h)) return LinuxVMIOPlatform::blkSize64(h, bytes);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        if (d->sizeErrno) return fail(d->sizeErrno);
        *bytes = d->size();
        return 0;
    }
    int blkSectorSize(intptr_t h, int* bytes) override {
        if (!isFake(h)) return LinuxVMIOPlatform::blkSectorSize(h, bytes);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        *bytes = static_cast<int>(d->blockSize);
        return 0;
    }
    int blkReadOnly(intptr_t h, int* ro) override {
        if (!isFake(h)) return LinuxVMIOPlatform::blkReadOnly(h, ro);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        *ro = (d->parent ? d->parent->readOnly : d->readOnly) ? 1 : 0;
        return 0;
    }
    int blkFlush(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::blkFlush(h);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        d->flushes++;
        return d->blkFlushFails ? fail(EACCES) : 0;
    }
    int cdromLockDoor(intptr_t h, bool lock) override {
        if (!isFake(h)) return LinuxVMIOPlatform::cdromLockDoor(h, lock);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        if (!isCd(*d)) return fail(EINVAL);
        d->doorLocked = lock;
        return 0;
    }
    int cdromDriveStatus(intptr_t h) override {
        if (!isFake(h)) return LinuxVMIOPlatform::cdromDriveStatus(h);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        if (!isCd(*d)) return fail(EINVAL);
        return d->mediaPresent ? CDS_DISC_OK : CDS_NO_DISC;
    }
    std::optional<std::string> readSysAttr(uint64_t rdev, const std::string& rel) override {
        Disk* d = byRdev(rdev);
        if (!d) return LinuxVMIOPlatform::readSysAttr(rdev, rel);
        if (rel.rfind("../", 0) == 0) {
            if (!d->parent) return std::nullopt;
            return readSysAttr(d->parent->rdev, rel.substr(3));
        }
        if (rel == "partition") return d->parent ? std::optional<std::string>("1") : std::nullopt;
        if (rel == "dev") return std::to_string(major(d->rdev)) + ":" + std::to_string(minor(d->rdev));
        if (rel == "removable") return std::string(d->removable ? "1" : "0");
        if (rel == "queue/logical_block_size") return std::to_string(d->blockSize);
        if (rel == "device/type") {
            if (d->deviceType.empty()) return std::nullopt;
            return d->deviceType;
        }
        return std::nullopt;
    }
    std::string sysDevicePath(uint64_t rdev) override {
        Disk* d = byRdev(rdev);
        if (!d) return LinuxVMIOPlatform::sysDevicePath(rdev);
        if (d->parent) return sysDevicePath(d->parent->rdev) + "/" + d->kernelName;
        const std::string bus = d->usb ? "/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0" : "/ata1/host0/target0:0:0/0:0:0:0";
        return "/sys/devices/pci0000:00/0000:00:14.0" + bus + "/block/" + d->kernelName;
    }
    std::vector<BlockDeviceName> listBlockDevices() override {
        std::vector<BlockDeviceName> out;
        for (auto& d : m_disks)
            if (!d->parent) out.push_back(BlockDeviceName{d->kernelName, d->rdev});
        return out;
    }

    int sgIo(intptr_t h, SgCommand& cmd) override {
        if (!isFake(h)) return LinuxVMIOPlatform::sgIo(h, cmd);
        Disk* d = byHandle(h);
        if (!d) return fail(EBADF);
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_cdbs.emplace_back(cmd.cdb, cmd.cdb + cmd.cdbLength);
        }
        if (!d->scsi) return fail(ENOTTY);
        if (d->sgErrno) return fail(d->sgErrno);
        cmd.scsiStatus = cmd.hostStatus = cmd.driverStatus = 0;
        cmd.residual = static_cast<int>(cmd.dataLength);
        if (d->checkCondition || !d->mediaPresent) return checkCondition(cmd, 0x02, 0x3A);
        const uint8_t* c = cmd.cdb;
        auto* data = static_cast<uint8_t*>(cmd.data);
        switch (c[0]) {
            case 0x00:  // TEST UNIT READY
                cmd.residual = 0;
                return 0;
            case 0x28:    // READ(10)
            case 0x2A: {  // WRITE(10)
                const uint64_t lba = be32(c + 2), n = (uint32_t(c[7]) << 8) | c[8];
                const uint64_t bytes = n * d->blockSize;
                if ((lba + n) * d->blockSize > d->size() || bytes > cmd.dataLength) return checkCondition(cmd, 0x05, 0x21);
                if (c[0] == 0x2A && d->readOnly) return checkCondition(cmd, 0x07, 0x27);
                if (c[0] == 0x28) {
                    const uint64_t moved = bytes - std::min<uint64_t>(bytes, d->readResidual);
                    std::memcpy(data, d->bytes() + lba * d->blockSize, moved);
                    cmd.residual = static_cast<int>(cmd.dataLength - moved);
                } else {
                    std::memcpy(d->bytes() + lba * d->blockSize, data, bytes);
                    cmd.residual = static_cast<int>(cmd.dataLength - bytes);
                }
                return 0;
            }
            case 0x43: {  // READ TOC
                std::vector<uint8_t> toc = d->toc;
                if (toc.empty()) toc = defaultToc();
                const size_t n = std::min<size_t>(toc.size(), cmd.dataLength);
                std::memcpy(data, toc.data(), n);
                cmd.residual = static_cast<int>(cmd.dataLength - n);
                return 0;
            }
            case 0x25: {  // READ CAPACITY(10)
                const uint64_t blocks = d->size() / d->blockSize;
                const uint32_t last = d->capacityLastLba >= 0 ? uint32_t(d->capacityLastLba) : uint32_t(blocks ? blocks - 1 : 0);
                putBe32(data, last);
                putBe32(data + 4, d->blockSize);
                cmd.residual = static_cast<int>(cmd.dataLength - std::min<uint32_t>(8, cmd.dataLength));
                return 0;
            }
            default:
                return checkCondition(cmd, 0x05, 0x20);
        }
    }

    // A one-track TOC (data track 1, lead-out after the disc).
    static std::vector<uint8_t> defaultToc() {
        return {0x00, 0x12, 0x01, 0x01, 0, 0x14, 0x01, 0, 0, 0, 0, 0, 0, 0x14, 0xAA, 0, 0, 0, 0x10, 0};
    }

private:
    struct Open {
        Disk* disk;
        int flags;
    };
    static constexpr intptr_t kFirstHandle = 1 << 20;

    static bool isCd(const Disk& d) { return major(d.rdev) == 11 || d.deviceType == "5"; }
    static bool isFake(intptr_t h) { return h >= kFirstHandle; }
    static int fail(int e) {
        errno = e;
        return -1;
    }
    static uint32_t be32(const uint8_t* p) {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }
    static void putBe32(uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v >> 24);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 8);
        p[3] = uint8_t(v);
    }
    static int checkCondition(SgCommand& cmd, uint8_t key, uint8_t asc) {
        cmd.scsiStatus = 0x02;
        cmd.driverStatus = 0x08;  // sense data follows
        std::memset(cmd.sense, 0, sizeof cmd.sense);
        cmd.sense[0] = 0x70;
        cmd.sense[2] = key;
        cmd.sense[7] = 10;
        cmd.sense[12] = asc;
        cmd.senseLength = 18;
        return 0;
    }
    Disk* byPath(const std::string& p) {
        for (auto& d : m_disks) {
            if (d->path == p) return d.get();
            for (auto& a : d->aliases)
                if (a == p) return d.get();
        }
        return nullptr;
    }
    Disk* byRdev(uint64_t rdev) {
        for (auto& d : m_disks)
            if (d->rdev == rdev) return d.get();
        return nullptr;
    }
    Disk* byHandle(intptr_t h) {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_handles.find(h);
        return it == m_handles.end() ? nullptr : it->second.disk;
    }

    int flagsOf(intptr_t h) {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_handles.find(h);
        return it == m_handles.end() ? 0 : it->second.flags;
    }

    std::vector<std::unique_ptr<Disk>> m_disks;
    std::map<intptr_t, Open> m_handles;
    intptr_t m_nextHandle = kFirstHandle;
    std::vector<std::vector<uint8_t>> m_cdbs;
    std::mutex m_mutex;
};

// Puts a platform under VMIO for one scope.
class ScopedPlatform {
public:
    explicit ScopedPlatform(VMIOPlatform& p) : m_old(VMIO::setPlatform(&p)) {}
    ~ScopedPlatform() { VMIO::setPlatform(m_old); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    VMIOPlatform* m_old;
};
