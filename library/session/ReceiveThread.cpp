#include "session/ReceiveThread.h"

// The packet layer follows; until then nothing is read.
ReceiveThread::ReceiveThread(ZELKSession* session) : m_session(session) {}
ReceiveThread::~ReceiveThread() = default;
void ReceiveThread::run() {}
void ReceiveThread::stopThread() { AThread::stopThread(); }
