#include "protocol/ProtocolTUVO.h"

#include <openssl/rand.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "api/VMConnectionInfo.h"
#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "protocol/PacketBytes.h"
#include "protocol/SessionRequest.h"
#include "protocol/SessionRequestEx.h"
#include "protocol/SetupWatchdog.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"

namespace {
const char* const kGetSocket = "ProtocolTUVO::getSocket:";
const char* const kReconnect = "ProtocolTUVO::getSocketReconnect:";
const char* const kReceive = "ProtocolTUVO::receiveSessionSetup:";
const char* const kSend = "ProtocolTUVO::sendSessionRequest:";
const char* const kSendReconnect = "ProtocolTUVO::sendSessionRequestReconnect:";
const char* const kProxy = "ProtocolTUVO::proxyHandshake:";
}  // namespace

ProtocolTUVO::ProtocolTUVO(const char* host, int quiet, CertificateCallbackInterface* session, int port,
                           bool forceEncryption, PlainTextCallback plainTextCallback, int plainTextTimeout)
    : m_host(host ? host : ""),
      m_Port(port),
      m_plainTextTimeout(plainTextTimeout),
      m_quiet(quiet),
      m_session(session),
      m_plainTextCallback(std::move(plainTextCallback)),
      m_forceEncryption(forceEncryption),
      m_capabilities(forceEncryption ? 12 : 13) {
    // Made once, so an answer from another thread never meets a half-made one.
    m_plainTextSemaphore = std::make_unique<ASemaphore>();
    fillRandom(RANDOM_LENGTH, m_random);
}

void ProtocolTUVO::X509Free::operator()(X509* x) const { X509_free(x); }

ProtocolTUVO::~ProtocolTUVO() {
    LogMessage("%s Entered. %p\n", "ProtocolTUVO::~ProtocolTUVO:", static_cast<void*>(this));
    m_plainTextSemaphore->release();
    m_plainTextSemaphore->close();
    closeSocket();
    OPENSSL_cleanse(m_random, sizeof m_random);
    LogMessage("%s Exit\n", "ProtocolTUVO::~ProtocolTUVO:");
}

void ProtocolTUVO::setCipherList(const char* ciphers) {
    m_hasCipherList = ciphers != nullptr;
    m_cipherList = ciphers ? ciphers : "";
}

uint32_t ProtocolTUVO::capabilitiesWord() const {
    uint32_t word = uint32_t(m_capabilities);
    if (m_capabilities != 8) word |= 0x600;
    if (m_bClearTextReconnect) word |= 0x800;
    return word;
}

void ProtocolTUVO::fillRandom(int length, uint8_t* buffer) {
    if (length <= 0) return;
    if (RAND_bytes(buffer, length) == 1) return;
    // The TLS library's generator failed: fall back to the kernel's.
    FILE* f = std::fopen("/dev/urandom", "rb");
    size_t got = f ? std::fread(buffer, 1, size_t(length), f) : 0;
    if (f) std::fclose(f);
    if (got != size_t(length)) LogMessage("%s no random source\n", "ProtocolTUVO::fillRandom:");
}

void ProtocolTUVO::closeSocket() {
    if (m_socket) {
        m_socket->close();
        m_socket.reset();
    }
}

void ProtocolTUVO::fail(const char* message) {
    closeSocket();
    throw message;
}

int64_t ProtocolTUVO::connectTimeoutMs() const {
    int seconds = m_info ? m_info->getConnectTimeout() : VMConnectionInfo::DEFAULT_TIMEOUT_CONNECT;
    if (seconds <= 0) seconds = VMConnectionInfo::DEFAULT_TIMEOUT_CONNECT;
    return int64_t(seconds) * 1000;
}

bool ProtocolTUVO::readSetup(char* buffer, int count) {
    bool ok;
    {
        SetupWatchdog watchdog(m_socket.get(), connectTimeoutMs());
        ok = m_socket->readFully(buffer, count) == count;
        if (!watchdog.expired()) return ok;
    }
    LogMessage("%s no answer within the connect timeout\n", kReceive);
    fail("Timed out waiting for session setup reply.");
}

