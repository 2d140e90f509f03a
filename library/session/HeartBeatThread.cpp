#include "session/HeartBeatThread.h"

HeartBeatThread::HeartBeatThread(ZELKSession* session) : m_session(session), m_wakeSem(std::make_unique<ASemaphore>()) {}
HeartBeatThread::~HeartBeatThread() { m_wakeSem->close(); }
void HeartBeatThread::run() {}
void HeartBeatThread::stopThread() {
    AThread::stopThread();
    m_wakeSem->release();
}
bool HeartBeatThread::heartbeatDue(int64_t now, int64_t lastSend, int interval) { return now - lastSend >= interval; }
