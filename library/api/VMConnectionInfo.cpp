#include "api/VMConnectionInfo.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>

#include "base/DebugLog.h"

namespace {

const char* const kWho = "VMConnectionInfo::";

const char* orNull(const char* s) { return s ? s : "(null)"; }

// An encrypted key must fail instead of asking for a passphrase on the terminal.
int noPassword(char*, int, int, void*) { return 0; }

X509* asCert(void* p) { return static_cast<X509*>(p); }
EVP_PKEY* asKey(void* p) { return static_cast<EVP_PKEY*>(p); }

void* shareCert(void* p) {
    if (p) X509_up_ref(asCert(p));
    return p;
}
void* shareKey(void* p) {
    if (p) EVP_PKEY_up_ref(asKey(p));
    return p;
}

// Reads one PEM object from the whole text; null on any failure.
template <typename T, typename Reader>
T* readPem(const char* pem, Reader reader) {
    if (pem == nullptr) return nullptr;
    // The terminating NUL is part of the buffer handed to the reader.
    BIO* bio = BIO_new_mem_buf(pem, static_cast<int>(std::strlen(pem) + 1));
    if (bio == nullptr) return nullptr;
    T* obj = reader(bio, nullptr, noPassword, nullptr);
    BIO_free(bio);
    // Leftover errors would mislead the next TLS call on this thread.
    if (obj == nullptr) ERR_clear_error();
    return obj;
}

}  // namespace

VMConnectionInfo::VMConnectionInfo() = default;

VMConnectionInfo::VMConnectionInfo(const VMConnectionInfo* source) {
    if (source == nullptr) return;
    copyFrom(*source);
    m_proxied = 0;
    m_reserved = 0;
    m_stopOnCertificateError = 0;
}

VMConnectionInfo::VMConnectionInfo(const VMConnectionInfo& other) { copyFrom(other); }

VMConnectionInfo& VMConnectionInfo::operator=(const VMConnectionInfo& other) {
    copyFrom(other);
    return *this;
}

VMConnectionInfo::~VMConnectionInfo() { dropTlsObjects(); }

void VMConnectionInfo::copyFrom(const VMConnectionInfo& o) {
    // Take the new references before dropping the old: self-assignment stays safe.
    void* privateCert = shareCert(o.m_privateCert);
    void* managedCert = shareCert(o.m_managedCert);
    void* keyCert = shareKey(o.m_keyCert);
    dropTlsObjects();
    m_privateCert = privateCert;
    m_managedCert = managedCert;
    m_keyCert = keyCert;

    m_userId = o.m_userId;
    m_password = o.m_password;
    m_ipAddress = o.m_ipAddress;
    m_port = o.m_port;
    m_webPort = o.m_webPort;
    m_webUrl = o.m_webUrl;
    m_certPath = o.m_certPath;
    m_proxyUsing = o.m_proxyUsing;
    m_proxied = o.m_proxied;
    m_proxySession = o.m_proxySession;
    m_applianceRIP = o.m_applianceRIP;
    m_appliancePort = o.m_appliancePort;
    m_applianceChannel = o.m_applianceChannel;
    m_cipherList = o.m_cipherList;
    m_callbackTimeout = o.m_callbackTimeout;
    m_connectTimeout = o.m_connectTimeout;
    m_remoteDriveResponseTimeout = o.m_remoteDriveResponseTimeout;
    m_heartbeatTimeout = o.m_heartbeatTimeout;
    m_reconnectTimeout = o.m_reconnectTimeout;
    m_floppyReversed = o.m_floppyReversed;
    m_vmStyle = o.m_vmStyle;
    m_forceEncryption = o.m_forceEncryption;
    m_nCredentialsType = o.m_nCredentialsType;
    m_reserved = o.m_reserved;
    m_findDrivesMethod = o.m_findDrivesMethod;
    m_stopOnCertificateError = o.m_stopOnCertificateError;
    m_nClientRandom = o.m_nClientRandom;
    m_nApplianceRandom = o.m_nApplianceRandom;
    m_askWhenPlain = o.m_askWhenPlain;
    m_bWaitOnCancel = o.m_bWaitOnCancel;
    m_bSecureVMedia = o.m_bSecureVMedia;
    m_reconnectMethod = o.m_reconnectMethod;
}

void VMConnectionInfo::dropTlsObjects() {
    X509_free(asCert(m_privateCert));
    X509_free(asCert(m_managedCert));
    EVP_PKEY_free(asKey(m_keyCert));
    m_privateCert = m_managedCert = m_keyCert = nullptr;
}

