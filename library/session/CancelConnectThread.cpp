#include "session/CancelConnectThread.h"

#include "base/DebugLog.h"
#include "session/ZELKSession.h"

// The connect watch is not built yet: the thread ends at once and cancels nothing.
void CancelConnectThread::run() {
    m_running.store(false);
    LogMessage("%s Stopped\n", "CancelConnectThread::run():");
}
