#include "tls/ASocket.h"

#include <errno.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"
#include "tls/CertHandler.h"

namespace {

const char* const kDefaultCipherList =
    "EDH-DSS-CBC-SHA:EDH-DSS-DES-CBC3-SHA:RC4-MD5:RC4-SHA:DES-CBC-SHA:DES-CBC3-SHA:EXP-RC4-MD5:"
    "+AES128";
constexpr int kConnectWaitMs = 5000;
constexpr int kGracefulWaitMs = 1000;
constexpr int kGracefulPauseMs = 100;
// Segments below this size are joined into one TLS write (one record).
constexpr int kTlsGatherLimit = 16 * 1024;

// Process-wide TLS state: the library-initialised flag and the lock table.
// OpenSSL 3 locks internally, so the table is kept only as the "installed" mark.
std::mutex g_tlsStateMutex;
std::atomic<bool> g_libraryInitialised{false};
std::unique_ptr<std::mutex[]> g_lockTable;

void installLockingCallbacks() {
    std::lock_guard<std::mutex> lock(g_tlsStateMutex);
    if (g_lockTable) return;
    g_lockTable.reset(new std::mutex[CRYPTO_num_locks()]);
}

void removeLockingCallbacks() {
    std::lock_guard<std::mutex> lock(g_tlsStateMutex);
    g_lockTable.reset();
}

// Writing to a connection the peer closed must fail, not kill the process.
void ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

void appendErrorQueue(const char* fileName) {
    if (FILE* f = std::fopen(fileName, "a+")) {
        ERR_print_errors_fp(f);
        std::fclose(f);
    } else {
        ERR_clear_error();
    }
}

bool setBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK)) == 0;
}

// Polls fd for events within a time limit in library milliseconds (< 0: none),
// restarting after signals with the time left. Returns revents, 0 on timeout.
int pollFor(int fd, short events, long long limitMs) {
    const long long deadline = limitMs < 0 ? 0 : tw::Clock::nowMs() + limitMs;
    for (;;) {
        int waitMs = -1;
        if (limitMs >= 0) {
            const long long left = deadline - tw::Clock::nowMs();
            if (left <= 0) return 0;
            waitMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(tw::Clock::toReal(left))
                    .count() + 1);
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, waitMs);
        if (r > 0) return p.revents;
        if (r == 0) {
            if (limitMs >= 0) continue;  // re-checks the deadline
            return 0;
        }
        if (errno != EINTR) return POLLERR;
    }
}

bool waitReady(int fd, bool forWrite) {
    if (fd < 0) return false;
    // Hang-up and errors are left for the next call to report.
    return pollFor(fd, forWrite ? POLLOUT : POLLIN, -1) != 0;
}

constexpr ssize_t kWouldBlock = -2;

// The one retry loop of every plain send and receive: the call is repeated
// after a signal, and after waiting for the socket when it is not ready (or,
// without wait, kWouldBlock is returned). Otherwise the call's result, -1 on
// an error.
template <class Call>
ssize_t plainIo(int fd, bool forWrite, bool wait, Call call) {
    for (;;) {
        const ssize_t r = call();
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!wait) return kWouldBlock;
        if (!waitReady(fd, forWrite)) return -1;
    }
}

// The peer the certificate must name: the host the connection was opened to.
void expectPeer(SSL* ssl, const char* host) {
    if (host == nullptr || *host == '\0') return;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    unsigned char address[sizeof(in6_addr)];
    const bool isAddress = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, host)
                              : X509_VERIFY_PARAM_set1_host(param, host, 0);
    if (set != 1) {
        ERR_clear_error();
        LogMessage("%s cannot expect peer %s\n", "ASocket::sslConnect:", host);
    }
}

using SecurityCallback = int (*)(const SSL*, const SSL_CTX*, int, int, int, void*, void*);
// The context's own security rules (security level 1), kept for TLS 1.2.
std::atomic<SecurityCallback> g_defaultSecurity{nullptr};

