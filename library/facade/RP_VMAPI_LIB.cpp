#include "facade/RP_VMAPI_LIB.h"

#include <openssl/crypto.h>

#include <csignal>
#include <cstdio>

#include "api/VMCertificateInfo.h"
#include "api/VMServerImageList.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "platform/Clock.h"
#include "session/ZELKSession.h"

std::atomic<RP_VMAPI_LIB*> g_lib{nullptr};
std::atomic<int> RP_VMAPI_LIB::m_skipDriveCallback{0};

namespace {

bool isPreemptStatus(int s) {
    return s == VMSessionStatus::LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT ||
           s == VMSessionStatus::LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT ||
           s == VMSessionStatus::LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT ||
           s == VMSessionStatus::LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT;
}

}  // namespace

RP_VMAPI_LIB::RP_VMAPI_LIB() {
    InitLogging();
    LogMessage("%s Virtual Media Library Version: %s, %s\n", "RP_VMAPI_LIB::RP_VMAPI_LIB:", VERSION,
               OpenSSL_version(OPENSSL_VERSION));
    // A write to a peer that has gone away must fail, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    m_connectionStatus.store(VMConstants::VMAPI_DISCONNECTED);
    m_cancel.store(0);
    m_serverImageList = std::make_unique<VMServerImageList>();
    m_lastMessageCode.store(0);
    m_skipDriveCallback.store(0);
    m_current = makeSession();
    g_lib.store(this);
}

RP_VMAPI_LIB::~RP_VMAPI_LIB() {
    const char* who = "RP_VMAPI_LIB::~RP_VMAPI_LIB:";
    try {
        m_shutdownSem.timedWait(DEFAULT_WAIT_SECONDS);
        switch (m_connectionStatus.load()) {
            case VMConstants::VMAPI_DISCONNECTING:
                tw::Clock::sleepMs(100);
                break;
            case VMConstants::VMAPI_RECONNECTING:
                // The whole stop: a reconnection must not outlive its session.
                if (Pinned s = attached()) s->cancelReconnect();
                disconnect();
                break;
            case VMConstants::VMAPI_CONNECTED:
                disconnect();
                break;
            case VMConstants::VMAPI_CONNECTING:
                cancelConnect();
                break;
            default:
                break;
        }
        // No session outlives the facade its threads call.
        if (isSessionRunning()) disconnect();
        {
            // A disconnect still running on another thread finishes first.
            std::lock_guard<std::mutex> wait(m_disconnectMutex);
        }
        RP_VMAPI_LIB* self = this;
        g_lib.compare_exchange_strong(self, nullptr);
        std::shared_ptr<ZELKSession> session;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            session = std::move(m_current);
        }
        release(std::move(session));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_certificateInfo.reset();
        }
        m_serverImageList.reset();
        m_messageSem.release();
        m_connectSem.release();
    } catch (...) {
        LogMessage("%s exception swallowed.\n", who);
    }
    m_messageSem.close();
    m_connectSem.close();
    m_shutdownSem.close();
}

std::shared_ptr<ZELKSession> RP_VMAPI_LIB::makeSession() {
    return std::make_shared<ZELKSession>(this, std::make_shared<VMDriveList>(), m_serverImageList.get());
}

VMDriveList* RP_VMAPI_LIB::Pinned::list() const { return session != nullptr ? session->getDriveListRef() : nullptr; }

RP_VMAPI_LIB::Pinned RP_VMAPI_LIB::attached() {
    ZELKSession* own = ZELKSession::callingSession();
    Pinned p;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_current) return p;
    if (own != nullptr) {
        // A session's thread works on its own session alone, and never
        // holds it: it lives as long as the thread.
        if (own == m_current.get()) p.session = own;
        return p;
    }
    p.ref = m_current;
    p.session = p.ref.get();
    return p;
}

