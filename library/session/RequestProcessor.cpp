#include "session/RequestProcessor.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "api/VMRemoteDrive.h"
#include "api/VMServerImageList.h"
#include "api/VMSessionStatus.h"
#include "base/DebugLog.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "platform/Clock.h"
#include "platform/WideText.h"
#include "protocol/DeviceConfigurationOption.h"
#include "protocol/DeviceStatus.h"
#include "protocol/Disconnect.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginResponse.h"
#include "protocol/OTPResponse.h"
#include "protocol/ReadRequest.h"
#include "protocol/ServerImageCreateResponse.h"
#include "protocol/ServerImageDataResponse.h"
#include "protocol/ServerImageInfoResponse.h"
#include "protocol/ServerImageSpaceResponse.h"
#include "protocol/SessionIdResponse.h"
#include "protocol/SetDeviceCountResponse.h"
#include "protocol/VDiskGetAlternateTocData.h"
#include "protocol/VDiskInfo.h"
#include "protocol/VDiskRelease.h"
#include "protocol/VDiskWrite.h"
#include "session/ServerImageManager.h"
#include "session/SessionHost.h"
#include "session/ZELKSession.h"

namespace {

void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

template <typename T>
T* as(ZELKPacket* packet) {
    return dynamic_cast<T*>(packet);
}

}  // namespace

RequestProcessor::RequestProcessor(SessionHost* vmAPI, ZELKSession* session, VMDriveList* driveList)
    : m_vmAPI(vmAPI), m_session(session), m_driveList(driveList) {}

RequestProcessor::~RequestProcessor() { LogMessage("%s Entered.\n", "RequestProcessor::~RequestProcessor:"); }

bool RequestProcessor::isConnectedStatus(int s) {
    return s == VMConstants::VMAPI_RECONNECTING || s == VMConstants::VMAPI_CONNECTED ||
           s == VMConstants::VMAPI_CONNECTING;
}

bool RequestProcessor::isConnected() const {
    return m_vmAPI != nullptr && isConnectedStatus(m_vmAPI->getConnectionStatus());
}

const char* RequestProcessor::disconnectReasonText(int reason) {
    switch (reason) {
        case VMSessionStatus::REASON_ADMIN_DISCONNECT:
            return "Disconnected by Administrator\n";
        case VMSessionStatus::REASON_SESSION_TIMEOUT:
            return "Disconnect due to Idle Session Timeout\n";
        case VMSessionStatus::REASON_REBOOT:
            return "Disconnect due to Appliance reboot pending\n";
        case VMSessionStatus::REASON_RIP_UPGRADE:
            return "Disconnect due to VORNA upgrade pending\n";
        case VMSessionStatus::REASON_LOCAL_PREEMPTION:
            return "Disconnect due to preempted by local user\n";
        case VMSessionStatus::REASON_KVM_LOCK_DISCONNECT:
            return "Disconnect due to KVM lock\n";
        default:
            return "Disconnected by server\n";
    }
}

const char* RequestProcessor::deviceStatusText(uint32_t status, bool* unmap) {
    bool u = true;
    const char* text = "Unknown cause";
    switch (status) {
        case 1: text = "Command not supported"; u = false; break;
        case 2: text = "Read failed"; u = false; break;
        case 3: text = "Write failed"; u = false; break;
        case 4: text = "USB not connected"; u = false; break;
        case 5: text = "Drive already attached"; break;
        case 6: text = "Drive disabled"; break;
        case 7: text = "Unknown configuration option"; break;
        case 8: text = "Request failed"; break;
        default: break;
    }
    if (unmap != nullptr) *unmap = u;
    return text;
}

bool RequestProcessor::isLoginFailureThatCancels(int s) {
    switch (s) {
        case 1: case 2: case 3: case 4: case 5: case 8: case 9: case 13: case 23:
        case 52: case 61: case 64: case 99: case 100:
            return true;
        default:
            return false;
    }
}

int RequestProcessor::remoteTypeFor(int entryType, bool floppyReversed) {
    switch (entryType) {
        case VMRemoteDrive::REMOTE_DRIVE_IS_CD:
            return VMRemoteDrive::REMOTE_DRIVE_IS_CD;
        case VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY:
            return floppyReversed ? VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE : VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY;
        case VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE:
            return floppyReversed ? VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY : VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE;
        default:
            return VMRemoteDrive::REMOTE_DRIVE_IS_UNKNOWN_TYPE;
    }
}

