#include "api/VMSessionStatus.h"

#include "api/VMConstants.h"
#include "base/DebugLog.h"

namespace {

const char* const kWho = "VMSessionStatus::VMSessionStatus:";

struct CodeName {
    int code;
    const char* name;
};

#define TW_ENTRY(scope, name) {scope::name, #name}

const CodeName kStatusNames[] = {
    TW_ENTRY(VMSessionStatus, LOGIN_SUCCEEDED),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_INVALID_USER_NAME),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_INVALID_PASSWORD),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_ACCESS_DENIED),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_NOT_FOUND),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_ALL_CHANNELS_IN_USE),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_INSUFFICIENT_ACCESS_RIGHTS),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_USER_LOCKED_OUT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_LOCAL_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_UPGRADE_IN_PROGRESS),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_SHARE_REQUEST_DENIED),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_SHARE_REQUEST_TIMED_OUT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_EXCLUSIVE_REQUEST_FAILED),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_NETWORK_AUTH_SERVER_ERROR),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_INVALID_EXPIRED_CERT_ERROR),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT_TIMEOUT_INFO),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PREEMPT_REJECTED),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT_TIMEOUT_INFO),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_MAX_NUMBER_SHARED_USERS),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_PREEMPTION_IN_PROGRESS),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_THIS_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_ANY_USER),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED_NO_PREEMPTION_PRIVILEGES),
    TW_ENTRY(VMSessionStatus, LOGIN_FAILED),
    TW_ENTRY(VMSessionStatus, CONNECTION_FAILED_NETWORK_PROBLEM),
    TW_ENTRY(VMSessionStatus, LOGIN_TIMED_OUT),
    TW_ENTRY(VMSessionStatus, DISCONNECT_REQUESTED),
    TW_ENTRY(VMSessionStatus, RECONNECTING),
    TW_ENTRY(VMSessionStatus, RECONNECT_FAILED),
    TW_ENTRY(VMSessionStatus, RECONNECT_COMPLETED),
    TW_ENTRY(VMSessionStatus, CREATE_IMAGE_GET_PERCENTAGE),
    TW_ENTRY(VMSessionStatus, MAC_OSX_AUTOMOUNT_INDICATION),
    TW_ENTRY(VMSessionStatus, VM_SESSION_CLOSED),
};

const CodeName kMessageNames[] = {
    TW_ENTRY(VMConstants, SESSION_STATUS),
    TW_ENTRY(VMConstants, CONNECTION_NOSSL),
    TW_ENTRY(VMConstants, NOSSL_CONTINUE),
    TW_ENTRY(VMConstants, NOSSL_CANCEL),
    TW_ENTRY(VMConstants, NOSSL_TIMEDOUT),
    TW_ENTRY(VMConstants, PREEMPT_TIMEDOUT),
    TW_ENTRY(VMConstants, PREEMPT_REQUEST),
    TW_ENTRY(VMConstants, PREEMPT_CANCEL),
    TW_ENTRY(VMConstants, PREEMPT_ALLOW),
    TW_ENTRY(VMConstants, PREEMPT_DENY),
    TW_ENTRY(VMConstants, CERTIFICATE_RETURNED),
    TW_ENTRY(VMConstants, PLAIN_CONNECTION),
    TW_ENTRY(VMConstants, DRIVE_LIST_UPDATE),
    TW_ENTRY(VMConstants, CERTIFICATE_TIMEOUT),
    TW_ENTRY(VMConstants, CREATE_IMAGE_PERCENT_UPDATED),
    TW_ENTRY(VMConstants, SERVER_IMAGE_LIST_UPDATED),
    TW_ENTRY(VMConstants, SESSION_CLOSED),
};

#undef TW_ENTRY

template <size_t N>
const char* lookup(const CodeName (&table)[N], int code, const char* unknown) {
    for (const CodeName& e : table)
        if (e.code == code) return e.name;
    return unknown;
}

const char* orNull(const char* s) { return s ? s : "(null)"; }

}  // namespace

VMSessionStatus::Text VMSessionStatus::nonEmpty(const char* s) {
    if (s == nullptr || *s == '\0') return std::nullopt;
    return std::string(s);
}

VMSessionStatus::VMSessionStatus() { LogMessage("%s Entered (no args).\n", kWho); }

VMSessionStatus::VMSessionStatus(int status, const char* preemptUser, int canPreempt)
    : m_status(status), m_preemptUser(nonEmpty(preemptUser)), m_canPreempt(canPreempt) {
    LogMessage("%s Entered status: %i\n", kWho, status);
}

VMSessionStatus::VMSessionStatus(const VMSessionStatus* source) {
    if (source == nullptr) return;
    LogMessage("%s Construct copy status: %i\n", kWho, source->m_status);
    m_status = source->m_status;
    m_canPreempt = source->m_canPreempt;
    m_encrypted = source->m_encrypted;
    m_reconnecting = source->m_reconnecting;
    m_disconnectStatus = source->m_disconnectStatus;
    m_disconnectReason = source->m_disconnectReason;
    m_disconnectTimeout = source->m_disconnectTimeout;
    m_preemptUser = nonEmpty(text(source->m_preemptUser));
    m_cipher = nonEmpty(text(source->m_cipher));
    m_protocol = nonEmpty(text(source->m_protocol));
}

VMSessionStatus::VMSessionStatus(const VMSessionStatus& other) = default;
VMSessionStatus& VMSessionStatus::operator=(const VMSessionStatus& other) = default;
VMSessionStatus::~VMSessionStatus() = default;

int VMSessionStatus::isEncrypted() const {
    LogMessage("%s Returning m_encrypted=%i\n", "VMSessionStatus::isEncrypted:", m_encrypted);
    return m_encrypted;
}

void VMSessionStatus::setSecureCipher(const char* cipher) {
    m_cipher.reset();
    if (cipher == nullptr) return;
    m_cipher = nonEmpty(cipher);
    LogMessage("%s m_cipher is %s\n", "VMSessionStatus::setSecureCipher:", orNull(text(m_cipher)));
}

void VMSessionStatus::setSecureProtocol(const char* protocol) {
    m_protocol.reset();
    if (protocol == nullptr) return;
    m_protocol = nonEmpty(protocol);
    LogMessage("%s m_protocol is %s\n", "VMSessionStatus::setSecureProtocol:", orNull(text(m_protocol)));
}

const char* VMSessionStatus::getStatusDescription(int code) {
    return lookup(kStatusNames, code, "VM_STATUS_UNKNOWN");
}

const char* VMSessionStatus::getMessageCodeDescription(int code) {
    return lookup(kMessageNames, code, "VM_CODE_UNKNOWN");
}
