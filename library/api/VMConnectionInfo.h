#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Every setting of one virtual-media connection. The application fills one;
// the facade connects with its own copy. Copies are deep: texts are
// duplicated, the certificates and the key are shared by reference count.
class VMConnectionInfo {
public:
    static constexpr int CREDENTIALTYPE_LOGIN = 0;
    static constexpr int CREDENTIALTYPE_TEMPORARY = 1;
    static constexpr int CREDENTIALTYPE_RANDOMNUM = 2;
    static constexpr int CREDENTIALTYPE_CERTIFICATE = 3;
    static constexpr int DEFAULT_CREDENTIALS_PORT = 443;
    static constexpr int DEFAULT_VM_PORT = 2068;
    static constexpr int DEFAULT_TIMEOUT_CALLBACK = 30;
    static constexpr int DEFAULT_TIMEOUT_CONNECT = 30;
    static constexpr int DEFAULT_TIMEOUT_REMOTEDRIVES = 30;
    static constexpr int DEFAULT_TIMEOUT_HEARTBEAT = 10;
    static constexpr int DEFAULT_TIMEOUT_RECONNECT = 60;
    static constexpr int DISABLE_HEARTBEAT_TIMEOUT = 0;
    static constexpr int RECONNECT_METHOD_FIRMWARE = 0;
    static constexpr int RECONNECT_METHOD_VERSION_1 = 1;
    static constexpr int RECONNECT_METHOD_VERSION_2 = 2;
    static constexpr int RUN_FINDDRIVES_NEVER = 0;
    static constexpr int RUN_FINDDRIVES_ONCE = 1;
    static constexpr int RUN_FINDDRIVES_ALWAYS = 2;
    static constexpr int VM_STYLE_DEFAULT = 0;
    static constexpr int VM_STYLE_LEGACY = 1;
    static constexpr int VM_STYLE_RDOC = 2;
    static constexpr int VM_STYLE_MOSKA = 3;
    static constexpr int VM_STYLE_MOSKA_RDOC1 = 4;
    static constexpr int VM_STYLE_MOSKA_RDOC2 = 5;

    VMConnectionInfo();
    // The library's own copy: like a full copy, except that the proxied
    // request, the reserved field and stop-on-certificate-error start at 0.
    // A null source gives the defaults.
    explicit VMConnectionInfo(const VMConnectionInfo* source);
    VMConnectionInfo(const VMConnectionInfo& other);
    VMConnectionInfo& operator=(const VMConnectionInfo& other);
    ~VMConnectionInfo();

    void setPort(int v);
    int getPort() const { return m_port; }
    void setWebPort(int v);
    int getWebPort() const { return m_webPort; }
    void setAppliancePort(int v);
    int getAppliancePort() const { return m_appliancePort; }
    void setApplianceChannel(int v);
    int getApplianceChannel() const { return m_applianceChannel; }
    void setCallbackTimeout(int v);
    int getCallbackTimeout() const { return m_callbackTimeout; }
    void setConnectTimeout(int v);
    int getConnectTimeout() const { return m_connectTimeout; }
    void setRemoteDriveResponseTimeout(int v);
    int getRemoteDriveResponseTimeout() const { return m_remoteDriveResponseTimeout; }
    int getHeartbeatTimeout() const { return m_heartbeatTimeout; }
    void setReconnectTimeout(int v);
    int getReconnectTimeout() const { return m_reconnectTimeout; }
    void setFloppyReversed(int v);
    int isFloppyReversed() const { return m_floppyReversed; }
    void setVMStyle(int v);
    int getVMStyle() const { return m_vmStyle; }
    void setEncyption(int v);
    int forceEncryption() const { return m_forceEncryption; }
    void setCredentialType(int v);
    int getCredentialType() const { return m_nCredentialsType; }
    void setRunFindDrivesMethod(int v);
    int getRunFindDrivesMethod() const { return m_findDrivesMethod; }
    void setStopOnCertificateError(int v);
    int getStopOnCertificateError() const { return m_stopOnCertificateError; }
    void setRandomClientNumber(int v);
    int getRandomClientNumber() const { return m_nClientRandom; }
    void setRandomApplianceNumber(int v);
    int getRandomApplianceNumber() const { return m_nApplianceRandom; }
    void setAskWhenPlain(int v);
    int getAskWhenPlain() const { return m_askWhenPlain; }
    void setWaitOnCancel(int v);
    int getWaitOnCancel() const { return m_bWaitOnCancel; }
    void setSecureVMedia(int v);
    int getSecureVMedia() const { return m_bSecureVMedia; }
    void setReconnectMethod(int v);
    int getReconnectMethod() const { return m_reconnectMethod; }

