#include "session/FindDrivesThread.h"

#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

FindDrivesThread::FindDrivesThread(ZELKSession* session)
    : m_session(session), m_wakeSem(std::make_unique<ASemaphore>()) {
    LogMessage("%s Created\n", "FindDrivesThread::FindDrivesThread:");
}

FindDrivesThread::~FindDrivesThread() {
    LogMessage("%s Entered.\n", "FindDrivesThread::~FindDrivesThread:");
    try {
        m_wakeSem->close();
    } catch (...) {
    }
}

void FindDrivesThread::run() {
    m_session->setLastReceiveTime(ZELKSession::nowSeconds());
    if (m_interval < DEFAULT_INTERVAL) m_interval = DEFAULT_INTERVAL;
    int step = m_interval / 10;
    if (step < 1) step = 1;
    while (!m_stop.load()) {
        m_session->runFindDrives(m_session->getDriveListRef());
        for (int i = 0; i < 10 && !m_stop.load(); ++i) {
            if (m_wakeSem->timedWaitMs(int64_t(step) * 1000) == ASemaphore::WAIT_FAILED && !m_stop.load())
                tw::Clock::sleepMs(int64_t(step) * 1000);
        }
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", "FindDrivesThread::run:");
}

void FindDrivesThread::stopThread() {
    if (m_stop.load()) return;
    LogMessage("%s Stopping\n", "FindDrivesThread::stopThread:");
    AThread::stopThread();
    m_wakeSem->release();
}