// TLS 1.0 and 1.1 sign the key exchange with MD5+SHA1, which security level 1
// refuses: a connection that settled on one of them is held to level 0's
// rules (what the TLS 1.0 fallback has always used), every other one keeps
// level 1. Before the server has answered, the version is the highest offered.
int securityByVersion(const SSL* ssl, const SSL_CTX* ctx, int op, int bits, int nid, void* other,
                      void* ex) {
    const int version = op == SSL_SECOP_VERSION ? nid : ssl != nullptr ? SSL_version(ssl) : 0;
    const bool oldVersion = version >= TLS1_VERSION && version < TLS1_2_VERSION;
    if (oldVersion) return op == SSL_SECOP_TMP_DH && bits < 80 ? 0 : 1;
    const SecurityCallback level1 = g_defaultSecurity.load();
    return level1 != nullptr ? level1(ssl, ctx, op, bits, nid, other, ex) : 0;
}

bool hasTls12Suite(SSL_CTX* ctx) {
    STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(ctx);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i)
        if (std::strcmp(SSL_CIPHER_get_version(sk_SSL_CIPHER_value(ciphers, i)), "TLSv1.3") != 0)
            return true;
    return false;
}

}  // namespace

ASocket::ASocket(const char* host, int port, int quiet, CertificateCallbackInterface* session,
                 const char* cipherList, int reserved, X509* clientCert, EVP_PKEY* clientKey,
                 int fallback)
    : m_host(host), m_port(port), m_quiet(quiet), m_cipherList(cipherList), m_reserved(reserved),
      m_clientCert(clientCert), m_clientKey(clientKey), m_session(session) {
    try {
        SSLSetup(fallback);
    } catch (...) {
        if (m_storeCtx != nullptr) X509_STORE_CTX_free(m_storeCtx);
        if (m_store != nullptr) X509_STORE_free(m_store);
        throw;
    }
    m_socketState.store(STATE_NEW);
    LogMessage("%s Exiting.\n", "ASocket::ASocket:");
}

void ASocket::SSLSetup(int fallback) {
    const char* const fn = "ASocket::SSLSetup:";
    LogMessage("%s Entered.\n", fn);
    ignoreSigpipe();
    if (!g_libraryInitialised.load()) {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        g_libraryInitialised.store(true);
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    installLockingCallbacks();

    LogMessage("%s fallback=%d\n", fn, fallback);
    m_ctx = SSL_CTX_new(TLS_client_method());
    if (m_ctx == nullptr) {
        LogMessage("%s Can't get SSL context.\n", fn);
        appendErrorQueue("sslError.log");
        ssl_error("Can't get SSL context");
        throw "Can't get SSL context";
    }
    // The old protocol levels exist only to reach old controllers, which need
    // security level 0; the others keep level 1 (1.0.1 had no levels at all)
    // for TLS 1.2 and level 0's rules for an older version the server chose.
    const bool legacy = fallback == 2 || fallback == 3;
    SSL_CTX_set_security_level(m_ctx, legacy ? 0 : 1);
    if (!legacy) {
        SecurityCallback level1 = nullptr;
        g_defaultSecurity.compare_exchange_strong(level1, SSL_CTX_get_security_callback(m_ctx));
        SSL_CTX_set_security_callback(m_ctx, securityByVersion);
    }

    if (m_cipherList != nullptr) {
        LogMessage("%s Setting user defined cipher list\n", fn);
        LogMessage("\nEnabled Cipher Strings : %s\n", m_cipherList);
        // A list that matches nothing fails the handshake with the usual error.
        if (SSL_CTX_set_cipher_list(m_ctx, m_cipherList) != 1) ERR_clear_error();
    } else {
        LogMessage("%s Setting default cipher list\n", fn);
        LogMessage("\nEnabled Cipher Strings : %s\n", kDefaultCipherList);
        const int ok = SSL_CTX_set_cipher_list(m_ctx, kDefaultCipherList);
        ERR_clear_error();
        // None of the old default suites exists any more; without this every
        // handshake would fail.
        if (ok != 1 || !hasTls12Suite(m_ctx)) {
            SSL_CTX_set_cipher_list(m_ctx, "DEFAULT");
            LogMessage("\nEnabled Cipher Strings : %s\n", "DEFAULT");
        }
    }

    if (m_clientCert != nullptr && SSL_CTX_use_certificate(m_ctx, m_clientCert) != 1) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
        ssl_error("setup_ctx: Error loading the Kerbit certificate in context.");
        throw "Can't get SSL Certificate";
    }
    if (m_clientKey != nullptr && SSL_CTX_use_PrivateKey(m_ctx, m_clientKey) != 1) {
        SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
        ssl_error("setup_ctx: Error loading private key from file");
        throw "Can't get SSL Private Key";
    }

    int minVersion = TLS1_VERSION;
    int maxVersion = TLS1_2_VERSION;
    switch (fallback) {
    case 1:
        LogMessage("%s Setting Fallback_TLSv1_2 option \n", fn);
        minVersion = TLS1_2_VERSION;
        break;
    case 2:
        LogMessage("%s Setting Fallback_TLSv1_1 option \n", fn);
        minVersion = maxVersion = TLS1_1_VERSION;
        break;
    case 3:
        LogMessage("%s Setting Fallback_TLSv1 option \n", fn);
        maxVersion = TLS1_VERSION;
        break;
    default:
        LogMessage("%s Setting Fallback default options \n", fn);
        break;
    }
    SSL_CTX_set_min_proto_version(m_ctx, minVersion);
    SSL_CTX_set_max_proto_version(m_ctx, maxVersion);
    // Old servers without secure renegotiation, a TCP close without
    // close_notify reported as a close, and no renegotiation under the two
    // threads that share the connection.
    SSL_CTX_set_options(m_ctx, SSL_OP_LEGACY_SERVER_CONNECT | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                   SSL_OP_NO_RENEGOTIATION);

    SSL_CTX_set_verify(m_ctx, SSL_VERIFY_NONE, CertHandler::verify_callback);
    CertHandler::init(m_session);

    const std::string trustDirectory = CertHandler::getTrustDirectory();
    m_store = X509_STORE_new();
    if (m_store != nullptr && !trustDirectory.empty())
        X509_STORE_load_path(m_store, trustDirectory.c_str());
    m_storeCtx = X509_STORE_CTX_new();
    if (!trustDirectory.empty()) SSL_CTX_load_verify_dir(m_ctx, trustDirectory.c_str());
    ERR_clear_error();
}

