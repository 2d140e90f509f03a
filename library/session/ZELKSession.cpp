#include "session/ZELKSession.h"

#include <cstdio>
#include <cstring>

#include "api/VMCertificateInfo.h"
#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "base/ByteStream.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "platform/Clock.h"
#include "protocol/LoginCertificateMessage.h"
#include "protocol/LoginMessage.h"
#include "protocol/PacketReceiver.h"
#include "protocol/PreemptResponse.h"
#include "protocol/ProtocolTUVO.h"
#include "protocol/RandomLoginMessage.h"
#include "protocol/SessionClose.h"
#include "protocol/ZELKPacket.h"
#include "session/CancelConnectThread.h"
#include "session/FindDrivesThread.h"
#include "session/HeartBeatThread.h"
#include "session/ReceiveThread.h"
#include "session/ReconnectThread.h"
#include "session/RequestProcessor.h"
#include "session/SendThread.h"
#include "session/ServerImageManager.h"
#include "session/SessionHost.h"
#include "session/WatchDriveThread.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"
#include "tls/CertificatePrompt.h"

namespace {

// The certificate answer that means "nobody has answered yet".
constexpr int NO_CERT_RESPONSE = -1;

// The session whose callback the calling thread is inside.
thread_local ZELKSession* t_eventSession = nullptr;

class EventScope {
public:
    explicit EventScope(ZELKSession* session) : m_previous(t_eventSession) { t_eventSession = session; }
    ~EventScope() { t_eventSession = m_previous; }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;

private:
    ZELKSession* m_previous;
};

}  // namespace

ZELKSession::ZELKSession(SessionHost* vmAPI, VMDriveList* driveList, VMServerImageList* serverImageList)
    : m_vmAPI(vmAPI), m_driveList(driveList), m_serverImageList(serverImageList) {
    m_serverImageManager = std::make_unique<ServerImageManager>(this);
    m_requestProcessor = std::make_unique<RequestProcessor>(vmAPI, this, driveList);
    m_certSem = std::make_unique<ASemaphore>();
    m_connectTimeout.store(30);
    m_sendThread = std::make_unique<SendThread>(this);
    m_receiveThread = std::make_unique<ReceiveThread>(this);
    adopt(m_sendThread.get());
    adopt(m_receiveThread.get());
    // No status record until the server answers a login: an empty one would
    // read as a successful login.
    LogMessage("%s Created %p.\n", "ZELKSession::ZELKSession:", static_cast<void*>(this));
}

ZELKSession::ZELKSession(SessionHost* vmAPI, std::shared_ptr<VMDriveList> driveList,
                         VMServerImageList* serverImageList)
    : ZELKSession(vmAPI, driveList.get(), serverImageList) {
    m_ownedDriveList = std::move(driveList);
}

ZELKSession::~ZELKSession() {
    const char* who = "ZELKSession::~ZELKSession:";
    LogMessage("%s Entered.\n", who);
    m_stopping.store(1);
    m_reconnectAvailable.store(0);
    try {
        m_OTPSem.release();
        m_SessIDSem.release();
        m_CTRSem.release();
        // The close below is ours: the receive thread must not report it as
        // the peer's.
        if (m_receiveThread) m_receiveThread->stopThread();
        std::shared_ptr<ASocket> socket = getSocket();
        if (socket && socket->isOpen()) {
            closeSocket();
            tw::Clock::sleepMs(5000);
        } else {
            closeSocket();
        }
        socket.reset();
        // Stop in this order; a blocked read already ended with the shutdown.
        AThread* stopOrder[] = {m_findDrivesThread.get(), m_watchDriveThread.get(), m_heartBeatThread.get(),
                                m_reconnectThread.get(), m_receiveThread.get(), m_sendThread.get(),
                                m_cancelConnectThread.get()};
        // Ended ones too: a stopped thread is never started again.
        for (AThread* t : stopOrder)
            if (t != nullptr) t->stopThread();
        // Every created thread is joined exactly once before its object goes;
        // the reconnect thread before the receive and send threads it may
        // still resume or start again.
        AThread* joinOrder[] = {m_heartBeatThread.get(), m_reconnectThread.get(), m_receiveThread.get(),
                                m_sendThread.get(), m_findDrivesThread.get(), m_watchDriveThread.get(),
                                m_cancelConnectThread.get()};
        for (AThread* t : joinOrder)
            if (t != nullptr) t->join();
        m_heartBeatThread.reset();
        m_receiveThread.reset();
        m_sendThread.reset();
        m_reconnectThread.reset();
        m_findDrivesThread.reset();
        m_watchDriveThread.reset();
        m_cancelConnectThread.reset();
        m_serverImageManager.reset();
        m_certSem->release();
        m_certSem->close();
        {
            std::lock_guard<std::mutex> lock(m_stateMutex);
            m_sessionStatus.reset();
            m_otpUser.reset();
            m_otpPassword.reset();
        }
        m_requestProcessor.reset();
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        m_socket.reset();
        m_tuvo.reset();
        m_retiredTuvos.clear();
        m_testStream.reset();
    } catch (...) {
        LogMessage("%s failure occured\n", who);
    }
    m_CTRSem.close();
    m_OTPSem.close();
    m_SessIDSem.close();
}

