#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "base/AThread.h"

class ZELKSession;

// Watches the silence since the last received packet: when enabled it
// reconnects the session after too long a silence or on demand; when not,
// it reports a server timeout and stops.
class ReconnectThread : public AThread {
public:
    static constexpr int DEFAULT_TIMEOUT = 30;
    static constexpr int64_t FIRST_WAIT_MS = 1000;
    // No wait is shorter, whatever the server's timeout: silence is counted
    // in whole seconds, so looking more often would only spin.
    static constexpr int64_t MIN_WAIT_MS = 1000;

    enum class Action { NONE, FIRE, REPORT_TIMEOUT };

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

    // What one look at the silence leads to.
    static Action decide(int64_t silence, int timeout, bool force, bool enabled, bool reconnecting);
    // The wait between two looks: the first is short, later ones half the
    // timeout, never below MIN_WAIT_MS.
    static int64_t waitMs(bool firstWait, int timeout);

private:
    // After a reconnection has sent its login: the login or the drive list
    // never came within the connect timeout. Ends the reconnection as failed.
    void checkLoginDeadline();
    // After a failed or called-off reconnection: stops the session (unless
    // a stop is already under way).
    void endSession();

    ZELKSession* m_zelkSession;
    std::unique_ptr<ASemaphore> m_reconSem;
    int m_timeout;
    std::atomic<bool> m_enabled;
    std::atomic<bool> m_force{false};
    std::atomic<bool> m_firstWait{true};
    // Library ms by which a reconnection's login must have been answered (0: none pending).
    int64_t m_loginDeadlineMs = 0;
};