ASocket::~ASocket() {
    const char* const fn = "ASocket::~ASocket:";
    LogMessage("%s Entered.\n", fn);
    LogMessage("%s m_socketFD=%d\n", fn, m_socketFD.load());
    m_destructorLock.wait();
    if (m_socketFD.load() != -1) close();
    releaseDeferred();
    if (m_ctx != nullptr) SSL_CTX_free(m_ctx);
    m_ctx = nullptr;
    m_clientCert = nullptr;
    m_clientKey = nullptr;
    if (m_storeCtx != nullptr) X509_STORE_CTX_free(m_storeCtx);
    if (m_store != nullptr) X509_STORE_free(m_store);
    m_storeCtx = nullptr;
    m_store = nullptr;
    m_destructorLock.release();
    LogMessage("%s destructor completed\n", fn);
    m_destructorLock.close();
}

// Frees what close() left for later: the TLS objects and the descriptor.
void ASocket::releaseDeferred() {
    std::lock_guard<std::mutex> lock(m_sslMutex);
    if (m_ssl != nullptr) SSL_free(m_ssl);
    if (m_detachedSsl != nullptr) SSL_free(m_detachedSsl);
    m_ssl = nullptr;
    m_detachedSsl = nullptr;
    if (m_deferredFD != -1) ::close(m_deferredFD);
    m_deferredFD = -1;
}

void ASocket::closeGracefully(int fd) {
    LogMessage("%s CTcpSocket::closeConnection socket\n", "ASocket::winConnect:");
    shutdown(fd, SHUT_WR);
    pollFor(fd, POLLIN | POLLRDHUP, kGracefulWaitMs);
    ::close(fd);
    tw::Clock::sleepMs(kGracefulPauseMs);
}

int ASocket::resolveAddresses(const char* host, const char* service, addrinfo** result) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    return getaddrinfo(host, service, &hints, result);
}

void ASocket::freeAddresses(addrinfo* addresses) {
    if (addresses != nullptr) freeaddrinfo(addresses);
}