// ---- Callbacks and small state ---------------------------------------------

void ZELKSession::registerSessionCallback(Callback cb) {
    m_vmSessionCallback.store(cb);
    LogMessage("%s callback registered\n", "ZELKSession::registerSessionCallback:");
}

void ZELKSession::registerDriveCallback(Callback cb) {
    m_driveCallback.store(cb);
    LogMessage("%s callback registered\n", "ZELKSession::registerDriveCallback:");
}

void ZELKSession::registerServerImageCallback(Callback cb) {
    m_serverImageCallback.store(cb);
    LogMessage("%s callback registered\n", "ZELKSession::registerServerImageCallback:");
}

void ZELKSession::registerCertificateCallback(Callback cb) {
    m_certificateCallback.store(cb);
    LogMessage("%s callback registered\n", "ZELKSession::registerCertificateCallback:");
}

void ZELKSession::registerPlainConnectionCallback(Callback cb) {
    m_plainConnectionCallback.store(cb);
    LogMessage("%s callback registered\n", "ZELKSession::registerPlainConnectionCallback:");
}

void ZELKSession::callSessionCallback(int code) {
    EventScope scope(this);
    if (Callback cb = m_vmSessionCallback.load()) cb(code);
}

void ZELKSession::callDriveCallback(int code) {
    EventScope scope(this);
    if (Callback cb = m_driveCallback.load()) cb(code);
}

void ZELKSession::callServerImageCallback(int code) {
    EventScope scope(this);
    if (Callback cb = m_serverImageCallback.load()) cb(code);
}

ZELKSession* ZELKSession::callingSession() {
    if (t_eventSession != nullptr) return t_eventSession;
    // Only sessions give their threads an owner.
    return static_cast<ZELKSession*>(AThread::callingOwner());
}

bool ZELKSession::isOwnThread() const { return AThread::callingOwner() == this; }

void ZELKSession::adopt(AThread* thread) {
    if (thread != nullptr) thread->setOwner(this);
}

bool ZELKSession::isConsoleStyle() const {
    const int s = m_vmStyle.load();
    return s == VMConnectionInfo::VM_STYLE_MOSKA || s == VMConnectionInfo::VM_STYLE_MOSKA_RDOC1 ||
           s == VMConnectionInfo::VM_STYLE_MOSKA_RDOC2;
}

void ZELKSession::print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

int64_t ZELKSession::nowSeconds() { return tw::Clock::nowMs() / 1000; }

void ZELKSession::setOTPCredentials(const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_otpUser = user ? std::optional<std::string>(user) : std::nullopt;
    m_otpPassword = password ? std::optional<std::string>(password) : std::nullopt;
}

std::optional<std::string> ZELKSession::getOTPUser() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_otpUser;
}

std::optional<std::string> ZELKSession::getOTPPassword() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_otpPassword;
}

HeartBeatThread* ZELKSession::getHeartBeatThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_heartBeatThread.get();
}

ReconnectThread* ZELKSession::getReconnectThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_reconnectThread.get();
}

FindDrivesThread* ZELKSession::getFindDrivesThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_findDrivesThread.get();
}

WatchDriveThread* ZELKSession::getWatchDriveThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_watchDriveThread.get();
}

CancelConnectThread* ZELKSession::getCancelConnectThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    return m_cancelConnectThread.get();
}

bool ZELKSession::hasRun() const { return m_receiveThread && m_receiveThread->wasStarted(); }

// ---- Socket ----------------------------------------------------------------

std::shared_ptr<ASocket> ZELKSession::getSocket() {
    std::lock_guard<std::mutex> lock(m_tuvoMutex);
    return m_socket;
}

std::shared_ptr<ByteStream> ZELKSession::getStream() {
    std::lock_guard<std::mutex> lock(m_tuvoMutex);
    if (m_testStream) return m_testStream;
    return m_socket;
}

std::shared_ptr<ProtocolTUVO> ZELKSession::getTuvo() {
    std::lock_guard<std::mutex> lock(m_tuvoMutex);
    return m_tuvo;
}

void ZELKSession::setStreamForTesting(std::shared_ptr<ByteStream> stream, std::function<void()> onClose) {
    std::lock_guard<std::mutex> lock(m_tuvoMutex);
    m_testStream = std::move(stream);
    m_testStreamClose = std::move(onClose);
}

