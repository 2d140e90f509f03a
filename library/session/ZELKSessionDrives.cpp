// Drive mapping and session requests: map and unmap requests, the drive
// list request and its watchdog, read answers, the alternate table of
// contents, heartbeats and the scan of the machine's drives.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "api/VMRemoteDrive.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "protocol/GetVDiskInfo.h"
#include "protocol/Heartbeat.h"
#include "platform/NativePath.h"
#include "platform/WideText.h"
#include "protocol/ProtocolTUVO.h"
#include "protocol/ReadResponse.h"
#include "protocol/ServerImageDelete.h"
#include "protocol/VDiskAlternateTocData.h"
#include "protocol/VDiskRelease.h"
#include "protocol/VDiskRequest.h"
#include "protocol/VDiskRequest2.h"
#include "session/ZELKSession.h"

void ZELKSession::sendVDiskInfoRequest() {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    if (tuvo && tuvo->getClearTextReconnect()) {
        m_reconnectAttemptTimeout.store(30000);
        return;
    }
    if (m_stopping.load() || !m_sendThread) return;
    // Marked before it is queued, so an answer can never arrive first.
    m_waitingForVDiskInfoResponse.store(1);
    m_vdiskInfoRequestTime.store(nowSeconds());
    sendPacket(new GetVDiskInfo());
}

void ZELKSession::checkVDiskInfoResponse() {
    const int64_t requested = m_vdiskInfoRequestTime.load();
    if (!m_waitingForVDiskInfoResponse.load() || requested == 0) return;
    if (nowSeconds() - requested < 2) return;
    LogMessage("%s VDisk request failed, making callback.\n", "ZELKSession::checkVDiskInfoResponse:");
    if (m_driveList != nullptr) m_driveList->setLastRemoteAction(VMDriveList::DRIVE_LIST_FAILED);
    callDriveCallback(400);
}

namespace {

const char* const kMapping = "\nMapping %s to Remote Device[%i] as ";

// Blocks of the view the server is given: the partition of a floppy view,
// else the whole medium (a CD/DVD has no geometry view at all).
unsigned viewBlocks(const VMLocalDrive& ld) { return ld.getMapAsFloppy() ? ld.getBlocks() : ld.getNumberOfBlocks(); }

std::string pathText(const VMLocalDrive* ld) {
    return ld->getPath() != nullptr ? tw::toUtf8(ld->getPath()) : std::string();
}

// Same block device (by device number), or, for anything else, the same path text.
bool sameDrive(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) return false;
    struct stat sa {};
    struct stat sb {};
    if (::stat(tw::toNativePath(a).c_str(), &sa) == 0 && ::stat(tw::toNativePath(b).c_str(), &sb) == 0 &&
        S_ISBLK(sa.st_mode) && S_ISBLK(sb.st_mode))
        return sa.st_rdev == sb.st_rdev;
    return std::wcscmp(a, b) == 0;
}

bool isImageType(int type) {
    return type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE || type == VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY_IMAGE ||
           type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE_IMAGE;
}

void linkMapping(VMRemoteDrive* rd, VMLocalDrive* ld) {
    rd->setMappedTo(ld->getDriveId());
    ld->setMappedTo(rd->getDriveId());
    rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
}

}  // namespace

