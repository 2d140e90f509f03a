#pragma once
#include <atomic>
#include <memory>

#include "base/AThread.h"

class ZELKSession;

// Sends a heartbeat whenever the session has sent nothing for the interval,
// and watches the answer to the last drive-list request.
class HeartBeatThread : public AThread {
public:
    static constexpr int DEFAULT_INTERVAL = 10;
    // The loop looks five times a second-long wait per pass.
    static constexpr int WAITS_PER_PASS = 5;
    static constexpr int64_t WAIT_MS = 1000;

    explicit HeartBeatThread(ZELKSession* session);
    ~HeartBeatThread() override;

    void run() override;
    void stopThread() override;
    int getInterval() const { return m_interval; }

    // A heartbeat is due after interval whole seconds without a packet sent.
    static bool heartbeatDue(int64_t now, int64_t lastSend, int interval);

private:
    ZELKSession* m_session;
    std::unique_ptr<ASemaphore> m_wakeSem;
    int m_interval = DEFAULT_INTERVAL;
};
