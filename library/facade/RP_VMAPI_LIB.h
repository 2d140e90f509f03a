#pragma once
#include <atomic>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"

class VMLocalDrive;

// The one object through which an application drives the virtual-media
// library. Sessions are not built yet: every operation that would need one
// fails with API_ERROR or API_INVALID_STATE, and nothing reports a success it
// did not achieve.
class RP_VMAPI_LIB {
public:
    using Callback = void (*)(int);

    static constexpr const char* VERSION = "5.04.04 (Build 354)";

    RP_VMAPI_LIB();
    ~RP_VMAPI_LIB();
    RP_VMAPI_LIB(const RP_VMAPI_LIB&) = delete;
    RP_VMAPI_LIB& operator=(const RP_VMAPI_LIB&) = delete;

    int connect(VMConnectionInfo* settings, Callback callback);
    int cancelConnect();
    int disconnect();
    // A new copy of the session's status (the caller deletes it), or null.
    VMSessionStatus* getSessionStatus();
    int getConnectionStatus();

    int requestRemoteDriveList();
    // A new copy of the local drive for the path (the caller deletes it), or null.
    VMLocalDrive* getLocalDriveObject(const wchar_t* path, bool create);
    int mapDrive(int localDriveId);
    int setLocalDriveForMapping(int localDriveId, int mark);
    int setLocalDriveReadOnly(int localDriveId, int readOnly);
    int isSessionRunning();
    void waitWhileSessionRunning();

private:
    std::atomic<int> m_connectionStatus{VMConstants::VMAPI_DISCONNECTED};
};

// The process's facade, set by its constructor and cleared by its destructor;
// the session's event handlers find the facade through it.
extern std::atomic<RP_VMAPI_LIB*> g_lib;