int ZELKSession::sendMapRequest(VMRemoteDrive* rd, VMLocalDrive* ld, int readOnly) {
    const char* who = "ZELKSession::sendMapRequest:";
    if (m_stopping.load() || !m_sendThread || rd == nullptr || ld == nullptr) return -1;
    // One medium is never served to two server drives.
    if (ld->getMappedTo() != -1 || rd->getMappedTo() != -1) {
        LogMessage("%s drive already mapped (local %d, remote %d)\n", who, ld->getMappedTo(), rd->getMappedTo());
        return -1;
    }
    // The medium is read and opened before the mapping lock is taken: a slow
    // device must not hold up the requests served from other drives.
    const int type = ld->getLocalDriveType();
    auto request = std::make_unique<VDiskRequest>(rd->getDriveId());
    request->setBlockSize(ld->getBlockSize());
    request->setBlockCount(viewBlocks(*ld));
    request->setReadOnly(type == VMLocalDrive::LOCAL_DRIVE_IS_CD || type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE ||
                         readOnly != 0);

    std::vector<uint8_t> toc(VMIO::TOC_BUFFER_BYTES, 0);
    int tocLength = 0;
    if (type == VMLocalDrive::LOCAL_DRIVE_IS_CD && ld->isDrive()) tocLength = VMIO::GetCdToc(ld->getPath(), toc.data());
    if (tocLength <= 0 || tocLength > int(toc.size())) tocLength = GetFixedToc(toc.data());
    request->setData(tocLength, toc.data());

    const int openKind = ld->isDrive() ? 2 : 1;
    VMIO::Handle handle = VMIO::INVALID_HANDLE;
    bool locked = false;
    if (type == VMLocalDrive::LOCAL_DRIVE_IS_CD) {
        if (ld->getPath() != nullptr)
            handle = openKind == 1 ? VMIO::OpenFile(ld->getPath(), false) : VMIO::OpenDevice(ld->getPath(), false, false);
    } else {
        // A CD/DVD image is never written: it is opened read-only whatever
        // the user chose.
        locked = readOnly == 0 && type != VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
        handle = VMIO::OpenDrive(locked, ld->getPath(), openKind, locked);
    }
    if (handle == VMIO::INVALID_HANDLE) {
        LogMessage("%s : Not mapping due to INVALID_HANDLE_VALUE\n", who);
        return -1;
    }
    // Media removal is locked on devices only; an image has no door.
    if (ld->isDrive()) VMIO::LockCD(handle);
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    if (!canPublishMapping(rd, ld, who)) {
        if (ld->isDrive()) VMIO::UnlockCD(handle);
        VMIO::CloseDrive(handle, locked);
        return -1;
    }
    ld->setFileHandle(handle);
    ld->setLocked(locked ? 1 : 0);
    if (isConsoleStyle()) {
        std::printf(kMapping, pathText(ld).c_str(), rd->getDriveId());
        std::fputs("Read Only.", stdout);
        std::fflush(stdout);
    }
    linkMapping(rd, ld);
    sendPacket(request.release());
    m_numMaps.fetch_add(1);
    if (isConsoleStyle()) print(" Success.\n");
    return 0;
}

int ZELKSession::sendMapRequest2(VMLocalDrive* ld, VMRemoteDrive* rd, int readOnly) {
    const char* who = "ZELKSession::sendMapRequest2:";
    if (m_stopping.load() || ld == nullptr || rd == nullptr || !m_sendThread) return -1;
    if (ld->getMappedTo() != -1 || rd->getMappedTo() != -1) {
        LogMessage("%s drive already mapped (local %d, remote %d)\n", who, ld->getMappedTo(), rd->getMappedTo());
        return -1;
    }
    // Opened before the mapping lock is taken, as for a CD/DVD.
    const bool write = readOnly == 0;
    const VMIO::Handle handle = VMIO::OpenDrive(write, ld->getPath(), ld->isDrive() ? 2 : 1, write);
    // A medium that cannot be opened is not offered: every read would fail.
    if (handle == VMIO::INVALID_HANDLE) {
        LogMessage("%s : Not mapping due to INVALID_HANDLE_VALUE\n", who);
        return -1;
    }
    auto request = std::make_unique<VDiskRequest2>(rd->getDriveId());
    request->setBlockSize(ld->getBlockSize());
    request->setBlockCount(viewBlocks(*ld));
    request->setGeometry(int(uint16_t(ld->getCylinders())), int(ld->getHeads()), int(ld->getSectors()));
    request->setReadOnly(readOnly != 0);
    // Media removal is locked on devices only; an image has no door.
    if (ld->isDrive()) VMIO::LockCD(handle);
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    if (!canPublishMapping(rd, ld, who)) {
        if (ld->isDrive()) VMIO::UnlockCD(handle);
        VMIO::CloseDrive(handle, write);
        return -1;
    }
    ld->setFileHandle(handle);
    ld->setLocked(write ? 1 : 0);
    // Served writes follow the drive's read-only mode: it is the mapping's.
    if (!write) ld->setReadOnly(1);
    if (isConsoleStyle()) {
        std::printf(kMapping, pathText(ld).c_str(), rd->getDriveId());
        std::printf("%s.\n", readOnly != 0 ? "Read Only" : "Read/Write");
        std::fflush(stdout);
    }
    linkMapping(rd, ld);
    sendPacket(request.release());
    m_numMaps.fetch_add(1);
    if (isConsoleStyle()) print(" Success.\n");
    return 0;
}