    // Texts: the object keeps its own copy; null clears the field.
    void setUserId(const char* s);
    const char* getUserId() const { return text(m_userId); }
    void setPassword(const char* s);  // never logged
    const char* getPassword() const { return text(m_password); }
    void setIpAddress(const char* s);
    const char* getIpAddress() const { return text(m_ipAddress); }
    void setWebUrl(const char* s);
    const char* getWebUrl() const { return text(m_webUrl); }
    void setCertPath(const char* s);
    const char* getCertPath() const { return text(m_certPath); }
    void setApplianceID(const char* s);
    const char* getApplianceID() const { return text(m_applianceRIP); }
    void setCipherList(const char* s);  // "" means the TLS library's default (null)
    const char* getCipherList() const { return text(m_cipherList); }
    void setAppliance(const char* id, int port, int channel);

    // TLS objects (X509* for the certificates, EVP_PKEY* for the key). The
    // setters take over the caller's reference; getters lend one.
    void setPrivateCert(void* x509);
    void* getPrivateCert() const { return m_privateCert; }
    void setManagedCert(void* x509);
    void* getManagedCert() const { return m_managedCert; }
    void setCertKey(void* pkey);
    void* getCertKey() const { return m_keyCert; }
    // PEM text; a text that does not parse leaves the field as it was.
    void setCertPrivateString(const char* pem);
    void setCertMAString(const char* pem);
    void setCertKeyString(const char* pem);

    // Proxy.
    void setSessionProxied(int proxied);
    void setSessionProxy(int inUse, int64_t session);
    void setSessionProxyOnly(int64_t session);
    int isProxied() const { return m_proxyUsing; }
    int getSessionProxied() const;
    int64_t getProxySession() const;
    int64_t getSessionProxyOnly() const { return m_proxySession; }

private:
    using Text = std::optional<std::string>;
    static const char* text(const Text& t) { return t ? t->c_str() : nullptr; }
    void setText(Text& field, const char* s);
    void copyFrom(const VMConnectionInfo& o);
    void dropTlsObjects();

    Text m_userId;
    Text m_password;
    Text m_ipAddress;
    int m_port = 0;
    int m_webPort = DEFAULT_CREDENTIALS_PORT;
    Text m_webUrl;
    Text m_certPath;
    void* m_privateCert = nullptr;
    void* m_managedCert = nullptr;
    void* m_keyCert = nullptr;
    int m_proxyUsing = 0;
    int m_proxied = 0;
    int64_t m_proxySession = 0;
    Text m_applianceRIP;
    int m_appliancePort = 0;
    int m_applianceChannel = 0;
    Text m_cipherList;
    int m_callbackTimeout = DEFAULT_TIMEOUT_CALLBACK;
    int m_connectTimeout = DEFAULT_TIMEOUT_CONNECT;
    int m_remoteDriveResponseTimeout = DEFAULT_TIMEOUT_REMOTEDRIVES;
    int m_heartbeatTimeout = DEFAULT_TIMEOUT_HEARTBEAT;
    int m_reconnectTimeout = DEFAULT_TIMEOUT_RECONNECT;
    int m_floppyReversed = 0;
    int m_vmStyle = VM_STYLE_DEFAULT;
    int m_forceEncryption = 0;
    int m_nCredentialsType = CREDENTIALTYPE_LOGIN;
    int m_reserved = 0;
    int m_findDrivesMethod = RUN_FINDDRIVES_NEVER;
    int m_stopOnCertificateError = 0;
    int m_nClientRandom = 0;
    int m_nApplianceRandom = 0;
    int m_askWhenPlain = 0;
    int m_bWaitOnCancel = 0;
    int m_bSecureVMedia = 0;
    int m_reconnectMethod = RECONNECT_METHOD_FIRMWARE;
};
