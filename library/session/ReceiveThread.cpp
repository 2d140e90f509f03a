#include "session/ReceiveThread.h"

#include <cerrno>
#include <cstdio>

#include "api/VMSessionStatus.h"
#include "base/ByteStream.h"
#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "protocol/PacketReceiver.h"
#include "session/RequestProcessor.h"
#include "session/ZELKSession.h"

namespace {
const char* const kRun = "ReceiveThread::run:";
}

ReceiveThread::ReceiveThread(ZELKSession* session)
    : m_session(session), m_receiver(std::make_unique<PacketReceiver>()) {
    LogMessage("%s Entered.\n", "ReceiveThread::ReceiveThread:");
    LogMessage("%s Created\n", "ReceiveThread::ReceiveThread:");
}

ReceiveThread::~ReceiveThread() {
    LogMessage("%s Entered. %d\n", "ReceiveThread::~ReceiveThread:", int(m_running.load()));
    // The owner has stopped and joined the thread.
}

void ReceiveThread::stopThread() {
    if (m_stop.load()) {
        LogMessage("%s Already stopped %d\n", "ReceiveThread::stopThread:", int(m_running.load()));
        return;
    }
    m_stop.store(true);
    LogMessage("%s Stopping. %p %d\n", "ReceiveThread::stopThread:", static_cast<void*>(this), int(m_running.load()));
    // The receiver's own stop wait is bounded; a read blocked on the socket
    // ends when the session shuts the socket down.
    m_receiver->stop();
    m_receiver->setHold(false);
    m_suspendThread.store(false);
    m_pause.release();
    LogMessage("%s exiting. %p %d\n", "ReceiveThread::stopThread:", static_cast<void*>(this), int(m_running.load()));
}

void ReceiveThread::setReconnecting(int reconnecting) {
    LogMessage("%s Entered %p. reconnecting %d\n", "ReceiveThread::setReconnecting:", static_cast<void*>(this),
               reconnecting);
    m_reconnecting.store(reconnecting != 0);
}

bool ReceiveThread::handleTextException(const char* text) {
    LogMessage("%s ZELK Session is reconnecting=%c\n", kRun, m_session->isReconnecting() ? 'T' : 'F');
    if (!m_stop.load()) {
        LogMessage("%s const Exception: %s\n", kRun, text);
        // The retries of a dead connection would repeat it once a second.
        if (!m_errorShown) {
            std::printf("Error: %s\n", text);
            std::fflush(stdout);
            m_errorShown = true;
        }
        if (m_session->isReconnecting()) {
            LogMessage("%s Exception m_suspendThread=%c\n", kRun, m_suspendThread.load() ? 'T' : 'F');
            LogMessage("%s Pausing thread after exception.\n", kRun);
            waitIfSuspended();
            m_errorShown = false;  // a new connection's failures are news
        }
        if (m_session->isReconnectAvailable()) {
            LogMessage("%s Reconnect available. Waiting for ReconnectThread to handle this.\n", kRun);
            if (m_session->getCancelReconnect()) return false;
        }
        if (!m_session->isStopping() && !m_session->isReconnectAvailable()) {
            const int failures = m_failures.fetch_add(1) + 1;
            if (failures > MAX_FAILURES) {
                auto* status = new VMSessionStatus(VMSessionStatus::DISCONNECT_REQUESTED, "", 0);
                status->setDisconnectReason(999);
                status->setDisconnectTimeout(0);
                m_session->setSessionStatus(status);
                m_session->callSessionCallback(200);
                // Nothing can take over a dead connection: the session ends
                // (stopSession knows it runs on this thread and skips its waits).
                LogMessage("%s %d consecutive failures, stopping the session.\n", kRun, failures);
                m_session->stopSession();
                return false;
            }
        }
    }
    tw::Clock::sleepMs(RETRY_WAIT_MS);
    return true;
}

void ReceiveThread::run() {
    LogMessage("%s Entered %p.\n", kRun, static_cast<void*>(this));
    RequestProcessor* processor = m_session->getRequestProcessor();
    m_runEnded.store(false);
    m_failures.store(0);
    m_errorShown = false;
    while (!m_stop.load()) {
        std::unique_ptr<ZELKPacket> packet;
        try {
            if (m_suspendThread.load()) {
                LogMessage("%s Pausing thread.\n", kRun);
                waitIfSuspended();
            }
            if (!m_session->isClearTextReconnectPending() && (m_session->isStopping() || m_session->isStopped())) {
                LogMessage("%s breaking out of thread. %d %d\n", kRun, int(m_session->isStopping()),
                           int(m_session->isStopped()));
                break;
            }
            std::shared_ptr<ByteStream> stream = m_session->getStream();
            packet = m_receiver->receive(stream.get());
            if (m_suspendThread.load()) {
                LogMessage("%s Pausing thread.\n", kRun);
                waitIfSuspended();
            }
            // A packet of a connection that a reconnection replaced meanwhile
            // is not handled on the new one.
            if (packet && m_session->getStream() != stream) {
                LogMessage("%s dropping a packet of the old connection.\n", kRun);
                packet.reset();
            }
            stream.reset();
            if (packet) {
                m_processing.store(true);
                if (!m_stop.load() && processor != nullptr) processor->process(packet.get());
                packet.reset();
                m_processing.store(false);
                m_failures.store(0);
                m_errorShown = false;
            }
        } catch (const char* text) {
            packet.reset();
            m_processing.store(false);
            if (!handleTextException(text)) break;
        } catch (...) {
            packet.reset();
            m_processing.store(false);
            if (m_stop.load()) continue;
            const int code = errno;
            LogMessage("%s ... Exception: %i\n", kRun, code);
            std::printf("Receive Thread Error");
            std::fflush(stdout);
            if (code != 0) LogMessage("%s le=%i\n", kRun, code);
            // Ends the thread, not as a stop: a reconnection starts it again.
            break;
        }
    }
    m_runEnded.store(true);
    m_running.store(false);
    LogMessage("%s stopped. %p\n", kRun, static_cast<void*>(this));
}
