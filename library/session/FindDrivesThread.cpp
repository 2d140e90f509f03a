#include "session/FindDrivesThread.h"

#include "base/DebugLog.h"
#include "session/ZELKSession.h"

// The periodic drive search is not built yet: the thread ends at once.
FindDrivesThread::FindDrivesThread(ZELKSession* session)
    : m_session(session), m_wakeSem(std::make_unique<ASemaphore>()) {
    LogMessage("%s Created\n", "FindDrivesThread::FindDrivesThread:");
}

FindDrivesThread::~FindDrivesThread() {
    LogMessage("%s Entered.\n", "FindDrivesThread::~FindDrivesThread:");
    m_wakeSem->close();
}

void FindDrivesThread::run() {
    m_running.store(false);
    LogMessage("%s Stopped\n", "FindDrivesThread::run:");
}

void FindDrivesThread::stopThread() {
    if (m_stop.load()) return;
    AThread::stopThread();
    m_wakeSem->release();
}
