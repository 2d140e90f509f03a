#include "session/WatchDriveThread.h"

#include "base/DebugLog.h"

// The medium watch is not built yet: the thread ends at once.
WatchDriveThread::WatchDriveThread(SessionHost* vmAPI) : m_vmAPI(vmAPI), m_wakeSem(std::make_unique<ASemaphore>()) {
    LogMessage("%s Created\n", "WatchDriveThread::WatchDriveThread:");
}

WatchDriveThread::~WatchDriveThread() {
    LogMessage("%s Entered\n", "WatchDriveThread::~WatchDriveThread:");
    m_wakeSem->close();
}

void WatchDriveThread::run() {
    m_running.store(false);
    LogMessage("%s Stopped\n", "WatchDriveThread::run:");
}

void WatchDriveThread::stopThread() {
    if (m_stop.load()) return;
    AThread::stopThread();
    m_wakeSem->release();
}
