#pragma once
#include <openssl/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/ASemaphore.h"

class ASocket;
class CertificateCallbackInterface;
class VMConnectionInfo;

// Session set-up: turns host and port into a connected socket ready for
// packets. Opens TCP, runs the optional proxy handshake, sends the session
// request, reads the server's reply, chooses plain text or TLS, follows a
// port move and starts TLS with one fallback attempt. Runs on the caller's
// thread; other threads touch only the cancel flag and the plain-text answer.
class ProtocolTUVO {
public:
    using PlainTextCallback = std::function<void(int)>;

    static constexpr int RANDOM_LENGTH = 32;
    static constexpr int MIN_REPLY_LENGTH = 21;  // up to the server random length
    // The reply is read whole: the fields used lie in its first 58 bytes, and
    // a server may send more; this bounds what it can make the client hold.
    static constexpr int MAX_REPLY_LENGTH = 64 * 1024;
    static constexpr int DEFAULT_PLAIN_TEXT_WAIT = 25;

    // session answers certificate prompts during the handshake (may be null).
    ProtocolTUVO(const char* host, int quiet, CertificateCallbackInterface* session, int port, bool forceEncryption,
                 PlainTextCallback plainTextCallback, int plainTextTimeout);
    ~ProtocolTUVO();
    ProtocolTUVO(const ProtocolTUVO&) = delete;
    ProtocolTUVO& operator=(const ProtocolTUVO&) = delete;

    // Settings handed over by the session before the first request. The
    // connection info is borrowed: proxy use and session, trust directory,
    // known certificate and the connect timeout that bounds the set-up.
    void setConnectionInfo(const VMConnectionInfo* info) { m_info = info; }
    void setClearTextReconnect(bool on) { m_bClearTextReconnect = on; }
    void setCipherList(const char* ciphers);
    void setClientCertificate(X509* certificate, EVP_PKEY* key) {
        m_clientCert = certificate;
        m_clientKey = key;
    }
    // Offered capabilities (13 by default, 12 with forced encryption, 8 for a
    // client-certificate login).
    void setCapabilities(int capabilities) { m_capabilities = capabilities; }
    void setCancelConnect(bool cancel) { m_cancelConnect = cancel; }
    bool isCancelled() const { return m_cancelConnect; }

    // First connection: method 2 sends SessionRequest, others SessionRequestEx.
    ASocket* getSocket(int method);
    // Reconnection with the given session id: method 1 sends SessionRequestEx,
    // others SessionRequest. No proxy handshake.
    ASocket* getSocketReconnect(int method, int sessionId);
    void sendSessionRequest(int connectionKind, const uint8_t* random, int sessionId);
    void sendSessionRequestReconnect(int sessionId, int connectionKind, const uint8_t* random);
    ASocket* receiveSessionSetup();
    // The application's answer to the plain-text question (>= 1 accepts).
    void setPlainTextResponse(int answer);
    int proxyHandshake(ASocket* socket, int64_t proxySession);
    static void fillRandom(int length, uint8_t* buffer);
    void closeSocket();

    // Read by the session after set-up.
    ASocket* getCurrentSocket() const { return m_socket.get(); }
    bool isSecure() const { return m_secure; }
    bool isReconnectCapable() const { return m_reconnectCapable; }
    bool getClearTextReconnect() const { return m_bClearTextReconnect; }
    int getCapabilities() const { return m_capabilities; }
    int getPeerTuvoVersion() const { return m_peerTuvoVersion; }
    int getZelkMajor() const { return m_zelkMajor; }
    int getZelkMinor() const { return m_zelkMinor; }
    int getFirstTimeout() const { return m_firstTimeout; }
    int getSecondTimeout() const { return m_secondTimeout; }
    int getRetryCount() const { return m_retryCount; }
    int getPort() const { return m_Port; }
    // Seconds the plain-text question waits (0 configured means 25).
    int getPlainTextWaitSeconds() const { return m_plainTextTimeout == 0 ? DEFAULT_PLAIN_TEXT_WAIT : m_plainTextTimeout; }
    // Capabilities word a request carries for the current settings.
    uint32_t capabilitiesWord() const;

private:
    std::unique_ptr<ASocket> openSocket(int port, int fallback);
    void writeSessionRequest(bool extended, int connectionKind, const uint8_t* random, int sessionId);
    // Method 2: SessionRequest; any other: SessionRequestEx.
    void sendRequestForMethod(const uint8_t* random);
    bool askPlainText();
    bool readSetup(char* buffer, int count);
    int64_t connectTimeoutMs() const;
    [[noreturn]] void fail(const char* message);

    std::string m_host;
    int m_Port;
    uint8_t m_random[255] = {};
    int m_randomLength = RANDOM_LENGTH;
    int m_firstTimeout = 20;
    int m_secondTimeout = 120;
    int nSessionId = 0;
    std::atomic<bool> m_secure{false};
    int m_reconnectMethod = 2;
    uint8_t m_connectionKind = 2;
    std::atomic<bool> m_reconnectCapable{false};
    std::atomic<bool> m_bClearTextReconnect{false};
    std::unique_ptr<ASemaphore> m_plainTextSemaphore;  // count 0: the answer signal
    std::atomic<int> m_plainTextAnswer{-1};
    int m_plainTextTimeout;
    int m_retryCount = 0;
    std::atomic<bool> m_cancelConnect{false};
    int m_quiet;
    std::string m_cipherList;
    bool m_hasCipherList = false;
    X509* m_clientCert = nullptr;
    EVP_PKEY* m_clientKey = nullptr;
    CertificateCallbackInterface* m_session;
    PlainTextCallback m_plainTextCallback;
    bool m_forceEncryption;
    int m_peerTuvoVersion = 0;
    int m_zelkMajor = 1;
    int m_zelkMinor = 14;
    int m_capabilities;
    int m_newPort = 0;
    const VMConnectionInfo* m_info = nullptr;
    // The certificate the user accepted in the first handshake of this
    // connect, known to the TLS retry.
    struct X509Free {
        void operator()(X509* x) const;
    };
    std::unique_ptr<X509, X509Free> m_answeredCert;
    std::unique_ptr<ASocket> m_socket;
};
