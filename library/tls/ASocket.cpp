#include "tls/ASocket.h"

// Interface placeholder: the operations are filled in next.
static const char* const kNotBuilt = "not built";

ASocket::ASocket(const char* host, int port, int quiet, CertificateCallbackInterface* session,
                 const char* cipherList, int reserved, X509* clientCert, EVP_PKEY* clientKey,
                 int fallback)
    : m_host(host), m_port(port), m_quiet(quiet), m_cipherList(cipherList), m_reserved(reserved),
      m_clientCert(clientCert), m_clientKey(clientKey), m_session(session) {
    SSLSetup(fallback);
}
ASocket::~ASocket() = default;
void ASocket::SSLSetup(int) { throw kNotBuilt; }
void ASocket::winConnect(const char*, int) { throw kNotBuilt; }
void ASocket::connect(const char*, X509*) { throw kNotBuilt; }
int ASocket::sslConnect() { throw kNotBuilt; }
int ASocket::write(const char*, int) { return -1; }
int ASocket::readFully(char*, int) { return -1; }
void ASocket::close() {}
void ASocket::ssl_error(const char*) {}
void ASocket::enumerate_ciphers(SSL*) {}
void ASocket::enumerate_protocols(SSL*) {}
void ASocket::finalCleanup() {}
std::string ASocket::getProtocolName() const { return m_protocolName; }
std::string ASocket::getCipherName() const { return m_cipherName; }
