#include "session/ReconnectThread.h"

#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

namespace {
const char* const kRun = "ReconnectThread::run:";
}

ReconnectThread::ReconnectThread(int timeout, uint8_t enabled, ZELKSession* session)
    : m_zelkSession(session),
      m_reconSem(std::make_unique<ASemaphore>()),
      // A watchdog that only reports needs a real timeout; one that
      // reconnects keeps what it was given (0: any silence of a whole
      // second, as a server with a one-second session timeout asks).
      m_timeout(timeout <= 0 && enabled == 0 ? DEFAULT_TIMEOUT : timeout),
      m_enabled(enabled != 0) {
    LogMessage("%s Created\n", "ReconnectThread::ReconnectThread:");
}

ReconnectThread::~ReconnectThread() {
    LogMessage("%s Entered.\n", "ReconnectThread::~ReconnectThread:");
    try {
        m_reconSem->close();
    } catch (...) {
    }
}

ReconnectThread::Action ReconnectThread::decide(int64_t silence, int timeout, bool force, bool enabled,
                                                bool reconnecting) {
    if (enabled) return (silence > timeout || force) && !reconnecting ? Action::FIRE : Action::NONE;
    return silence >= timeout ? Action::REPORT_TIMEOUT : Action::NONE;
}

int64_t ReconnectThread::waitMs(bool firstWait, int timeout) {
    const int64_t ms = firstWait ? FIRST_WAIT_MS : int64_t(timeout / 2) * 1000;
    return ms < MIN_WAIT_MS ? MIN_WAIT_MS : ms;
}

void ReconnectThread::stopThread() {
    if (m_stop.load()) {
        LogMessage("%s Already stopped\n", "ReconnectThread::stopThread:");
        return;
    }
    LogMessage("%s Stopping\n", "ReconnectThread::stopThread:");
    AThread::stopThread();
    m_reconSem->release();
}

void ReconnectThread::setForce(bool force) {
    m_force.store(force);
    m_reconSem->release();
}

void ReconnectThread::checkLoginDeadline() {
    if (m_loginDeadlineMs == 0) return;
    ZELKSession* s = m_zelkSession;
    if (!s->isReconnecting()) {
        m_loginDeadlineMs = 0;
        return;
    }
    // A login refused with a cancelling status keeps its own status record.
    const bool cancelled = s->getCancelReconnect();
    if (!cancelled && tw::Clock::nowMs() < m_loginDeadlineMs) return;
    m_loginDeadlineMs = 0;
    // The drive list came and its remap ends the reconnection: it alone
    // reports the outcome, and this thread goes on watching the new link.
    if (!s->claimReconnectOutcome()) return;
    LogMessage("%s reconnection not completed, giving up.\n", kRun);
    if (!cancelled && s->getSessionCallback() != nullptr) {
        s->setSessionStatusCode(VMSessionStatus::RECONNECT_FAILED);
        s->callSessionCallback(VMSessionStatus::RECONNECT_FAILED);
    }
    s->setReconnecting(0);
    stopThread();
    endSession();
}

void ReconnectThread::endSession() {
    // The old connection is gone and no new one came: the session ends here,
    // so that nothing waits for it and the facade can connect again. A stop
    // already under way (or done) makes this return at once.
    ZELKSession* s = m_zelkSession;
    if (s->isStopping() || s->isStopped()) return;
    LogMessage("%s reconnection failed, stopping the session.\n", kRun);
    s->stopSession();
}

void ReconnectThread::run() {
    LogMessage("%s timeout: %i\n", kRun, m_timeout);
    ZELKSession* s = m_zelkSession;
    s->setLastReceiveTime(ZELKSession::nowSeconds());
    while (!m_stop.load()) {
        LogMessage("%s beginning of loop.\n", kRun);
        if (m_suspendThread.load()) {
            LogMessage("%s Pausing thread.\n", kRun);
            waitIfSuspended();
        }
        int64_t wait = waitMs(m_firstWait.exchange(false), m_timeout);
        if (m_loginDeadlineMs != 0) {
            const int64_t left = m_loginDeadlineMs - tw::Clock::nowMs();
            if (left < wait) wait = left < MIN_WAIT_MS ? MIN_WAIT_MS : left;
        }
        const int outcome = m_reconSem->timedWaitMs(wait);
        // A semaphore that cannot be waited on must not make the loop spin.
        if (outcome == ASemaphore::WAIT_FAILED) tw::Clock::sleepMs(wait);
        if (m_stop.load()) break;
        checkLoginDeadline();
        if (m_stop.load()) break;
        if (s->getCancelReconnect() && m_enabled.load()) {
            LogMessage("%s reconnection cancelled, stopping.\n", kRun);
            stopThread();
            endSession();
            break;
        }

        const int64_t silence = ZELKSession::nowSeconds() - s->getLastReceiveTime();
        LogMessage("%s seconds since last packet %i m_timeout=%i\n", kRun, int(silence), m_timeout);
        const Action action = decide(silence, m_timeout, m_force.load(), m_enabled.load(), s->isReconnecting());
        bool skipPark = false;
        if (action == Action::FIRE) {
            LogMessage("%s FIRED, attempt reconnect!\n", kRun);
            const int result = s->reconnect();
            LogMessage("%s m_zelkSession->reconnect returned %i (1 = stopping)\n", kRun, result);
            if (result != 0) {
                stopThread();
                endSession();
                break;
            }
            const int connectTimeout = s->getConnectTimeout() > 0 ? s->getConnectTimeout() : DEFAULT_TIMEOUT;
            m_loginDeadlineMs = tw::Clock::nowMs() + int64_t(connectTimeout) * 1000;
            if (m_force.load()) {
                LogMessage("%s m_zelkSession->reconnect succeeded (0) clearing force bit\n", kRun);
                m_force.store(false);
                m_enabled.store(false);
                skipPark = true;
            }
        }
        if (!skipPark && outcome == ASemaphore::WAIT_OBTAINED && !m_stop.load() && action != Action::FIRE) {
            // Woken for nothing it can do (forced while disabled or already
            // reconnecting): rests until the next wake.
            LogMessage("%s acquire m_reconSem\n", kRun);
            if (m_reconSem->wait() == ASemaphore::WAIT_FAILED) tw::Clock::sleepMs(wait);
            if (m_stop.load()) break;
        }
        if (m_enabled.load()) continue;
        LogMessage("%s checking timeout Strategy\n", kRun);
        if (action == Action::REPORT_TIMEOUT) {
            stopThread();
            auto* status = new VMSessionStatus(VMSessionStatus::DISCONNECT_REQUESTED, "", 0);
            status->setDisconnectReason(VMSessionStatus::REASON_SERVER_TIMEOUT);
            status->setDisconnectTimeout(0);
            s->setSessionStatus(status);
            s->callSessionCallback(VMConstants::SESSION_STATUS);
        }
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", kRun);
}
