// Reconnection after a dropped connection, and the one-time credentials it
// logs in with. reconnect runs on the reconnect thread only; remapDrives on
// the receive thread (inside the drive-list handler); the clear-text helpers
// on the application's thread inside the facade's connect.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMRemoteDrive.h"
#include "api/VMSessionStatus.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "platform/Clock.h"
#include "protocol/LoginMessage.h"
#include "protocol/OTPRequest.h"
#include "protocol/PacketReceiver.h"
#include "protocol/ProtocolTUVO.h"
#include "protocol/SessionIdRequest.h"
#include "session/ReceiveThread.h"
#include "session/ReconnectThread.h"
#include "session/SendThread.h"
#include "session/SessionHost.h"
#include "session/ZELKSession.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"

namespace {

const char* const kReconnect = "ZELKSession::reconnect:";
const char* const kRemap = "ZELKSession::remapDrives:";

// Slices of the waits that must notice a cancel or a stop.
constexpr int64_t SLICE_MS = 100;

bool isCdType(int type) {
    return type == VMLocalDrive::LOCAL_DRIVE_IS_CD || type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
}

// Moves out the retired connections no thread uses any more: the list holds
// their only reference, and none can be taken anew once they are retired.
std::vector<std::shared_ptr<ProtocolTUVO>> takeIdle(std::vector<std::shared_ptr<ProtocolTUVO>>& retired) {
    std::vector<std::shared_ptr<ProtocolTUVO>> idle;
    for (auto it = retired.begin(); it != retired.end();) {
        if (it->use_count() == 1) {
            idle.push_back(std::move(*it));
            it = retired.erase(it);
        } else {
            ++it;
        }
    }
    return idle;
}

}  // namespace

int ZELKSession::wantedRemoteType(int localType, int mapAsFloppy, int vmStyle, bool above11) {
    const bool rdocStyle = vmStyle == VMConnectionInfo::VM_STYLE_RDOC ||
                           vmStyle == VMConnectionInfo::VM_STYLE_MOSKA_RDOC1 ||
                           vmStyle == VMConnectionInfo::VM_STYLE_MOSKA_RDOC2;
    if (isCdType(localType)) return localType;
    if (!(rdocStyle && !above11) && mapAsFloppy == 1) return VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY;
    return VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE;
}

bool ZELKSession::remoteSuits(int wantedType, int remoteType) {
    switch (wantedType) {
        case VMLocalDrive::LOCAL_DRIVE_IS_CD:
        case VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_CD;
        case VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY ||
                   remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        case VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE:
            return remoteType == VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        default:
            return false;
    }
}

namespace {

// The server drive type a wanted type is meant for (0: none).
int exactRemoteType(int wantedType) {
    switch (wantedType) {
        case VMLocalDrive::LOCAL_DRIVE_IS_CD:
        case VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE:
            return VMRemoteDrive::REMOTE_DRIVE_IS_CD;
        case VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY:
            return VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY;
        case VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE:
            return VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        default:
            return 0;
    }
}

}  // namespace

std::vector<int> ZELKSession::planRemap(const std::vector<RemapNeed>& needs, const std::vector<RemapSlot>& slots) {
    std::vector<int> place(needs.size(), -1);
    std::vector<bool> taken(slots.size(), false);
    auto available = [&](size_t s) { return slots[s].free && !taken[s]; };
    auto take = [&](size_t n, size_t s) {
        place[n] = slots[s].id;
        taken[s] = true;
    };
    auto oldSlot = [&](size_t n) {
        for (size_t s = 0; s < slots.size(); ++s)
            if (slots[s].id == needs[n].oldRemote) return s;
        return slots.size();
    };
    // Only a floppy has a second choice (a removable drive), so every drive
    // first gets the kind it is meant for and floppies take what is left:
    // no order of the drives places fewer.
    // 1. The old server drive, where it is still of the kind meant.
    for (size_t n = 0; n < needs.size(); ++n) {
        const size_t s = oldSlot(n);
        if (s < slots.size() && available(s) && slots[s].type == exactRemoteType(needs[n].wanted)) take(n, s);
    }
    // 2. The first free drive of the kind meant, as a map would choose it.
    for (size_t n = 0; n < needs.size(); ++n) {
        if (place[n] != -1) continue;
        const int exact = exactRemoteType(needs[n].wanted);
        for (size_t s = 0; s < slots.size(); ++s)
            if (available(s) && exact != 0 && slots[s].type == exact) {
                take(n, s);
                break;
            }
    }
    // 3. Any drive that suits, the old one first.
    for (size_t n = 0; n < needs.size(); ++n) {
        if (place[n] != -1) continue;
        const size_t old = oldSlot(n);
        if (old < slots.size() && available(old) && remoteSuits(needs[n].wanted, slots[old].type)) {
            take(n, old);
            continue;
        }
        for (size_t s = 0; s < slots.size(); ++s)
            if (available(s) && remoteSuits(needs[n].wanted, slots[s].type)) {
                take(n, s);
                break;
            }
    }
    return place;
}