void ASocket::winConnect(const char* host, int port) {
    const char* const fn = "ASocket::winConnect:";
    const int old = m_socketFD.exchange(-1);
    if (old != -1) closeGracefully(old);
    // A new connection: nothing of the old one may be used again.
    releaseDeferred();
    m_sslActive.store(false);
    m_sslHandshakeOk.store(false);

    m_port = port;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);

    addrinfo* raw = nullptr;
    if (host == nullptr || resolveAddresses(host, service, &raw) != 0 || raw == nullptr) {
        if (raw != nullptr) freeAddresses(raw);
        LogMessage("%s CTcpSocket::Cannot resolve address\n", fn);
        throw "Cannot resolve address";
    }
    struct Release {
        ASocket* self;
        addrinfo* list;
        ~Release() {
            if (list != nullptr) self->freeAddresses(list);
        }
    } addresses{this, raw};

    int fd = -1;
    bool anySocket = false;
    for (addrinfo* a = addresses.list; a != nullptr && fd == -1; a = a->ai_next) {
        const int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            // Another family may still work (IPv6 switched off, for example).
            LogMessage("%s --Connect Error %d \n", fn, errno);
            continue;
        }
        anySocket = true;
        setBlocking(s, false);
        bool connected = false;
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            LogMessage("%s -- Connected No Wait\n", fn);
            connected = true;
        } else if (errno == EINPROGRESS || errno == EWOULDBLOCK) {
            LogMessage("%s -- Connect() returned WSAEWOULDBLOCK. Need to Wait.. \n", fn);
            const int ev = pollFor(s, POLLOUT, kConnectWaitMs);
            if (ev == 0) {
                LogMessage("%s -- Connect Timed out \n", fn);
            } else {
                // A refused connect also shows as writable: only SO_ERROR tells.
                int err = 0;
                socklen_t len = sizeof err;
                if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                    LogMessage("%s -- Connected \n", fn);
                    connected = true;
                } else {
                    LogMessage("%s --Select() Error.\n", fn);
                }
            }
        } else {
            LogMessage("%s --Connect Error %d \n", fn, errno);
        }
        if (connected)
            fd = s;
        else
            ::close(s);
    }
    if (!anySocket) throw "Bad Socket";
    if (fd == -1) {
        LogMessage("%s -- socket timeout\n", fn);
        m_socketState.store(STATE_CONNECT_FAILED);
        return;
    }
    const int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        ::close(fd);
        LogMessage("%s -- setsockopt error\n", fn);
        throw "setsockopt error";
    }
    // Blocking while the connection is plain: a receive that has to wait is
    // then one recv, not a poll and a recv; close() still wakes it with
    // shutdown. sslConnect makes it non-blocking again, since TLS calls run
    // under a lock and wait with poll outside it. Writes that must not block
    // pass MSG_DONTWAIT either way.
    m_blockingReads.store(setBlocking(fd, true));
    m_socketFD.store(fd);
    m_socketState.store(STATE_CONNECTED);
}

void ASocket::connect(const char* trustDirectory, X509* knownCertificate) {
    winConnect(m_host, m_port);
    std::printf("m_socketState=%d\n", m_socketState.load());
    std::fflush(stdout);
    CertHandler::setTrustDirectory(trustDirectory);
    CertHandler::setKnownCertificate(knownCertificate);
}