RP_VMAPI_LIB::Pinned RP_VMAPI_LIB::eventSource() {
    Pinned p;
    if (ZELKSession* from = ZELKSession::callingSession()) {
        if (from == m_eventOwner.load())
            p.session = from;
        else
            p.stale = true;
        return p;
    }
    // An application thread outside a session's event (a drive operation,
    // the connect itself): the attached session.
    std::lock_guard<std::mutex> lock(m_mutex);
    p.ref = m_current;
    p.session = p.ref.get();
    return p;
}

void RP_VMAPI_LIB::release(std::shared_ptr<ZELKSession> session) {
    std::vector<std::shared_ptr<ZELKSession>> parked;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (ZELKSession::callingSession() != nullptr) {
            if (session) m_parked.push_back(std::move(session));
            return;
        }
        parked.swap(m_parked);
    }
    // Outside the lock: a last reference joins the session's threads, which
    // may call in here meanwhile.
    session.reset();
    parked.clear();
}

bool RP_VMAPI_LIB::isAttached(const ZELKSession* session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return session != nullptr && m_current.get() == session;
}

std::shared_ptr<ZELKSession> RP_VMAPI_LIB::sessionRef() {
    Pinned s = attached();
    if (!s) return nullptr;
    // Not held when it is the caller's own session.
    return std::shared_ptr<ZELKSession>(s.ref, s.session);
}

std::shared_ptr<VMDriveList> RP_VMAPI_LIB::driveListRef() {
    Pinned s = attached();
    if (!s || s.list() == nullptr) return nullptr;
    return std::shared_ptr<VMDriveList>(s.ref, s.list());
}

ZELKSession* RP_VMAPI_LIB::getSession() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current.get();
}

VMCertificateInfo* RP_VMAPI_LIB::getCertificateInfo() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_certificateInfo.get();
}

void RP_VMAPI_LIB::signalMessage(int code) {
    m_lastMessageCode.store(code);
    m_messageSem.release();
}

// ---- Connection status -----------------------------------------------------

int RP_VMAPI_LIB::getConnectionStatus() {
    Pinned session = attached();
    if (session && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
        return VMConstants::VMAPI_CONNECTING;
    }
    return m_connectionStatus.load();
}

void RP_VMAPI_LIB::setConnectionStatus(int status) {
    // An old session's stop or reconnection no longer speaks for the facade.
    if (ZELKSession* from = ZELKSession::callingSession())
        if (from != m_eventOwner.load()) return;
    m_connectionStatus.store(status);
    announceConnectionStatus();
}

void RP_VMAPI_LIB::announceConnectionStatus() {
    if (g_lib.load() == nullptr) return;
    if (Callback cb = m_callback.load()) cb(VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE);
}

int RP_VMAPI_LIB::acquireConnectSemaphore(int64_t timeoutMs) {
    // Nor does it hold up the connect of the session that replaced it.
    if (ZELKSession* from = ZELKSession::callingSession())
        if (from != m_eventOwner.load()) return ASemaphore::WAIT_FAILED;
    return m_connectSem.timedWaitMs(timeoutMs);
}

void RP_VMAPI_LIB::releaseConnectSemaphore() { m_connectSem.release(); }

int RP_VMAPI_LIB::connectionStatusFor(int s) {
    switch (s) {
        case VMSessionStatus::LOGIN_SUCCEEDED:
        case VMSessionStatus::DISCONNECT_REQUESTED:
        case VMSessionStatus::RECONNECT_COMPLETED:
            return VMConstants::VMAPI_CONNECTED;
        case VMSessionStatus::LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT:
        case VMSessionStatus::LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT:
        case VMSessionStatus::LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT:
        case VMSessionStatus::LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT:
            return VMConstants::VMAPI_CONNECTING;
        case VMSessionStatus::RECONNECTING:
            return VMConstants::VMAPI_RECONNECTING;
        default:
            return VMConstants::VMAPI_DISCONNECTED;
    }
}

VMSessionStatus* RP_VMAPI_LIB::getSessionStatus() {
    Pinned session = attached();
    if (!session) return nullptr;
    return session->copySessionStatus().release();
}