bool ZELKSession::reconnectAbandoned() {
    if (m_stopping.load()) return true;
    ReconnectThread* t = getReconnectThread();
    return t != nullptr && t->isCurrentThread() && t->isStopRequested();
}

bool ZELKSession::parkThread(AThread* thread, const char* name) {
    if (thread == nullptr || !thread->isRunning() || thread->isStopRequested() || thread->isCurrentThread())
        return true;
    LogMessage("%s Suspending %s\n", kReconnect, name);
    const int64_t deadline = tw::Clock::nowMs() + THREAD_STOP_WAIT_MS;
    if (!thread->trySuspendThread(THREAD_STOP_WAIT_MS)) {
        // Stopped meanwhile (nothing to park), or its pause is held elsewhere.
        if (!thread->isStopRequested()) LogMessage("%s %s could not be paused.\n", kReconnect, name);
        return thread->isStopRequested();
    }
    while (thread->isRunning() && !thread->isSuspended()) {
        if (tw::Clock::nowMs() >= deadline) {
            LogMessage("%s %s not parked in time.\n", kReconnect, name);
            return false;
        }
        tw::Clock::sleepMs(2);
    }
    return true;
}

void ZELKSession::restartEnded(AThread* thread, const char* name) {
    if (thread == nullptr || thread->isRunning() || thread->isStopRequested() || reconnectAbandoned()) return;
    LogMessage("%s %s had ended, starting it again.\n", kReconnect, name);
    if (!thread->restart()) LogMessage("%s %s not started again.\n", kReconnect, name);
}

