#pragma once
#include <openssl/types.h>

#include <atomic>
#include <mutex>
#include <string>

#include "base/ASemaphore.h"
#include "base/ByteStream.h"

class CertificateCallbackInterface;
struct addrinfo;

// TCP client connection that can be switched to TLS after the plain
// session-setup exchange. Connect and TLS set-up failures are thrown as
// C strings (const char*); read and write failures return -1.
//
// One thread may write while another reads; close() may come from a third
// and wakes a blocked reader. The descriptor and the TLS object are released
// only by the destructor (or a new winConnect), so a number freed early is
// never reused under a thread still writing to it.
class ASocket : public ByteStream {
public:
    // m_socketState values.
    static constexpr int STATE_NEW = 0;
    static constexpr int STATE_CONNECTED = 1;
    static constexpr int STATE_CLOSED_BY_PEER = 3;
    static constexpr int STATE_CONNECT_FAILED = 4;
    static constexpr int STATE_ERROR = 5;

    // host and cipherList are borrowed (must outlive the socket); cipherList
    // may be null (default list). clientCert/clientKey are borrowed, may be
    // null. fallback: 0 TLS 1.0-1.2, 1 TLS 1.2, 2 TLS 1.1, 3 TLS 1.0 (other
    // values as 0). Throws "Can't get SSL context", "Can't get SSL Certificate",
    // "Can't get SSL Private Key".
    ASocket(const char* host, int port, int quiet, CertificateCallbackInterface* session,
            const char* cipherList, int reserved, X509* clientCert, EVP_PKEY* clientKey,
            int fallback);
    ~ASocket() override;
    ASocket(const ASocket&) = delete;
    ASocket& operator=(const ASocket&) = delete;

    // Opens the TCP connection: state 1, or 4 when no address connected.
    // Throws "Cannot resolve address", "Bad Socket", "setsockopt error".
    void winConnect(const char* host, int port);
    // winConnect with the stored host and port, prints "m_socketState=%d\n",
    // hands the trust directory and the known certificate to CertHandler.
    void connect(const char* trustDirectory, X509* knownCertificate);
    // TLS handshake on the open socket: 1 on success, 0 on failure.
    // Throws "SSL_new failed", or "SSL Connection error" when the certificate
    // was refused (CANCEL or TIMEOUT).
    int sslConnect();

    int write(const char* data, int length) override;
    int readFully(char* buffer, int count) override;
    // Plain: one gathered send. TLS: neighbours smaller than a record are
    // joined into one SSL_write, larger segments are written as they are.
    int writeSegments(const ByteSegment* segments, int count) override;
    int readSome(char* buffer, int minimum, int capacity) override;
    // TLS: a record the socket took only in part stays with OpenSSL; the
    // write that follows must pass the same pointer and length.
    int writeSome(const char* data, int length) override;
    // Sends close_notify when TLS is on and shuts the socket down; a blocked
    // reader returns. Does not change m_socketState.
    void close();

    void ssl_error(const char* message);
    void enumerate_ciphers(SSL* ssl);
    void enumerate_protocols(SSL* ssl);

    // Releases the process-wide TLS state; the next socket initialises again.
    static void finalCleanup();

    int getSocketState() const { return m_socketState.load(); }
    void setSocketState(int state) { m_socketState.store(state); }
    bool isOpen() const { return m_socketFD.load() != -1; }
    int getSocketFD() const { return m_socketFD.load(); }
    bool isSslActive() const { return m_sslActive.load(); }
    void setSslActive(bool active) { m_sslActive.store(active); }
    // While set, reads and writes use the plain socket even with TLS active.
    bool isBypassSsl() const { return m_bypassSsl.load(); }
    void setBypassSsl(bool bypass) { m_bypassSsl.store(bypass); }
    bool isSslHandshakeOk() const { return m_sslHandshakeOk.load(); }
    int getPort() const { return m_port; }
    const char* getHost() const { return m_host; }
    bool isQuiet() const { return m_quiet != 0; }
    // Negotiated protocol ("TLSv1.2") and cipher; empty before a handshake.
    std::string getProtocolName() const;
    std::string getCipherName() const;

protected:
    // Name resolution (getaddrinfo); tests replace it to inject addresses.
    virtual int resolveAddresses(const char* host, const char* service, addrinfo** result);
    virtual void freeAddresses(addrinfo* addresses);

private:
    void SSLSetup(int fallback);
    void closeGracefully(int fd);
    void releaseDeferred();
    int sslIo(bool writing, char* buffer, int length, int* sslError, bool waitFirst = false);
    bool waitIo(int fd, bool forWrite);
    int writePlainSegments(const ByteSegment* segments, int count);

    std::atomic<int> m_socketFD{-1};
    const char* m_host;
    int m_port;
    int m_quiet;
    const char* m_cipherList;
    int m_reserved;
    X509* m_clientCert;
    EVP_PKEY* m_clientKey;
    std::string m_protocolName;
    std::string m_cipherName;
    std::atomic<int> m_socketState{STATE_NEW};
    CertificateCallbackInterface* m_session;
    SSL* m_ssl = nullptr;
    SSL_CTX* m_ctx = nullptr;
    X509_STORE_CTX* m_storeCtx = nullptr;
    X509_STORE* m_store = nullptr;
    std::atomic<bool> m_sslHandshakeOk{false};
    std::atomic<bool> m_sslActive{false};
    std::atomic<bool> m_bypassSsl{false};
    // The descriptor is in blocking mode (plain connection): a read waits in
    // recv itself rather than in a poll before it.
    std::atomic<bool> m_blockingReads{false};
    ASemaphore m_destructorLock{true};

    // Guards m_ssl and every SSL_* call on it; never held while waiting.
    mutable std::mutex m_sslMutex;
    // Closed by close(): freed by the destructor, after the threads are gone.
    SSL* m_detachedSsl = nullptr;
    int m_deferredFD = -1;
};