// ---- Connect ---------------------------------------------------------------

int RP_VMAPI_LIB::connect(VMConnectionInfo* settings, Callback callback) {
    const char* who = "RP_VMAPI_LIB::connect:";
    LogMessage("%s Entered.\n", who);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_disconnecting || m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING)
            return VMConstants::API_ERROR;
        // One connect at a time; a running session is left exactly as it is.
        if (m_connecting || (m_current && !m_current->isStopped())) return VMConstants::API_INVALID_STATE;
        m_connecting = true;
    }
    struct Done {
        RP_VMAPI_LIB* lib;
        ~Done() {
            std::lock_guard<std::mutex> lock(lib->m_mutex);
            lib->m_connecting = false;
        }
    } done{this};

    m_skipDriveCallback.store(1);
    if (m_connectionStatus.load() != VMConstants::VMAPI_DISCONNECTED) {
        setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
        tw::Clock::sleepMs(1000);
    }
    const int waitSeconds =
        settings != nullptr && settings->getConnectTimeout() > 0 ? settings->getConnectTimeout() : DEFAULT_WAIT_SECONDS;
    if (m_connectSem.timedWait(waitSeconds) != ASemaphore::WAIT_OBTAINED) {
        LogMessage("%s connect semaphore busy.\n", who);
        m_skipDriveCallback.store(0);
        return VMConstants::API_ERROR;
    }
    setConnectionStatus(VMConstants::VMAPI_CONNECTING);

    int result = VMConstants::API_SUCCESS;
    std::shared_ptr<ZELKSession> session;
    // The session's threads run (its connect succeeded).
    bool started = false;
    // A reconnection was asked for: its end is waited for even when it has
    // already replaced the connection (and with it the pending bit).
    bool forced = false;
    if (settings == nullptr || settings->getIpAddress() == nullptr) {
        result = VMConstants::API_INVALID_ARGUMENT;
    } else {
        m_cancel.store(0);
        std::shared_ptr<ZELKSession> used;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // A session is connected once: one a connect was tried on gives
            // way to a fresh one (its drive list goes with it).
            if (!m_current || m_current->wasConnectAttempted()) {
                used = std::move(m_current);
                m_current = makeSession();
            }
            session = m_current;
            m_eventOwner.store(session.get());
        }
        release(std::move(used));
        result = connectSession(session, settings, callback, started, forced);
        // A disconnect took it away meanwhile: it is not the connection asked for.
        if (result == VMConstants::API_SUCCESS && !isAttached(session.get())) result = VMConstants::API_CANCELLED;
    }

    if (result == VMConstants::API_SUCCESS) {
        // Connecting again, unless the login event has already moved the state
        // on (it runs on the receive thread, so only a compare-and-set keeps
        // its "connected" from being overwritten).
        int expected = VMConstants::VMAPI_CONNECTING;
        if (m_connectionStatus.compare_exchange_strong(expected, VMConstants::VMAPI_CONNECTING))
            announceConnectionStatus();
    } else {
        m_skipDriveCallback.store(0);
        if (m_connectionStatus.load() != VMConstants::VMAPI_DISCONNECTED)
            setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
    }
    m_connectSem.release();

    // A connect that fails after the session started (login refused or not
    // answered, cancelled, detached) leaves nothing running: the session
    // stops (its stop takes the connect semaphore, hence after the release
    // above; a stop already under way is waited for), and the next connect
    // gets a fresh one.
    if (started && result != VMConstants::API_SUCCESS) session->stopSession();

    if (session && (forced || session->isClearTextReconnectPending())) {
        session->setReconnectAttemptTimeout(30000);
        session->waitForClearTextReconnect();
        if (session->getCancelReconnect())
            result = VMConstants::API_ERROR;
        else
            session->callSessionCallback(VMConstants::SESSION_STATUS);
        tw::Clock::sleepMs(1000);
    }
    LogMessage("%s result %d.\n", who, result);
    release(std::move(session));
    return result;
}