bool ZELKSession::canPublishMapping(VMRemoteDrive* rd, VMLocalDrive* ld, const char* who) {
    // What may have changed while the medium was being opened: the session
    // began to stop, another thread mapped either drive, or a drive list
    // merge took the remote drive away.
    if (m_stopping.load()) return false;
    if (ld->getMappedTo() != -1 || rd->getMappedTo() != -1) {
        LogMessage("%s drive already mapped (local %d, remote %d)\n", who, ld->getMappedTo(), rd->getMappedTo());
        return false;
    }
    VMRemoteDrive* listed = m_driveList != nullptr ? m_driveList->getRemoteDriveByID(rd->getDriveId()) : rd;
    if (listed != rd) {
        LogMessage("%s remote drive %d is no longer listed\n", who, rd->getDriveId());
        if (listed != nullptr) m_driveList->releaseRemoteDrive(listed);
        return false;
    }
    if (m_driveList != nullptr) m_driveList->releaseRemoteDrive(listed);
    return true;
}

void ZELKSession::sendVDiskAlternateTocData(int deviceIndex, int msf, int format, int track) {
    const char* who = "ZELKSession::sendVDiskAlternateTocData:";
    if (m_stopping.load() || !m_sendThread) return;
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    if (tuvo && tuvo->getClearTextReconnect()) {
        m_reconnectAttemptTimeout.store(30000);
        return;
    }
    if (m_driveList == nullptr) return;
    std::vector<uint8_t> toc(VMIO::TOC_BUFFER_BYTES, 0);
    int length = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
        // A drive the server never listed, or one not mapped, is answered
        // with the fixed table like any medium that has none of its own.
        VMRemoteDrive* rd = remoteDriveForRequest(deviceIndex);
        if (rd == nullptr) LogMessage("%s no remote drive with id %d\n", who, deviceIndex);
        VMLocalDrive* ld = rd == nullptr || rd->getMappedTo() < 0 ? nullptr
                                                                    : m_driveList->getLocalDriveByID(rd->getMappedTo());
        if (ld != nullptr && ld->isDrive() && ld->getLocalDriveType() == VMLocalDrive::LOCAL_DRIVE_IS_CD)
            length = VMIO::GetAlternateCdToc(ld->getPath(), toc.data(), msf, format, track);
        if (ld != nullptr) m_driveList->releaseLocalDrive(ld);
        if (rd != nullptr) m_driveList->releaseRemoteDrive(rd);
    }
    if (length <= 0 || length > int(toc.size())) length = GetFixedToc(toc.data());
    auto packet = std::make_unique<VDiskAlternateTocData>(deviceIndex);
    packet->setTocData(length, toc.data());
    sendPacket(packet.release());
}

VMRemoteDrive* ZELKSession::remoteDriveForRequest(int deviceIndex) {
    if (m_driveList == nullptr || deviceIndex < 0) return nullptr;
    return m_driveList->getRemoteDriveByID(deviceIndex);
}

