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
    createSessionAndDriveList();
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
                if (ZELKSession* s = m_session.load()) s->cancelReconnect();
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
        {
            // A disconnect still running on another thread finishes first.
            std::lock_guard<std::mutex> wait(m_disconnectMutex);
        }
        RP_VMAPI_LIB* self = this;
        g_lib.compare_exchange_strong(self, nullptr);
        std::shared_ptr<ZELKSession> session;
        std::shared_ptr<VMDriveList> list;
        {
            std::lock_guard<std::mutex> lock(m_refMutex);
            m_session.store(nullptr);
            m_driveList.store(nullptr);
            session = std::move(m_ownedSession);
            list = std::move(m_ownedDriveList);
        }
        session.reset();
        list.reset();
        m_certificateInfo.reset();
        m_serverImageList.reset();
        m_messageSem.release();
        m_connectSem.release();
        m_settings.reset();
    } catch (...) {
        LogMessage("%s exception swallowed.\n", who);
    }
    m_messageSem.close();
    m_connectSem.close();
    m_shutdownSem.close();
}

void RP_VMAPI_LIB::createSessionAndDriveList() {
    auto list = std::make_shared<VMDriveList>();
    auto session = std::make_shared<ZELKSession>(this, list.get(), m_serverImageList.get());
    std::lock_guard<std::mutex> lock(m_refMutex);
    m_ownedDriveList = list;
    m_driveList.store(list.get());
    m_ownedSession = session;
    m_session.store(session.get());
}

void RP_VMAPI_LIB::replaceSessionAndDriveList() {
    std::shared_ptr<ZELKSession> session;
    std::shared_ptr<VMDriveList> list;
    {
        std::lock_guard<std::mutex> lock(m_refMutex);
        m_session.store(nullptr);
        m_driveList.store(nullptr);
        session = std::move(m_ownedSession);
        list = std::move(m_ownedDriveList);
    }
    // The session goes first (its threads use the drive list). An
    // application thread may still hold it for a moment.
    std::weak_ptr<ZELKSession> watch = session;
    session.reset();
    const int64_t deadline = tw::Clock::nowMs() + int64_t(DEFAULT_WAIT_SECONDS) * 1000;
    while (!watch.expired() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(10);
    list.reset();
    createSessionAndDriveList();
}

std::shared_ptr<ZELKSession> RP_VMAPI_LIB::sessionRef() {
    std::lock_guard<std::mutex> lock(m_refMutex);
    if (m_session.load() == nullptr) return nullptr;
    return m_ownedSession;
}

std::shared_ptr<VMDriveList> RP_VMAPI_LIB::driveListRef() {
    std::lock_guard<std::mutex> lock(m_refMutex);
    if (m_driveList.load() == nullptr) return nullptr;
    return m_ownedDriveList;
}

int RP_VMAPI_LIB::connectTimeoutSeconds() const {
    const int t = m_settings ? m_settings->getConnectTimeout() : VMConnectionInfo::DEFAULT_TIMEOUT_CONNECT;
    return t > 0 ? t : VMConnectionInfo::DEFAULT_TIMEOUT_CONNECT;
}

void RP_VMAPI_LIB::signalMessage(int code) {
    m_lastMessageCode.store(code);
    m_messageSem.release();
}

// ---- Connection status -----------------------------------------------------

int RP_VMAPI_LIB::getConnectionStatus() {
    ZELKSession* session = m_session.load();
    if (session != nullptr && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
        return VMConstants::VMAPI_CONNECTING;
    }
    return m_connectionStatus.load();
}

void RP_VMAPI_LIB::setConnectionStatus(int status) {
    m_connectionStatus.store(status);
    announceConnectionStatus();
}

void RP_VMAPI_LIB::announceConnectionStatus() {
    if (g_lib.load() == nullptr) return;
    if (Callback cb = m_callback.load()) cb(VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE);
}

int RP_VMAPI_LIB::acquireConnectSemaphore(int64_t timeoutMs) { return m_connectSem.timedWaitMs(timeoutMs); }

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
    std::shared_ptr<ZELKSession> session = sessionRef();
    if (!session) return nullptr;
    return session->copySessionStatus().release();
}

// ---- Connect ---------------------------------------------------------------