void RequestProcessor::process(ZELKPacket* packet) {
    if (packet == nullptr) return;
    const int status = m_vmAPI != nullptr ? m_vmAPI->getConnectionStatus() : VMConstants::VMAPI_DISCONNECTED;
    const int type = packet->getType();
    if (!isConnectedStatus(status)) {
        LogMessage("%s Packet not processed, not connected (%d) packet type: %x\n", "RequestProcessor::process:",
                   status, unsigned(type));
        return;
    }
    m_session->setLastReceiveTime(ZELKSession::nowSeconds());
    // A packet whose object is not the class its type names is dropped like
    // an unknown type.
    bool handled = false;
    switch (type) {
        case 0x0400:
        case 0x8400:
            if (auto* p = as<Heartbeat>(packet)) { process(*p); handled = true; }
            break;
        case 0x8100:
            if (auto* p = as<LoginResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8102:
            if (auto* p = as<SessionIdResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8103:
            if (auto* p = as<OTPResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8110:
            if (auto* p = as<Disconnect>(packet)) { process(*p); handled = true; }
            break;
        case 0x8200:
            if (auto* p = as<VDiskInfo>(packet)) { process(*p); handled = true; }
            break;
        case 0x8240:
            if (auto* p = as<VDiskRelease>(packet)) { process(*p); handled = true; }
            break;
        case 0x8241:
            if (auto* p = as<SetDeviceCountResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8300:
            if (auto* p = as<ReadRequest>(packet)) { process(*p); handled = true; }
            break;
        case 0x8310:
            if (auto* p = as<VDiskWrite>(packet)) { process(*p); handled = true; }
            break;
        case 0x8320:
            if (auto* p = as<VDiskGetAlternateTocData>(packet)) { process(*p); handled = true; }
            break;
        case 0x8410:
            if (auto* p = as<DeviceStatus>(packet)) { process(*p); handled = true; }
            break;
        case 0x8430:
            if (auto* p = as<DeviceConfigurationOption>(packet)) { process(*p); handled = true; }
            break;
        case 0x8500:
            if (auto* p = as<ServerImageInfoResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8530:
            if (auto* p = as<ServerImageSpaceResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8540:
            if (auto* p = as<ServerImageCreateResponse>(packet)) { process(*p); handled = true; }
            break;
        case 0x8570:
            if (auto* p = as<ServerImageDataResponse>(packet)) { process(*p); handled = true; }
            break;
        default:
            break;
    }
    if (!handled) LogMessage("%s *** Unknown packet type: %x ***\n", "RequestProcessor::process:", unsigned(type));
}

void RequestProcessor::process(Heartbeat&) {
    if (!isConnected()) {
        LogMessage("%s Heartbeat packet not processed, not connected.\n", "RequestProcessor::process(Heartbeat):");
        return;
    }
    m_session->sendHeartbeatMsg();
    m_session->checkVDiskInfoResponse();
}

void RequestProcessor::process(LoginResponse& packet) {
    const char* who = "RequestProcessor::process(LoginResponse):";
    if (!isConnected()) {
        LogMessage("%s LoginResponse packet not processed, not connected.\n", who);
        return;
    }
    const int status = packet.getStatus();
    LogMessage("%s login name = %s \n", who, packet.getUserName() != nullptr ? packet.getUserName() : "");
    m_session->setLoginRefused(status != VMSessionStatus::LOGIN_SUCCEEDED);
    m_session->setSessionStatus(new VMSessionStatus(status, packet.getUserName(), 1));
    if (status != VMSessionStatus::LOGIN_SUCCEEDED) {
        m_session->callSessionCallback(VMConstants::SESSION_STATUS);
    } else if (m_session->getSessionCallback() != nullptr && !m_session->isClearTextReconnectPending()) {
        m_session->callSessionCallback(VMConstants::SESSION_STATUS);
    }
    LogMessage("%s login status %d \n", who, status);
    if (m_session->isConnectCancelled() && !m_session->isReconnecting()) {
        // The connect this login answers was called off after it had returned
        // (a connect with a callback does not wait for the login): the record
        // already says closed and the facade's state follows it, so the
        // session would run on answering nothing. Nothing else ends it.
        LogMessage("%s connect cancelled, stopping the session.\n", who);
        m_session->stopSession();
        return;
    }
    if (status == VMSessionStatus::LOGIN_SUCCEEDED) {
        LogMessage("%s LOGIN_SUCCEEDED\n", who);
        const int style = m_session->getVMStyle();
        // After a reconnection every style asks: the drives are remapped
        // when the list arrives.
        if (style == VMConnectionInfo::VM_STYLE_DEFAULT || m_session->isReconnecting()) {
            LogMessage("%s request vdisk info\n", who);
            m_session->sendVDiskInfoRequest();
        }
        m_session->StartLoginSuccessfulThreads();
        if (m_session->isReconnectAvailable()) {
            LogMessage("%s sendOTPRequest\n", who);
            m_session->sendOTPRequest();
        }
    } else if (isLoginFailureThatCancels(status) || m_session->isReconnecting()) {
        // Any refusal of the one-time login ends a reconnection: nothing
        // else would log in again, and the session must not run on unable
        // to serve.
        LogMessage("%s call stop! Login response: %i\n", who, status);
        if (m_session->isReconnecting() || m_session->isReconnectAvailable()) m_session->cancelReconnect();
        // A refused login is final: nothing else would end the session (the
        // stop knows it runs on the receive thread).
        m_session->stopSession();
    }
}

void RequestProcessor::process(SessionIdResponse& packet) {
    const char* who = "RequestProcessor::process(SessionIdResponse):";
    if (!isConnected()) {
        LogMessage("%s SessionIdResponse packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s SessionId Response id: %i timeout: %i\n", who, int(packet.getSessionId()), packet.getTimeout());
    m_session->setSessionId(int(packet.getSessionId()));
    m_session->m_SessIDSem.release();
    if (packet.getTimeout() > 0) m_session->setReconnectCheckTimeout(packet.getTimeout() / 2);
}

void RequestProcessor::process(OTPResponse& packet) {
    const char* who = "RequestProcessor::process(OTPResponse):";
    if (!isConnected()) {
        LogMessage("%s OTPResponse packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s OTP Response\n", who);
    LogMessage("%s user = %s \n", who, packet.getUser() != nullptr ? packet.getUser() : "");
    m_session->setOTPCredentials(packet.getUser(), packet.getPassword());
    m_session->m_OTPSem.release();
}

void RequestProcessor::process(Disconnect& packet) {
    const char* who = "RequestProcessor::process(Disconnect):";
    if (!isConnected()) {
        LogMessage("%s Disconnect packet not processed, not connected.\n", who);
        return;
    }
    const int reason = packet.getReason();
    LogMessage("%s disconnect status = %d \n", who, reason);
    auto* status = new VMSessionStatus(VMSessionStatus::DISCONNECT_REQUESTED, packet.getMessage(),
                                       packet.canPreempt() ? 1 : 0);
    status->setDisconnectReason(reason);
    status->setDisconnectTimeout(packet.getTimeout());
    LogMessage("%s Setting session status with disconnect reason = %d \n", who, reason);
    m_session->setSessionStatus(status);
    if (m_session->getSessionCallback() != nullptr) {
        LogMessage("%s Calling session callback with disconnect reason = %d \n", who, reason);
        m_session->callSessionCallback(VMConstants::SESSION_STATUS);
    }
    if (m_session->isConsoleStyle()) say(disconnectReasonText(reason));
}

void RequestProcessor::process(VDiskInfo& packet) {
    const char* who = "RequestProcessor::process(VDiskInfo):";
    if (!isConnected()) {
        LogMessage("%s VDiskInfo packet not processed, not connected.\n", who);
        return;
    }
    const int count = packet.getCount();
    LogMessage("%s for %i remote devices.\n", who, count);
    m_session->receivedVDiskInfoResponse();

    std::vector<std::unique_ptr<VMRemoteDrive>> drives;
    bool reportedDrive = false;
    for (int i = 0; i < count; ++i) {
        const VDiskInfoEntry& entry = packet.getEntry(i);
        if (entry.type != 0) reportedDrive = true;
        const int type = remoteTypeFor(entry.type, m_session->isFloppyReversed());
        switch (type) {
            case VMRemoteDrive::REMOTE_DRIVE_IS_CD:
                LogMessage("%s Remote drive[%i] is CD/DVD.\n", who, i);
                break;
            case VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY:
                LogMessage("%s Remote drive[%i] is Floppy Drive.\n", who, i);
                break;
            case VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE:
                LogMessage("%s Remote drive[%i] is Removable.\n", who, i);
                break;
            default:
                LogMessage("%s Remote drive[%i] is TYPE_UNKNOWN.\n", who, i);
                continue;
        }
        auto drive = std::make_unique<VMRemoteDrive>();
        drive->setDriveId(i);
        drive->setRemoteDriveType(type);
        drive->setRemoteReadOnly(m_session->isReadOnlySession() ? 1 : 0);
        drive->setMappedTo(-1);
        drive->setStatus(entry.status);
        drive->setLastError(0);
        drive->setAttachRequest(0);
        drives.push_back(std::move(drive));
    }

    const bool v102 = m_session->getPeerTuvoVersion() >= 0x0102;
    LogMessage("%s isTUVOVersion102=%s\n", who, v102 ? "TRUE" : "FALSE");
    if (!v102) {
        m_session->sendHeartbeatMsg();
        m_session->checkVDiskInfoResponse();
    }

    const int style = m_session->getVMStyle();
    if (style == VMConnectionInfo::VM_STYLE_RDOC || style == VMConnectionInfo::VM_STYLE_MOSKA_RDOC1 ||
        style == VMConnectionInfo::VM_STYLE_MOSKA_RDOC2)
        m_retryVDiskInfo.store(false);
    bool retried = false;
    if (m_retryVDiskInfo.load()) {
        if (reportedDrive) {
            m_retryVDiskInfo.store(false);
        } else if (m_vdiskInfoRetries.load() < MAX_VDISK_INFO_RETRIES) {
            m_vdiskInfoRetries.fetch_add(1);
            tw::Clock::sleepMs(VDISK_INFO_RETRY_WAIT_MS);
            m_session->sendVDiskInfoRequest();
            retried = true;
        }
    }

    if (!retried && m_driveList != nullptr) {
        std::vector<VMRemoteDrive*> list;
        for (auto& d : drives) list.push_back(d.get());
        // Not when the reconnection's deadline has already ended it as failed.
        const bool remap = m_session->isReconnecting() && m_session->claimReconnectOutcome();
        {
            std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
            if (remap) {
                // The old connection's mappings are gone: a server drive no
                // longer listed must not take its drive out of the remap
                // (the merge would close it as if the server had dropped it).
                for (int i = 0; i < m_driveList->getNumberOfRemoteDrives(); ++i) {
                    VMRemoteDrive* rd = m_driveList->getRemoteDriveAt(i);
                    if (rd == nullptr) break;
                    rd->setMappedTo(-1);
                    m_driveList->releaseRemoteDrive(rd);
                }
            }
            m_driveList->updateRemoteDriveList(list);
        }
        m_session->noteDriveListUpdated();
        tw::Clock::sleepMs(DRIVE_LIST_SETTLE_MS);
        if (remap) {
            {
                std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
                for (int i = 0; i < m_driveList->getNumberOfRemoteDrives(); ++i) {
                    VMRemoteDrive* rd = m_driveList->getRemoteDriveAt(i);
                    if (rd == nullptr) break;
                    rd->setMappedTo(-1);
                    rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
                    m_driveList->releaseRemoteDrive(rd);
                }
            }
            const int result = m_session->remapDrives();
            const bool placed = result == VMConstants::API_SUCCESS;
            const int code = placed ? VMSessionStatus::RECONNECT_COMPLETED : VMSessionStatus::RECONNECT_FAILED;
            if (m_session->getSessionCallback() != nullptr) {
                LogMessage("%s calling m_vmSessionCallback(VMConstants::SESSION_STATUS) session status=%i (%s)\n", who,
                           code, placed ? "RECONNECT_COMPLETED" : "RECONNECT_FAILED");
                m_session->setSessionStatusCode(code);
                m_session->callSessionCallback(VMConstants::SESSION_STATUS);
            } else if (!placed) {
                m_session->setSessionStatusCode(code);
            }
            m_session->setReconnecting(0);
            if (!placed) {
                // A drive without a place again: the session ends like any
                // failed reconnection, releasing what it holds, rather than
                // run on unable to serve the drive the server may still ask for.
                LogMessage("%s remap failed, stopping the session.\n", who);
                m_session->stopSession();
                return;
            }
        }
    }
    drives.clear();
    m_session->setSessionStatusCode(VMSessionStatus::LOGIN_SUCCEEDED);
}

void RequestProcessor::process(VDiskRelease& packet) {
    const char* who = "RequestProcessor::process(VDiskRelease):";
    if (!isConnected()) {
        LogMessage("%s VDiskRelease packet not processed, not connected.\n", who);
        return;
    }
    const int index = packet.getDeviceIndex();
    LogMessage("%s Process VDisk Release request for remote device %i.\n", who, index);
    if (m_driveList == nullptr) return;

    bool answerRefused = false;
    bool releasedByServer = false;
    bool stopAfter = false;
    std::wstring releasedPath;
    {
        std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
        VMRemoteDrive* rd = m_session->remoteDriveForRequest(index);
        if (rd == nullptr) return;
        const int mappedTo = rd->getMappedTo();
        if (rd->getStatus() != VMRemoteDrive::REMOTE_DRIVE_ATTACHED || mappedTo == -1) {
            LogMessage("%s release request for unmapped vdisk(1) %i\n", who, index);
            answerRefused = true;
        } else if (mappedTo < 0) {
            LogMessage("%s release request for unmapped vdisk(2) %i\n", who, index);
            answerRefused = true;
        } else {
            VMLocalDrive* ld = m_driveList->getLocalDriveByID(mappedTo);
            if (ld != nullptr && ld->getFileHandle() != VMIO::INVALID_HANDLE) {
                m_session->sendVDiskRelease(new VDiskRelease(rd->getDriveId()));
                ld->setMappedTo(-1);
                rd->setMappedTo(-1);
                rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
                ld->setUnmappedFromClient(0);
                // Media removal is locked on devices only; an image has no door.
                if (ld->isDrive()) VMIO::UnlockCD(ld->getFileHandle());
                VMIO::CloseDrive(ld->getFileHandle(), ld->isLocked() != 0);
                ld->setFileHandle(VMIO::INVALID_HANDLE);
                ld->setLocked(0);
                m_session->decrementNumMaps();
                if (ld->getPath() != nullptr) releasedPath = ld->getPath();
                releasedByServer = true;
                // What is left mapped decides, not a counter that merges and
                // remaps can make drift.
                stopAfter = m_session->countMappedDrives() < 1;
            } else {
                LogMessage("%s release request for unmapped vdisk(3) %i\n", who, index);
                answerRefused = true;
                rd->setMappedTo(-1);
                rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
                if (ld != nullptr) ld->setMappedTo(-1);
            }
            if (ld != nullptr) m_driveList->releaseLocalDrive(ld);
        }
        m_driveList->releaseRemoteDrive(rd);
    }
    if (answerRefused) {
        sendClientStatus(index, 7);
        return;
    }
    if (!releasedByServer) return;
    if (m_session->isConsoleStyle()) {
        const std::string path = tw::toUtf8(releasedPath);
        std::printf("\n%s Released.\n", path.c_str());
        std::fflush(stdout);
        if (stopAfter) {
            say("\nAll Virtual Media Released.\nTerminating.\n");
            LogMessage("%s All Virtual Media Released. Program Ending. Success!\n", who);
            m_session->stopSession();
        }
    } else {
        sendClientStatus(index, 0);
        m_session->callDriveCallback(VMConstants::DRIVE_LIST_UPDATE);
    }
}

void RequestProcessor::process(SetDeviceCountResponse&) {
    const char* who = "RequestProcessor::process(SetDeviceCountResponse):";
    if (!isConnected()) {
        LogMessage("%s SetDeviceCountResponse packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s Entered.\n", who);
    m_session->callDriveCallback(VMConstants::DRIVE_LIST_UPDATE);
}

void RequestProcessor::process(DeviceStatus& packet) {
    const char* who = "RequestProcessor::process(DeviceStatus):";
    if (!isConnected()) {
        LogMessage("%s DeviceStatus packet not processed, not connected.\n", who);
        return;
    }
    const int index = packet.getDeviceIndex();
    const uint32_t status = packet.getStatus();
    if (status == 0) {
        LogMessage("%s VDisk status OK for id=%i\n", who, index);
    } else {
        bool unmap = false;
        const char* text = deviceStatusText(status, &unmap);
        LogMessage("%s Error Status: %i [%s]\n", who, int(status), text);
        if (unmap && m_driveList != nullptr) {
            LogMessage("%s Attempting to unmap device due to errors.\n", who);
            std::lock_guard<std::recursive_mutex> lock(m_session->getMappingMutex());
            VMRemoteDrive* rd = m_session->remoteDriveForRequest(index);
            if (rd == nullptr) {
                LogMessage("%s Cannot find a remote device with ID=%i\n", who, index);
            } else {
                const int mappedTo = rd->getMappedTo();
                m_driveList->releaseRemoteDrive(rd);
                VMLocalDrive* ld = m_driveList->getLocalDriveByID(mappedTo);
                if (ld != nullptr) {
                    m_driveList->setLastLocalAction(VMDriveList::DRIVE_ERROR);
                    ld->setLastError(int(status));
                    LogMessage("%s Unmapping remote device ID=%i, from local drive ID=%i.\n", who, index, mappedTo);
                    m_session->unmapLocalDrive(ld, 0);
                    m_driveList->releaseLocalDrive(ld);
                }
            }
        }
    }
    m_session->callDriveCallback(VMConstants::DRIVE_LIST_UPDATE);
}

void RequestProcessor::process(DeviceConfigurationOption& packet) {
    const char* who = "RequestProcessor::process(DeviceConfigurationOption):";
    if (!isConnected()) {
        LogMessage("%s DeviceConfigurationOption packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s DeviceConfigurationOption device = %d option = %d data = %d \n", who, packet.getDeviceIndex(),
               int(packet.getOptionId()), int(packet.getValue()));
    if (packet.getOptionId() != DeviceConfigurationOption::OPTION_READ_ONLY) return;
    const int readOnly = packet.getValue() != 0 ? 1 : 0;
    LogMessage("%s read-only option = %d \n", who, readOnly);
    m_session->setReadOnlySession(readOnly != 0);
    if (m_driveList == nullptr) return;
    for (int i = 0; i < m_driveList->getNumberOfRemoteDrives(); ++i) {
        VMRemoteDrive* rd = m_driveList->getRemoteDriveAt(i);
        if (rd == nullptr) break;
        LogMessage("%s device %d read-only option = %d \n", who, i, readOnly);
        rd->setRemoteReadOnly(readOnly);
        m_driveList->releaseRemoteDrive(rd);
    }
}

void RequestProcessor::process(ServerImageInfoResponse& packet) {
    if (!isConnected()) {
        LogMessage("%s ServerImageInfoResponse packet not processed, not connected.\n",
                   "RequestProcessor::process(ServerImageInfoResponse):");
        return;
    }
    if (VMServerImageList* list = m_session->getServerImageList()) list->updateServerImageList(packet.getImages());
}

void RequestProcessor::process(ServerImageSpaceResponse& packet) {
    const char* who = "RequestProcessor::process(ServerImageSpaceResponse):";
    if (!isConnected()) {
        LogMessage("%s ServerImageSpaceResponse packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s ServerImageSpaceResponse store = %d total = %d free = %d \n", who, packet.getStoreId(),
               int(packet.getTotalSpace()), int(packet.getFreeSpace()));
    VMServerImageList* list = m_session->getServerImageList();
    if (list == nullptr) return;
    list->setStoreId(packet.getStoreId());
    list->setStoreSpace(uint64_t(packet.getTotalSpace()) * 512u);
    list->setFreeSpace(uint64_t(packet.getFreeSpace()) * 512u);
    m_session->callServerImageCallback(VMConstants::SERVER_IMAGE_LIST_UPDATED);
}

void RequestProcessor::process(ServerImageCreateResponse& packet) {
    const char* who = "RequestProcessor::process(ServerImageCreateResponse):";
    if (!isConnected()) {
        LogMessage("%s ServerImageCreateResponse packet not processed, not connected.\n", who);
        return;
    }
    LogMessage("%s ServerImageCreateResponse status = %d index = %d \n", who, packet.getStatus(),
               packet.getImageIndex());
    if (ServerImageManager* m = m_session->getServerImageManager())
        m->fireServerImageCreateResponse(packet.getStatus(), packet.getImageIndex());
}

void RequestProcessor::process(ServerImageDataResponse& packet) {
    if (!isConnected()) {
        LogMessage("%s ServerImageDataResponse packet not processed, not connected.\n",
                   "RequestProcessor::process(ServerImageDataResponse):");
        return;
    }
    if (ServerImageManager* m = m_session->getServerImageManager())
        m->fireServerImageDataResponse(packet.getStatus(), packet.getImageIndex());
}
