#pragma once
#include <memory>

#include "base/AThread.h"

class SessionHost;

// Unmaps a mapped floppy or removable drive whose medium was taken out.
class WatchDriveThread : public AThread {
public:
    static constexpr int64_t WAIT_MS = 100000;

    explicit WatchDriveThread(SessionHost* vmAPI);
    ~WatchDriveThread() override;

    void run() override;
    void stopThread() override;

private:
    SessionHost* m_vmAPI;
    std::unique_ptr<ASemaphore> m_wakeSem;
};
