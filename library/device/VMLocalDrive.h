#pragma once
#include <cstdint>
#include <string>

#include "base/CopyableAtomic.h"
#include "device/VMIO.h"

// One local medium that can be offered to the server: a block device or an
// image file. Built from a path it probes the medium at once (refresh).
// Copies are deep; the open handle is shared by number, never closed by a
// copy or the destructor.
class VMLocalDrive {
public:
    static constexpr int LOCAL_DRIVE_IS_UNKNOWN_TYPE = 0;
    static constexpr int LOCAL_DRIVE_IS_REMOVABLE = 1;
    static constexpr int LOCAL_DRIVE_IS_CD = 2;
    static constexpr int LOCAL_DRIVE_IS_FLOPPY = 4;
    static constexpr int LOCAL_DRIVE_IS_CD_IMAGE = 5;
    static constexpr int LOCAL_DRIVE_IS_FLOPPY_IMAGE = 6;
    static constexpr int LOCAL_DRIVE_IS_REMOVABLE_IMAGE = 7;

    // Last-error codes of refresh.
    static constexpr int ERROR_NOT_WRITABLE = 901;
    static constexpr int ERROR_NOT_READABLE = 902;
    static constexpr int ERROR_NOT_SUPPORTED = 903;  // type or sector size
    static constexpr int ERROR_CAPACITY = 904;

    // More blocks than this get the largest CHS geometry, 16383/16/63.
    static constexpr uint32_t MAX_CHS_BLOCKS = 16450560;

    VMLocalDrive() = default;
    explicit VMLocalDrive(const wchar_t* path);
    explicit VMLocalDrive(const VMLocalDrive* other);
    VMLocalDrive(const VMLocalDrive&) = default;
    VMLocalDrive& operator=(const VMLocalDrive&) = default;
    ~VMLocalDrive() = default;

    // Probes the medium again; API_SUCCESS or API_ERROR (then lastError
    // says why). A mapped drive is left alone.
    int refresh();
    // Takes what a refresh of a copy found out about the medium (type,
    // sizes, geometry, flags, last error); id, path, handle, mapping and
    // marks stay. Lets a slow probe run without holding any lock.
    void takeMedium(const VMLocalDrive& probed);
    // Geometry from block 0 of the open handle; 0 when one was taken.
    int loadCHS(VMIO::Handle handle, int openKind);

    int getDriveId() const { return m_driveId; }
    void setDriveId(int id) { m_driveId = id; }
    int getLocalDriveType() const { return m_localDriveType; }
    int getLastError() const { return m_lastError; }
    void setLastError(int e) { m_lastError = e; }
    int getMappedTo() const { return m_mappedTo; }
    void setMappedTo(int id) { m_mappedTo = id; }
    int isMapped() const { return m_mappedTo != -1; }
    // Null when no path was given.
    const wchar_t* getPath() const { return m_hasPath ? m_path.c_str() : nullptr; }
    // Ignores null; a final U+2F2F is cut from the stored copy.
    void setPath(const wchar_t* path);
    VMIO::Handle getFileHandle() const { return m_fileHandle; }
    void setFileHandle(VMIO::Handle h) { m_fileHandle = h; }
    int isLocked() const { return m_locked; }
    void setLocked(int v) { m_locked = v; }
    int isWritable() const { return m_writable; }
    int isMounted() const { return m_mounted; }
    void setReadOnly(int v) { m_readOnly = v; }
    int isInReadOnlyMode() const { return m_writable ? m_readOnly.load() : 1; }
    int hasMedia() const { return m_hasMedia; }
    int isDrive() const { return m_isDrive; }
    void setIsDrive(int v) { m_isDrive = v; }
    int isUnmappedFromClient() const { return m_unmappedFromClient; }
    void setUnmappedFromClient(int v) { m_unmappedFromClient = v; }
    int getMapAsFloppy() const { return m_mapAsFloppy; }
    void setMapAsFloppy(int v) { m_mapAsFloppy = v; }
    unsigned getNumberOfBlocks() const { return m_numberOfBlocks; }
    unsigned getBlockSize() const { return m_blockSize; }
    unsigned getCylinders() const { return m_cylinders; }
    unsigned getHeads() const { return m_heads; }
    unsigned getSectors() const { return m_sectors; }
    // What map requests and served reads use: the first partition when
    // mapped as a floppy, else the whole medium.
    unsigned getLBAStart() const { return m_mapAsFloppy ? m_lbaStart.load() : 0u; }
    unsigned getBlocks() const { return m_mapAsFloppy ? m_blocksFloppy.load() : m_blocksWhole.load(); }
    int isMarkedForMapping() const { return m_markForMapping; }
    void setMarkForMapping(int v) { m_markForMapping = v; }
    int isMarkedForUpload() const { return m_markForUpload; }
    void setMarkForUpload(int v) { m_markForUpload = v; }
    int getAutomountIsHalted() const { return m_automountIsHalted; }
    void setAutomountIsHalted(int v) { m_automountIsHalted = v; }

private:
    // The session's threads read and write these while others read them.
    CopyableAtomic<int> m_driveId = -1;
    CopyableAtomic<int> m_localDriveType = 0;
    CopyableAtomic<int> m_lastError = 0;
    CopyableAtomic<int> m_mappedTo = -1;
    std::wstring m_path;
    bool m_hasPath = false;
    CopyableAtomic<VMIO::Handle> m_fileHandle = VMIO::INVALID_HANDLE;
    CopyableAtomic<int> m_locked = 0;
    CopyableAtomic<int> m_writable = 0;
    CopyableAtomic<int> m_mounted = 0;
    CopyableAtomic<int> m_readOnly = 0;
    CopyableAtomic<int> m_hasMedia = 0;
    CopyableAtomic<int> m_isDrive = 0;
    CopyableAtomic<int> m_unmappedFromClient = 0;
    CopyableAtomic<int> m_mapAsFloppy = 0;
    CopyableAtomic<unsigned> m_numberOfBlocks = 0;
    CopyableAtomic<unsigned> m_blockSize = 0;
    CopyableAtomic<unsigned> m_cylinders = 0;
    CopyableAtomic<unsigned> m_heads = 0;
    CopyableAtomic<unsigned> m_sectors = 0;
    CopyableAtomic<unsigned> m_lbaStart = 0;
    CopyableAtomic<unsigned> m_blocksWhole = 0;
    CopyableAtomic<unsigned> m_blocksFloppy = 0;
    CopyableAtomic<int> m_markForMapping = 0;
    CopyableAtomic<int> m_markForUpload = 0;
    CopyableAtomic<int> m_automountIsHalted = 0;
};
