#include "session/ReconnectThread.h"

#include "base/DebugLog.h"
#include "session/ZELKSession.h"

// Reconnection is not built yet: the thread ends at once and never fires.
ReconnectThread::ReconnectThread(int timeout, uint8_t enabled, ZELKSession* session)
    : m_zelkSession(session), m_reconSem(std::make_unique<ASemaphore>()),
      m_timeout(enabled == 0 && timeout <= 0 ? 30 : timeout), m_enabled(enabled != 0) {
    LogMessage("%s Created\n", "ReconnectThread::ReconnectThread:");
}

ReconnectThread::~ReconnectThread() {
    LogMessage("%s Entered.\n", "ReconnectThread::~ReconnectThread:");
    m_reconSem->close();
}

void ReconnectThread::run() {
    m_running.store(false);
    LogMessage("%s Stopped\n", "ReconnectThread::run:");
}

void ReconnectThread::stopThread() {
    if (m_stop.load()) return;
    AThread::stopThread();
    m_reconSem->release();
}

void ReconnectThread::setForce(bool force) {
    m_force.store(force);
    m_reconSem->release();
}
