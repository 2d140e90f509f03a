#pragma once
#include <optional>
#include <string>

// The record the session fills from a login answer, a preemption question or
// a disconnect; the facade hands the application a copy. Copies are deep.
class VMSessionStatus {
public:
    // Login and session status codes.
    static constexpr int LOGIN_SUCCEEDED = 0;
    static constexpr int LOGIN_FAILED_INVALID_USER_NAME = 1;
    static constexpr int LOGIN_FAILED_INVALID_PASSWORD = 2;
    static constexpr int LOGIN_FAILED_CHANNEL_ACCESS_DENIED = 3;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE = 4;
    static constexpr int LOGIN_FAILED_CHANNEL_NOT_FOUND = 5;
    static constexpr int LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT = 6;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER = 7;
    static constexpr int LOGIN_FAILED_ALL_CHANNELS_IN_USE = 8;
    static constexpr int LOGIN_FAILED_INSUFFICIENT_ACCESS_RIGHTS = 9;
    static constexpr int LOGIN_FAILED_USER_LOCKED_OUT = 10;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT = 11;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_LOCAL_USER = 12;
    static constexpr int LOGIN_FAILED_CHANNEL_UPGRADE_IN_PROGRESS = 13;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_USER = 14;
    static constexpr int LOGIN_FAILED_SHARE_REQUEST_DENIED = 15;
    static constexpr int LOGIN_FAILED_SHARE_REQUEST_TIMED_OUT = 16;
    static constexpr int LOGIN_FAILED_EXCLUSIVE_REQUEST_FAILED = 17;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE = 18;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT = 19;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER = 20;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT = 21;
    static constexpr int LOGIN_FAILED_NETWORK_AUTH_SERVER_ERROR = 22;
    static constexpr int LOGIN_FAILED_INVALID_EXPIRED_CERT_ERROR = 23;
    static constexpr int LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO = 50;
    static constexpr int LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT_TIMEOUT_INFO = 51;
    static constexpr int LOGIN_FAILED_PREEMPT_REJECTED = 52;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO = 53;
    static constexpr int LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT_TIMEOUT_INFO = 54;
    static constexpr int LOGIN_FAILED_MAX_NUMBER_SHARED_USERS = 60;
    static constexpr int LOGIN_FAILED_PREEMPTION_IN_PROGRESS = 61;
    static constexpr int LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_THIS_USER = 62;
    static constexpr int LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_ANY_USER = 63;
    static constexpr int LOGIN_FAILED_NO_PREEMPTION_PRIVILEGES = 64;
    static constexpr int LOGIN_FAILED = 99;
    static constexpr int CONNECTION_FAILED_NETWORK_PROBLEM = 100;
    static constexpr int LOGIN_TIMED_OUT = 101;
    static constexpr int DISCONNECT_REQUESTED = 102;
    static constexpr int RECONNECTING = 103;
    static constexpr int RECONNECT_FAILED = 104;
    static constexpr int RECONNECT_COMPLETED = 105;
    static constexpr int CREATE_IMAGE_GET_PERCENTAGE = 250;
    static constexpr int MAC_OSX_AUTOMOUNT_INDICATION = 260;
    static constexpr int VM_SESSION_CLOSED = 999;

    // Disconnect reasons (there is no 5).
    static constexpr int REASON_ADMIN_DISCONNECT = 0;
    static constexpr int REASON_SESSION_TIMEOUT = 1;
    static constexpr int REASON_REBOOT = 2;
    static constexpr int REASON_RIP_UPGRADE = 3;
    static constexpr int REASON_LOCAL_PREEMPTION = 4;
    static constexpr int REASON_KVM_LOCK_DISCONNECT = 6;
    static constexpr int REASON_SERVER_TIMEOUT = 7;

    // Information codes.
    static constexpr int VMAPI_INFO_CANCEL_DONE = -4000;
    static constexpr int VMAPI_INFO_CANCEL_FAIL = -4001;
    static constexpr int VMAPI_INFO_CONNECTION_STATUS_UPDATE = -4002;
    static constexpr int VMAPI_INFO_CONNECTION_SSL_INFO = -4003;

    VMSessionStatus();
    // An empty or null preempt user is stored as null.
    VMSessionStatus(int status, const char* preemptUser, int canPreempt);
    // Copy for the application; a null source gives an all-zero record.
    explicit VMSessionStatus(const VMSessionStatus* source);
    VMSessionStatus(const VMSessionStatus& other);
    VMSessionStatus& operator=(const VMSessionStatus& other);
    ~VMSessionStatus();

    int getStatus() const { return m_status; }
    void setStatus(int status) { m_status = status; }
    const char* getPreemptUser() const { return text(m_preemptUser); }
    int canPreempt() const { return m_canPreempt; }
    int isEncrypted() const;
    void setEncrypted(int encrypted) { m_encrypted = encrypted; }
    int isReconnecting() const { return m_reconnecting; }
    void setReconnecting(int reconnecting) { m_reconnecting = reconnecting; }
    int getDisconnectStatus() const { return m_disconnectStatus; }
    void setDisconnectStatus(int status) { m_disconnectStatus = status; }
    int getDisconnectReason() const { return m_disconnectReason; }
    void setDisconnectReason(int reason) { m_disconnectReason = reason; }
    int getDisconnectTimeout() const { return m_disconnectTimeout; }
    void setDisconnectTimeout(int timeout) { m_disconnectTimeout = timeout; }
    const char* getSecureCipher() const { return text(m_cipher); }
    void setSecureCipher(const char* cipher);
    const char* getSecureProtocol() const { return text(m_protocol); }
    void setSecureProtocol(const char* protocol);

    // The constant's name for a status code, or "VM_STATUS_UNKNOWN".
    static const char* getStatusDescription(int code);
    // The constant's name for a callback message code, or "VM_CODE_UNKNOWN".
    static const char* getMessageCodeDescription(int code);

private:
    using Text = std::optional<std::string>;
    static const char* text(const Text& t) { return t ? t->c_str() : nullptr; }
    static Text nonEmpty(const char* s);

    int m_status = 0;
    Text m_preemptUser;
    int m_canPreempt = 0;
    int m_encrypted = 0;
    int m_reconnecting = 0;
    int m_disconnectStatus = 0;
    int m_disconnectReason = 0;
    int m_disconnectTimeout = 0;
    Text m_cipher;
    Text m_protocol;
};
