#pragma once
#include <atomic>
#include <memory>

#include "base/AThread.h"

class ZELKSession;

// Watches the silence since the last received packet: when enabled it
// reconnects the session after too long a silence or on demand; when not,
// it reports a server timeout and stops.
class ReconnectThread : public AThread {
public:
    ReconnectThread(int timeout, uint8_t enabled, ZELKSession* session);
    ~ReconnectThread() override;

    void run() override;
    void stopThread() override;

    // Reconnect at once (wakes the thread).
    void setForce(bool force);
    bool isForce() const { return m_force.load(); }
    bool isEnabled() const { return m_enabled.load(); }
    int getTimeout() const { return m_timeout; }
    ASemaphore& getReconSem() { return *m_reconSem; }

private:
    ZELKSession* m_zelkSession;
    std::unique_ptr<ASemaphore> m_reconSem;
    int m_timeout;
    std::atomic<bool> m_enabled;
    std::atomic<bool> m_force{false};
    std::atomic<bool> m_firstWait{true};
};