int ZELKSession::reconnect() {
    LogMessage("%s starting ****\n", kReconnect);
    ReceiveThread* receive = m_receiveThread.get();
    if (receive != nullptr) receive->getReceiver().setHold(true);

    // The facade's connect semaphore, in slices so a stop is never kept waiting.
    bool haveSemaphore = false;
    while (m_vmAPI != nullptr && !haveSemaphore) {
        if (m_cancelReconnect.load() || reconnectAbandoned()) break;
        haveSemaphore = m_vmAPI->acquireConnectSemaphore(SLICE_MS) == ASemaphore::WAIT_OBTAINED;
    }
    auto giveBack = [&] {
        if (haveSemaphore && m_vmAPI != nullptr) m_vmAPI->releaseConnectSemaphore();
        haveSemaphore = false;
    };
    // A stop or cancel already under way: nothing is announced for an
    // attempt that will not be made.
    if (m_cancelReconnect.load() || reconnectAbandoned()) {
        LogMessage("%s reconnect cancelled\n", kReconnect);
        if (receive != nullptr) receive->getReceiver().setHold(false);
        giveBack();
        return 1;
    }
    if (m_vmAPI != nullptr) m_vmAPI->setConnectionStatus(VMConstants::VMAPI_RECONNECTING);

    m_reconnectOutcomeClaimed.store(0);
    m_reconnecting.store(1);
    CertHandler::setState(CertHandler::STATE_ACCEPTED);
    if (isConsoleStyle()) print("Connection Dropped, Reconnecting.\n");
    if (!setSessionStatusCode(VMSessionStatus::RECONNECTING))
        setSessionStatus(new VMSessionStatus(VMSessionStatus::RECONNECTING, "", 0));
    callSessionCallback(VMSessionStatus::RECONNECTING);

    // The old connection goes down first: a read or write blocked on the dead
    // link returns, so both threads can reach their pause points. The object
    // itself lives on while a thread still holds it.
    const bool wasSecure = m_secure.load() != 0;
    std::shared_ptr<ASocket> oldSocket;
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        oldSocket = std::move(m_socket);
        m_socket.reset();
    }
    if (oldSocket) oldSocket->close();
    oldSocket.reset();
    if (receive != nullptr) receive->setReconnecting(1);
    // A thread still busy past the bound (a handler that blocks) would go on
    // and write what it finishes to the new connection: no reconnection then.
    const bool receiveParked = parkThread(receive, "m_receiveThread");
    const bool sendParked = receiveParked && parkThread(m_sendThread.get(), "m_sendThread");
    if (!receiveParked || !sendParked) {
        LogMessage("%s threads not parked, giving up.\n", kReconnect);
        if (m_vmSessionCallback.load() != nullptr && !m_cancelReconnect.load()) {
            setSessionStatusCode(VMSessionStatus::RECONNECT_FAILED);
            callSessionCallback(VMSessionStatus::RECONNECT_FAILED);
        }
        m_reconnectAvailable.store(0);
        m_reconnecting.store(0);
        giveBack();
        return 1;
    }
    LogMessage("%s clean up completed **************\n", kReconnect);

    const std::optional<std::string> user = getOTPUser();
    const std::optional<std::string> password = getOTPPassword();
    const int sessionId = m_sessionId.load();
    if (!user || !password || sessionId == -1 || m_cancelReconnect.load() || reconnectAbandoned()) {
        if (m_cancelReconnect.load() || reconnectAbandoned())
            LogMessage("%s reconnect cancelled\n", kReconnect);
        else
            LogMessage("%s One Time user or password not valid!\n", kReconnect);
        if (m_vmSessionCallback.load() != nullptr) {
            setSessionStatusCode(VMSessionStatus::RECONNECT_FAILED);
            callSessionCallback(VMSessionStatus::RECONNECT_FAILED);
        }
        // The old session cannot be closed over a dead link.
        m_reconnectAvailable.store(0);
        giveBack();
        return 1;
    }

    VMConnectionInfo* info = m_connectionInfo.load();
    const std::string address = info != nullptr && info->getIpAddress() != nullptr ? info->getIpAddress() : "";
    const int port = info != nullptr ? info->getPort() : 0;
    const bool forceEncryption = info != nullptr && info->forceEncryption() != 0;
    const int method = m_reconnectMethod.load() == 1 ? 1 : 2;
    const int64_t start = nowSeconds();

    std::shared_ptr<ProtocolTUVO> fresh;
    ASocket* freshSocket = nullptr;
    for (;;) {
        if (nowSeconds() - start > m_reconnectAttemptTimeout.load()) {
            LogMessage("%s Reconnect timed out\n", kReconnect);
            break;
        }
        if (reconnectAbandoned()) {
            LogMessage("%s cancelled\n", kReconnect);
            break;
        }
        m_lastReceiveTime.store(nowSeconds());
        LogMessage("%s Reconnecting to: %s at port %i  session Id: %i m_tuvo %p\n", kReconnect, address.c_str(), port,
                   sessionId, static_cast<void*>(fresh.get()));
        if (fresh) fresh->closeSocket();
        // No plain-text question on a reconnection; the same settings as the
        // first connection otherwise.
        fresh = std::make_shared<ProtocolTUVO>(address.c_str(), m_quiet.load(), this, port, forceEncryption,
                                               ProtocolTUVO::PlainTextCallback(), 0);
        if (info != nullptr) {
            fresh->setConnectionInfo(info);
            fresh->setClearTextReconnect(info->getSecureVMedia() != 0);
            fresh->setCipherList(info->getCipherList());
            fresh->setClientCertificate(static_cast<X509*>(info->getPrivateCert()),
                                        static_cast<EVP_PKEY*>(info->getCertKey()));
            if (info->getCredentialType() == VMConnectionInfo::CREDENTIALTYPE_CERTIFICATE &&
                (info->getPrivateCert() != nullptr || info->getCertKey() != nullptr))
                fresh->setCapabilities(8);
        }
        {
            // Published before the set-up starts, so a stop can call it off.
            std::lock_guard<std::mutex> lock(m_tuvoMutex);
            m_attemptTuvo = fresh;
        }
        if (reconnectAbandoned() || m_cancelReconnect.load()) fresh->setCancelConnect(true);
        bool fatal = false;
        try {
            freshSocket = fresh->getSocketReconnect(method, sessionId);
            m_reconnectAvailable.store(fresh->isReconnectCapable() && fresh->isSecure() ? 1 : 0);
        } catch (const char* text) {
            freshSocket = nullptr;
            LogMessage("%s m_tuvo.getSocketReconnect char exception:%s.\n", kReconnect, text);
            fatal = std::strcmp(text, "SSL Connection error") == 0;
        } catch (...) {
            freshSocket = nullptr;
            LogMessage("%s m_tuvo.getSocketReconnect ... exception.\n", kReconnect);
        }
        if (fatal) break;
        // The one-time password must never cross in clear when the session
        // was encrypted or encryption is required.
        if (freshSocket != nullptr && !fresh->isSecure() && (wasSecure || forceEncryption)) {
            LogMessage("%s refusing a plain-text reconnection.\n", kReconnect);
            fresh->closeSocket();
            freshSocket = nullptr;
        }
        if (freshSocket != nullptr) {
            LogMessage("%s got socket\n", kReconnect);
            LogMessage("%s breaking out of reconnect loop\n", kReconnect);
            break;
        }
        m_reconnectAvailable.store(0);
        LogMessage("%s get socket failed. retry.\n", kReconnect);
        if (m_cancelReconnect.load()) {
            LogMessage("%s cancelled\n", kReconnect);
            break;
        }
        const int64_t pauseEnd = tw::Clock::nowMs() + RECONNECT_RETRY_MS;
        while (tw::Clock::nowMs() < pauseEnd && !reconnectAbandoned()) {
            const int64_t left = pauseEnd - tw::Clock::nowMs();
            tw::Clock::sleepMs(left < SLICE_MS ? left : SLICE_MS);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        m_attemptTuvo.reset();
    }
    m_lastReceiveTime.store(nowSeconds());

    // A stop that came while the attempt ran wins over its success.
    if (freshSocket != nullptr && (m_cancelReconnect.load() || reconnectAbandoned())) {
        LogMessage("%s stopping, new connection dropped.\n", kReconnect);
        fresh->closeSocket();
        freshSocket = nullptr;
    }
    if (freshSocket == nullptr) {
        if (fresh) fresh->closeSocket();
        if (m_vmSessionCallback.load() != nullptr && !m_cancelReconnect.load()) {
            setSessionStatusCode(VMSessionStatus::RECONNECT_FAILED);
            callSessionCallback(VMSessionStatus::RECONNECT_FAILED);
        }
        m_reconnectAvailable.store(0);
        LogMessage("%s failed or cancelled ***************\n", kReconnect);
        m_reconnecting.store(0);
        giveBack();
        return 1;
    }

    LogMessage("%s Continuing send, recv and recon threads\n", kReconnect);
    // The bit asks for a reconnection, and this is one: a server that repeats
    // it must not hold back the drive list of the resumed session for good.
    if (fresh->getClearTextReconnect()) {
        LogMessage("%s clear-text reconnect asked again, already done.\n", kReconnect);
        fresh->setClearTextReconnect(false);
    }
    m_secure.store(fresh->isSecure() ? 1 : 0);
    m_serverHeartbeat.store(fresh->getFirstTimeout());
    std::vector<std::shared_ptr<ProtocolTUVO>> idle;
    {
        std::lock_guard<std::mutex> lock(m_tuvoMutex);
        if (m_tuvo) m_retiredTuvos.push_back(std::move(m_tuvo));
        m_tuvo = fresh;
        m_socket = std::shared_ptr<ASocket>(fresh, freshSocket);
        // Without this every reconnection would keep its old socket (its
        // descriptor and TLS state) until the session ends.
        idle = takeIdle(m_retiredTuvos);
    }
    idle.clear();  // closed outside the lock
    // Nothing written for the old connection goes out on the new one, and
    // the login is the first packet it carries.
    const size_t dropped = m_sendThread ? m_sendThread->discardQueued() : 0;
    if (dropped != 0) LogMessage("%s %d stale packets dropped.\n", kReconnect, int(dropped));
    try {
        auto login = std::make_unique<LoginMessage>(fresh->getZelkMajor() * 100 + fresh->getZelkMinor());
        login->setCredentials(user->c_str(), password->c_str());
        login->setPreempt(false);
        LogMessage("%s Sending login request with password for user: %s\n", kReconnect, user->c_str());
        if (receive != nullptr) receive->getReceiver().setExpectingLogin(true);
        if (m_sendThread) m_sendThread->send(login.release());
        if (receive != nullptr) {
            receive->getReceiver().setHold(false);
            receive->setReconnecting(0);
            receive->resume();
        }
        if (m_sendThread) m_sendThread->resume();
        // A thread that ended on an error serves the new connection again.
        restartEnded(receive, "m_receiveThread");
        restartEnded(m_sendThread.get(), "m_sendThread");
    } catch (const char* text) {
        LogMessage("%s const Exception %s caught\n", kReconnect, text);
        m_reconnecting.store(0);
        giveBack();
        return 1;
    } catch (...) {
        LogMessage("%s ... Exception caught\n", kReconnect);
        m_reconnecting.store(0);
        giveBack();
        return 1;
    }
    LogMessage("%s success ***************\n", kReconnect);
    LogMessage("%s Finished reconnect\n", kReconnect);
    giveBack();
    return 0;
}