int RP_VMAPI_LIB::connectSession(const std::shared_ptr<ZELKSession>& session, VMConnectionInfo* settings,
                                 Callback callback, bool& started, bool& forced) {
    VMDriveList* list = session->getDriveListRef();
    m_callback.store(callback);
    session->registerSessionCallback(&RP_VMAPI_LIB::loginCallback);
    session->registerDriveCallback(&RP_VMAPI_LIB::driveCallback);
    session->registerServerImageCallback(&RP_VMAPI_LIB::serverImageCallback);
    if (settings->getAskWhenPlain() != 0)
        session->registerPlainConnectionCallback(&RP_VMAPI_LIB::plainConnectionCallback);
    const int style = settings->getVMStyle();
    if (style == VMConnectionInfo::VM_STYLE_DEFAULT || style == VMConnectionInfo::VM_STYLE_LEGACY ||
        style == VMConnectionInfo::VM_STYLE_RDOC)
        session->registerCertificateCallback(&RP_VMAPI_LIB::certificateCallback);
    if (list != nullptr) list->registerCallback(&RP_VMAPI_LIB::driveCallback);
    m_serverImageList->registerCallback(&RP_VMAPI_LIB::serverImageCallback);
    session->setVMStyle(style);

    int result = session->connect(settings);
    started = result == VMConstants::API_SUCCESS;
    if (m_cancel.load()) return VMConstants::API_CANCELLED;
    if (result != VMConstants::API_SUCCESS) {
        if (callback != nullptr) {
            // The state change is announced before the event it causes.
            m_skipDriveCallback.store(0);
            setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
            m_lastMessageCode.store(VMConstants::SESSION_CLOSED);
            callback(VMConstants::SESSION_CLOSED);
        }
        return result;
    }
    // Signals left by the set-up's events are not answers to the login.
    if (callback == nullptr) m_messageSem.timedWaitMs(0);
    if (m_cancel.load()) return VMConstants::API_CANCELLED;

    // The session's own copy: set-up may have changed the credential type.
    const VMConnectionInfo* info = session->getConnectionInfo();
    const int credentials = info->getCredentialType();
    auto sendLogin = [&](uint8_t preempt) {
        if (credentials == VMConnectionInfo::CREDENTIALTYPE_RANDOMNUM)
            session->sendLoginUser(nullptr, nullptr, preempt, info->getRandomClientNumber(),
                                   info->getRandomApplianceNumber(), nullptr, 0, 0);
        else if (credentials == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE)
            session->sendLoginUser(nullptr, nullptr, preempt, 0, 0, nullptr, 0, 0);
        else
            session->sendLoginUser(info->getPassword(), info->getUserId(), preempt, 0, 0, info->getApplianceID(),
                                   info->getAppliancePort(), info->getApplianceChannel());
    };
    // The wait also ends when the session is detached or cancelled.
    auto abandoned = [&] { return m_cancel.load() != 0 || !isAttached(session.get()) || session->isStopping(); };
    // A login answer counts once loginCallback has handled it (and set the
    // connection state from it): the status record is stored first.
    const uint64_t before = session->getSessionStatusGeneration();
    const uint64_t eventsBefore = m_loginEvents.load();
    auto answeredSince = [&](uint64_t generation, uint64_t events) {
        return session->getSessionStatusGeneration() != generation && m_loginEvents.load() != events;
    };
    sendLogin(0);
    const int timeoutSeconds = info->getConnectTimeout() > 0 ? info->getConnectTimeout()
                                                              : VMConnectionInfo::DEFAULT_TIMEOUT_CONNECT;
    const int64_t timeoutMs = int64_t(timeoutSeconds) * 1000;

    if (session->isClearTextReconnectPending()) {
        const int64_t deadline = tw::Clock::nowMs() + timeoutMs;
        bool cancelled = false;
        while (!session->hasSessionStatus()) {
            if (m_cancel.load() || m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) {
                cancelled = true;
                break;
            }
            if (tw::Clock::nowMs() >= deadline) break;
            tw::Clock::sleepMs(500);
            if (m_cancel.load() || m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) {
                cancelled = true;
                break;
            }
        }
        if (cancelled) return VMConstants::API_CANCELLED;
        if (!session->hasSessionStatus()) return VMConstants::API_TIMEOUT;
        if (session->getSessionStatusCode(-1) == VMSessionStatus::LOGIN_SUCCEEDED) {
            session->waitForOTPResponse();
            session->forceReconnect();
            forced = true;
            return result;
        }
        return callback == nullptr ? VMConstants::API_ERROR : result;
    }
    if (callback != nullptr) return result;

    const int64_t deadline = tw::Clock::nowMs() + timeoutMs;
    const bool answered = waitForMessage(deadline, [&] { return abandoned() || answeredSince(before, eventsBefore); });
    if (m_cancel.load()) return VMConstants::API_CANCELLED;
    if (!answered || !answeredSince(before, eventsBefore)) {
        result = abandoned() ? VMConstants::API_ERROR : VMConstants::API_TIMEOUT;
        m_lastMessageCode.store(result);
        return result;
    }
    int status = session->getSessionStatusCode(-1);
    if (status == VMSessionStatus::LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT && !abandoned()) {
        m_messageSem.timedWaitMs(1000);
        m_messageSem.timedWaitMs(3000);
        const uint64_t again = session->getSessionStatusGeneration();
        const uint64_t eventsAgain = m_loginEvents.load();
        sendLogin(1);
        const bool second = waitForMessage(tw::Clock::nowMs() + timeoutMs,
                                           [&] { return abandoned() || answeredSince(again, eventsAgain); });
        status = second && answeredSince(again, eventsAgain) ? session->getSessionStatusCode(-1) : -1;
    }
    result = status == VMSessionStatus::LOGIN_SUCCEEDED ? VMConstants::API_SUCCESS : VMConstants::API_ERROR;
    m_lastMessageCode.store(result);
    return result;
}

