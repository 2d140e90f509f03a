// Drive operations of the facade: asking for the server's drives, finding
// or adding local drives, marking them, mapping and unmapping. Each works on
// the attached session and its drive list, held for the call; changes to a
// mapping are made under the session's mapping lock.
#include <memory>
#include <mutex>

#include "api/VMRemoteDrive.h"
#include "api/VMConnectionInfo.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

namespace {

// Blocks of the view the server is given: the partition of a floppy view,
// else the whole medium (a CD/DVD has no geometry view at all).
unsigned viewBlocks(const VMLocalDrive& ld) { return ld.getMapAsFloppy() ? ld.getBlocks() : ld.getNumberOfBlocks(); }

}  // namespace

int RP_VMAPI_LIB::requestRemoteDriveList() {
    Pinned session = attached();
    // Nothing to ask without a running session.
    if (!session || session->isStopped()) return VMConstants::API_INVALID_STATE;
    const uint64_t before = session->getDriveListUpdates();
    session->sendVDiskInfoRequest();
    if (m_callback.load() != nullptr) return VMConstants::API_SUCCESS;
    const VMConnectionInfo* info = session->getConnectionInfo();
    int seconds = info != nullptr ? info->getRemoteDriveResponseTimeout() : 0;
    if (seconds <= 0) seconds = VMConnectionInfo::DEFAULT_TIMEOUT_REMOTEDRIVES;
    const bool answered = waitForMessage(tw::Clock::nowMs() + int64_t(seconds) * 1000, [&] {
        return session->getDriveListUpdates() != before || !isAttached(session.session) || session->isStopping() ||
               session->isStopped();
    });
    m_lastMessageCode.store(VMConstants::DRIVE_LIST_UPDATE);
    if (!answered) return VMConstants::API_TIMEOUT;
    // Ended or detached while waiting: there is no session to ask any more.
    return session->getDriveListUpdates() != before ? VMConstants::API_SUCCESS : VMConstants::API_INVALID_STATE;
}

VMDriveList* RP_VMAPI_LIB::getDriveList() {
    Pinned session = attached();
    VMDriveList* list = session.list();
    if (list == nullptr) return nullptr;
    if (m_skipDriveCallback.load() && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
        return nullptr;
    }
    if (m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) return nullptr;
    return new VMDriveList(list);
}

VMLocalDrive* RP_VMAPI_LIB::getLocalDriveObject(const wchar_t* path, bool create) {
    const char* who = "RP_VMAPI_LIB::getLocalDriveObject:";
    Pinned session = attached();
    VMDriveList* list = session.list();
    if (path == nullptr || list == nullptr || m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING)
        return nullptr;
    if (VMLocalDrive* ld = list->getLocalDriveByPath(path)) {
        const int readOnly = ld->isInReadOnlyMode();
        // Probed on a copy without the mapping lock, so a slow or hanging
        // device holds up only this call, not the drives being served.
        VMLocalDrive probe(ld);
        if (probe.getMappedTo() == -1) probe.refresh();
        VMLocalDrive* copy = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(session->getMappingMutex());
            // A drive mapped meanwhile keeps what it is being served with.
            if (ld->getMappedTo() == -1 && probe.getMappedTo() == -1) ld->takeMedium(probe);
            // An image keeps the user's choice; for a device the medium decides.
            if (!ld->isDrive()) ld->setReadOnly(readOnly);
            copy = new VMLocalDrive(ld);
        }
        list->releaseLocalDrive(ld);
        return copy;
    }
    if (!create) return nullptr;
    // Added without the mapping lock: the list announces the new drive to
    // the application.
    auto drive = std::make_unique<VMLocalDrive>(path);
    VMLocalDrive* raw = drive.get();
    const int id = list->addLocalDrive(raw);
    VMLocalDrive* listed = list->getLocalDriveByID(id);
    if (listed == raw) drive.release();  // the list keeps it
    if (listed == nullptr) {
        LogMessage("%s drive %d not in the list\n", who, id);
        return nullptr;
    }
    auto* copy = new VMLocalDrive(listed);
    list->releaseLocalDrive(listed);
    return copy;
}

// Nothing in this system creates server images from local files, so no
// path is ever the image being written.
bool checkImageCreation(VMLocalDrive*) { return false; }