int ZELKSession::remapDrives() {
    LogMessage("%s Entered.\n", kRemap);
    if (m_driveList == nullptr) return VMConstants::API_ERROR;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mappingMutex);
        const int style = m_vmStyle.load();
        const bool above11 = isVersionAbove1_1() != 0;
        // Every mapped drive is closed first: the old connection's mappings
        // are gone, and a drive that finds no place again stays closed.
        std::vector<VMLocalDrive*> drives;
        std::vector<RemapNeed> needs;
        const int count = m_driveList->getNumberOfLocalDrives();
        for (int i = 0; i < count; ++i) {
            VMLocalDrive* ld = m_driveList->getLocalDriveAt(i);
            if (ld == nullptr) break;
            const int oldRemote = ld->getMappedTo();
            if (oldRemote != -1) {
                LogMessage("%s local id: %i\n", kRemap, ld->getDriveId());
                if (ld->isDrive()) VMIO::UnlockCD(ld->getFileHandle());
                VMIO::CloseDrive(ld->getFileHandle(), ld->isLocked() != 0);
                ld->setFileHandle(VMIO::INVALID_HANDLE);
                ld->setLocked(0);
                ld->setMappedTo(-1);
                m_numMaps.fetch_sub(1);
                const int type = ld->getLocalDriveType();
                LogMessage("%s Local drive type=%i.!\n", kRemap, type);
                const int wanted = wantedRemoteType(type, ld->getMapAsFloppy(), style, above11);
                LogMessage("%s Looking for matching remote drive type=%i.!\n", kRemap, wanted);
                // Drive objects stay while the mapping lock is held: only
                // work under it removes local drives.
                drives.push_back(ld);
                needs.push_back({wanted, oldRemote});
            }
            m_driveList->releaseLocalDrive(ld);
        }
        std::vector<RemapSlot> slots;
        const int remotes = m_driveList->getNumberOfRemoteDrives();
        for (int i = 0; i < remotes; ++i) {
            VMRemoteDrive* rd = m_driveList->getRemoteDriveAt(i);
            if (rd == nullptr) break;
            slots.push_back({rd->getDriveId(), rd->getRemoteDriveType(),
                             rd->getStatus() == VMRemoteDrive::REMOTE_DRIVE_IDLE && rd->getMappedTo() == -1});
            m_driveList->releaseRemoteDrive(rd);
        }
        const std::vector<int> place = planRemap(needs, slots);
        // All or nothing: a reconnection that cannot place every drive ends
        // the session, so no drive is offered again only for the stop to
        // take it back.
        for (size_t n = 0; n < drives.size(); ++n) {
            if (place[n] != -1) continue;
            LogMessage("%s no matching drive!\n", kRemap);
            LogMessage("%s local id %i (type %i) has no place on the new drive list.\n", kRemap,
                       drives[n]->getDriveId(), needs[n].wanted);
            return VMConstants::API_ERROR;
        }
        for (size_t n = 0; n < drives.size(); ++n) {
            VMLocalDrive* ld = drives[n];
            VMRemoteDrive* rd = m_driveList->getRemoteDriveByID(place[n]);
            if (rd == nullptr) return VMConstants::API_ERROR;
            const int readOnly = ld->isInReadOnlyMode();
            int result;
            if (isCdType(ld->getLocalDriveType())) {
                result = sendMapRequest(rd, ld, readOnly);
            } else {
                ld->setMapAsFloppy(rd->getRemoteDriveType() == VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY ? 1 : 0);
                result = sendMapRequest2(ld, rd, readOnly);
            }
            m_driveList->releaseRemoteDrive(rd);
            if (result != 0) {
                // The drives after it stay closed; the stop that follows
                // releases those already offered again.
                LogMessage("%s sendMapRequest2 failure!\n", kRemap);
                return VMConstants::API_ERROR;
            }
        }
    }
    if (m_vmSessionCallback.load() != nullptr) {
        LogMessage("%s calling m_vmSessionCallback(VMSessionStatus::RECONNECT_COMPLETED)\n", kRemap);
        setSessionStatusCode(VMSessionStatus::RECONNECT_COMPLETED);
        callSessionCallback(VMSessionStatus::RECONNECT_COMPLETED);
    }
    LogMessage("%s complete.. reconnecting set to false\n", kRemap);
    m_reconnecting.store(0);
    if (m_vmAPI != nullptr) {
        const int status = m_vmAPI->getConnectionStatus();
        if (status != VMConstants::VMAPI_CONNECTING && status != VMConstants::VMAPI_RECONNECTING) {
            LogMessage("%s odd connection status %d)\n", kRemap, status);
        } else {
            LogMessage("%s connection status VMConstants::VMAPI_CONNECTED)\n", kRemap);
            m_vmAPI->setConnectionStatus(VMConstants::VMAPI_CONNECTED);
        }
    }
    return VMConstants::API_SUCCESS;
}

