#pragma once
#include <atomic>
#include <memory>

#include "base/AThread.h"

class PacketReceiver;
class ZELKSession;

// Reads one packet at a time from the session's transport and hands it to
// the session's request processor, on this thread.
class ReceiveThread : public AThread {
public:
    // Consecutive transport failures after which, with no reconnection to
    // take over, the session counts as disconnected.
    static constexpr int MAX_FAILURES = 30;
    static constexpr int64_t RETRY_WAIT_MS = 1000;

    explicit ReceiveThread(ZELKSession* session);
    ~ReceiveThread() override;

    void run() override;
    void stopThread() override;
    void setReconnecting(int reconnecting);

    bool isReconnecting() const { return m_reconnecting.load(); }
    bool isProcessing() const { return m_processing.load(); }
    bool isRunEnded() const { return m_runEnded.load(); }
    int getFailureCount() const { return m_failures.load(); }
    // The hold and expecting-login flags live here.
    PacketReceiver& getReceiver() { return *m_receiver; }

private:
    // A transport or framing error: report, count, wait. False: leave the loop.
    bool handleTextException(const char* text);

    ZELKSession* m_session;
    std::unique_ptr<PacketReceiver> m_receiver;
    std::atomic<bool> m_runEnded{true};
    std::atomic<bool> m_reconnecting{false};
    std::atomic<bool> m_processing{false};
    std::atomic<int> m_failures{0};
    bool m_errorShown = false;  // since the last good packet; this thread's own
};