void ZELKSession::startForTesting() {
    m_isStopped.store(0);
    m_receiveThread->start();
    m_sendThread->start();
}

void ZELKSession::closeSocket() {
    std::shared_ptr<ASocket> socket;
    std::function<void()> closeTest;
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        socket = std::move(m_socket);
        m_socket.reset();
        closeTest = std::move(m_testStreamClose);
        m_testStreamClose = nullptr;
        m_testStream.reset();
    }
    // Shut down, not freed: a thread inside a read or write on it returns,
    // and the object lives on (with its session-setup object) until the
    // destructor has joined the threads.
    if (socket) socket->close();
    if (closeTest) closeTest();
}

void ZELKSession::closeMedia() {
    if (m_driveList == nullptr) return;
    // Nothing is mapped any more once stopping is set (a map request checks
    // it under this lock before it keeps the medium it opened). The
    // mappings themselves are left as they are: only the media close.
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    const int n = m_driveList->getNumberOfLocalDrives();
    for (int i = 0; i < n; ++i) {
        VMLocalDrive* ld = m_driveList->getLocalDriveAt(i);
        if (ld == nullptr) break;
        if (ld->getFileHandle() != VMIO::INVALID_HANDLE) {
            if (ld->isDrive()) VMIO::UnlockCD(ld->getFileHandle());
            VMIO::CloseDrive(ld->getFileHandle(), ld->isLocked() != 0);
            ld->setFileHandle(VMIO::INVALID_HANDLE);
            ld->setLocked(0);
        }
        m_driveList->releaseLocalDrive(ld);
    }
}

void ZELKSession::releaseSocket() {
    // Every new holder of a set-up object (and through it the socket) takes
    // it under m_tuvoMutex: one held only here has no other user.
    const int64_t deadline = tw::Clock::nowMs() + SOCKET_RELEASE_WAIT_MS;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_tuvoMutex);
            bool held = false;
            if (m_tuvo && !m_socket && !m_testStream) {
                if (m_tuvo.use_count() == 1)
                    m_tuvo->closeSocket();  // the set-up object itself stays
                else
                    held = true;
            }
            for (auto it = m_retiredTuvos.begin(); it != m_retiredTuvos.end();) {
                if (it->use_count() == 1) {
                    it = m_retiredTuvos.erase(it);
                } else {
                    held = true;
                    ++it;
                }
            }
            if (!held) return;
        }
        if (tw::Clock::nowMs() >= deadline) {
            LogMessage("%s socket still in use; it is closed with the session.\n", "ZELKSession::releaseSocket:");
            return;
        }
        tw::Clock::sleepMs(5);
    }
}

int ZELKSession::getPeerTuvoVersion() {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    return tuvo ? tuvo->getPeerTuvoVersion() : 0;
}

// ---- Connect and login -----------------------------------------------------