void ZELKSession::unmapAllDrives() {
    if (m_driveList == nullptr) return;
    int released = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
        const int n = m_driveList->getNumberOfRemoteDrives();
        for (int i = 0; i < n; ++i) {
            VMRemoteDrive* rd = m_driveList->getRemoteDriveAt(i);
            if (rd == nullptr) break;
            const int mappedTo = rd->getMappedTo();
            VMLocalDrive* ld = mappedTo == -1 ? nullptr : m_driveList->getLocalDriveByID(mappedTo);
            if (ld != nullptr && ld->getMappedTo() != -1) {
                ++released;
                // Media removal is locked on devices only; an image has no door.
                if (ld->isDrive()) VMIO::UnlockCD(ld->getFileHandle());
                VMIO::CloseDrive(ld->getFileHandle(), ld->isLocked() != 0);
                ld->setFileHandle(VMIO::INVALID_HANDLE);
                ld->setLocked(0);
                // The server knows the drive by its id.
                sendPacketWhileStopping(new VDiskRelease(rd->getDriveId()));
                ld->setMappedTo(-1);
                rd->setMappedTo(-1);
                rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
                m_numMaps.fetch_sub(1);
            }
            if (ld != nullptr) m_driveList->releaseLocalDrive(ld);
            m_driveList->releaseRemoteDrive(rd);
        }
    }
    if (released == 0) {
        sendVDiskInfoRequest();
    } else if (isConsoleStyle()) {
        print("\nAll drives released.");
    }
}