#define TW_INT_SETTER(setter, field)                      \
    void VMConnectionInfo::setter(int v) {                \
        field = v;                                        \
        LogMessage("%s " #field "=%d\n", kWho, field);    \
    }

TW_INT_SETTER(setPort, m_port)
TW_INT_SETTER(setWebPort, m_webPort)
TW_INT_SETTER(setAppliancePort, m_appliancePort)
TW_INT_SETTER(setApplianceChannel, m_applianceChannel)
TW_INT_SETTER(setCallbackTimeout, m_callbackTimeout)
TW_INT_SETTER(setConnectTimeout, m_connectTimeout)
TW_INT_SETTER(setRemoteDriveResponseTimeout, m_remoteDriveResponseTimeout)
TW_INT_SETTER(setReconnectTimeout, m_reconnectTimeout)
TW_INT_SETTER(setFloppyReversed, m_floppyReversed)
TW_INT_SETTER(setVMStyle, m_vmStyle)
TW_INT_SETTER(setEncyption, m_forceEncryption)
TW_INT_SETTER(setCredentialType, m_nCredentialsType)
TW_INT_SETTER(setRunFindDrivesMethod, m_findDrivesMethod)
TW_INT_SETTER(setStopOnCertificateError, m_stopOnCertificateError)
TW_INT_SETTER(setRandomClientNumber, m_nClientRandom)
TW_INT_SETTER(setRandomApplianceNumber, m_nApplianceRandom)
TW_INT_SETTER(setAskWhenPlain, m_askWhenPlain)
TW_INT_SETTER(setWaitOnCancel, m_bWaitOnCancel)
TW_INT_SETTER(setSecureVMedia, m_bSecureVMedia)
TW_INT_SETTER(setReconnectMethod, m_reconnectMethod)

#undef TW_INT_SETTER

void VMConnectionInfo::setText(Text& field, const char* s) {
    field.reset();
    if (s) field = std::string(s);
}

void VMConnectionInfo::setUserId(const char* s) {
    setText(m_userId, s);
    LogMessage("%s m_userId\n", kWho);
}

void VMConnectionInfo::setPassword(const char* s) { setText(m_password, s); }

void VMConnectionInfo::setIpAddress(const char* s) {
    setText(m_ipAddress, s);
    LogMessage("%s m_ipAddress=%s\n", kWho, orNull(getIpAddress()));
}

void VMConnectionInfo::setWebUrl(const char* s) {
    setText(m_webUrl, s);
    LogMessage("%s m_webUrl=%s\n", kWho, orNull(getWebUrl()));
}

void VMConnectionInfo::setCertPath(const char* s) {
    setText(m_certPath, s);
    LogMessage("%s m_certPath=%s\n", kWho, orNull(getCertPath()));
}

void VMConnectionInfo::setApplianceID(const char* s) {
    setText(m_applianceRIP, s);
    LogMessage("%s m_applianceRIP=%s\n", kWho, orNull(getApplianceID()));
}

void VMConnectionInfo::setCipherList(const char* s) {
    setText(m_cipherList, (s && *s) ? s : nullptr);
    LogMessage("%s m_cipherList=%s\n", kWho, orNull(getCipherList()));
}

void VMConnectionInfo::setAppliance(const char* id, int port, int channel) {
    setText(m_applianceRIP, id);
    m_appliancePort = port;
    m_applianceChannel = channel;
}

void VMConnectionInfo::setPrivateCert(void* x509) {
    if (x509 == m_privateCert) return;  // already ours; freeing it would leave a dangling field
    X509_free(asCert(m_privateCert));
    m_privateCert = x509;
}

void VMConnectionInfo::setManagedCert(void* x509) {
    if (x509 == m_managedCert) return;
    X509_free(asCert(m_managedCert));
    m_managedCert = x509;
}

void VMConnectionInfo::setCertKey(void* pkey) {
    if (pkey == m_keyCert) return;
    EVP_PKEY_free(asKey(m_keyCert));
    m_keyCert = pkey;
}

void VMConnectionInfo::setCertPrivateString(const char* pem) {
    if (X509* cert = readPem<X509>(pem, PEM_read_bio_X509)) {
        setPrivateCert(cert);
        LogMessage("%s PEM_read_bio_X509 passed.\n", kWho);
    } else {
        LogMessage("%s Error in PEM_read_bio_X509.\n", kWho);
    }
}

void VMConnectionInfo::setCertMAString(const char* pem) {
    if (X509* cert = readPem<X509>(pem, PEM_read_bio_X509)) {
        setManagedCert(cert);
        LogMessage("%s PEM_read_bio_X509 passed.\n", kWho);
    } else {
        LogMessage("%s Error in PEM_read_bio_X509.\n", kWho);
    }
}

void VMConnectionInfo::setCertKeyString(const char* pem) {
    if (EVP_PKEY* key = readPem<EVP_PKEY>(pem, PEM_read_bio_PrivateKey)) {
        setCertKey(key);
        LogMessage("%s PEM_read_bio_PrivateKey passed.\n", kWho);
    } else {
        LogMessage("%s Error in PEM_read_bio_PrivateKey.\n", kWho);
    }
}

void VMConnectionInfo::setSessionProxied(int proxied) {
    m_proxied = proxied;
    LogMessage("%s m_proxied=%d\n", kWho, m_proxied);
}

void VMConnectionInfo::setSessionProxy(int inUse, int64_t session) {
    m_proxyUsing = inUse;
    if (inUse) m_proxySession = session;
}

void VMConnectionInfo::setSessionProxyOnly(int64_t session) {
    m_proxyUsing = m_proxied;
    if (m_proxyUsing) {
        m_proxySession = session;
        LogMessage("%s m_proxySession=%lld\n", kWho, static_cast<long long>(m_proxySession));
    } else {
        LogMessage("%s Could not set m_proxySession, please call setSessionProxied as true.\n", kWho);
    }
}

int VMConnectionInfo::getSessionProxied() const {
    LogMessage("%s m_proxyUsing=%d\n", "VMConnectionInfo::getSessionProxied:", m_proxyUsing);
    return m_proxyUsing;
}

int64_t VMConnectionInfo::getProxySession() const {
    // The line shows the low 32 bits, as a 32-bit long prints them.
    LogMessage("%s m_proxySession=%ld\n", "VMConnectionInfo::getProxySession:",
               static_cast<long>(static_cast<int32_t>(static_cast<uint64_t>(m_proxySession) & 0xFFFFFFFFu)));
    return m_proxySession;
}