int ZELKSession::cancelReconnect() {
    LogMessage("%s Entered.\n", "ZELKSession::cancelReconnect:");
    // The connect semaphore is left alone: a reconnection waits for it in
    // slices and sees this flag, and releasing it here could let a second
    // holder in beside the one that has it.
    m_cancelReconnect.store(1);
    return VMConstants::API_SUCCESS;
}

void ZELKSession::sendOTPRequest() {
    const char* who = "ZELKSession::sendOTPRequest:";
    LogMessage("%s reconnectavailable: %i\n", who, m_reconnectAvailable.load());
    if (!m_sendThread) return;
    if (m_reconnectAvailable.load() && m_sessionId.load() == -1) {
        // Runs on the receive thread, which alone releases these: a request
        // still unanswered is not asked again, and nothing here waits.
        if (m_SessIDSem.timedWaitMs(0) == ASemaphore::WAIT_OBTAINED) {
            LogMessage("%s Sending SessionId Request\n", who);
            sendPacket(new SessionIdRequest(m_reconnectMethod.load()));
        } else {
            LogMessage("%s SessionId Request still unanswered\n", who);
        }
        if (m_OTPSem.timedWaitMs(0) == ASemaphore::WAIT_OBTAINED) {
            LogMessage("%s Sending OTP Request\n", who);
            sendPacket(new OTPRequest());
        } else {
            LogMessage("%s OTP Request still unanswered\n", who);
        }
    }
    m_otpRequested.store(1);
}