int RP_VMAPI_LIB::cancelConnect() {
    if (m_connectionStatus.load() != VMConstants::VMAPI_CONNECTING) return VMConstants::API_INVALID_STATE;
    m_cancel.store(1);
    Pinned session = attached();
    if (!session) return VMConstants::API_INVALID_STATE;
    session->cancelConnect();
    return VMConstants::API_SUCCESS;
}

// ---- Disconnect ------------------------------------------------------------

int RP_VMAPI_LIB::disconnect() {
    const char* who = "RP_VMAPI_LIB::disconnect:";
    // A second caller returns only once the first has finished.
    std::lock_guard<std::mutex> serial(m_disconnectMutex);
    LogMessage("%s Entered.\n", who);
    m_skipDriveCallback.store(1);
    std::shared_ptr<ZELKSession> session;
    bool connecting = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_disconnecting = true;
        session = m_current;
        connecting = m_connecting;
    }
    if (session && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
        tw::Clock::sleepMs(1000);
    }
    if (session) {
        std::unique_ptr<VMSessionStatus> status = session->copySessionStatus();
        if (!(status && isPreemptStatus(status->getStatus())) &&
            m_connectionStatus.load() == VMConstants::VMAPI_CONNECTING)
            tw::Clock::sleepMs(100);
    }
    setConnectionStatus(VMConstants::VMAPI_DISCONNECTING);

    auto detach = [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_current == session) m_current.reset();
    };
    if (session && !session->isStopped()) {
        detach();
        if (session->isReconnecting()) session->cancelReconnect();
        session->stopSession();
        // A connect still inside its wait gives the semaphore back once it
        // sees the session detached.
        const int connectSeconds = session->getConnectTimeout() > 0 ? session->getConnectTimeout() : DEFAULT_WAIT_SECONDS;
        const bool gotSemaphore = m_connectSem.timedWaitMs(int64_t(connectSeconds) * 2000 + 10000) ==
                                  ASemaphore::WAIT_OBTAINED;
        if (!gotSemaphore) LogMessage("%s connect semaphore not obtained, going on.\n", who);
        const int64_t deadline = tw::Clock::nowMs() + int64_t(DEFAULT_WAIT_SECONDS) * 1000;
        while (!session->isStopped() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(10);
        signalMessage(VMConstants::SESSION_CLOSED);
        if (gotSemaphore) m_connectSem.release();
    } else if (session) {
        session->cancelConnect();
        // A session a connect was tried on (or is being tried on) is not
        // connected again: it goes now, with its cancel watch.
        if (connecting || session->wasConnectAttempted()) detach();
    }
    setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
    m_skipDriveCallback.store(0);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_current) m_current = makeSession();
        m_disconnecting = false;
    }
    // Unless a call on another thread still holds it, the session ends here
    // (its threads are joined).
    release(std::move(session));
    return VMConstants::API_SUCCESS;
}

