#include "session/CancelConnectThread.h"

#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

// The session's prompt state is never acted on here: it is set for every
// certificate prompt, and answering those with cancel would cancel each one
// a quarter of a second after it was asked.
void CancelConnectThread::run() {
    const char* who = "CancelConnectThread::run():";
    LogMessage("%s starting\n", who);
    ZELKSession* session = m_session.load();
    if (session != nullptr) {
        LogMessage("%s before for loop \n", who);
        bool ended = false;
        for (int pass = 0; pass < PASSES; ++pass) {
            LogMessage("%s begin loop \n", who);
            if (session->isStopping() || m_stop.load()) {
                ended = true;
                break;
            }
            tw::Clock::sleepMs(PASS_WAIT_MS);
            LogMessage("%s eval status \n", who);
            if (session->isConnectDone()) {
                LogMessage("%s breaking\n", who);
                break;
            }
            LogMessage("%s not breaking\n", who);
        }
        // A stop that arrives once the watch is over cancels the connect.
        if (!ended && m_stop.load()) session->cancelConnect();
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", who);
}