void ZELKSession::waitForOTPResponse() {
    const char* who = "ZELKSession::waitForOTPResponse:";
    LogMessage("%s entered.\n", who);
    const int timeout = m_connectTimeout.load() > 0 ? m_connectTimeout.load() : 30;
    const int64_t deadline = tw::Clock::nowMs() + int64_t(timeout) * 1000;
    while (!m_otpRequested.load()) {
        if (m_stopping.load() || m_cancelConnect.load() || tw::Clock::nowMs() >= deadline) {
            LogMessage("%s exit.\n", who);
            return;
        }
        tw::Clock::sleepMs(50);
    }
    tw::Clock::sleepMs(100);
    if (m_SessIDSem.timedWait(OTP_WAIT_SECONDS) != ASemaphore::WAIT_TIMEOUT) m_SessIDSem.release();
    if (m_OTPSem.timedWait(OTP_WAIT_SECONDS) != ASemaphore::WAIT_TIMEOUT) m_OTPSem.release();
    LogMessage("%s exit.\n", who);
}

int ZELKSession::isClearTextReconnectPending() {
    std::shared_ptr<ProtocolTUVO> tuvo = getTuvo();
    return tuvo && tuvo->getClearTextReconnect() ? 1 : 0;
}

void ZELKSession::forceReconnect() {
    const char* who = "ZELKSession::forceReconnect:";
    LogMessage("%s entered.\n", who);
    if (m_stopping.load() || m_cancelConnect.load()) return;
    const int timeout = m_connectTimeout.load() > 0 ? m_connectTimeout.load() : 30;
    const int64_t deadline = tw::Clock::nowMs() + int64_t(timeout) * 1000;
    ReconnectThread* thread = nullptr;
    while ((thread = getReconnectThread()) == nullptr) {
        if (m_stopping.load() || m_cancelConnect.load()) return;
        if (tw::Clock::nowMs() >= deadline) break;
        tw::Clock::sleepMs(500);
    }
    // The server asked for this reconnection before the session is used:
    // without a one-time pair (its request unanswered) or a thread that may
    // reconnect, it cannot be made, and the session is not handed on.
    if (thread == nullptr || !thread->isEnabled() || !thread->isRunning() || !getOTPUser() || !getOTPPassword() ||
        m_sessionId.load() == -1) {
        LogMessage("%s no reconnection possible, calling it off.\n", who);
        cancelReconnect();
        return;
    }
    m_CTRSem.timedWaitMs(0);
    // Held before the thread wakes: a reconnection quick enough to end
    // before a later hold would leave the receiver held for good.
    if (m_receiveThread) m_receiveThread->getReceiver().setHold(true);
    thread->setForce(true);
    LogMessage("%s exited.\n", who);
}