void ZELKSession::unmapLocalDrive(VMLocalDrive* ld, uint8_t sendRelease) {
    if (ld == nullptr || m_driveList == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    const int remoteId = ld->getMappedTo();
    if (remoteId == -1) return;
    VMRemoteDrive* rd = m_driveList->getRemoteDriveByID(remoteId);
    if (rd == nullptr) return;
    ld->setMappedTo(-1);
    rd->setMappedTo(-1);
    rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
    if (ld->getFileHandle() != VMIO::INVALID_HANDLE) {
        if (ld->isDrive()) VMIO::UnlockCD(ld->getFileHandle());
        VMIO::CloseDrive(ld->getFileHandle(), ld->isLocked() != 0);
        ld->setFileHandle(VMIO::INVALID_HANDLE);
        ld->setLocked(0);
    }
    if (sendRelease != 0) sendVDiskRelease(new VDiskRelease(remoteId));
    m_numMaps.fetch_sub(1);
    m_driveList->releaseRemoteDrive(rd);
}

void ZELKSession::unmapRemoteDrive(VMRemoteDrive* rd) {
    const char* who = "ZELKSession::unmapRemoteDrive:";
    if (rd == nullptr) {
        LogMessage("%s The input rd is NULL.\n", who);
        return;
    }
    if (rd->getDriveId() == -1) {
        LogMessage("%s The ID of remote drive is -1.\n", who);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    rd->setMappedTo(-1);
    rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
    sendPacket(new VDiskRelease(rd->getDriveId()));
    m_numMaps.fetch_sub(1);
}

void ZELKSession::sendVDiskRelease(VDiskRelease* packet) { sendPacket(packet); }

void ZELKSession::sendResponseData(VMLocalDrive* ld, int byteCount, int maxBlocks, VMRemoteDrive* rd,
                                   uint32_t startValue, const uint8_t* data) {
    if (m_stopping.load() || ld == nullptr || rd == nullptr || data == nullptr || byteCount <= 0) return;
    const int64_t blockSize = ld->getBlockSize();
    if (blockSize <= 0) return;
    const int64_t blocks = byteCount / blockSize;
    // No maximum means one packet; a sub-block tail is never sent.
    int64_t perPacket = maxBlocks > 0 ? std::min<int64_t>(blocks, maxBlocks) : blocks;
    if (perPacket <= 0) perPacket = 1;
    if (blocks * blockSize != byteCount)
        LogMessage("%s dropping %d bytes after the last whole block\n", "ZELKSession::sendResponseData:",
                   int(byteCount - blocks * blockSize));
    int64_t done = 0;
    while (done < blocks && !m_stopping.load()) {
        const int64_t n = std::min(perPacket, blocks - done);
        auto packet = std::make_unique<ReadResponse>(rd->getDriveId());
        packet->setBlockValue(startValue);
        packet->setData(uint32_t(n), data + done * blockSize, int(n * blockSize));
        sendPacket(packet.release());
        done += n;
    }
}

void ZELKSession::sendHeartbeatMsg() {
    if (m_stopping.load()) return;
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    const bool tuvoFraming = tuvo && tuvo->getPeerTuvoVersion() > 0x0101 && m_serverHeartbeat.load() != 0;
    sendPacket(new Heartbeat(tuvoFraming));
}

void ZELKSession::sendServerImageDeleteRequest(uint16_t imageIndex) {
    if (m_stopping.load() || !m_sendThread) return;
    sendPacket(new ServerImageDelete(imageIndex));
}

namespace {

// Refreshes the listed drives the scan found, adds new ones, and unmaps and
// drops devices it no longer finds (images stay).
void refreshListedDrives(ZELKSession& session, VMDriveList* list, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        if (session.isStopping()) return;
        bool known = false;
        const int n = list->getNumberOfLocalDrives();
        for (int i = 0; i < n && !known; ++i) {
            VMLocalDrive* ld = list->getLocalDriveAt(i);
            if (ld == nullptr) break;
            if (sameDrive(ld->getPath(), name.c_str())) {
                known = true;
                const int readOnly = ld->isInReadOnlyMode();
                ld->refresh();
                ld->setReadOnly(readOnly);
            }
            list->releaseLocalDrive(ld);
        }
        if (known) continue;
        auto drive = std::make_unique<VMLocalDrive>(name.c_str());
        if (drive->getLocalDriveType() == VMLocalDrive::LOCAL_DRIVE_IS_UNKNOWN_TYPE) continue;
        VMLocalDrive* raw = drive.get();
        const int id = list->addLocalDrive(raw);
        // The list keeps a drive it added; one whose path it already had stays ours.
        if (list->getLocalDriveByID(id) == raw) {
            VMLocalDrive* held = raw;
            list->releaseLocalDrive(held);
            drive.release();
        }
    }
    std::vector<int> gone;
    const int n = list->getNumberOfLocalDrives();
    for (int i = 0; i < n; ++i) {
        VMLocalDrive* ld = list->getLocalDriveAt(i);
        if (ld == nullptr) break;
        bool listed = false;
        for (const std::wstring& name : names) listed = listed || sameDrive(ld->getPath(), name.c_str());
        if (!listed && !isImageType(ld->getLocalDriveType())) {
            if (ld->getMappedTo() != -1) session.unmapLocalDrive(ld, 1);
            gone.push_back(i);
        }
        list->releaseLocalDrive(ld);
    }
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) list->removeLocalDriveAtIndex(*it);
}

}  // namespace

void ZELKSession::runFindDrives(VMDriveList* list) {
    if (m_stopping.load() || list == nullptr) return;
    auto table = std::make_unique<VMIO::DriveTable>();
    table->count = 0;
    int found = VMIO::FindDrives(table.get());
    if (found < 0) found = 0;
    const int count = std::min<int>(std::min<int>(found, table->count), VMIO::MAX_DRIVES);
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i) {
        table->entries[i].name[sizeof table->entries[i].name - 1] = '\0';
        names.push_back(tw::fromNativePath(table->entries[i].name));
    }
    {
        std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
        refreshListedDrives(*this, list, names);
    }
    if (m_stopping.load()) return;
    list->setLastLocalAction(VMDriveList::DRIVE_LOCAL_UPDATE);
    // After the lock is let go: the callback may call back into the session.
    callDriveCallback(400);
}


int ZELKSession::GetFixedToc(uint8_t* buffer) {
    static const uint8_t toc[20] = {0x00, 0x12, 0x01, 0x01, 0x00, 0x14, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x14, 0xAA, 0x00, 0x00, 0x11, 0x76, 0xE0};
    for (int i = 0; i < 20; ++i) buffer[i] = toc[i];
    return 20;
}