int RP_VMAPI_LIB::connect(VMConnectionInfo* settings, Callback callback) {
    const char* who = "RP_VMAPI_LIB::connect:";
    LogMessage("%s Entered.\n", who);
    if (m_connectionStatus.load() == VMConstants::VMAPI_DISCONNECTING) return VMConstants::API_ERROR;
    // A running session is left exactly as it is.
    if (isSessionRunning()) return VMConstants::API_INVALID_STATE;
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
    m_connectInProgress.store(true);
    setConnectionStatus(VMConstants::VMAPI_CONNECTING);

    int result = VMConstants::API_SUCCESS;
    std::shared_ptr<ZELKSession> session;
    // The session's threads run (its connect succeeded).
    bool started = false;
    // A reconnection was asked for: its end is waited for even when it has
    // already replaced the connection (and with it the pending bit).
    bool forced = false;
    do {
        if (settings == nullptr || settings->getIpAddress() == nullptr) {
            result = VMConstants::API_INVALID_ARGUMENT;
            break;
        }
        m_cancel.store(0);
        if (!sessionRef() || !driveListRef()) replaceSessionAndDriveList();
        session = sessionRef();
        std::shared_ptr<VMDriveList> list = driveListRef();
        if (!session || !list) {
            result = VMConstants::API_ERROR;
            break;
        }
        if (!session->isStopped()) {
            result = VMConstants::API_INVALID_STATE;
            break;
        }
        if (session->hasRun()) {
            session.reset();
            replaceSessionAndDriveList();
            session = sessionRef();
            list = driveListRef();
        }
        m_settings = std::make_unique<VMConnectionInfo>(settings);
        m_callback.store(callback);
        session->registerSessionCallback(&RP_VMAPI_LIB::loginCallback);
        session->registerDriveCallback(&RP_VMAPI_LIB::driveCallback);
        session->registerServerImageCallback(&RP_VMAPI_LIB::serverImageCallback);
        if (m_settings->getAskWhenPlain() != 0)
            session->registerPlainConnectionCallback(&RP_VMAPI_LIB::plainConnectionCallback);
        const int style = m_settings->getVMStyle();
        if (style == VMConnectionInfo::VM_STYLE_DEFAULT || style == VMConnectionInfo::VM_STYLE_LEGACY ||
            style == VMConnectionInfo::VM_STYLE_RDOC)
            session->registerCertificateCallback(&RP_VMAPI_LIB::certificateCallback);
        list->registerCallback(&RP_VMAPI_LIB::driveCallback);
        m_serverImageList->registerCallback(&RP_VMAPI_LIB::serverImageCallback);
        session->setVMStyle(style);

        result = session->connect(m_settings.get());
        started = result == VMConstants::API_SUCCESS;
        if (m_cancel.load()) {
            result = VMConstants::API_CANCELLED;
            break;
        }
        if (result != VMConstants::API_SUCCESS) {
            if (callback != nullptr) {
                // The state change is announced before the event it causes.
                m_skipDriveCallback.store(0);
                setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
                m_lastMessageCode.store(VMConstants::SESSION_CLOSED);
                callback(VMConstants::SESSION_CLOSED);
            }
            break;
        }
        // Signals left by the set-up's events are not answers to the login.
        if (callback == nullptr) m_messageSem.timedWaitMs(0);
        if (m_cancel.load()) {
            result = VMConstants::API_CANCELLED;
            break;
        }

        const int credentials = m_settings->getCredentialType();
        auto sendLogin = [&](uint8_t preempt) {
            if (credentials == VMConnectionInfo::CREDENTIALTYPE_RANDOMNUM)
                session->sendLoginUser(nullptr, nullptr, preempt, m_settings->getRandomClientNumber(),
                                       m_settings->getRandomApplianceNumber(), nullptr, 0, 0);
            else if (credentials == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE)
                session->sendLoginUser(nullptr, nullptr, preempt, 0, 0, nullptr, 0, 0);
            else
                session->sendLoginUser(m_settings->getPassword(), m_settings->getUserId(), preempt, 0, 0,
                                       m_settings->getApplianceID(), m_settings->getAppliancePort(),
                                       m_settings->getApplianceChannel());
        };
        ZELKSession* attached = session.get();
        // The wait also ends when the session is detached or cancelled.
        auto abandoned = [&] { return m_cancel.load() != 0 || m_session.load() != attached || session->isStopping(); };
        // A login answer counts once loginCallback has handled it (and set the
        // connection state from it): the status record is stored first.
        const uint64_t before = session->getSessionStatusGeneration();
        const uint64_t eventsBefore = m_loginEvents.load();
        auto answeredSince = [&](uint64_t generation, uint64_t events) {
            return session->getSessionStatusGeneration() != generation && m_loginEvents.load() != events;
        };
        sendLogin(0);
        const int64_t timeoutMs = int64_t(connectTimeoutSeconds()) * 1000;

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
            if (cancelled) {
                result = VMConstants::API_CANCELLED;
            } else if (!session->hasSessionStatus()) {
                result = VMConstants::API_TIMEOUT;
            } else if (session->getSessionStatusCode(-1) == VMSessionStatus::LOGIN_SUCCEEDED) {
                session->waitForOTPResponse();
                session->forceReconnect();
                forced = true;
            } else if (callback == nullptr) {
                result = VMConstants::API_ERROR;
            }
        } else if (callback == nullptr) {
            const int64_t deadline = tw::Clock::nowMs() + timeoutMs;
            const bool answered =
                waitForMessage(deadline, [&] { return abandoned() || answeredSince(before, eventsBefore); });
            if (m_cancel.load()) {
                result = VMConstants::API_CANCELLED;
            } else if (!answered || !answeredSince(before, eventsBefore)) {
                result = abandoned() ? VMConstants::API_ERROR : VMConstants::API_TIMEOUT;
                m_lastMessageCode.store(result);
            } else {
                int status = session->getSessionStatusCode(-1);
                if (status == VMSessionStatus::LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT && !abandoned()) {
                    m_messageSem.timedWaitMs(1000);
                    m_messageSem.timedWaitMs(3000);
                    const uint64_t again = session->getSessionStatusGeneration();
                    const uint64_t eventsAgain = m_loginEvents.load();
                    sendLogin(1);
                    const bool second = waitForMessage(tw::Clock::nowMs() + timeoutMs, [&] {
                        return abandoned() || answeredSince(again, eventsAgain);
                    });
                    status = second && answeredSince(again, eventsAgain) ? session->getSessionStatusCode(-1) : -1;
                }
                result = status == VMSessionStatus::LOGIN_SUCCEEDED ? VMConstants::API_SUCCESS : VMConstants::API_ERROR;
                m_lastMessageCode.store(result);
            }
        }
    } while (false);

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
    m_connectInProgress.store(false);
    m_connectSem.release();

    // A connect that fails after the session started (login refused or not
    // answered, cancelled) leaves nothing running: the session stops (its
    // stop takes the connect semaphore, hence after the release above), and
    // the next connect gets a fresh one. A disconnect that detached the
    // session meanwhile does this itself.
    if (started && result != VMConstants::API_SUCCESS && session && m_session.load() == session.get()) {
        session->stopSession();
        const int64_t deadline = tw::Clock::nowMs() + int64_t(DEFAULT_WAIT_SECONDS) * 1000;
        while (!session->isStopped() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(10);
        if (!session->isStopped()) LogMessage("%s session not stopped in time.\n", who);
    }

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
    return result;
}