void ZELKSession::waitForClearTextReconnect() {
    const char* who = "ZELKSession::waitForClearTextReconnect:";
    LogMessage("%s entered.\n", who);
    auto calledOff = [&] { return m_stopping.load() || m_isStopped.load() || m_cancelReconnect.load(); };
    // The login of the reconnection gives the semaphore back.
    const int64_t deadline = tw::Clock::nowMs() + CTR_WAIT_MS;
    int r = ASemaphore::WAIT_TIMEOUT;
    while (tw::Clock::nowMs() < deadline && !calledOff() && !m_cancelConnect.load()) {
        r = m_CTRSem.timedWaitMs(SLICE_MS);
        if (r != ASemaphore::WAIT_TIMEOUT) break;
    }
    if (r == ASemaphore::WAIT_OBTAINED) m_CTRSem.release();
    // Then its drive list, within the bound the reconnect thread gives it.
    const int timeout = m_connectTimeout.load() > 0 ? m_connectTimeout.load() : 30;
    const int64_t listDeadline = tw::Clock::nowMs() + int64_t(timeout) * 1000 + RECONNECT_RETRY_MS;
    while (r == ASemaphore::WAIT_OBTAINED && m_reconnecting.load() && !calledOff() && !m_cancelConnect.load() &&
           tw::Clock::nowMs() < listDeadline)
        tw::Clock::sleepMs(SLICE_MS);
    m_connectDone.store(1);
    if (!m_cancelConnect.load() && (r != ASemaphore::WAIT_OBTAINED || m_reconnecting.load() || calledOff())) {
        // Not reconnected: the session is not handed on half set up. The
        // connect semaphore is free again here, so the stop can run.
        cancelReconnect();
        if (!m_isStopped.load()) LogMessage("%s reconnection not completed, stopping the session.\n", who);
        stopSession();
        const int64_t stopDeadline = tw::Clock::nowMs() + THREAD_STOP_WAIT_MS * 3;
        while (!m_isStopped.load() && tw::Clock::nowMs() < stopDeadline) tw::Clock::sleepMs(SLICE_MS);
    }
    // Whatever came of it, nothing is pending any more: a session that goes
    // on without the reconnection (none was asked for, its login did not
    // succeed here) must not hold back its drive list and drive events for
    // good, and one that ended is not "connecting".
    if (std::shared_ptr<ProtocolTUVO> tuvo = getTuvo(); tuvo && tuvo->getClearTextReconnect()) {
        LogMessage("%s clear-text reconnect no longer pending.\n", who);
        tuvo->setClearTextReconnect(false);
    }
    LogMessage("%s exit.\n", who);
}

void ZELKSession::setReconnecting(int reconnecting) {
    LogMessage("%s Entered recon=%i.\n", "ZELKSession::setReconnecting:", reconnecting);
    if (reconnecting != 0) m_reconnectOutcomeClaimed.store(0);
    m_reconnecting.store(reconnecting != 0 ? 1 : 0);
}