std::unique_ptr<ASocket> ProtocolTUVO::openSocket(int port, int fallback) {
    std::unique_ptr<ASocket> socket;
    try {
        socket = std::make_unique<ASocket>(m_host.c_str(), port, m_quiet, m_session,
                                           m_hasCipherList ? m_cipherList.c_str() : nullptr, 0, m_clientCert,
                                           m_clientKey, fallback);
        socket->connect(m_info ? m_info->getCertPath() : nullptr,
                        m_info ? static_cast<X509*>(m_info->getManagedCert()) : nullptr);
        if (m_answeredCert) CertHandler::setKnownCertificate(m_answeredCert.get());
    } catch (const char* e) {
        LogMessage("%s %s\n", "ProtocolTUVO::openSocket:", e);
        if (socket) socket->close();
        throw "Unable To Connect";
    } catch (...) {
        if (socket) socket->close();
        throw "Unable To Connect";
    }
    if (socket->getSocketState() != ASocket::STATE_CONNECTED) {
        // No address answered: nothing may be written on this socket.
        LogMessage("%s no connection to %s port %d\n", "ProtocolTUVO::openSocket:", m_host.c_str(), port);
        socket->close();
        throw "Unable To Connect";
    }
    return socket;
}

ASocket* ProtocolTUVO::getSocket(int method) {
    m_connectionKind = 2;
    if (m_cancelConnect) {
        closeSocket();
        return nullptr;
    }
    uint8_t random[RANDOM_LENGTH];
    fillRandom(RANDOM_LENGTH, random);
    m_reconnectMethod = method;
    closeSocket();

    std::printf("*******Initial Connection 1********\n");
    std::fflush(stdout);
    m_socket = openSocket(m_Port, 0);
    LogMessage("%s returned from new Asocket m_cancelConnect=%c\n", kGetSocket, m_cancelConnect ? 'T' : 'F');
    if (!m_cancelConnect) {
        m_socket->setBypassSsl(true);
        if (m_info && m_info->isProxied()) {
            int status = proxyHandshake(m_socket.get(), m_info->getSessionProxyOnly());
            LogMessage("ProtocolTUVO::getGORNSocket() Proxy Connection Status = %d\n", status);
        }
        sendRequestForMethod(random);
        if (m_socket) m_socket->setBypassSsl(false);
        if (!m_cancelConnect) return receiveSessionSetup();
    }
    closeSocket();
    return nullptr;
}

ASocket* ProtocolTUVO::getSocketReconnect(int method, int sessionId) {
    uint8_t random[RANDOM_LENGTH];
    fillRandom(RANDOM_LENGTH, random);
    m_connectionKind = 2;
    nSessionId = sessionId;
    m_reconnectMethod = method;
    closeSocket();

    std::printf("**********2*************");
    std::fflush(stdout);
    LogMessage("%s Initializing m_socket\n", kReconnect);
    try {
        m_socket = openSocket(m_Port, 1);
    } catch (const char*) {
        LogMessage("%s unable to connect.. throw exception\n", kReconnect);
        throw;
    }
    if (method == 1)
        sendSessionRequestReconnect(nSessionId, m_connectionKind, random);
    else
        sendSessionRequest(m_connectionKind, random, nSessionId);
    return receiveSessionSetup();
}

void ProtocolTUVO::sendRequestForMethod(const uint8_t* random) {
    if (m_reconnectMethod == 2)
        sendSessionRequest(m_connectionKind, random, nSessionId);
    else
        sendSessionRequestReconnect(nSessionId, m_connectionKind, random);
}

void ProtocolTUVO::writeSessionRequest(bool extended, int connectionKind, const uint8_t* random, int sessionId) {
    std::unique_ptr<SessionRequest> request = extended ? std::make_unique<SessionRequestEx>()
                                                       : std::make_unique<SessionRequest>();
    request->setConnectionKind(uint8_t(connectionKind));
    request->setVersion(uint8_t(m_zelkMajor), uint8_t(m_zelkMinor));
    request->setCapabilities(capabilitiesWord());
    request->setRandom(random, RANDOM_LENGTH);
    request->setSessionId(uint32_t(sessionId));
    std::vector<uint8_t> bytes = request->serialize();
    if (m_socket->write(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())) <= 0) {
        LogMessage("%s write failed\n", extended ? kSendReconnect : kSend);
        fail("Failed write of session request");
    }
}