int ASocket::sslConnect() {
    const char* const fn = "ASocket::sslConnect:";
    SSL* ssl = SSL_new(m_ctx);
    if (ssl == nullptr) {
        LogMessage("%s SSL_new failed.\n", fn);
        m_sslHandshakeOk.store(false);
        throw "SSL_new failed";
    }
    {
        // Replaces a connection object left by an earlier failed attempt.
        std::lock_guard<std::mutex> lock(m_sslMutex);
        if (m_ssl != nullptr) SSL_free(m_ssl);
        m_ssl = nullptr;
    }

    int fd = m_socketFD.load();
    bool completed = false;
    m_blockingReads.store(false);
    if (fd != -1 && !setBlocking(fd, false)) {
        // An SSL call must never block while it holds the TLS lock.
        LogMessage("%s cannot make the socket non-blocking, errno=%d\n", fn, errno);
        fd = -1;
    }
    if (fd != -1) {
        SSL_clear(ssl);
        SSL_set_fd(ssl, fd);
        expectPeer(ssl, m_host);
        if (!m_quiet) {
            std::printf(" SSL Start handshake\n");
            std::fflush(stdout);
        }
        enumerate_ciphers(ssl);
        enumerate_protocols(ssl);
        // Nobody else sees this object until the handshake is over, so the
        // certificate prompt inside it holds no lock that close() needs.
        int r;
        int err;
        for (;;) {
            ERR_clear_error();
            errno = 0;
            r = SSL_connect(ssl);
            err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
                if (m_socketFD.load() == -1) break;
                pollFor(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, -1);
                continue;
            }
            break;
        }
        LogMessage("%s SSL_connect returned %d, protocol %s\n", fn, r, SSL_get_version(ssl));

        const int state = CertHandler::getState();
        if (state == CertHandler::STATE_CANCEL || state == CertHandler::STATE_TIMEOUT) {
            // The user refused the certificate (or nobody answered): the
            // password must not go over this connection.
            LogMessage("%s SSL Closing due to certificate callback CANCEL state\n", fn);
            {
                std::lock_guard<std::mutex> lock(m_sslMutex);
                m_ssl = ssl;
            }
            m_sslActive.store(r > 0);
            m_sslHandshakeOk.store(r > 0);
            close();
            m_sslActive.store(false);
            throw "SSL Connection error";
        }

        if (m_socketFD.load() != -1 && r > 0) {
            std::printf("SSL Handshake Completed\n");
            std::fflush(stdout);
            const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
            {
                std::lock_guard<std::mutex> lock(m_sslMutex);
                m_protocolName = SSL_get_version(ssl);
                m_cipherName = cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "";
                // Whatever the peer has sent comes in with one read; nothing
                // reads this socket past TLS from here on.
                SSL_set_read_ahead(ssl, 1);
                m_ssl = ssl;
            }
            LogMessage("\n%s Negotiated: SSL connection using protocol %s and cipher %s\n", fn,
                       m_protocolName.c_str(), m_cipherName.c_str());
            if (cipher != nullptr) {
                char description[128];
                SSL_CIPHER_description(cipher, description, sizeof description);
                LogMessage("%s Cipher description: %s\n", fn, description);
            }
            m_sslHandshakeOk.store(true);
            m_sslActive.store(true);
            completed = true;
        } else if (m_socketFD.load() != -1) {
            const int savedErrno = errno;
            LogMessage("%s SSL_connect=%d SSL_get_error=%d errno=%d (%s)\n", fn, r, err, savedErrno,
                       tw::errorText(savedErrno).c_str());
            LogMessage("%s Writing SSL errors to %s.\n", fn, "sslErrorN.log");
            appendErrorQueue("sslErrorN.log");
            m_sslHandshakeOk.store(false);
        } else {
            LogMessage("%s SSL connection error, TCP Socket closed\n", fn);
            if (!m_quiet) {
                std::printf(" SSL connection error, TCP Socket closed.\n");
                std::fflush(stdout);
            }
            m_sslHandshakeOk.store(false);
        }
    }
    if (!completed) {
        // A fresh object on the same context, kept for a later attempt.
        SSL_free(ssl);
        std::lock_guard<std::mutex> lock(m_sslMutex);
        m_ssl = SSL_new(m_ctx);
    }
    ERR_clear_error();

    if (m_sslHandshakeOk.load()) {
        LogMessage("%s SSL Handshake OK\n", fn);
        if (!m_quiet) std::printf(" SSL Handshake Completed\n");
    } else {
        LogMessage("%s SSL Handshake Failed\n", fn);
        if (!m_quiet) std::printf(" SSL Handshake Failed\n");
    }
    std::fflush(stdout);
    m_sslActive.store(m_sslHandshakeOk.load());
    return m_sslHandshakeOk.load() ? 1 : 0;
}

