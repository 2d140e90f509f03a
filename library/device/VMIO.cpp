#include "device/VMIO.h"

#include <climits>  // before linux/cdrom.h: CDSL_CURRENT uses INT_MAX
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <mutex>
#include <string>
#include <sys/sysmacros.h>

#include "base/DebugLog.h"
#include "device/LinuxVMIOPlatform.h"
#include "platform/NativePath.h"
#include "platform/SystemInfo.h"

namespace {

std::atomic<VMIOPlatform*> g_platform{nullptr};
std::atomic<int> g_errorMode{0};
std::atomic<int> g_savedErrorMode{0};
std::once_flag g_versionLogged;

constexpr uint64_t kMaxDiskBytes = 2199023255040ULL;  // (2^32 - 1) * 512
constexpr uint32_t kReadTimeoutMs = 60000;
constexpr uint32_t kWriteTimeoutMs = 6000000;

const wchar_t* tf(bool b) { return b ? L"TRUE" : L"FALSE"; }

std::wstring wideOf(const std::string& s) { return tw::fromNativePath(s); }

void logVersionOnce(const wchar_t* who) {
    std::call_once(g_versionLogged, [who] {
        LogMessageW(L"%ls VMIO Version: %ls\n", who, wideOf(VMIO::VERSION).c_str());
    });
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void putBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool isSdMajor(unsigned maj) {
    return maj == 8 || (maj >= 65 && maj <= 71) || (maj >= 128 && maj <= 135);
}

constexpr unsigned kCdMajor = 11;
constexpr unsigned kFloppyMajor = 2;

// What sysfs tells about a block device.
struct DeviceClass {
    int type = 3;
    bool partition = false;
    bool cd = false;
    bool floppy = false;
    bool removable = false;
    bool usb = false;
    bool network = false;
    bool sgCapable = false;  // whole sd/sr disk: SCSI commands allowed
    uint64_t diskRdev = 0;
};

bool parseDevNumber(const std::string& s, uint64_t* rdev) {
    unsigned maj = 0, min = 0;
    if (std::sscanf(s.c_str(), "%u:%u", &maj, &min) != 2) return false;
    *rdev = makedev(maj, min);
    return true;
}

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

DeviceClass classify(uint64_t rdev) {
    VMIOPlatform& p = VMIO::platform();
    DeviceClass c;
    c.diskRdev = rdev;
    c.partition = p.readSysAttr(rdev, "partition").has_value();
    if (c.partition) {
        // A partition answers with its disk's attributes.
        if (auto parent = p.readSysAttr(rdev, "../dev")) {
            uint64_t d = 0;
            if (parseDevNumber(*parent, &d)) c.diskRdev = d;
        }
    }
    const unsigned maj = major(static_cast<dev_t>(c.diskRdev));
    int scsiType = -1;
    if (auto t = p.readSysAttr(c.diskRdev, "device/type")) {
        // SCSI devices give a number; mmc devices give "SD" or "MMC".
        char* end = nullptr;
        long v = std::strtol(t->c_str(), &end, 10);
        if (end != t->c_str() && *end == '\0') scsiType = static_cast<int>(v);
    }
    const std::string sysPath = p.sysDevicePath(c.diskRdev);
    const std::string name = baseName(sysPath);
    c.cd = maj == kCdMajor || scsiType == 5;
    c.floppy = maj == kFloppyMajor;
    c.network = maj == 43 || name.rfind("nbd", 0) == 0 || name.rfind("rbd", 0) == 0;
    auto removable = p.readSysAttr(c.diskRdev, "removable");
    c.removable = removable && *removable == "1";
    c.usb = sysPath.find("/usb") != std::string::npos;
    c.sgCapable = !c.partition && (maj == kCdMajor || isSdMajor(maj));
    if (c.cd) c.type = 2;
    else if (c.floppy) c.type = 4;
    else if (c.network) c.type = 3;
    else if (c.removable || c.usb) c.type = 1;
    else c.type = 3;
    return c;
}

// Block device behind a handle; false for files and bad handles.
bool classifyHandle(VMIO::Handle h, DeviceClass* out) {
    VMIOPlatform::NodeInfo info = VMIO::platform().statHandle(h);
    if (info.kind != VMIOPlatform::NodeKind::Block) return false;
    *out = classify(info.rdev);
    return true;
}

enum class SgResult { Ok, NotSupported, Failed };

// Runs one command; Ok only when the SCSI, host and driver status are all
// good. bytes = what was really transferred.
SgResult runSg(VMIO::Handle h, VMIOPlatform::SgCommand& cmd, uint32_t* bytes) {
    *bytes = 0;
    if (VMIO::platform().sgIo(h, cmd) != 0) {
        const int e = tw::lastError();
        if (e == ENOTTY || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP) return SgResult::NotSupported;
        return SgResult::Failed;
    }
    if (cmd.scsiStatus != 0 || cmd.hostStatus != 0 || cmd.driverStatus != 0) {
        tw::setLastError(EIO);
        return SgResult::Failed;
    }
    int64_t n = int64_t(cmd.dataLength) - cmd.residual;
    if (n < 0) n = 0;
    if (n > int64_t(cmd.dataLength)) n = cmd.dataLength;
    *bytes = static_cast<uint32_t>(n);
    return SgResult::Ok;
}

// Reads until count bytes, end of file or an error (-1).
int64_t readFully(VMIO::Handle h, uint64_t offset, uint32_t count, void* buffer) {
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = VMIO::platform().readAt(h, p + done, count - done, offset + done);
        if (n < 0) {
            if (tw::lastError() == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

int64_t writeFully(VMIO::Handle h, uint64_t offset, uint32_t count, const void* buffer) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = VMIO::platform().writeAt(h, p + done, count - done, offset + done);
        if (n < 0) {
            if (tw::lastError() == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            tw::setLastError(EIO);
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

void fillRw10(VMIOPlatform::SgCommand& cmd, uint8_t op, uint32_t lba, uint32_t blocks) {
    cmd.cdbLength = 10;
    cmd.cdb[0] = op;
    putBe32(cmd.cdb + 2, lba);
    cmd.cdb[7] = uint8_t(blocks >> 8);
    cmd.cdb[8] = uint8_t(blocks);
}

VMIO::Handle openReadOnly(const std::string& path) {
    return VMIO::platform().openNode(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// TOC through READ TOC with the given CDB; 0 on failure.
int readToc(const wchar_t* who, const wchar_t* path, uint8_t* buffer, const uint8_t cdb[10]) {
    VMIO::Handle h = VMIO::OpenDevice(path, false, false);
    if (h == VMIO::INVALID_HANDLE) return 0;
    uint8_t toc[VMIO::TOC_BUFFER_BYTES] = {};
    VMIOPlatform::SgCommand cmd;
    std::memcpy(cmd.cdb, cdb, 10);
    cmd.cdbLength = 10;
    cmd.direction = VMIOPlatform::SgDirection::FromDevice;
    cmd.data = toc;
    cmd.dataLength = sizeof toc;
    cmd.timeoutMs = kReadTimeoutMs;
    DeviceClass c;
    uint32_t got = 0;
    SgResult r = SgResult::NotSupported;
    if (classifyHandle(h, &c) && c.sgCapable) r = runSg(h, cmd, &got);
    else tw::setLastError(ENOTTY);
    if (r != SgResult::Ok || got < 4) {
        LogMessageW(L"%ls with SCSI_PASS_THROUGH_DIRECT for TOC command failed. dwLastError=%d\n", who,
                    r == SgResult::Ok ? EIO : tw::lastError());
        VMIO::platform().closeNode(h);
        return 0;
    }
    // The device's length field may claim more than the buffer or the transfer.
    uint32_t length = ((uint32_t(toc[0]) << 8) | toc[1]) + 2;
    length = std::min({length, VMIO::TOC_BUFFER_BYTES, got});
    LogMessageW(L"%ls toc.FirstTrack=%d  toc.LastTrack=%d  toc.length=%d\n", who, toc[2], toc[3],
                static_cast<int>(length));
    std::memcpy(buffer, toc, length);
    VMIO::platform().closeNode(h);
    return static_cast<int>(length);
}

}  // namespace

VMIOPlatform* VMIO::setPlatform(Platform* p) { return g_platform.exchange(p); }

VMIOPlatform& VMIO::platform() {
    static LinuxVMIOPlatform real;
    VMIOPlatform* p = g_platform.load();
    return p ? *p : real;
}

int VMIO::savedErrorMode() { return g_savedErrorMode.load(); }

void VMIO::AddPrefix(wchar_t* out, const wchar_t* name) {
    static const wchar_t* who = L"VMIO::AddPrefix:";
    if (!out || !name) {
        LogMessageW(L"%ls The input parameters is incorrect.\n", who);
        return;
    }
    std::wmemset(out, 0, 160);
    const size_t need = std::wcslen(name) + 4 + 2;
    if (need > 160) {
        LogMessageW(L"%ls The output buffer(%d) is not enough. Need: %d.\n", who, 160, static_cast<int>(need));
        return;
    }
    std::wcscpy(out, L"\\\\.\\");
    std::wcscat(out, name);
}

void VMIO::AddPrefixA(char* out, const char* name) {
    static const wchar_t* who = L"VMIO::AddPrefixA:";
    if (!out || !name) {
        LogMessageW(L"%ls The input parameters is incorrect.\n", who);
        return;
    }
    std::memset(out, 0, 80);
    const size_t need = std::strlen(name) + 4 + 1;
    if (need > 80) {
        LogMessageW(L"%ls The output buffer(%d) is not enough. Need: %d.\n", who, 80, static_cast<int>(need));
        return;
    }
    std::strcpy(out, "\\\\.\\");
    std::strcat(out, name);
}

namespace {

// Media check on a handle whose device class is known (null: not a device).
bool checkDrive(VMIO::Handle h, const DeviceClass* c) {
    static const wchar_t* who = L"VMIO::CheckDrive:";
    VMIOPlatform& p = VMIO::platform();
    bool ok = false;
    int status = -1;
    if (c) {
        bool decided = false;
        if (c->cd) {
            status = p.cdromDriveStatus(h);
            if (status >= 0) {
                ok = status == CDS_DISC_OK;
                decided = true;
            }
        }
        if (!decided && c->floppy) {
            // A legacy floppy reports its nominal size with no disk in it.
            uint8_t block[512];
            ok = readFully(h, 0, sizeof block, block) == int64_t(sizeof block);
            status = ok ? 0 : -1;
            decided = true;
        }
        if (!decided && c->sgCapable) {
            VMIOPlatform::SgCommand tur;  // TEST UNIT READY: six zero bytes
            tur.cdbLength = 6;
            tur.direction = VMIOPlatform::SgDirection::None;
            tur.timeoutMs = kReadTimeoutMs;
            uint32_t n = 0;
            SgResult r = runSg(h, tur, &n);
            if (r != SgResult::NotSupported) {
                ok = r == SgResult::Ok;
                status = tur.scsiStatus;
                decided = true;
            }
        }
        if (!decided) {
            uint64_t size = 0;
            if (p.blkSize64(h, &size) == 0) {
                ok = size > 0;
            } else {
                // A device that cannot tell its size is taken to hold its
                // medium; any other failure means it was taken out.
                const int e = tw::lastError();
                ok = e == ENOTTY || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP;
            }
            status = ok ? 0 : -1;
        }
    }
    LogMessageW(L"%ls handle: %i status: %i changeCount %d\n", who, static_cast<int>(h), status, 0);
    return ok;
}

}  // namespace

bool VMIO::CheckDrive(Handle h) {
    if (h == INVALID_HANDLE) return false;
    DeviceClass c;
    return checkDrive(h, classifyHandle(h, &c) ? &c : nullptr);
}

bool VMIO::StorageCheckVerify(const wchar_t* path) {
    static const wchar_t* who = L"VMIO::StorageCheckVerify:";
    logVersionOnce(who);
    if (!path) return false;
    Handle h = openReadOnly(tw::toNativePath(path));
    if (h == INVALID_HANDLE) {
        LogMessageW(L"%ls CreateFile failed: %i\n", who, tw::lastError());
        return false;
    }
    bool ok = CheckDrive(h);
    platform().closeNode(h);
    return ok;
}

int VMIO::FindDrives(DriveTable* table) {
    static const wchar_t* who = L"VMIO::FindDrives:";
    logVersionOnce(who);
    if (!table) return 0;
    table->count = 0;
    Platform& p = platform();
    std::vector<VMIOPlatform::BlockDeviceName> disks = p.listBlockDevices();
    std::sort(disks.begin(), disks.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    auto add = [&](const std::string& name, const std::string& target) {
        DriveTableEntry& e = table->entries[table->count];
        std::memset(&e, 0, sizeof e);
        std::strncpy(e.name, name.c_str(), sizeof e.name - 1);
        std::strncpy(e.target, target.c_str(), sizeof e.target - 1);
        table->count++;
    };
    for (const auto& d : disks) {
        if (table->count >= MAX_DRIVES) {
            LogMessageW(L"%ls drive table full (%d entries), ignoring the rest\n", who, MAX_DRIVES);
            break;
        }
        const std::string name = "/dev/" + d.name;
        const std::wstring wname = wideOf(name);
        const std::string target = p.sysDevicePath(d.rdev);
        const std::wstring wtarget = wideOf(target);
        DeviceClass c = classify(d.rdev);
        if (c.cd || c.floppy || c.removable) {
            LogMessageW(L"%ls device is a CD, floppy or harddisk namePtr: %ls\n", who, wtarget.c_str());
            add(name, target);
            continue;
        }
        if (c.network) {
            LogMessageW(L"%ls This is a network drive, skipping (%ls)\n", who, wname.c_str());
            continue;
        }
        if (!c.usb) continue;  // fixed disks, loop, dm, md, zram, ...
        if (auto lbs = p.readSysAttr(d.rdev, "queue/logical_block_size")) {
            long bs = std::strtol(lbs->c_str(), nullptr, 10);
            if (bs != 512) {
                LogMessageW(L"The sector size of Drive: %ls is not supported BytesPerSector=%ld\n",
                            wname.c_str(), bs);
                continue;
            }
        } else {
            LogMessageW(L"GetDiskFreeSpace driveName=%ls fail\n", wname.c_str());
        }
        Handle h = openReadOnly(name);
        if (h == INVALID_HANDLE) {
            if (tw::lastError() == EACCES) {
                LogMessageW(L"%ls Adding LOCKED drive driveName=%ls namePtr=%ls\n", who, wname.c_str(),
                            wtarget.c_str());
                add(name, target);
            } else {
                LogMessageW(L"%ls CreateFile FAILED (open) driveName=%ls namePtr=%ls\n", who,
                            wname.c_str(), wtarget.c_str());
            }
            continue;
        }
        if (CheckDrive(h)) {
            LogMessageW(L"%ls Adding USB Device: %ls\n", who, wname.c_str());
            add(name, target);
        } else {
            LogMessageW(L"%ls Device has no media: Not Adding Device: %ls\n", who, wname.c_str());
        }
        p.closeNode(h);
    }
    LogMessageW(L"%ls found: %i drives\n", who, static_cast<int>(table->count));
    return table->count;
}

bool VMIO::GetBlockDeviceCapacity(const wchar_t* path, Capacity* capacity) {
    static const wchar_t* who = L"VMIO::GetBlockDeviceCapacity:";
    if (!path || !capacity) return false;
    Handle h = OpenDevice(path, false, false);
    if (h == INVALID_HANDLE) return false;
    Platform& p = platform();
    uint64_t size = 0;
    int sectorSize = 0;
    bool ok = p.blkSize64(h, &size) == 0 && p.blkSectorSize(h, &sectorSize) == 0 && size > 0 &&
              sectorSize > 0;
    if (ok && size > kMaxDiskBytes) {
        LogMessageW(L"%ls QuadPart too big %lld\n", who, static_cast<long long>(size));
        ok = false;
    }
    if (ok) {
        capacity->blocks = static_cast<uint32_t>(size / static_cast<uint64_t>(sectorSize));
        capacity->blockSize = static_cast<uint32_t>(sectorSize);
    }
    LogMessageW(L"%ls HANDLE CLOSING %d cdDrivename %ls capacity(blocks) %lu blockSize: %lu\n", who,
                static_cast<int>(h), path, static_cast<unsigned long>(capacity->blocks),
                static_cast<unsigned long>(capacity->blockSize));
    p.closeNode(h);
    return ok;
}

VMIO::Handle VMIO::OpenFile(const wchar_t* path, bool write) {
    if (!path) return INVALID_HANDLE;
    Platform& p = platform();
    Handle h = p.openNode(tw::toNativePath(path), (write ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (h == INVALID_HANDLE) {
        LogLastError(L"VMIO::OpenFile");
        return INVALID_HANDLE;
    }
    // A FIFO or directory named like an image is no image.
    if (p.statHandle(h).kind != VMIOPlatform::NodeKind::Regular) {
        p.closeNode(h);
        tw::setLastError(EINVAL);
        LogLastError(L"VMIO::OpenFile");
        return INVALID_HANDLE;
    }
    return h;
}

VMIO::Handle VMIO::OpenDevice(const wchar_t* path, bool lock, bool write) {
    static const wchar_t* who = L"VMIO::OpenDevice:";
    if (!path) return INVALID_HANDLE;
    int flags = (write ? (O_RDWR | O_DSYNC) : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
    // A device is never written without holding it exclusively.
    if (lock || write) {
        flags |= O_EXCL;
        LogMessageW(L"%ls Locking drive for drivename=%ls\n", who, path);
    }
    Handle h = platform().openNode(tw::toNativePath(path), flags);
    if (h == INVALID_HANDLE) {
        LogLastError(L"VMIO::OpenDevice");
        return INVALID_HANDLE;
    }
    g_savedErrorMode.store(g_errorMode.exchange(1));
    return h;
}

VMIO::Handle VMIO::OpenDrive(bool lock, const wchar_t* path, int openKind, bool write) {
    static const wchar_t* who = L"VMIO::OpenDrive:";
    LogMessageW(L"%ls (Type: %i) %ls Write[%ls] Lock[%ls]\n", who, openKind, path ? path : L"(null)",
                tf(write), tf(lock));
    if (!path) return INVALID_HANDLE;
    if (openKind == 1) return OpenFile(path, write);
    return OpenDevice(path, lock, write);
}

void VMIO::CloseDrive(Handle h, bool locked) {
    if (h == INVALID_HANDLE) return;
    Platform& p = platform();
    g_errorMode.store(g_savedErrorMode.load());
    VMIOPlatform::NodeInfo info = p.statHandle(h);
    if (info.kind == VMIOPlatform::NodeKind::Regular) {
        if (p.syncNode(h) != 0)
            LogMessageW(L"VMIO::CloseDrive fsync FAILED %ls\n", wideOf(tw::errorText(tw::lastError())).c_str());
    } else if (locked) {
        // Writes through SCSI went around the kernel's cache of the device:
        // flush it and drop what it holds so the next reader sees the disk.
        bool ok = p.syncNode(h) == 0;
        ok = p.dropCache(h) == 0 && ok;
        ok = p.blkFlush(h) == 0 && ok;
        if (!ok)
            LogMessageW(L"VMIO::CloseDrive DeviceIoControl to dismount volume FAILED %ls\n",
                        wideOf(tw::errorText(tw::lastError())).c_str());
    }
    if (p.closeNode(h) != 0) LogLastError(L"VMIO::CloseDrive DeviceIoControl to CloseHandle FAILED");
}

bool VMIO::LockCD(Handle h) {
    if (h == INVALID_HANDLE) {
        LogMessageW(L"%ls calling (Prevent Removal) INVALID HANDLE\n", L"VMIO::LockCD:");
        return false;
    }
    if (platform().cdromLockDoor(h, true) != 0) {
        LogLastError(L"VMIO::LockCd (Prevent removal) error");
        return false;
    }
    return true;
}

bool VMIO::UnlockCD(Handle h) {
    if (h == INVALID_HANDLE) {
        LogMessageW(L"%ls calling (Allow Removal) INVALID HANDLE\n", L"VMIO::UnlockCD:");
        return false;
    }
    if (platform().cdromLockDoor(h, false) != 0) {
        LogLastError(L"VMIO::UnlockCD: error (Allow Removal) error");
        return false;
    }
    return true;
}

int VMIO::ReadSectors(Handle h, uint32_t bytes, uint32_t blockSize, uint32_t startBlock, void* buffer) {
    static const wchar_t* who = L"VMIO::ReadSectors:";
    if (h == INVALID_HANDLE || !buffer || blockSize == 0) return 0;
    LogMessageW(L"%ls handle=%ld, bs=%ld, bytes=%ld, start=%ld\n", who, static_cast<long>(h),
                static_cast<long>(blockSize), static_cast<long>(bytes), static_cast<long>(startBlock));
    tw::setLastError(0);
    DeviceClass c;
    const bool device = classifyHandle(h, &c);
    if (!checkDrive(h, device ? &c : nullptr)) return 0;
    if (bytes > MAX_READ_BYTES) {
        LogMessageW(L"%ls Number of bytes greater than 65536! limiting read (%ld)\n", who, static_cast<long>(bytes));
        bytes = MAX_READ_BYTES;
    }
    uint32_t blocks = std::min<uint32_t>(bytes / blockSize, 0xFFFF);
    if (blocks == 0) return 0;
    const uint32_t length = blocks * blockSize;
    if (device && c.sgCapable) {
        VMIOPlatform::SgCommand cmd;
        fillRw10(cmd, 0x28, startBlock, blocks);
        cmd.direction = VMIOPlatform::SgDirection::FromDevice;
        cmd.data = buffer;
        cmd.dataLength = length;
        cmd.timeoutMs = kReadTimeoutMs;
        uint32_t got = 0;
        SgResult r = runSg(h, cmd, &got);
        if (r == SgResult::Ok) return static_cast<int>(std::min(bytes, got));
        if (r == SgResult::Failed) {
            LogMessageW(L"%ls DeviceIOControl with SCSI_PASS_THROUGH_DIRECT command failed. dwLastError=%d\n",
                        who, tw::lastError());
            return 0;
        }
    }
    int64_t got = readFully(h, uint64_t(startBlock) * blockSize, length, buffer);
    if (got < 0) {
        LogMessageW(L"%ls read error GetLastError=%d\n", who, tw::lastError());
        return 0;
    }
    return static_cast<int>(std::min<int64_t>(bytes, got));
}

int VMIO::WriteSectors(Handle h, uint32_t bytes, uint32_t blockSize, uint32_t startBlock, const void* buffer) {
    static const wchar_t* who = L"VMIO::WriteSectors:";
    if (h == INVALID_HANDLE || !buffer || blockSize == 0) return 0;
    tw::setLastError(0);
    DeviceClass c;
    const bool device = classifyHandle(h, &c);
    if (!checkDrive(h, device ? &c : nullptr)) return 0;
    if (bytes > MAX_WRITE_BYTES)
        LogMessageW(L"%ls Attempting to write too much data using SCSI passthrough. length=%i\n", who,
                    static_cast<int>(bytes));
    // One command carries at most 65535 bytes of whole blocks; larger
    // requests are split so nothing is dropped.
    const uint32_t perCommand = std::min<uint32_t>(MAX_WRITE_BYTES / blockSize, 0xFFFF);
    if (perCommand == 0) return 0;
    const uint32_t totalBlocks = bytes / blockSize;
    const auto* src = static_cast<const uint8_t*>(buffer);
    uint64_t written = 0;
    uint32_t doneBlocks = 0;
    bool useSg = device && c.sgCapable;
    while (useSg && doneBlocks < totalBlocks) {
        const uint32_t n = std::min(perCommand, totalBlocks - doneBlocks);
        VMIOPlatform::SgCommand cmd;
        fillRw10(cmd, 0x2A, startBlock + doneBlocks, n);
        cmd.direction = VMIOPlatform::SgDirection::ToDevice;
        cmd.data = const_cast<uint8_t*>(src + uint64_t(doneBlocks) * blockSize);
        cmd.dataLength = n * blockSize;
        cmd.timeoutMs = kWriteTimeoutMs;
        uint32_t got = 0;
        SgResult r = runSg(h, cmd, &got);
        if (r == SgResult::NotSupported && doneBlocks == 0) {
            useSg = false;
            break;
        }
        if (r != SgResult::Ok) {
            LogMessageW(L"%ls DeviceIOControl with SCSI_PASS_THROUGH_DIRECT command failed. dwLastError=%d\n",
                        who, tw::lastError());
            break;
        }
        written += got;
        if (got < cmd.dataLength) break;
        doneBlocks += n;
    }
    if (!useSg && totalBlocks > 0) {
        int64_t n = writeFully(h, uint64_t(startBlock) * blockSize, totalBlocks * blockSize, src);
        if (n < 0) LogMessageW(L"%ls write failed: %d\n", who, tw::lastError());
        else written = static_cast<uint64_t>(n);
    }
    LogMessageW(L"%ls wrote %i bytes", who, static_cast<int>(written));
    return static_cast<int>(written);
}

int VMIO::GetCdToc(const wchar_t* path, uint8_t* buffer) {
    if (!path || !buffer) return 0;
    const uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
    return readToc(L"VMIO::GetCdToc:", path, buffer, cdb);
}

int VMIO::GetAlternateCdToc(const wchar_t* path, uint8_t* buffer, int msf, int format, int track) {
    if (!path || !buffer) return 0;
    if ((msf != 0 && msf != 1) || format < 0 || format > 5) return -1;
    const uint8_t cdb[10] = {0x43, uint8_t(msf * 2), uint8_t(format), 0, 0, 0, uint8_t(track), 0x03, 0x24, 0};
    return readToc(L"VMIO::GetAlternateCdToc:", path, buffer, cdb);
}

bool VMIO::GetCdCapacity(const wchar_t* path, Capacity* capacity) {
    static const wchar_t* who = L"VMIO::GetCdCapacity:";
    if (!path || !capacity) return false;
    Handle h = OpenDevice(path, false, false);
    if (h == INVALID_HANDLE) {
        if (tw::lastError() == EACCES) {
            *capacity = Capacity{0, 2048};
            return true;
        }
        LogMessageW(L"%ls OpenDevice error %d\n", who, tw::lastError());
        return false;
    }
    uint8_t data[8] = {};
    VMIOPlatform::SgCommand cmd;
    cmd.cdbLength = 10;
    cmd.cdb[0] = 0x25;
    cmd.direction = VMIOPlatform::SgDirection::FromDevice;
    cmd.data = data;
    cmd.dataLength = sizeof data;
    cmd.timeoutMs = kReadTimeoutMs;
    DeviceClass c;
    uint32_t got = 0;
    SgResult r = SgResult::NotSupported;
    bool checkCondition = false;
    if (classifyHandle(h, &c) && c.sgCapable) {
        r = runSg(h, cmd, &got);
        checkCondition = r == SgResult::Failed && cmd.scsiStatus == 2;
    } else {
        tw::setLastError(ENOTTY);
    }
    const int err = tw::lastError();
    platform().closeNode(h);
    if (r == SgResult::Ok && got >= 8) {
        const uint32_t last = be32(data);
        capacity->blocks = (last & 0x80000000u) ? 0 : last + 1;
        capacity->blockSize = be32(data + 4);
        return true;
    }
    LogMessageW(L"%ls with SCSI_PASS_THROUGH_DIRECT for GetCapacity command failed. dwLastError=%d\n", who,
                r == SgResult::Ok ? EIO : err);
    // A drive that is not ready or fails the transfer has no readable disc.
    if (checkCondition || (r == SgResult::Failed && err == EIO)) {
        *capacity = Capacity{0, 2048};
        return true;
    }
    return false;
}

bool VMIO::IsDriveRemovable(const char* deviceName) {
    static const wchar_t* who = L"VMIO::IsDriveRemovable:";
    if (!deviceName) return false;
    VMIOPlatform::NodeInfo info = platform().statPath(deviceName);
    if (info.kind != VMIOPlatform::NodeKind::Block) return false;
    DeviceClass c = classify(info.rdev);
    if (c.removable) LogMessageW(L"%ls Device is removable: %ls\n", who, wideOf(deviceName).c_str());
    return c.removable || c.usb;
}

bool VMIO::IsDeviceWritable(Handle h) {
    static const wchar_t* who = L"VMIO::IsDeviceWritable:";
    int ro = 1;
    bool ok = h != INVALID_HANDLE && platform().blkReadOnly(h, &ro) == 0 && ro == 0;
    LogMessageW(L"%ls result=%ls\n", who, tf(ok));
    return ok;
}

uint32_t VMIO::ReadDriveEx(Handle h, uint64_t offset, uint32_t bytes, void* buffer) {
    static const wchar_t* who = L"VMIO::ReadDriveEx:";
    if (h == INVALID_HANDLE || !buffer) return 0;
    tw::setLastError(0);
    if (offset > uint64_t(INT64_MAX)) {
        LogMessageW(L"%ls seek FAILED requested position=%ld\n", who, static_cast<long>(offset));
        return 0;
    }
    int64_t n = readFully(h, offset, bytes, buffer);
    if (n < 0) {
        LogMessageW(L"%ls read error GetLastError=%d\n", who, tw::lastError());
        return 0;
    }
    LogMessageW(L"%ls done, handle: %i bytes read: %i\n", who, static_cast<int>(h), static_cast<int>(n));
    return static_cast<uint32_t>(n);
}

uint32_t VMIO::WriteDriveEx(Handle h, uint64_t offset, uint32_t bytes, const void* buffer) {
    static const wchar_t* who = L"VMIO::WriteDriveEx:";
    if (h == INVALID_HANDLE || !buffer) return 0;
    tw::setLastError(0);
    if (offset > uint64_t(INT64_MAX)) {
        LogMessageW(L"%ls seek FAILED requested position=%ld\n", who, static_cast<long>(offset));
        return 0;
    }
    VMIOPlatform::NodeInfo info = platform().statHandle(h);
    // A write past an image's end would silently grow the file.
    if (info.kind == VMIOPlatform::NodeKind::Regular && offset + bytes > info.size) {
        tw::setLastError(ENOSPC);
        LogMessageW(L"%ls write failed: %d\n", who, tw::lastError());
        return 0;
    }
    int64_t n = writeFully(h, offset, bytes, buffer);
    if (n < 0) {
        LogMessageW(L"%ls write failed: %d\n", who, tw::lastError());
        return 0;
    }
    return static_cast<uint32_t>(n);
}

int VMIO::CheckForFile(const wchar_t* path) {
    if (!path) return 0;
    const size_t n = std::wcslen(path);
    if (n < 4) return 0;
    wchar_t suffix[5];
    for (int i = 0; i < 4; ++i) {
        wchar_t ch = path[n - 4 + i];
        suffix[i] = (ch >= L'A' && ch <= L'Z') ? wchar_t(ch - L'A' + L'a') : ch;
    }
    suffix[4] = 0;
    if (std::wcscmp(suffix, L".img") == 0) return 6;
    if (std::wcscmp(suffix, L".iso") == 0) return 5;
    return 0;
}

uint64_t VMIO::GetFileSize(const wchar_t* path) {
    if (!path) return 0;
    VMIOPlatform::NodeInfo info = platform().statPath(tw::toNativePath(path));
    return info.kind == VMIOPlatform::NodeKind::Regular ? info.size : 0;
}

int VMIO::GetLocalDriveType(const wchar_t* path, Capacity* capacityOut, int* hasMediaOut) {
    static const wchar_t* who = L"VMIO::GetLocalDriveType:";
    Capacity local;
    int localMedia = 0;
    Capacity& capacity = capacityOut ? *capacityOut : local;
    int& hasMedia = hasMediaOut ? *hasMediaOut : localMedia;
    LogMessageW(L"%ls Entered path [%ls]\n", who, path ? path : L"(null)");
    capacity = Capacity{0, 0};
    if (!path) return 0;
    auto done = [&](int type) {
        LogMessageW(L"%ls Returning returnType=%i\n", who, type);
        return type;
    };
    VMIOPlatform::NodeInfo info = platform().statPath(tw::toNativePath(path));
    if (info.kind != VMIOPlatform::NodeKind::Block) {
        int type = CheckForFile(path);
        // Only a regular file is an image; a missing one has no blocks.
        if (type != 0 && info.kind == VMIOPlatform::NodeKind::Other) type = 0;
        if (type != 0) {
            const uint32_t bs = type == 6 ? 512 : 2048;
            const uint64_t blocks = info.size / bs;
            if (blocks > 0xFFFFFFFFull) {
                capacity = Capacity{0, bs};
                LogMessageW(L"%ls Returning drive capacity error: %ls\n", who, path);
                return done(-1);
            }
            capacity = Capacity{static_cast<uint32_t>(blocks), bs};
            if (type == 6 && blocks > FLOPPY_MAX_BLOCKS) type = 7;
        }
        hasMedia = type != 0;
        return done(type);
    }
    DeviceClass c = classify(info.rdev);
    // A fixed disk is offered to no server drive, but the user named it:
    // it is probed like any disk so that what is said about it is true.
    if (StorageCheckVerify(path)) hasMedia = 1;
    if (c.type == 2) {
        if (hasMedia) {
            if (GetCdCapacity(path, &capacity)) return done(2);
            capacity = Capacity{0, 2048};
            return done(-1);
        }
        capacity = Capacity{0, 2048};
        return done(2);
    }
    if (!GetBlockDeviceCapacity(path, &capacity)) {
        capacity = Capacity{0, 512};
        LogMessageW(L"%ls Returning drive capacity error: %ls\n", who, path);
        return done(-1);
    }
    // Blocks other than 512 bytes cannot be offered as a disk or floppy.
    if (capacity.blockSize != 512) return done(-2);
    if (c.type == 3) return done(3);
    return done(capacity.blocks <= FLOPPY_MAX_BLOCKS ? 4 : 1);
}
