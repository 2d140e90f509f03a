#pragma once
#include <cstdint>

#include "device/VMIOPlatform.h"

// The library's only door to local storage: classifies a path (block device
// or image file), opens, locks, probes, reads and writes it, and talks SCSI
// to whole sd/sr disks. All operations are stateless; the system calls go
// through a replaceable VMIOPlatform.
//
// Paths are wide; a path names a device when stat() (following links) says
// it is a block device, else it is an image file (".img" / ".iso").
class VMIO {
public:
    using Platform = VMIOPlatform;
    using Handle = intptr_t;
    static constexpr Handle INVALID_HANDLE = -1;

    static constexpr const char* VERSION = "2.0.0.3";
    // More blocks than this is larger than a floppy.
    static constexpr uint32_t FLOPPY_MAX_BLOCKS = 5898;
    static constexpr int MAX_DRIVES = 32;
    static constexpr uint32_t MAX_READ_BYTES = 65536;
    static constexpr uint32_t MAX_WRITE_BYTES = 65535;
    static constexpr uint32_t TOC_BUFFER_BYTES = 804;

    struct Capacity {
        uint32_t blocks = 0;
        uint32_t blockSize = 0;
    };

    struct DriveTableEntry {
        char name[512];    // "/dev/<kernel name>"
        char target[512];  // the device's sysfs directory
    };
    struct DriveTable {
        int32_t count;
        DriveTableEntry entries[MAX_DRIVES];
    };

    // Replaces the system calls (tests); null puts the real ones back.
    // Returns the one in force before. Not to be called while I/O runs.
    static Platform* setPlatform(Platform* platform);
    static Platform& platform();

    static void AddPrefix(wchar_t* out160, const wchar_t* name);
    static void AddPrefixA(char* out80, const char* name);

    static bool CheckDrive(Handle handle);
    static int FindDrives(DriveTable* table);
    static bool StorageCheckVerify(const wchar_t* path);
    static bool GetBlockDeviceCapacity(const wchar_t* path, Capacity* capacity);

    static Handle OpenFile(const wchar_t* path, bool write);
    // write false opens read-only; lock or write claims the device
    // exclusively (fails with EBUSY while it or a partition is mounted).
    static Handle OpenDevice(const wchar_t* path, bool lock, bool write = false);
    // openKind 1: image file (OpenFile), else device (OpenDevice).
    static Handle OpenDrive(bool lock, const wchar_t* path, int openKind, bool write);
    static void CloseDrive(Handle handle, bool locked);
    static bool LockCD(Handle handle);
    static bool UnlockCD(Handle handle);

    // Block transfers: SCSI READ(10)/WRITE(10) on whole sd/sr disks,
    // positioned reads/writes elsewhere. Results are bytes moved, 0 on failure.
    static int ReadSectors(Handle handle, uint32_t bytes, uint32_t blockSize, uint32_t startBlock,
                           void* buffer);
    static int WriteSectors(Handle handle, uint32_t bytes, uint32_t blockSize, uint32_t startBlock,
                            const void* buffer);

    // TOC into a buffer of at least TOC_BUFFER_BYTES; length or 0.
    static int GetCdToc(const wchar_t* path, uint8_t* buffer);
    // As GetCdToc with the READ TOC fields given; -1 for msf not 0/1 or
    // format outside 0..5.
    static int GetAlternateCdToc(const wchar_t* path, uint8_t* buffer, int msf, int format,
                                 int track);
    static bool GetCdCapacity(const wchar_t* path, Capacity* capacity);

    static bool IsDriveRemovable(const char* deviceName);
    static bool IsDeviceWritable(Handle handle);

    static uint32_t ReadDriveEx(Handle handle, uint64_t offset, uint32_t bytes, void* buffer);
    static uint32_t WriteDriveEx(Handle handle, uint64_t offset, uint32_t bytes, const void* buffer);

    // 6 for ".img", 5 for ".iso" (any case), else 0.
    static int CheckForFile(const wchar_t* path);
    // Type code 0..7, -1 capacity error, -2 unsupported sector size.
    static int GetLocalDriveType(const wchar_t* path, Capacity* capacity, int* hasMedia);

    // Size in bytes of an image file, 0 when it cannot be read.
    static uint64_t GetFileSize(const wchar_t* path);

    // Error mode kept for callers; it has no effect on Linux.
    static int savedErrorMode();
};
