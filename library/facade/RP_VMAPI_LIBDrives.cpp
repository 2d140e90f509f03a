// Drive operations of the facade. Finding local drives, marking, mapping and
// unmapping are not built yet: they refuse, and none reports a success.
#include "api/VMConnectionInfo.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

int RP_VMAPI_LIB::requestRemoteDriveList() {
    std::shared_ptr<ZELKSession> session = sessionRef();
    // Nothing to ask without a running session.
    if (!session || session->isStopped()) return VMConstants::API_INVALID_STATE;
    const uint64_t before = session->getDriveListUpdates();
    session->sendVDiskInfoRequest();
    if (m_callback.load() != nullptr) return VMConstants::API_SUCCESS;
    int seconds = m_settings ? m_settings->getRemoteDriveResponseTimeout() : 0;
    if (seconds <= 0) seconds = VMConnectionInfo::DEFAULT_TIMEOUT_REMOTEDRIVES;
    ZELKSession* attached = session.get();
    const bool answered = waitForMessage(tw::Clock::nowMs() + int64_t(seconds) * 1000, [&] {
        return session->getDriveListUpdates() != before || m_session.load() != attached || session->isStopping() ||
               session->isStopped();
    });
    m_lastMessageCode.store(VMConstants::DRIVE_LIST_UPDATE);
    if (!answered) return VMConstants::API_TIMEOUT;
    return session->getDriveListUpdates() != before ? VMConstants::API_SUCCESS : VMConstants::API_ERROR;
}

VMDriveList* RP_VMAPI_LIB::getDriveList() {
    std::shared_ptr<VMDriveList> list = driveListRef();
    if (!list) return nullptr;
    ZELKSession* session = m_session.load();
    if (m_skipDriveCallback.load() && session != nullptr && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
        return nullptr;
    }
    if (m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) return nullptr;
    return new VMDriveList(list.get());
}

VMLocalDrive* RP_VMAPI_LIB::getLocalDriveObject(const wchar_t*, bool) {
    LogMessage("%s not available.\n", "RP_VMAPI_LIB::getLocalDriveObject:");
    return nullptr;
}

bool checkImageCreation(VMLocalDrive*) { return false; }

int RP_VMAPI_LIB::mapDrive(int) {
    LogMessage("%s not available.\n", "RP_VMAPI_LIB::mapDrive:");
    return isSessionRunning() ? VMConstants::API_ERROR : VMConstants::API_INVALID_STATE;
}

int RP_VMAPI_LIB::unmapDrive(int) {
    LogMessage("%s not available.\n", "RP_VMAPI_LIB::unmapDrive:");
    return VMConstants::API_ERROR;
}

int RP_VMAPI_LIB::setLocalDriveForMapping(int, int) { return VMConstants::API_ERROR; }

int RP_VMAPI_LIB::setLocalDriveReadOnly(int, int) { return VMConstants::API_ERROR; }

int RP_VMAPI_LIB::isSessionRunning() {
    std::shared_ptr<ZELKSession> session = sessionRef();
    return session && !session->isStopped() ? 1 : 0;
}

void RP_VMAPI_LIB::waitWhileSessionRunning() {
    for (;;) {
        {
            std::shared_ptr<ZELKSession> session = sessionRef();
            if (!session || session->isStopped()) return;
        }
        tw::Clock::sleepMs(1000);
    }
}
