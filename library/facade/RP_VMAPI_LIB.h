#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "base/ASemaphore.h"
#include "platform/Clock.h"
#include "session/SessionHost.h"

class VMCertificateInfo;
class VMDriveList;
class VMLocalDrive;
class VMServerImageList;
class ZELKSession;

// The one object through which an application drives the virtual-media
// library. It owns the session engine (which owns its drive list and its
// settings copy), the server-image list and the certificate information,
// and turns the session's events into calls of the application's callback.
//
// Two modes, chosen per connect: with a callback every event is passed on
// and connect returns once the login is sent; without one (the command line)
// the facade keeps the last message code, signals its message semaphore on
// every event, and connect and requestRemoteDriveList wait themselves.
//
// Every public call may come from any thread at any time. One connect runs
// at a time (another gets API_INVALID_STATE); disconnect detaches the
// session, stops it and drops the facade's reference, so a call still
// working on it keeps it alive and the last one out releases it. A
// session's threads never hold such a reference: what they call here works
// on their own session (and only while it is the attached one), so a
// session is never torn down on one of its own threads. Events of a session
// that an application thread no longer connects are dropped.
//
// The application's callback runs on the session's threads: it must not call
// disconnect itself (hand that to another thread).
class RP_VMAPI_LIB : public SessionHost {
public:
    using Callback = void (*)(int);

    static constexpr const char* VERSION = "5.04.04 (Build 354)";

    RP_VMAPI_LIB();
    ~RP_VMAPI_LIB() override;
    RP_VMAPI_LIB(const RP_VMAPI_LIB&) = delete;
    RP_VMAPI_LIB& operator=(const RP_VMAPI_LIB&) = delete;

    // ---- Connection ------------------------------------------------------
    int connect(VMConnectionInfo* settings, Callback callback);
    // API_SUCCESS or API_INVALID_STATE (no connect in progress).
    int cancelConnect();
    // Always API_SUCCESS; a second caller returns once the first has finished.
    int disconnect();
    // A new copy of the session's status (the caller deletes it), or null.
    VMSessionStatus* getSessionStatus();
    int getConnectionStatus() override;
    void setConnectionStatus(int status) override;
    int acquireConnectSemaphore(int64_t timeoutMs) override;
    void releaseConnectSemaphore() override;

    // ---- Drives -----------------------------------------------------------
    int requestRemoteDriveList();
    // A new deep copy (the caller deletes it), or null.
    VMDriveList* getDriveList() override;
    // A new copy of the local drive for the path (the caller deletes it), or null.
    VMLocalDrive* getLocalDriveObject(const wchar_t* path, bool create);
    int mapDrive(int localDriveId);
    int unmapDrive(int remoteDriveId) override;
    int setLocalDriveForMapping(int localDriveId, int mark);
    int setLocalDriveReadOnly(int localDriveId, int readOnly);
    int isSessionRunning();
    void waitWhileSessionRunning();

    // ---- Event handlers registered with the session (act on g_lib) -------
    static void loginCallback(int status);
    static void driveCallback(int code);
    static void serverImageCallback(int code);
    static void plainConnectionCallback(int code);
    static void forwardEvent(int code);
    static void certificateCallback(int code);

    // Connection state for a session status code (the login event's table).
    static int connectionStatusFor(int sessionStatus);

    // The certificate information of the last certificate event (owned
    // here, valid until the next one).
    VMCertificateInfo* getCertificateInfo() const;
    int getLastMessageCode() const { return m_lastMessageCode.load(); }
    // The attached session (null while detached by disconnect). For the
    // application's answers to prompts, from the thread that connects or
    // from the callback; the facade keeps ownership.
    ZELKSession* getSession() const;
    // The attached session and its drive list, kept alive while an
    // application thread holds them. On one of the session's own threads
    // they only point at its own session (which lives as long as the thread).
    std::shared_ptr<ZELKSession> sessionRef();
    std::shared_ptr<VMDriveList> driveListRef();

