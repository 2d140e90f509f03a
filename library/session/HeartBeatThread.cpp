#include "session/HeartBeatThread.h"

#include "base/DebugLog.h"
#include "session/ZELKSession.h"

HeartBeatThread::HeartBeatThread(ZELKSession* session)
    : m_session(session), m_wakeSem(std::make_unique<ASemaphore>()) {
    LogMessage("%s Created\n", "HeartBeatThread::HeartBeatThread:");
}

HeartBeatThread::~HeartBeatThread() {
    LogMessage("%s Entered.\n", "HeartBeatThread::~HeartBeatThread:");
    m_wakeSem->close();
}

bool HeartBeatThread::heartbeatDue(int64_t now, int64_t lastSend, int interval) { return now - lastSend >= interval; }

void HeartBeatThread::stopThread() {
    if (m_stop.load()) {
        LogMessage("%s Already stopped\n", "HeartBeatThread::stopThread:");
        return;
    }
    LogMessage("%s Stopping\n", "HeartBeatThread::stopThread:");
    AThread::stopThread();
    m_wakeSem->release();
}

void HeartBeatThread::run() {
    m_session->setLastSendTime(ZELKSession::nowSeconds());
    while (!m_stop.load()) {
        for (int i = 0; i < WAITS_PER_PASS; ++i) {
            m_wakeSem->timedWaitMs(WAIT_MS);
            if (m_stop.load()) break;
        }
        if (m_stop.load()) break;
        if (m_session->isReconnecting()) continue;
        if (heartbeatDue(ZELKSession::nowSeconds(), m_session->getLastSendTime(), m_interval))
            m_session->sendHeartbeatMsg();
        m_session->checkVDiskInfoResponse();
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", "HeartBeatThread::run:");
}
