// Drive mapping and session requests. The map, unmap, read-answer,
// alternate-TOC and drive-search operations are not built yet: they refuse
// or do nothing, and none reports a success.
#include <cstdio>

#include "api/VMRemoteDrive.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "protocol/GetVDiskInfo.h"
#include "protocol/Heartbeat.h"
#include "protocol/ProtocolTUVO.h"
#include "protocol/ServerImageDelete.h"
#include "protocol/VDiskRelease.h"
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

int ZELKSession::sendMapRequest(VMRemoteDrive*, VMLocalDrive*, int) {
    LogMessage("%s not available.\n", "ZELKSession::sendMapRequest:");
    return -1;
}

int ZELKSession::sendMapRequest2(VMLocalDrive*, VMRemoteDrive*, int) {
    LogMessage("%s not available.\n", "ZELKSession::sendMapRequest2:");
    return -1;
}

void ZELKSession::sendVDiskAlternateTocData(int, int, int, int) {
    LogMessage("%s not available.\n", "ZELKSession::sendVDiskAlternateTocData:");
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

void ZELKSession::unmapLocalDrive(VMLocalDrive*, uint8_t) {
    LogMessage("%s not available.\n", "ZELKSession::unmapLocalDrive:");
}

void ZELKSession::unmapRemoteDrive(VMRemoteDrive*) {
    LogMessage("%s not available.\n", "ZELKSession::unmapRemoteDrive:");
}

void ZELKSession::sendVDiskRelease(VDiskRelease* packet) { sendPacket(packet); }

void ZELKSession::sendResponseData(VMLocalDrive*, int, int, VMRemoteDrive*, uint32_t, const uint8_t*) {
    LogMessage("%s not available.\n", "ZELKSession::sendResponseData:");
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

void ZELKSession::runFindDrives(VMDriveList*) { LogMessage("%s not available.\n", "ZELKSession::runFindDrives:"); }

int ZELKSession::GetFixedToc(uint8_t* buffer) {
    static const uint8_t toc[20] = {0x00, 0x12, 0x01, 0x01, 0x00, 0x14, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x14, 0xAA, 0x00, 0x00, 0x11, 0x76, 0xE0};
    for (int i = 0; i < 20; ++i) buffer[i] = toc[i];
    return 20;
}
