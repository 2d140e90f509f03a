#pragma once
#include <memory>

#include "base/AThread.h"

class SessionHost;
class ZELKSession;
class VMLocalDrive;

// Unmaps a mapped floppy or removable drive whose medium was taken out.
class WatchDriveThread : public AThread {
public:
    static constexpr int64_t WAIT_MS = 100000;

    // With a session, every drive is checked on the live list under the
    // session's mapping lock, and nothing is checked while it reconnects.
    explicit WatchDriveThread(SessionHost* vmAPI, ZELKSession* session = nullptr);
    ~WatchDriveThread() override;

    void run() override;
    void stopThread() override;

    // One look at every drive (what each pass of run does).
    void checkDrives();
    // Only mapped floppy and removable devices have a medium to lose.
    static bool isWatched(const VMLocalDrive& drive);

private:
    void checkDrive(const VMLocalDrive& copy);

    SessionHost* m_vmAPI;
    ZELKSession* m_session;
    std::unique_ptr<ASemaphore> m_wakeSem;
};