    // Process-wide: while set, drive events during a pending clear-text
    // reconnect are dropped.
    static std::atomic<int> m_skipDriveCallback;

    // Bound of the callback-less drive-list wait and of connect-semaphore waits
    // the protocol leaves open (seconds).
    static constexpr int DEFAULT_WAIT_SECONDS = 30;

private:
    // A session a call works on: held by an application thread, or the
    // caller's own session on one of its threads (then not held: it lives
    // as long as the thread). Empty when there is none to work on.
    struct Pinned {
        std::shared_ptr<ZELKSession> ref;
        ZELKSession* session = nullptr;
        // The caller is a session whose events no longer count.
        bool stale = false;
        explicit operator bool() const { return session != nullptr; }
        ZELKSession* operator->() const { return session; }
        VMDriveList* list() const;
    };
    // The attached session, as the calling thread may use it.
    Pinned attached();
    // The session an event comes from, when its events still count (the
    // last one connected); empty means the event is dropped.
    Pinned eventSource();
    bool isAttached(const ZELKSession* session);
    std::shared_ptr<ZELKSession> makeSession();
    // Drops a reference to a session. On a session's thread (a callback
    // that disconnects) it is parked instead, and let go by the next call
    // from elsewhere: a thread never ends up joining itself.
    void release(std::shared_ptr<ZELKSession> session);

    void signalMessage(int code);
    // Callback-less: waits for the message semaphore until pred holds or the
    // deadline passes (library ms). True when pred held. The state is looked
    // at again at least every slice, since one signal can stand for several
    // events.
    template <typename Pred>
    bool waitForMessage(int64_t deadlineMs, Pred pred) {
        constexpr int64_t slice = 100;
        for (;;) {
            if (pred()) return true;
            const int64_t left = deadlineMs - tw::Clock::nowMs();
            if (left <= 0) return pred();
            m_messageSem.timedWaitMs(left < slice ? left : slice);
        }
    }
    // The callback, if any, learns of a state change (without storing one).
    void announceConnectionStatus();
    // The part of connect that runs on its own session, once it is attached.
    // started: the session's threads run; forced: a clear-text reconnection
    // was asked for.
    int connectSession(const std::shared_ptr<ZELKSession>& session, VMConnectionInfo* settings, Callback callback,
                       bool& started, bool& forced);

    std::atomic<int> m_cancel{0};
    // Guards m_current, m_connecting, m_disconnecting, m_parked and
    // m_certificateInfo.
    // Never held while a session is released or called.
    mutable std::mutex m_mutex;
    // The attached session: idle, connecting or running; null while a
    // disconnect stops it.
    std::shared_ptr<ZELKSession> m_current;
    // Identity only (never followed): the session the last connect worked on.
    std::atomic<const ZELKSession*> m_eventOwner{nullptr};
    bool m_connecting = false;
    bool m_disconnecting = false;
    std::vector<std::shared_ptr<ZELKSession>> m_parked;
    std::unique_ptr<VMServerImageList> m_serverImageList;
    std::unique_ptr<VMCertificateInfo> m_certificateInfo;
    ASemaphore m_messageSem{true};
    ASemaphore m_connectSem{true};
    ASemaphore m_shutdownSem{true};
    std::atomic<Callback> m_callback{nullptr};
    std::atomic<int> m_connectionStatus{VMConstants::VMAPI_DISCONNECTED};
    std::atomic<int> m_lastMessageCode{0};
    // Session events loginCallback has handled (a callback-less connect waits
    // for the one that answers its login).
    std::atomic<uint64_t> m_loginEvents{0};
    // Serialises disconnect calls with each other and with the destructor.
    std::mutex m_disconnectMutex;
};

// The process's facade, set by its constructor and cleared by its destructor;
// the session's event handlers find the facade through it.
extern std::atomic<RP_VMAPI_LIB*> g_lib;

// True when the drive's path is the image file a server-image creation is
// writing (never in this system: nothing sets that path).
bool checkImageCreation(VMLocalDrive* drive);