int ZELKSession::connect(const VMConnectionInfo* settings) {
    const char* who = "ZELKSession::connect:";
    LogMessage("%s Entered.\n", who);
    if (m_stopping.load()) return VMConstants::API_ERROR;
    if (getSocket()) return VMConstants::API_ERROR;
    if (settings == nullptr) return VMConstants::API_INVALID_ARGUMENT;
    m_connectAttempted.store(1);
    // Only this thread touches the copies until the threads start.
    m_settingsCopies.push_back(std::make_unique<VMConnectionInfo>(settings));
    VMConnectionInfo* info = m_settingsCopies.back().get();

    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_sessionStatus.reset();
    }
    m_cancelConnect.store(0);
    // Left set by an earlier connect of this session (its login, or a prompt
    // answered): the cancel-connect watch of this one must not end at once.
    m_connectDone.store(0);
    m_promptState.store(0);
    m_connectionInfo.store(info);

    m_reconnectAttemptTimeout.store(info->getReconnectTimeout());
    m_reconnectCheckTimeout.store(30);
    m_reconnectAvailable.store(m_reconnectAttemptTimeout.load() > 0 ? 1 : 0);
    m_reconnectMethod.store(info->getReconnectMethod());
    m_floppyReversed.store(info->isFloppyReversed() != 0 ? 1 : 0);
    m_heartbeatTimeout.store(info->getHeartbeatTimeout());
    m_connectTimeout.store(info->getConnectTimeout());

    m_quiet.store(1);
    if (isConsoleStyle()) {
        m_quiet.store(0);
        std::printf(" Connecting to: %s at port %i\n", info->getIpAddress() ? info->getIpAddress() : "",
                    info->getPort());
        std::fflush(stdout);
    }

    ProtocolTUVO::PlainTextCallback plain;
    if (Callback cb = m_plainConnectionCallback.load()) plain = cb;
    auto tuvo = std::make_shared<ProtocolTUVO>(info->getIpAddress(), m_quiet.load(), this, info->getPort(),
                                               info->forceEncryption() != 0, plain, info->getCallbackTimeout());
    tuvo->setConnectionInfo(info);
    tuvo->setClearTextReconnect(info->getSecureVMedia() != 0);
    tuvo->setCipherList(info->getCipherList());
    tuvo->setClientCertificate(static_cast<X509*>(info->getPrivateCert()), static_cast<EVP_PKEY*>(info->getCertKey()));
    if (info->getCredentialType() == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE &&
        (info->getPrivateCert() != nullptr || info->getCertKey() != nullptr))
        tuvo->setCapabilities(8);
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        if (m_tuvo) m_retiredTuvos.push_back(std::move(m_tuvo));
        m_tuvo = tuvo;
    }

    if (info->getWaitOnCancel() != 0) {
        std::unique_ptr<CancelConnectThread> old;
        {
            std::lock_guard<std::mutex> lock(m_threadMutex);
            old = std::move(m_cancelConnectThread);
        }
        if (old) {
            old->stopThread();
            old->join();
            // An old watch stopped after its connect had finished cancels
            // "the" connect: that must not be this one.
            m_cancelConnect.store(0);
            tuvo->setCancelConnect(false);
        }
        auto thread = std::make_unique<CancelConnectThread>();
        thread->setSession(this);
        adopt(thread.get());
        std::lock_guard<std::mutex> lock(m_threadMutex);
        m_cancelConnectThread = std::move(thread);
        m_cancelConnectThread->start();
    }

    // Set-up runs on this thread; only the connecting thread touches the
    // object's socket until it is published below.
    ASocket* socket = nullptr;
    bool threw = false;
    try {
        socket = tuvo->getSocket(m_reconnectMethod.load() == 1 ? 1 : 2);
    } catch (const char* text) {
        LogMessage("%s failed to setup ASocket! %s\n", who, text);
        threw = true;
    } catch (...) {
        LogMessage("%s failed to setup ASocket!\n", who);
        threw = true;
    }

    if (!threw) {
        if (m_cancelConnect.load()) {
            // The connection set-up made must not stay open behind a cancel.
            if (socket != nullptr) tuvo->closeSocket();
            return VMConstants::API_CANCELLED;
        }
        if (socket == nullptr) return VMConstants::API_ERROR;
        const bool secure = tuvo->isSecure();
        m_secure.store(secure ? 1 : 0);
        m_serverHeartbeat.store(tuvo->getFirstTimeout());
        // Reconnection needs the server's offer, TLS and a positive attempt timeout.
        const bool offered = tuvo->isReconnectCapable();
        m_reconnectAvailable.store(offered && secure && m_reconnectAttemptTimeout.load() > 0 ? 1 : 0);
        if (!secure) LogMessage("%s DISABLE RECONNECT - Not Secure\n", who);
        // The clear-text-reconnect bit asks for a reconnection at once; when
        // none can happen (always so in clear text) the bit would only hold
        // back the drive list and the drive events for good.
        if (tuvo->getClearTextReconnect() && !m_reconnectAvailable.load()) {
            LogMessage("%s clear-text reconnect not available, carrying on without it.\n", who);
            tuvo->setClearTextReconnect(false);
        }
        if (info->getCredentialType() == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE && !secure)
            info->setCredentialType(VMConnectionInfo::CREDENTIALTYPE_RANDOMNUM);
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        // Aliasing: the socket keeps its session-setup object alive.
        m_socket = std::shared_ptr<ASocket>(tuvo, socket);
    }

    if (!getSocket()) {
        LogMessage("%s Connection Failed.\n", who);
        if (CertHandler::getState() == CertHandler::STATE_CANCEL || m_cancelConnect.load())
            return VMConstants::API_CANCELLED;
        return VMConstants::API_ERROR;
    }
    if (m_cancelConnect.load()) {
        closeSocket();
        return VMConstants::API_CANCELLED;
    }

    m_isStopped.store(0);
    m_receiveThread->start();
    m_sendThread->start();
    if (!m_receiveThread->wasStarted() || !m_sendThread->wasStarted()) {
        LogMessage("%s thread start failed.\n", who);
        m_isStopped.store(1);
        return VMConstants::API_ERROR;
    }
    return VMConstants::API_SUCCESS;
}