void ProtocolTUVO::sendSessionRequest(int connectionKind, const uint8_t* random, int sessionId) {
    LogMessage("%s (0x100) Request: TUVO version: 0X%x ZELK version: %i.%i\n", kSend, 0x103u, m_zelkMajor,
               m_zelkMinor);
    if (m_cancelConnect) return;
    LogMessage("%s m_bClearTextReconnect:%i\n", kSend, m_bClearTextReconnect ? 1 : 0);
    LogMessage("%s nSessionId:%d\n", kSend, sessionId);
    if (!m_socket) return;
    writeSessionRequest(false, connectionKind, random, sessionId);
}

void ProtocolTUVO::sendSessionRequestReconnect(int sessionId, int connectionKind, const uint8_t* random) {
    LogMessage("%s called (101) session id:%i\n", kSendReconnect, sessionId);
    LogMessage("%s m_bClearTextReconnect:%i\n", kSendReconnect, m_bClearTextReconnect ? 1 : 0);
    LogMessage("%s nSessionId:%d\n", kSendReconnect, sessionId);
    if (!m_socket) {
        LogMessage("%s m_socket==NULL\n", kSendReconnect);
        return;
    }
    LogMessage("%s Sending request reconnect packet\n", kSendReconnect);
    writeSessionRequest(true, connectionKind, random, sessionId);
}

int ProtocolTUVO::proxyHandshake(ASocket* socket, int64_t proxySession) {
    uint8_t request[23] = {0x01, 'O', 'm', 'K', 'K', 0x01};
    WriteUInt32BE(12, request, 6);
    request[10] = 0x01;
    WriteUInt16BE(8, request, 11);
    WriteUInt32BE(uint32_t(uint64_t(proxySession) >> 32), request, 13);
    WriteUInt32BE(uint32_t(uint64_t(proxySession)), request, 17);
    request[21] = 0xFF;
    request[22] = 13;
    if (socket == nullptr || socket->write(reinterpret_cast<const char*>(request), 23) <= 0) {
        if (socket == m_socket.get()) closeSocket();
        throw "Failed write of to proxy server";
    }
    // Fields of 1, 4, 1, 4, 1, 2, 2, 1 and 1 bytes; only bytes 13-14 (the
    // status) are used. A short reply fails the connection.
    uint8_t reply[17] = {};
    bool ok = socket == m_socket.get() ? readSetup(reinterpret_cast<char*>(reply), 17)
                                       : socket->readFully(reinterpret_cast<char*>(reply), 17) == 17;
    if (!ok) {
        LogMessage("%s short proxy reply\n", kProxy);
        if (socket == m_socket.get()) closeSocket();
        throw "Unable To Connect";
    }
    return int16_t(ReadUInt16BE(13, reply));
}

void ProtocolTUVO::setPlainTextResponse(int answer) {
    m_plainTextAnswer = answer;
    m_plainTextSemaphore->release();
}

bool ProtocolTUVO::askPlainText() {
    m_plainTextSemaphore->timedWaitMs(0);  // drop a late answer to an earlier question
    m_plainTextAnswer = -1;
    int wait = getPlainTextWaitSeconds();
    LogMessage("%s wait for plain text response: timeout: %i\n", kReceive, wait);
    m_plainTextCallback(0);
    // A cancel sets the flag before it answers: one that came before the
    // drain above is seen here, a later one ends the wait.
    int r = m_cancelConnect ? ASemaphore::WAIT_TIMEOUT : m_plainTextSemaphore->timedWait(wait);
    if (r != ASemaphore::WAIT_OBTAINED || m_plainTextAnswer < 1) {
        LogMessage("%s plain text shutdown.\n", kReceive);
        m_cancelConnect = true;
        closeSocket();
        LogMessage("%s plain text return NULL socket.\n", kReceive);
        return false;
    }
    LogMessage("%s plain connection accepted.\n", kReceive);
    return true;
}