int RP_VMAPI_LIB::mapDrive(int localDriveId) {
    const char* who = "RP_VMAPI_LIB::mapDrive:";
    Pinned session = attached();
    VMDriveList* list = session.list();
    if (list == nullptr && session) return VMConstants::API_ERROR;
    if (m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) return VMConstants::API_ERROR;
    if (!session) return VMConstants::API_INVALID_STATE;
    // A request queued now would go nowhere, or before the next login.
    if (session->isStopped() || session->isStopping() || session->isReconnecting()) {
        LogMessage("%s session not running\n", who);
        return VMConstants::API_INVALID_STATE;
    }
    VMLocalDrive* ld = list->getLocalDriveByID(localDriveId);
    if (ld == nullptr) return VMConstants::API_ERROR;
    if (checkImageCreation(ld)) {
        list->releaseLocalDrive(ld);
        return VMConstants::API_IMAGE_BEING_CREATED;
    }
    // Two server drives must never share one medium.
    if (ld->getMappedTo() != -1) {
        LogMessage("%s local drive %d is already mapped to %d\n", who, localDriveId, ld->getMappedTo());
        list->releaseLocalDrive(ld);
        return VMConstants::API_ERROR;
    }
    const int readOnly = ld->isInReadOnlyMode();
    // Probed on a copy and opened by the map request, both without the
    // mapping lock: a slow or hanging device stalls only this call. The lock
    // is taken to publish the probe and to choose the server drive.
    VMLocalDrive probe(ld);
    probe.refresh();
    bool driveError = false;
    bool isCd = false;
    int mapReadOnly = 1;
    VMRemoteDrive* rd = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(session->getMappingMutex());
        if (ld->getMappedTo() != -1) {
            LogMessage("%s local drive %d is already mapped to %d\n", who, localDriveId, ld->getMappedTo());
            list->releaseLocalDrive(ld);
            return VMConstants::API_ERROR;
        }
        ld->takeMedium(probe);
        ld->setReadOnly(readOnly);
        const int type = ld->getLocalDriveType();
        isCd = type == VMLocalDrive::LOCAL_DRIVE_IS_CD || type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
        if (!ld->hasMedia() || viewBlocks(*ld) == 0 || type == VMLocalDrive::LOCAL_DRIVE_IS_UNKNOWN_TYPE) {
            list->setLastLocalAction(VMDriveList::DRIVE_ERROR);
            driveError = true;
        } else {
            const int wanted = ZELKSession::wantedRemoteType(type, ld->getMapAsFloppy(), session->getVMStyle(),
                                                             session->isVersionAbove1_1() != 0);
            rd = list->getMatchingRemoteDrive(wanted);
            if (rd == nullptr) {
                LogMessage("%s no matching remote drive for type %d\n", who, wanted);
            } else {
                ld->setMapAsFloppy(rd->getRemoteDriveType() == VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY ? 1 : 0);
                mapReadOnly = ld->isInReadOnlyMode();
            }
        }
    }
    int result = VMConstants::API_ERROR;
    if (rd != nullptr) {
        const int sent = isCd ? session->sendMapRequest(rd, ld, mapReadOnly)
                              : session->sendMapRequest2(ld, rd, mapReadOnly);
        if (sent == 0) result = VMConstants::API_SUCCESS;
        list->releaseRemoteDrive(rd);
    }
    list->releaseLocalDrive(ld);
    if (driveError) driveCallback(VMConstants::DRIVE_LIST_UPDATE);
    return result;
}

int RP_VMAPI_LIB::unmapDrive(int remoteDriveId) {
    Pinned session = attached();
    VMDriveList* list = session.list();
    if (list == nullptr || m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING)
        return VMConstants::API_INVALID_STATE;
    std::lock_guard<std::recursive_mutex> lock(session->getMappingMutex());
    VMRemoteDrive* rd = list->getRemoteDriveByID(remoteDriveId);
    if (rd == nullptr) return VMConstants::API_ERROR;
    const int mappedTo = rd->getMappedTo();
    if (mappedTo < 0) {
        list->releaseRemoteDrive(rd);
        return VMConstants::API_ERROR;
    }
    if (VMLocalDrive* ld = list->getLocalDriveByID(mappedTo)) {
        session->unmapLocalDrive(ld, 1);
        // Free again, a writable drive is no longer held read-only.
        if (ld->isWritable()) ld->setReadOnly(0);
        list->releaseLocalDrive(ld);
    } else {
        session->unmapRemoteDrive(rd);
    }
    list->releaseRemoteDrive(rd);
    return VMConstants::API_SUCCESS;
}

namespace {

template <typename Set>
int setLocalDriveField(VMDriveList* list, int status, int id, Set set) {
    if (list == nullptr || status == VMConstants::VMAPI_DISCONNECTING) return VMConstants::API_ERROR;
    VMLocalDrive* ld = list->getLocalDriveByID(id);
    if (ld == nullptr) return VMConstants::API_ERROR;
    set(*ld);
    list->releaseLocalDrive(ld);
    return VMConstants::API_SUCCESS;
}

}  // namespace

int RP_VMAPI_LIB::setLocalDriveForMapping(int localDriveId, int mark) {
    Pinned session = attached();
    return setLocalDriveField(session.list(), m_connectionStatus.load(), localDriveId,
                              [mark](VMLocalDrive& d) { d.setMarkForMapping(mark); });
}

int RP_VMAPI_LIB::setLocalDriveReadOnly(int localDriveId, int readOnly) {
    Pinned session = attached();
    return setLocalDriveField(session.list(), m_connectionStatus.load(), localDriveId,
                              [readOnly](VMLocalDrive& d) { d.setReadOnly(readOnly); });
}

int RP_VMAPI_LIB::isSessionRunning() {
    Pinned session = attached();
    return session && !session->isStopped() ? 1 : 0;
}

void RP_VMAPI_LIB::waitWhileSessionRunning() {
    for (;;) {
        {
            Pinned session = attached();
            if (!session || session->isStopped()) return;
        }
        tw::Clock::sleepMs(1000);
    }
}