void ZELKSession::sendLoginUser(const char* password, const char* userId, uint8_t preempt, int clientRandom,
                                int applianceRandom, const char* applianceId, int appliancePort,
                                int applianceChannel) {
    const char* who = "ZELKSession::sendLoginUser:";
    if (m_stopping.load()) return;
    if (!getStream()) {
        LogMessage("%s no socket.\n", who);
        return;
    }
    VMConnectionInfo* info = m_connectionInfo.load();
    const int credentials = info != nullptr ? info->getCredentialType() : VMConnectionInfo::CREDENTIALTYPE_LOGIN;
    std::unique_ptr<ZELKPacket> packet;
    if (credentials == VMConnectionInfo::CREDENTIALTYPE_RANDOMNUM) {
        packet = std::make_unique<RandomLoginMessage>(uint32_t(clientRandom), uint32_t(applianceRandom), preempt != 0);
    } else if (credentials == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE) {
        packet = std::make_unique<LoginCertificateMessage>();
    } else {
        std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
        const int version = tuvo ? tuvo->getZelkMajor() * 100 + tuvo->getZelkMinor() : 114;
        auto login = std::make_unique<LoginMessage>(version);
        try {
            login->setCredentials(userId, password);
            if (applianceId != nullptr && applianceId[0] != '\0') {
                login->setRipId(applianceId);
                login->setAppliance(appliancePort, applianceChannel);
            }
        } catch (const char* text) {
            // The server would refuse the login anyway; the facade's wait
            // for the answer reports the failure.
            LogMessage("%s login not sent: %s\n", who, text);
            return;
        }
        login->setPreempt(preempt != 0);
        packet = std::move(login);
    }
    m_receiveThread->getReceiver().setExpectingLogin(true);
    m_sendThread->send(packet.release());
    if (preempt != 0) return;
    if (m_cancelConnect.load()) return;
    if (m_reconnectAvailable.load() && m_reconnectMethod.load() == 1) m_heartbeatTimeout.store(0);
    if (m_heartbeatTimeout.load() <= 0) return;
    startHeartBeatThread();
}

void ZELKSession::startHeartBeatThread() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_heartBeatThread) return;
    m_heartBeatThread = std::make_unique<HeartBeatThread>(this);
    adopt(m_heartBeatThread.get());
    m_heartBeatThread->start();
}

void ZELKSession::StartLoginSuccessfulThreads() {
    const char* who = "ZELKSession::StartLoginSuccessfulThreads:";
    m_connectDone.store(1);
    if (m_stopping.load() || m_cancelConnect.load()) return;
    if (m_waitingForVDiskInfoResponse.load()) {
        LogMessage("%s Waiting for m_waitingForVDiskInfoResponse before starting threads\n", who);
        m_startThreadsPending.store(1);
        return;
    }
    VMConnectionInfo* info = m_connectionInfo.load();
    const int method = info != nullptr ? info->getRunFindDrivesMethod() : VMConnectionInfo::RUN_FINDDRIVES_NEVER;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        if (!m_findDrivesThread && method == VMConnectionInfo::RUN_FINDDRIVES_ALWAYS) {
            m_findDrivesThread = std::make_unique<FindDrivesThread>(this);
            adopt(m_findDrivesThread.get());
            m_findDrivesThread->start();
        }
        if (m_stopping.load()) return;
        if (!m_watchDriveThread) {
            m_watchDriveThread = std::make_unique<WatchDriveThread>(m_vmAPI, this);
            adopt(m_watchDriveThread.get());
            m_watchDriveThread->start();
        }
    }
    if (m_cancelConnect.load()) return;
    if (method == VMConnectionInfo::RUN_FINDDRIVES_ONCE) runFindDrives(m_driveList);
    if (m_stopping.load() || m_cancelConnect.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        if ((m_reconnectAvailable.load() || isVersionWordAbove0101()) && !m_reconnectThread) {
            LogMessage("%s Instaciating ReconnectThread: m_reconnectCheckTimeout=%i\n", who,
                       m_reconnectCheckTimeout.load());
            m_reconnectThread = std::make_unique<ReconnectThread>(m_reconnectCheckTimeout.load(),
                                                                  uint8_t(m_reconnectAvailable.load() ? 1 : 0), this);
            adopt(m_reconnectThread.get());
            m_reconnectThread->start();
        }
    }
    m_CTRSem.release();
}

void ZELKSession::receivedVDiskInfoResponse() {
    LogMessage("%s Received VDisk Info reponse.\n", "ZELKSession::receivedVDiskInfoResponse:");
    m_waitingForVDiskInfoResponse.store(0);
    m_vdiskInfoRequestTime.store(0);
    if (m_startThreadsPending.exchange(0)) StartLoginSuccessfulThreads();
}

// ---- Status record ---------------------------------------------------------

void ZELKSession::setSessionStatus(VMSessionStatus* status) {
    std::unique_ptr<VMSessionStatus> record(status);
    std::string cipher, protocol;
    bool tls = false;
    if (record) {
        std::shared_ptr<ASocket> socket = getSocket();
        if (socket && socket->isSslHandshakeOk()) {
            tls = true;
            cipher = socket->getCipherName();
            protocol = socket->getProtocolName();
        }
        if (m_cancelConnect.load()) record->setStatus(VMSessionStatus::VM_SESSION_CLOSED);
        record->setSecureCipher(tls ? cipher.c_str() : nullptr);
        record->setSecureProtocol(tls ? protocol.c_str() : nullptr);
    }
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_sessionStatus = std::move(record);
    m_statusGeneration.fetch_add(1);
}