ASocket* ProtocolTUVO::receiveSessionSetup() {
    if (m_cancelConnect) {
        m_bClearTextReconnect = false;
        closeSocket();
        return nullptr;
    }
    if (!m_socket) return nullptr;

    uint8_t head[10];
    if (!readSetup(reinterpret_cast<char*>(head), 10)) {
        LogMessage("%s Socket Closed by peer reading header.\n", kReceive);
        fail("Socket Closed by peer reading header.");
    }
    if (std::memcmp(head, "TUVO", 4) != 0) {
        LogMessage("%s bad packet signature %02x%02x%02x%02x\n", kReceive, head[0], head[1], head[2], head[3]);
        fail("Protocol error, bad packet signature.");
    }
    int type = ReadUInt16BE(8, head);
    uint32_t length = ReadUInt32BE(4, head);
    m_reconnectCapable = false;
    if (type == 0x8101) {
        LogMessage("%s TUVO 8101 returned m_reconnectMethod=%i\n", kReceive, m_reconnectMethod);
        m_reconnectCapable = m_reconnectMethod == 1 || m_reconnectMethod == 2;
    } else if (type == 0x8100) {
        LogMessage("%s TUVO 8100 returned\n", kReceive);
    } else {
        fail("Protocol error, expecting packet of with type id 0x8100.");
    }
    if (length < uint32_t(MIN_REPLY_LENGTH) || length > uint32_t(MAX_REPLY_LENGTH)) {
        LogMessage("%s session reply length %u refused\n", kReceive, length);
        fail("Protocol error, bad session reply length.");
    }
    std::vector<uint8_t> reply(length, 0);
    std::memcpy(reply.data(), head, 10);
    if (!readSetup(reinterpret_cast<char*>(reply.data()) + 10, int(length) - 10)) {
        LogMessage("%s Socket Closed by peer reading header.\n", kReceive);
        fail("Socket Closed by peer reading header.");
    }
    if (m_cancelConnect) {
        closeSocket();
        return nullptr;
    }

    m_peerTuvoVersion = ReadUInt16BE(10, reply.data());
    m_zelkMajor = reply[12];
    m_zelkMinor = reply[13];
    if (m_peerTuvoVersion == 0 && m_zelkMinor > 13) m_zelkMinor = 13;
    LogMessage("%s TUVO version: 0X%x ZELK version: %i.%i\n", kReceive, unsigned(m_peerTuvoVersion), m_zelkMajor,
               m_zelkMinor);
    uint32_t caps = ReadUInt32BE(14, reply.data());
    m_newPort = ReadUInt16BE(18, reply.data());
    if (type == 0x8100 && (caps & 0x600) == 0x600 && m_peerTuvoVersion > 0x0101) m_reconnectCapable = true;
    m_bClearTextReconnect = (caps & 0x800) != 0;
    int r = reply[20];
    if (r > 0 && 21u + uint32_t(r) <= length) {
        std::memcpy(m_random, reply.data() + 21, size_t(r));
        m_randomLength = r;
    }
    if (type == 0x8101 && length >= 56) m_firstTimeout = ReadUInt16BE(54, reply.data());
    if (type == 0x8100 && length == 68) {
        m_firstTimeout = ReadUInt16BE(54, reply.data());
        m_secondTimeout = ReadUInt16BE(56, reply.data());
    }

    // Choose the mode. Plain text only when it is all the server offers: the
    // password never goes in clear when encryption was on offer. With
    // encryption forced the plain-text bit is ignored, so nobody can make the
    // client send its password in clear.
    // The same goes for the TLS retry: the server asked for TLS first, and a
    // broken handshake must not turn that into clear text.
    bool plainOffered = (caps & 0x1) != 0 && (caps & 0xC) == 0 && !m_forceEncryption && m_retryCount == 0;
    if (m_retryCount > 0 && (caps & 0xC) == 0) {
        LogMessage("%s TLS retry offered no TLS (capabilities=%i): no clear text after TLS was asked\n", kReceive,
                   int(caps));
        fail("Unable To Connect");
    }
    if (caps == 0) {
        LogMessage("%s no capabilities offered\n", kReceive);
        closeSocket();
        return nullptr;
    }
    if (plainOffered) {
        m_capabilities = 1;
    } else if (caps & 0x8) {
        m_capabilities = 8;
    } else if (caps & 0x4) {
        m_capabilities = 4;
    } else {
        LogMessage("%s Unsupported connection type requested. capabilities=%i\n", kReceive, int(caps));
        closeSocket();
        return nullptr;
    }

    if (m_capabilities == 1) {
        if (m_reconnectMethod == 1) m_reconnectCapable = false;
        if (!m_socket->isSslActive() && !m_cancelConnect) {
            LogMessage("%s Socket is NOT ENCRYPTED\n", kReceive);
            m_reconnectCapable = false;
            if (m_plainTextCallback && m_retryCount == 0 && !askPlainText()) return nullptr;
        }
    }
    if (m_bClearTextReconnect && m_plainTextCallback && m_retryCount == 0 && !askPlainText()) return nullptr;

    LogMessage("%s capabilities: %i port: %i\n", kReceive, m_capabilities, m_newPort);
    if (m_newPort != 0) {
        closeSocket();
        std::printf("**********3*************");
        std::fflush(stdout);
        m_socket = openSocket(m_newPort, 0);
    }

    if (!m_cancelConnect && (m_capabilities == 4 || m_capabilities == 8)) {
        LogMessage("%s SSL Connection setup\n", kReceive);
        int ok = 0;
        bool timedOut = false;
        try {
            // A certificate question to the user has its own time limit.
            SetupWatchdog watchdog(m_socket.get(), connectTimeoutMs(),
                                   [] { return CertHandler::getState() == CertHandler::STATE_ASKING; });
            ok = m_socket->sslConnect();
            timedOut = watchdog.expired();
        } catch (const char* e) {
            LogMessage("%s SSL Connection setup failed: %s\n", kReceive, e);
            closeSocket();
            if (CertHandler::getState() == CertHandler::STATE_CANCEL)
                LogMessage("%s SSL Connection Reason: Cancelled by user.\n", kReceive);
            throw;
        }
        if (timedOut) {
            // A silent peer, not a refused version: no fallback attempt.
            LogMessage("%s SSL Connection setup timed out\n", kReceive);
            fail("Timed out waiting for the TLS handshake.");
        }
        if (ok) {
            m_socket->setSslActive(true);
            m_secure = true;
        } else if (m_retryCount > 0) {
            closeSocket();
            return nullptr;
        } else {
            // The user's answer about this certificate holds for the retry too.
            m_answeredCert.reset(CertHandler::getAnsweredCertificate());
            closeSocket();
            LogMessage("Sleeping 500\n");
            tw::Clock::sleepMs(500);
            LogMessage("**********Attempting a fallback 2 *************\n");
            int port = m_newPort != 0 ? m_newPort : m_Port;
            LogMessage("%s new ASocket -- Host %s, Port %d, m_Port %d \n", kReceive, m_host.c_str(), port, m_Port);
            // The answered certificate is known for the retry only (openSocket
            // hands it over); afterwards the settings' one is known again.
            struct KnownForRetry {
                ProtocolTUVO* self;
                X509* previous;
                ~KnownForRetry() {
                    CertHandler::setKnownCertificate(previous);
                    self->m_answeredCert.reset();
                }
            } known{this, CertHandler::getKnownCertificate()};
            m_socket = openSocket(port, 3);
            m_socket->setBypassSsl(true);
            if (m_info && m_info->isProxied()) {
                int status = proxyHandshake(m_socket.get(), m_info->getSessionProxyOnly());
                LogMessage("ProtocolTUVO::getGORNSocket() Proxy Connection Status = %d\n", status);
            }
            uint8_t random[RANDOM_LENGTH];
            fillRandom(RANDOM_LENGTH, random);
            sendRequestForMethod(random);
            LogMessage("%s calling:receiveSessionSetup\n", kReceive);
            ++m_retryCount;
            if (m_socket) m_socket->setBypassSsl(false);
            return receiveSessionSetup();
        }
    }

    if (!m_cancelConnect) {
        LogMessage("%s session setup complete.\n", kReceive);
        return m_socket.get();
    }
    closeSocket();
    return nullptr;
}
