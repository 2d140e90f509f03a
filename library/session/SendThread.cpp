#include "session/SendThread.h"

// The packet layer follows; until then nothing is queued or sent.
SendThread::SendThread(ZELKSession* session) : m_session(session) {}
SendThread::~SendThread() = default;
void SendThread::run() {}
void SendThread::stopThread() { AThread::stopThread(); }