std::unique_ptr<VMSessionStatus> ZELKSession::copySessionStatus() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_sessionStatus) return nullptr;
    m_sessionStatus->setReconnecting(m_reconnecting.load());
    m_sessionStatus->setEncrypted(m_secure.load());
    return std::make_unique<VMSessionStatus>(*m_sessionStatus);
}

bool ZELKSession::hasSessionStatus() {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_sessionStatus != nullptr;
}

int ZELKSession::getSessionStatusCode(int fallback) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_sessionStatus ? m_sessionStatus->getStatus() : fallback;
}

bool ZELKSession::setSessionStatusCode(int status) {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (!m_sessionStatus) return false;
    m_sessionStatus->setStatus(status);
    return true;
}

void ZELKSession::sendPreemptResponse(int answer) {
    if (m_stopping.load() || !m_sendThread) return;
    sendPacket(new PreemptResponse(answer == VMConstants::PREEMPT_DENY));
}

int ZELKSession::isVersionAbove1_1() {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    if (!tuvo) return 0;
    const int major = tuvo->getZelkMajor();
    const int minor = tuvo->getZelkMinor();
    return ((major == 1 && minor > 1) || major > 2) ? 1 : 0;
}

int ZELKSession::isVersionWordAbove0101() {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    return tuvo && tuvo->getPeerTuvoVersion() >= 0x0102 ? 1 : 0;
}

void ZELKSession::sendPacket(ZELKPacket* packet) {
    std::unique_ptr<ZELKPacket> owned(packet);
    if (!owned || m_stopping.load() || !m_sendThread) return;
    m_sendThread->send(owned.release());
}

void ZELKSession::sendPacketWhileStopping(ZELKPacket* packet) {
    std::unique_ptr<ZELKPacket> owned(packet);
    if (!owned || !m_sendThread) return;
    m_sendThread->send(owned.release());
}

int ZELKSession::countMappedDrives() {
    if (m_driveList == nullptr) return 0;
    std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
    int mapped = 0;
    const int n = m_driveList->getNumberOfLocalDrives();
    for (int i = 0; i < n; ++i) {
        VMLocalDrive* ld = m_driveList->getLocalDriveAt(i);
        if (ld == nullptr) break;
        if (ld->getMappedTo() != -1) ++mapped;
        m_driveList->releaseLocalDrive(ld);
    }
    return mapped;
}

// ---- Stop and teardown -----------------------------------------------------

int ZELKSession::cancelConnect() {
    LogMessage("%s Entered.\n", "ZELKSession::cancelConnect:");
    m_OTPSem.release();
    m_SessIDSem.release();
    m_CTRSem.release();
    m_cancelConnect.store(1);
    if (std::shared_ptr<ProtocolTUVO> tuvo = getTuvo()) {
        tuvo->setCancelConnect(true);
        // A plain-text question still open is answered with a refusal.
        tuvo->setPlainTextResponse(0);
    }
    cancelAttempt();
    // A certificate question still open ends as CANCEL (the flag is set first).
    m_certSem->release();
    return VMConstants::API_SUCCESS;
}

void ZELKSession::cancelAttempt() {
    std::shared_ptr<ProtocolTUVO> attempt;
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        attempt = m_attemptTuvo;
    }
    if (attempt) attempt->setCancelConnect(true);
}

bool ZELKSession::promptAbandoned() const {
    return m_cancelConnect.load() != 0 || m_stopping.load() != 0 ||
           (m_reconnecting.load() != 0 && m_cancelReconnect.load() != 0);
}

void ZELKSession::sendCloseConnection() {
    if (!m_reconnectAvailable.load() || !m_sendThread) return;
    sendPacketWhileStopping(new SessionClose(uint32_t(m_sessionId.load())));
}

template <typename T>
void ZELKSession::waitNotRunning(T* thread, const char* name) {
    if (thread == nullptr || thread->isCurrentThread()) return;
    const int64_t deadline = tw::Clock::nowMs() + THREAD_STOP_WAIT_MS;
    while (thread->isRunning()) {
        if (tw::Clock::nowMs() >= deadline) {
            LogMessage("%s %s still running after %lld ms.\n", "ZELKSession::stopSession:", name,
                       static_cast<long long>(THREAD_STOP_WAIT_MS));
            return;
        }
        tw::Clock::sleepMs(2);
    }
}

