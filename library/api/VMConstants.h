#pragma once

// Result codes of the facade's operations, connection states and the message
// codes with which the library calls the application's callback.
class VMConstants {
public:
    // Result codes (there is no -1001).
    static constexpr int API_SUCCESS = -1000;
    static constexpr int API_TIMEOUT = -1002;
    static constexpr int API_ERROR = -1003;
    static constexpr int API_INVALID_STATE = -1004;
    static constexpr int API_INVALID_ARGUMENT = -1005;
    static constexpr int API_CANCELLED = -1006;
    static constexpr int API_IMAGE_BEING_CREATED = -1007;

    // Connection states.
    static constexpr int VMAPI_DISCONNECTED = -2000;
    static constexpr int VMAPI_CONNECTING = -2001;
    static constexpr int VMAPI_CONNECTED = -2002;
    static constexpr int VMAPI_RECONNECTING = -2003;
    static constexpr int VMAPI_DISCONNECTING = -2004;

    // Callback message codes (there is no 310).
    static constexpr int SESSION_STATUS = 200;
    static constexpr int CONNECTION_NOSSL = 300;
    static constexpr int NOSSL_CONTINUE = 301;
    static constexpr int NOSSL_CANCEL = 302;
    static constexpr int NOSSL_TIMEDOUT = 303;
    static constexpr int PREEMPT_TIMEDOUT = 304;
    static constexpr int PREEMPT_REQUEST = 305;
    static constexpr int PREEMPT_CANCEL = 306;
    static constexpr int PREEMPT_ALLOW = 307;
    static constexpr int PREEMPT_DENY = 308;
    static constexpr int CERTIFICATE_RETURNED = 309;
    static constexpr int PLAIN_CONNECTION = 311;
    static constexpr int DRIVE_LIST_UPDATE = 400;
    static constexpr int CERTIFICATE_TIMEOUT = 500;
    static constexpr int CREATE_IMAGE_PERCENT_UPDATED = 600;
    static constexpr int SERVER_IMAGE_LIST_UPDATED = 700;
    static constexpr int SESSION_CLOSED = 999;

    // Passed to the callback on every change of the connection state.
    static constexpr int VMAPI_INFO_CONNECTION_STATUS_UPDATE = -4002;
};
