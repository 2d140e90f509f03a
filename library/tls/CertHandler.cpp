#include "tls/CertHandler.h"

// Interface placeholder: the operations are filled in next.
namespace {
int g_state = 0;
CertificateCallbackInterface* g_session = nullptr;
X509* g_known = nullptr;
std::string g_trustDirectory;
}  // namespace

void CertHandler::init(CertificateCallbackInterface* session) { g_state = 0; g_session = session; }
void CertHandler::setTrustDirectory(const char* directory) { g_trustDirectory = directory ? directory : ""; }
std::string CertHandler::getTrustDirectory() { return g_trustDirectory; }
void CertHandler::setKnownCertificate(X509* certificate) { g_known = certificate; }
X509* CertHandler::getKnownCertificate() { return g_known; }
int CertHandler::getState() { return g_state; }
void CertHandler::setState(int state) { g_state = state; }
int CertHandler::verify_callback(int, X509_STORE_CTX*) { return 0; }
bool CertHandler::fillCertificatePrompt(CertificatePrompt*) { return false; }
void CertHandler::getDNComponent(const char*, const char*, int, char*) {}
void CertHandler::clearCertificates() { g_known = nullptr; }
