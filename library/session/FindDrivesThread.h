#pragma once
#include <memory>

#include "base/AThread.h"

class ZELKSession;

// Refreshes the local drive list every interval seconds.
class FindDrivesThread : public AThread {
public:
    static constexpr int DEFAULT_INTERVAL = 10;

    explicit FindDrivesThread(ZELKSession* session);
    ~FindDrivesThread() override;

    void run() override;
    void stopThread() override;

private:
    ZELKSession* m_session;
    std::unique_ptr<ASemaphore> m_wakeSem;
    int m_interval = DEFAULT_INTERVAL;
};