void ZELKSession::stopSession() {
    const char* who = "ZELKSession::stopSession:";
    // One teardown per session, whoever asks first; the others return once
    // it is over. The session's own threads never wait here: the teardown
    // may be waiting for them.
    if (m_isStopped.load()) return;
    if (m_stopping.exchange(1)) {
        if (isOwnThread()) return;
        const int64_t deadline = tw::Clock::nowMs() + STOP_WAIT_MS;
        while (!m_isStopped.load() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(5);
        if (!m_isStopped.load()) LogMessage("%s the stop under way has not ended in time.\n", who);
        return;
    }
    LogMessage("%s Entered.\n", who);

    // The receive thread first, so no new request is served while drives go.
    // When this runs on it (a handler stopped the session), it ends after
    // the handler returns.
    ReceiveThread* receive = m_receiveThread.get();
    if (receive != nullptr) {
        receive->stopThread();
        if (!receive->isCurrentThread()) {
            const int64_t deadline = tw::Clock::nowMs() + THREAD_STOP_WAIT_MS;
            while (receive->isProcessing() && tw::Clock::nowMs() < deadline) tw::Clock::sleepMs(50);
        }
    }

    m_cancelReconnect.store(1);
    m_OTPSem.release();
    m_SessIDSem.release();
    m_CTRSem.release();
    // A reconnection may be inside its set-up or its certificate question.
    cancelAttempt();
    m_certSem->release();

    ReconnectThread* reconnectThread = getReconnectThread();
    if (reconnectThread != nullptr) {
        reconnectThread->stopThread();
        cancelReconnect();
    }

    // Given back below only when taken here: a semaphore is released by
    // its taker alone.
    const int64_t connectWait = int64_t(m_connectTimeout.load() > 0 ? m_connectTimeout.load() : 30) * 1000;
    const bool haveSemaphore =
        m_vmAPI != nullptr && m_vmAPI->acquireConnectSemaphore(connectWait) == ASemaphore::WAIT_OBTAINED;
    if (m_vmAPI != nullptr && !haveSemaphore) LogMessage("%s connect semaphore not obtained, going on.\n", who);
    if (m_vmAPI != nullptr) m_vmAPI->setConnectionStatus(VMConstants::VMAPI_DISCONNECTING);

    try {
        if (m_serverImageManager) m_serverImageManager->cancel();
        if (FindDrivesThread* t = getFindDrivesThread()) t->stopThread();
        waitNotRunning(reconnectThread, "reconnect thread");
        if (HeartBeatThread* t = getHeartBeatThread()) {
            t->stopThread();
            waitNotRunning(t, "heartbeat thread");
        }
        if (!m_cancelConnect.load()) {
            unmapAllDrives();
            if (m_sendThread && m_reconnectAvailable.load() && !m_reconnecting.load()) {
                sendCloseConnection();
                m_reconnectAvailable.store(0);
            }
        }
        closeMedia();
        // What was queued (the releases above) reaches the server before the
        // connection goes.
        // A send thread parked by a failed reconnection has no connection to drain to.
        if (m_sendThread && m_sendThread->isRunning() && !m_sendThread->isSuspendRequested() &&
            !m_sendThread->waitAllSent(SEND_DRAIN_WAIT_MS))
            LogMessage("%s send queue not written out in time.\n", who);
        tw::Clock::sleepMs(100);
        closeSocket();
        if (receive != nullptr) receive->stopThread();
        if (m_sendThread) {
            m_sendThread->stopThread();
            waitNotRunning(m_sendThread.get(), "send thread");
        }
        // The descriptor closes once neither thread can be inside a read or
        // write on it (a read the close woke ends the receive thread); a
        // thread still busy leaves it to the destructor.
        waitNotRunning(receive, "receive thread");
        auto ended = [](AThread* t) { return t == nullptr || !t->isRunning() || t->isCurrentThread(); };
        if (ended(receive) && ended(m_sendThread.get())) releaseSocket();
    } catch (const char* text) {
        LogMessage("%s exception caught: %s\n", who, text);
    }
    // A reconnection cut short by the stop (its thread stopped) is over too.
    m_reconnecting.store(0);

    if (m_vmSessionCallback.load() != nullptr) {
        if (!m_loginRefused.load()) setSessionStatusCode(VMSessionStatus::VM_SESSION_CLOSED);
        callSessionCallback(VMConstants::SESSION_CLOSED);
    }
    tw::Clock::sleepMs(500);
    if (m_vmAPI != nullptr) m_vmAPI->setConnectionStatus(VMConstants::VMAPI_DISCONNECTED);
    if (haveSemaphore) m_vmAPI->releaseConnectSemaphore();
    // Last: a poller that sees it may delete the session at once.
    m_isStopped.store(1);
    m_stopping.store(0);
    LogMessage("%s Stopped.\n", who);
}

// ---- Prompts ---------------------------------------------------------------

void ZELKSession::CallbackCertificateSave(CertificatePrompt* prompt) {
    if (prompt == nullptr) return;
    // The record exists only during this call.
    struct Forget {
        std::atomic<CertificatePrompt*>& p;
        std::atomic<int>& state;
        ~Forget() {
            p.store(nullptr);
            state.store(0);
        }
    } forget{m_certPrompt, m_promptState};
    m_certPrompt.store(prompt);
    // The certificate itself, not its subject name: another key under the
    // same name is another certificate.
    const std::string fingerprint(prompt->sha256Fingerprint,
                                  strnlen(prompt->sha256Fingerprint, sizeof prompt->sha256Fingerprint));
    const auto remember = [this](const std::string& accepted) {
        std::lock_guard<std::mutex> lock(m_acceptedCertMutex);
        m_acceptedCert = accepted;
    };
    const auto isRemembered = [this, &fingerprint] {
        std::lock_guard<std::mutex> lock(m_acceptedCertMutex);
        return !fingerprint.empty() && m_acceptedCert == fingerprint;
    };
    Callback cb = m_certificateCallback.load();
    if (cb == nullptr) {
        prompt->answer = CertHandler::ANSWER_RUN_ONCE;
        return;
    }
    // An answer left from an earlier prompt must not answer this one.
    while (m_certSem->timedWaitMs(0) == ASemaphore::WAIT_OBTAINED) {
    }
    m_certResponse.store(NO_CERT_RESPONSE);
    m_promptState.store(1);
    cb(VMConstants::CERTIFICATE_RETURNED);
    if (m_reconnecting.load() && isRemembered()) {
        m_certResponse.store(0);
    } else {
        // A cancel or a stop sets its flag before it releases the semaphore:
        // one that came before the drain above is seen here, a later one
        // ends the wait.
        if (promptAbandoned()) {
            remember("");
            prompt->answer = CertHandler::ANSWER_CANCEL;
            return;
        }
        const int timeout = m_connectTimeout.load() > 0 ? m_connectTimeout.load() : 30;
        const int r = m_certSem->timedWait(4 * timeout);
        if (r == ASemaphore::WAIT_TIMEOUT) {
            prompt->answer = CertHandler::ANSWER_TIMEOUT;
            return;
        }
        if (r != ASemaphore::WAIT_OBTAINED || promptAbandoned()) {
            // Nobody answered: never an acceptance.
            remember("");
            prompt->answer = CertHandler::ANSWER_CANCEL;
            return;
        }
    }
    switch (m_certResponse.load()) {
        case 2:
            remember("");
            prompt->answer = CertHandler::ANSWER_CANCEL;
            break;
        case 1:
            remember(fingerprint);
            prompt->answer = CertHandler::ANSWER_RUN;
            break;
        case 0:
            remember(fingerprint);
            prompt->answer = CertHandler::ANSWER_RUN_ONCE;
            break;
        default:
            prompt->answer = CertHandler::ANSWER_CANCEL;
            break;
    }
}

void ZELKSession::setCertificateResponse(int answer) {
    m_certResponse.store(answer);
    m_connectDone.store(1);
    if (answer == 2) cancelConnect();
    m_certSem->release();
}

void ZELKSession::setPlainConnectionResponse(int answer) {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    if (!tuvo) return;
    tuvo->setPlainTextResponse(answer);
    m_connectDone.store(1);
    setSessionStatusCode(0);
}

void ZELKSession::getCertificateInfo(VMCertificateInfo* info) {
    if (info == nullptr) return;
    CertificatePrompt* prompt = m_certPrompt.load();
    std::unique_ptr<CertificatePrompt> temporary;
    if (prompt == nullptr) {
        temporary = std::make_unique<CertificatePrompt>();
        *temporary = CertificatePrompt{};
        temporary->answer = CertificatePrompt::NO_ERROR_MARKER;
        CertHandler::fillCertificatePrompt(temporary.get());
        prompt = temporary.get();
    }
    info->setReason(prompt->reason);
    info->setCommonName(prompt->commonName);
    info->setOrganization(prompt->organization);
    info->setOrganizationUnit(prompt->organizationUnit);
    info->setLocality(prompt->locality);
    info->setEmail(prompt->emailAddress);
    info->setVersion(prompt->version);
    info->setSerial(prompt->serialNumber);
    info->setIssuer(prompt->issuer);
    info->setSubject(prompt->subject);
    info->setValidity(prompt->validity);
    info->setSignature(prompt->signature);
    info->setSigAlgo(prompt->signatureAlgo);
    info->setThumbSHA(prompt->shaFingerprint);
    info->setThumbMD5(prompt->md5Fingerprint);
    info->setPublicKey(prompt->keyPublic1);
    info->setErrorCode(prompt->errorCode);
    info->setHash(prompt->hash);
}