// One SSL_read or SSL_write under the lock, waiting outside it until the
// socket is ready. Returns the call's result; *sslError its SSL_get_error.
// waitFirst (reads): when nothing is buffered, wait for the socket before
// the first SSL_read rather than after a read that finds nothing.
int ASocket::sslIo(bool writing, char* buffer, int length, int* sslError, bool waitFirst) {
    for (;;) {
        int r = -1;
        int err = SSL_ERROR_WANT_READ;
        int fd;
        {
            std::lock_guard<std::mutex> lock(m_sslMutex);
            if (m_ssl == nullptr) {
                *sslError = SSL_ERROR_SSL;
                return -2;  // the connection is gone
            }
            fd = SSL_get_fd(m_ssl);
            const bool waitNow = waitFirst && !writing && SSL_has_pending(m_ssl) == 0;
            waitFirst = false;
            if (!waitNow) {
                ERR_clear_error();
                r = writing ? SSL_write(m_ssl, buffer, length) : SSL_read(m_ssl, buffer, length);
                err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(m_ssl, r);
                if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) ERR_clear_error();
            }
        }
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (!waitIo(fd, err == SSL_ERROR_WANT_WRITE)) {
                *sslError = SSL_ERROR_SYSCALL;
                return -1;
            }
            continue;
        }
        *sslError = err;
        return r;
    }
}

bool ASocket::waitIo(int fd, bool forWrite) { return waitReady(fd, forWrite); }

int ASocket::write(const char* data, int length) {
    if (m_socketState.load() != STATE_CONNECTED) return -1;
    int result = 0;
    if (!m_sslActive.load() || m_bypassSsl.load()) {
        const int fd = m_socketFD.load();
        if (fd == -1) return -1;
        if (length <= 0) return 0;
        int sent = 0;
        while (sent < length) {
            const ssize_t r = plainIo(fd, true, true,
                                      [&] { return send(fd, data + sent, size_t(length - sent), MSG_NOSIGNAL); });
            result = static_cast<int>(r);
            if (r <= 0) break;
            sent += static_cast<int>(r);
        }
    } else {
        if (length <= 0) return 0;
        int written = 0;
        while (written < length) {
            int err = 0;
            const int r = sslIo(true, const_cast<char*>(data + written), length - written, &err);
            if (r == -2) return -1;
            result = r;
            if (r > 0) {
                written += r;
                continue;
            }
            if (err == SSL_ERROR_ZERO_RETURN) {
                LogMessage("%s SSL_Write returned SSL_ERROR_ZERO_RETURN\n", "ASocket::write");
                close();
                return -1;
            }
            break;
        }
    }
    if (result < 0) m_socketState.store(STATE_ERROR);
    return result;
}

int ASocket::readFully(char* buffer, int count) { return readSome(buffer, count, count); }

int ASocket::readSome(char* buffer, int minimum, int capacity) {
    if (m_socketState.load() != STATE_CONNECTED) return -1;
    if (minimum <= 0) return 0;
    if (capacity < minimum) capacity = minimum;
    int got = 0;
    // A read that starts with nothing at hand mostly finds nothing yet (the
    // peer waits for an answer): wait first, then read.
    bool waitFirst = true;
    while (got < minimum) {
        int r;
        if (!m_sslActive.load() || m_bypassSsl.load()) {
            const int fd = m_socketFD.load();
            if (fd == -1) return -1;
            if (waitFirst && !m_blockingReads.load()) {
                // Looks at the descriptor again after the wait: a close()
                // meanwhile is ours, not the peer's.
                waitFirst = false;
                if (!waitIo(fd, false)) return -1;
                continue;
            }
            r = static_cast<int>(
                plainIo(fd, false, true, [&] { return recv(fd, buffer + got, size_t(capacity - got), 0); }));
            // A blocking recv waits in place of the poll: the same look at
            // the descriptor once it returns.
            if (waitFirst && r <= 0 && m_socketFD.load() == -1) return -1;
            waitFirst = false;
        } else {
            int err = 0;
            r = sslIo(false, buffer + got, capacity - got, &err, waitFirst);
            waitFirst = false;
            if (r == -2) return -1;
            if (r < 0) {
                if (err == SSL_ERROR_ZERO_RETURN) {
                    LogMessage("%s SSL_Write returned SSL_ERROR_ZERO_RETURN\n",
                               "ASocket::readFully");
                    close();
                }
                r = -1;
            }
        }
        if (r < 0) {
            m_socketState.store(STATE_ERROR);
            return -1;
        }
        if (r == 0) {
            m_socketState.store(STATE_CLOSED_BY_PEER);
            if (!m_quiet) {
                std::printf("Connection closed by peer\n");
                std::fflush(stdout);
            }
            return -1;
        }
        got += r;
    }
    return got;
}