// ---- Event handlers --------------------------------------------------------

void RP_VMAPI_LIB::loginCallback(int status) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    Pinned from = lib->eventSource();
    if (from.stale) return;
    std::unique_ptr<VMSessionStatus> copy = from ? from->copySessionStatus() : nullptr;
    m_skipDriveCallback.store(0);
    if (copy) lib->setConnectionStatus(connectionStatusFor(copy->getStatus()));
    lib->m_loginEvents.fetch_add(1);
    if (Callback cb = lib->m_callback.load()) {
        cb(status);
    } else {
        lib->signalMessage(VMConstants::SESSION_STATUS);
    }
}

void RP_VMAPI_LIB::driveCallback(int code) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    Pinned from = lib->eventSource();
    if (from.stale) return;
    if (m_skipDriveCallback.load() && from && from->isClearTextReconnectPending()) {
        from->setReconnectAttemptTimeout(30000);
        return;
    }
    const int state = lib->m_connectionStatus.load();
    if (state == VMConstants::VMAPI_DISCONNECTING || state == VMConstants::VMAPI_DISCONNECTED) return;
    LogMessage("%s code %d.\n", "RP_VMAPI_LIB::driveCallback:", code);
    lib->m_lastMessageCode.store(VMConstants::DRIVE_LIST_UPDATE);
    if (Callback cb = lib->m_callback.load()) {
        cb(VMConstants::DRIVE_LIST_UPDATE);
        return;
    }
    VMDriveList* list = from.list();
    if (list != nullptr && (list->getLastRemoteAction() == VMDriveList::DRIVE_ERROR ||
                            list->getLastRemoteAction() == VMDriveList::DRIVE_READ_ERROR)) {
        std::fputs("Exiting due to drive error\n", stdout);
        std::fflush(stdout);
        from->stopSession();
    }
    lib->m_messageSem.release();
}

// Hands one event to the application's callback, or wakes a callback-less waiter.
void RP_VMAPI_LIB::forwardEvent(int code) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    if (lib->eventSource().stale) return;
    lib->m_lastMessageCode.store(code);
    if (Callback cb = lib->m_callback.load())
        cb(code);
    else
        lib->m_messageSem.release();
}

void RP_VMAPI_LIB::plainConnectionCallback(int) { forwardEvent(VMConstants::PLAIN_CONNECTION); }

void RP_VMAPI_LIB::serverImageCallback(int) { forwardEvent(VMConstants::SERVER_IMAGE_LIST_UPDATED); }

void RP_VMAPI_LIB::certificateCallback(int) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    Pinned from = lib->eventSource();
    if (from.stale) return;
    lib->m_lastMessageCode.store(VMConstants::CERTIFICATE_RETURNED);
    auto info = std::make_unique<VMCertificateInfo>();
    if (from) from->getCertificateInfo(info.get());
    {
        std::lock_guard<std::mutex> lock(lib->m_mutex);
        lib->m_certificateInfo = std::move(info);
    }
    if (Callback cb = lib->m_callback.load())
        cb(VMConstants::CERTIFICATE_RETURNED);
    else
        lib->m_messageSem.release();
}
