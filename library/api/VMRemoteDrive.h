#pragma once
#include <cstdint>

#include "base/CopyableAtomic.h"

// One virtual drive the managed server offers. Owned by the drive list.
class VMRemoteDrive {
public:
    static constexpr int REMOTE_DRIVE_IDLE = 0;
    static constexpr int REMOTE_DRIVE_ATTACHED = 1;
    static constexpr int REMOTE_DRIVE_DISABLED = 2;
    static constexpr int REMOTE_DRIVE_BROKEN = 3;

    static constexpr int REMOTE_DRIVE_IS_UNKNOWN_TYPE = 0;
    static constexpr int REMOTE_DRIVE_IS_REMOVABLE = 1;
    static constexpr int REMOTE_DRIVE_IS_CD = 2;
    static constexpr int REMOTE_DRIVE_IS_FLOPPY = 4;

    VMRemoteDrive() = default;
    explicit VMRemoteDrive(const VMRemoteDrive* other);
    VMRemoteDrive(const VMRemoteDrive&) = default;
    VMRemoteDrive& operator=(const VMRemoteDrive&) = default;
    ~VMRemoteDrive() = default;

    int getDriveId() const { return m_driveId; }
    void setDriveId(int id) { m_driveId = id; }
    int getRemoteDriveType() const { return m_remoteDriveType; }
    void setRemoteDriveType(int type) { m_remoteDriveType = type; }
    int isRemoteReadOnly() const { return m_remoteReadOnly; }
    void setRemoteReadOnly(int readOnly) { m_remoteReadOnly = readOnly; }
    int getLastError() const { return m_lastError; }
    void setLastError(int error) { m_lastError = error; }
    int getStatus() const { return m_status; }
    void setStatus(int status) { m_status = status; }
    int getMappedTo() const { return m_mappedTo; }
    // Zeroes the byte counters; -1 (unmapped) makes the drive idle, any
    // other local id attached since now.
    void setMappedTo(int localId);
    int isAttachRequested() const { return m_attachRequest; }
    void setAttachRequest(int requested) { m_attachRequest = requested; }
    uint64_t getReadBytes() const { return m_readBytes; }
    void addReadBytes(int n);
    uint64_t getWriteBytes() const { return m_writeBytes; }
    void addWriteBytes(int n);
    int64_t getBeginMapTime() const { return m_beginMapTime; }
    // Seconds since the mapping began.
    uint64_t getMapDuration() const;

    int isMappedLocally() const;
    int isMappedRemotely() const;
    int isAvailable() const;

private:
    // The session's threads update these while others read them.
    CopyableAtomic<int> m_driveId = -1;
    CopyableAtomic<int> m_remoteDriveType = REMOTE_DRIVE_IS_UNKNOWN_TYPE;
    CopyableAtomic<int> m_remoteReadOnly = 0;
    CopyableAtomic<int> m_lastError = 0;
    CopyableAtomic<int> m_status = REMOTE_DRIVE_BROKEN;
    CopyableAtomic<int> m_mappedTo = -1;
    CopyableAtomic<int> m_attachRequest = 0;
    CopyableAtomic<uint64_t> m_readBytes = 0;
    CopyableAtomic<uint64_t> m_writeBytes = 0;
    CopyableAtomic<int64_t> m_beginMapTime = 0;
};
