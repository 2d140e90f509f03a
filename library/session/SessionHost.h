#pragma once
#include <cstdint>

class VMDriveList;

// What the session engine needs of the object that owns it (the facade):
// the connection state, the connect semaphore that serialises connect,
// disconnect, stop and reconnect, and the two drive operations of the
// drive-watch thread. The facade implements it; tests use small fakes.
class SessionHost {
public:
    virtual ~SessionHost() = default;

    virtual int getConnectionStatus() = 0;
    // Stores the state and tells an application callback (-4002).
    virtual void setConnectionStatus(int status) = 0;
    // ASemaphore::WAIT_OBTAINED, WAIT_TIMEOUT or WAIT_FAILED.
    virtual int acquireConnectSemaphore(int64_t timeoutMs) = 0;
    virtual void releaseConnectSemaphore() = 0;
    // A deep copy the caller deletes, or null.
    virtual VMDriveList* getDriveList() = 0;
    virtual int unmapDrive(int remoteDriveId) = 0;
};