int RP_VMAPI_LIB::cancelConnect() {
    if (m_connectionStatus.load() != VMConstants::VMAPI_CONNECTING) return VMConstants::API_INVALID_STATE;
    m_cancel.store(1);
    ZELKSession* session = m_session.load();
    if (session == nullptr) return VMConstants::API_INVALID_STATE;
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
    std::shared_ptr<ZELKSession> session = sessionRef();
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

    if (session && !session->isStopped()) {
        m_session.store(nullptr);
        if (session->isReconnecting()) session->cancelReconnect();
        session->stopSession();
        // A connect still inside its wait gives the semaphore back once it
        // sees the session detached.
        const int64_t bound = int64_t(connectTimeoutSeconds()) * 4000 + 10000;
        const bool gotSemaphore = m_connectSem.timedWaitMs(bound) == ASemaphore::WAIT_OBTAINED;
        if (!gotSemaphore) LogMessage("%s connect semaphore not obtained, going on.\n", who);
        const int64_t deadline = tw::Clock::nowMs() + int64_t(DEFAULT_WAIT_SECONDS) * 1000;
        while (!session->isStopped() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(10);
        session.reset();
        replaceSessionAndDriveList();
        m_settings.reset();
        signalMessage(VMConstants::SESSION_CLOSED);
        if (gotSemaphore) m_connectSem.release();
    } else if (session) {
        session->cancelConnect();
        // A session that ran and stopped by itself is not connected again:
        // the next connect gets a fresh one.
        if (session->hasRun()) {
            session.reset();
            replaceSessionAndDriveList();
            m_settings.reset();
        }
    }
    setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
    m_skipDriveCallback.store(0);
    return VMConstants::API_SUCCESS;
}

// ---- Event handlers --------------------------------------------------------

void RP_VMAPI_LIB::loginCallback(int status) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
    ZELKSession* session = lib->m_session.load();
    std::unique_ptr<VMSessionStatus> copy = session ? session->copySessionStatus() : nullptr;
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
    ZELKSession* session = lib->m_session.load();
    if (m_skipDriveCallback.load() && session != nullptr && session->isClearTextReconnectPending()) {
        session->setReconnectAttemptTimeout(30000);
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
    VMDriveList* list = lib->m_driveList.load();
    if (list != nullptr && session != nullptr &&
        (list->getLastRemoteAction() == VMDriveList::DRIVE_ERROR ||
         list->getLastRemoteAction() == VMDriveList::DRIVE_READ_ERROR)) {
        std::fputs("Exiting due to drive error\n", stdout);
        std::fflush(stdout);
        session->stopSession();
    }
    lib->m_messageSem.release();
}

// Hands one event to the application's callback, or wakes a callback-less waiter.
void RP_VMAPI_LIB::forwardEvent(int code) {
    RP_VMAPI_LIB* lib = g_lib.load();
    if (lib == nullptr) return;
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
    lib->m_lastMessageCode.store(VMConstants::CERTIFICATE_RETURNED);
    auto info = std::make_unique<VMCertificateInfo>();
    if (ZELKSession* session = lib->m_session.load()) session->getCertificateInfo(info.get());
    lib->m_certificateInfo = std::move(info);
    if (Callback cb = lib->m_callback.load())
        cb(VMConstants::CERTIFICATE_RETURNED);
    else
        lib->m_messageSem.release();
}
