#pragma once
#include <atomic>

#include "base/AThread.h"

class ZELKSession;

// Watches a connect in progress and cancels it when asked to stop.
class CancelConnectThread : public AThread {
public:
    static constexpr int PASSES = 100;
    static constexpr int64_t PASS_WAIT_MS = 250;

    CancelConnectThread() = default;
    ~CancelConnectThread() override = default;

    void setSession(ZELKSession* session) { m_session.store(session); }
    void run() override;

private:
    std::atomic<ZELKSession*> m_session{nullptr};
};