int ASocket::writeSegments(const ByteSegment* segments, int count) {
    if (count == 1) return write(segments[0].data, segments[0].length);
    if (m_socketState.load() != STATE_CONNECTED) return -1;
    if (!m_sslActive.load() || m_bypassSsl.load()) return writePlainSegments(segments, count);
    std::vector<char> joined;
    int result = 0;
    auto flush = [&]() {
        if (joined.empty()) return true;
        result = write(joined.data(), static_cast<int>(joined.size()));
        joined.clear();
        return result > 0;
    };
    for (int i = 0; i < count; ++i) {
        const ByteSegment& seg = segments[i];
        if (seg.length <= 0) continue;
        if (seg.length >= kTlsGatherLimit) {
            if (!flush()) return result;
            result = write(seg.data, seg.length);
            if (result <= 0) return result;
            continue;
        }
        if (joined.size() + size_t(seg.length) > size_t(kTlsGatherLimit) && !flush()) return result;
        joined.insert(joined.end(), seg.data, seg.data + seg.length);
    }
    flush();
    return result;
}

int ASocket::writeSome(const char* data, int length) {
    if (m_socketState.load() != STATE_CONNECTED) return -1;
    if (length <= 0) return 0;
    int done = 0;
    if (!m_sslActive.load() || m_bypassSsl.load()) {
        const int fd = m_socketFD.load();
        if (fd == -1) return -1;
        while (done < length) {
            const ssize_t r = plainIo(fd, true, false, [&] {
                return send(fd, data + done, size_t(length - done), MSG_NOSIGNAL | MSG_DONTWAIT);
            });
            if (r == kWouldBlock) break;
            if (r < 0) {
                m_socketState.store(STATE_ERROR);
                return -1;
            }
            if (r == 0) break;
            done += static_cast<int>(r);
        }
        return done;
    }
    int err = SSL_ERROR_NONE;
    {
        std::lock_guard<std::mutex> lock(m_sslMutex);
        if (m_ssl == nullptr) return -1;
        ERR_clear_error();
        // All of it, or nothing yet: the records written so far and the one
        // under way are OpenSSL's to finish on the next call.
        const int r = SSL_write(m_ssl, data, length);
        if (r > 0) return r;
        err = SSL_get_error(m_ssl, r);
        if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) return 0;
        ERR_clear_error();
    }
    if (err == SSL_ERROR_ZERO_RETURN) {
        LogMessage("%s SSL_Write returned SSL_ERROR_ZERO_RETURN\n", "ASocket::writeSome");
        close();
        return -1;
    }
    m_socketState.store(STATE_ERROR);
    return -1;
}

int ASocket::writePlainSegments(const ByteSegment* segments, int count) {
    const int fd = m_socketFD.load();
    if (fd == -1) return -1;
    std::vector<iovec> iov;
    iov.reserve(size_t(count));
    for (int i = 0; i < count; ++i)
        if (segments[i].length > 0)
            iov.push_back({const_cast<char*>(segments[i].data), size_t(segments[i].length)});
    size_t total = 0;
    for (const iovec& v : iov) total += v.iov_len;
    size_t next = 0;
    while (next < iov.size()) {
        msghdr msg{};
        msg.msg_iov = &iov[next];
        msg.msg_iovlen = std::min<size_t>(iov.size() - next, IOV_MAX);
        const ssize_t r = plainIo(fd, true, true, [&] { return sendmsg(fd, &msg, MSG_NOSIGNAL); });
        if (r < 0) {
            m_socketState.store(STATE_ERROR);
            return -1;
        }
        if (r == 0) return 0;
        // Steps over what went out; a segment sent in part goes on from there.
        size_t sent = size_t(r);
        while (sent > 0) {
            if (sent >= iov[next].iov_len) {
                sent -= iov[next].iov_len;
                ++next;
            } else {
                iov[next].iov_base = static_cast<char*>(iov[next].iov_base) + sent;
                iov[next].iov_len -= sent;
                sent = 0;
            }
        }
    }
    return static_cast<int>(std::min<size_t>(total, INT_MAX));
}

