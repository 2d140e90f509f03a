#include "session/WatchDriveThread.h"

#include <memory>
#include <mutex>
#include <string>

#include "api/VMConstants.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "platform/Clock.h"
#include "platform/WideText.h"
#include "session/SessionHost.h"
#include "session/ZELKSession.h"

namespace {
const char* const kRun = "WatchDriveThread::run:";
}

WatchDriveThread::WatchDriveThread(SessionHost* vmAPI, ZELKSession* session)
    : m_vmAPI(vmAPI), m_session(session), m_wakeSem(std::make_unique<ASemaphore>()) {
    LogMessage("%s Created\n", "WatchDriveThread::WatchDriveThread:");
}

WatchDriveThread::~WatchDriveThread() {
    LogMessage("%s Entered\n", "WatchDriveThread::~WatchDriveThread:");
    try {
        m_wakeSem->close();
    } catch (...) {
    }
}

void WatchDriveThread::stopThread() {
    if (m_stop.load()) return;
    LogMessage("%s Stopping\n", "WatchDriveThread::stopThread:");
    AThread::stopThread();
    m_wakeSem->release();
}

bool WatchDriveThread::isWatched(const VMLocalDrive& drive) {
    const int type = drive.getLocalDriveType();
    return drive.getMappedTo() != -1 &&
           (type == VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY || type == VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE);
}

void WatchDriveThread::checkDrive(const VMLocalDrive& copy) {
    const int remoteId = copy.getMappedTo();
    const std::string path = copy.getPath() != nullptr ? tw::toUtf8(copy.getPath()) : std::string();
    if (m_session == nullptr) {
        if (VMIO::CheckDrive(copy.getFileHandle())) return;
        LogMessage("%s Drive %s has been ejected.\n", kRun, path.c_str());
        m_vmAPI->unmapDrive(remoteId);
        return;
    }
    // The copy may be stale: the drive may have been closed or opened again
    // since (and its descriptor number reused). Only the live drive, still
    // mapped the same way on the same descriptor, is checked and unmapped.
    VMDriveList* live = m_session->getDriveListRef();
    if (live == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
    VMLocalDrive* ld = live->getLocalDriveByID(copy.getDriveId());
    if (ld == nullptr) return;
    const bool same = ld->getMappedTo() == remoteId && ld->getFileHandle() == copy.getFileHandle() && isWatched(*ld);
    const bool present = !same || VMIO::CheckDrive(ld->getFileHandle());
    live->releaseLocalDrive(ld);
    if (present) return;
    LogMessage("%s Drive %s has been ejected.\n", kRun, path.c_str());
    m_vmAPI->unmapDrive(remoteId);
}

void WatchDriveThread::checkDrives() {
    if (m_vmAPI == nullptr) return;
    if (m_session != nullptr &&
        (m_session->isReconnecting() || m_session->isStopping() ||
         m_vmAPI->getConnectionStatus() != VMConstants::VMAPI_CONNECTED))
        return;
    std::unique_ptr<VMDriveList> copy(m_vmAPI->getDriveList());
    if (!copy) return;
    const int count = copy->getNumberOfLocalDrives();
    for (int i = 0; i < count && !m_stop.load(); ++i) {
        VMLocalDrive* ld = copy->getLocalDriveAt(i);
        if (ld == nullptr) continue;
        if (isWatched(*ld)) checkDrive(*ld);
        copy->releaseLocalDrive(ld);
    }
}

void WatchDriveThread::run() {
    if (m_vmAPI == nullptr) {
        LogMessage("%s VMAPI is empty, Stopped\n", kRun);
        m_running.store(false);
        return;
    }
    while (!m_stop.load()) {
        checkDrives();
        if (m_stop.load()) break;
        if (m_wakeSem->timedWaitMs(WAIT_MS) == ASemaphore::WAIT_FAILED && !m_stop.load()) tw::Clock::sleepMs(WAIT_MS);
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", kRun);
}