void ASocket::close() {
    const char* const fn = "ASocket::close:";
    LogMessage("%s Entered.\n", fn);
    const int fd = m_socketFD.exchange(-1);
    if (fd == -1) return;
    if (m_sslActive.load() && !m_bypassSsl.load()) {
        std::lock_guard<std::mutex> lock(m_sslMutex);
        if (m_ssl != nullptr) {
            // Detached, not freed: another thread may be about to use it.
            if (m_detachedSsl != nullptr) SSL_free(m_detachedSsl);
            m_detachedSsl = m_ssl;
            m_ssl = nullptr;
            LogMessage("%s call SSL_shutdown\n", fn);
            ERR_clear_error();
            SSL_shutdown(m_detachedSsl);  // best effort close_notify
            ERR_clear_error();
        }
        m_sslHandshakeOk.store(false);
    }
    // Wakes a reader blocked on this socket; the number itself stays taken
    // until the destructor so that it cannot be reused under a writer.
    shutdown(fd, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(m_sslMutex);
        if (m_deferredFD != -1) ::close(m_deferredFD);
        m_deferredFD = fd;
    }
    m_sslActive.store(false);
    LogMessage("%s return from close[socket]\n", fn);
}

void ASocket::ssl_error(const char* message) {
    char text[1024];
    std::memset(text, 0, sizeof text);
    const unsigned long code = ERR_get_error();
    if (code != 0) ERR_error_string_n(code, text, sizeof text);
    LogMessage("%s: szMessage (%s) err_buf (%s)\n", "ASocket::ssl_error", message,
               text[0] ? text : "NULL");
    if (text[0])
        std::printf("%s - %s\n", message, text);
    else
        std::printf("%s\n", message);
    std::fflush(stdout);
}

void ASocket::enumerate_ciphers(SSL* ssl) {
    const char* const fn = "ASocket::enumerate_ciphers:";
    if (ssl == nullptr || DebugLogLevel() == 0) return;
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(ssl);
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
        char name[4096];
        std::snprintf(name, sizeof name, "%s", SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i)));
        LogMessage("%s Cipher list (Priority = %d): %s\n", fn, i, name);
    }
    LogMessage("%s End of List\n", fn);
}

void ASocket::enumerate_protocols(SSL* ssl) {
    const char* const fn = "ASocket::enumerate_protocols:";
    if (ssl == nullptr || DebugLogLevel() == 0) return;
    STACK_OF(SSL_CIPHER)* ciphers = SSL_get_ciphers(ssl);
    std::vector<std::string> seen;
    std::string line;
    for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
        const SSL_CIPHER* c = sk_SSL_CIPHER_value(ciphers, i);
        const std::string version = SSL_CIPHER_get_version(c);
        bool known = false;
        for (const std::string& v : seen) known = known || v == version;
        if (known) continue;
        seen.push_back(version);
        line += " [" + version + " " + SSL_CIPHER_get_name(c) + "]";
    }
    LogMessage("%s%s\n%s End of List\n", fn, line.c_str(), fn);
}

void ASocket::finalCleanup() {
    const char* const fn = "ASocket::finalCleanup:";
    LogMessage("%s Entered.\n", fn);
    // OpenSSL is never de-initialised: it could not be initialised again.
    removeLockingCallbacks();
    g_libraryInitialised.store(false);
    CertHandler::clearCertificates();
    LogMessage("%s Exiting.\n", fn);
}

std::string ASocket::getProtocolName() const {
    std::lock_guard<std::mutex> lock(m_sslMutex);
    return m_protocolName;
}

std::string ASocket::getCipherName() const {
    std::lock_guard<std::mutex> lock(m_sslMutex);
    return m_cipherName;
}
