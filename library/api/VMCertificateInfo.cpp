#include "api/VMCertificateInfo.h"

#include <cstring>

namespace {

std::unique_ptr<char[]> duplicate(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t n = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[n]);
    std::memcpy(copy.get(), text, n);
    return copy;
}

}  // namespace

VMCertificateInfo::VMCertificateInfo() { setAllNull(); }

VMCertificateInfo::VMCertificateInfo(const VMCertificateInfo* other) {
    setAllNull();
    if (other != nullptr) copyFrom(*other);
}

VMCertificateInfo::VMCertificateInfo(const VMCertificateInfo& other) { copyFrom(other); }

VMCertificateInfo& VMCertificateInfo::operator=(const VMCertificateInfo& other) {
    if (this != &other) copyFrom(other);
    return *this;
}

VMCertificateInfo::~VMCertificateInfo() = default;

void VMCertificateInfo::setAllNull() {
    m_errorCode = 0;
    m_hash = 0;
    for (Text* t : {&m_reason, &m_commonName, &m_organization, &m_organizationUnit, &m_locality,
                    &m_email, &m_version, &m_serial, &m_issuer, &m_subject, &m_validity,
                    &m_signature, &m_sigAlgo, &m_thumbSHA, &m_thumbMD5, &m_publicKey})
        t->reset();
}

void VMCertificateInfo::copyFrom(const VMCertificateInfo& o) {
    m_errorCode = o.m_errorCode;
    m_hash = o.m_hash;
    m_reason = duplicate(o.getReason());
    m_commonName = duplicate(o.getCommonName());
    m_organization = duplicate(o.getOrganization());
    m_organizationUnit = duplicate(o.getOrganizationUnit());
    m_locality = duplicate(o.getLocality());
    m_email = duplicate(o.getEmailAddress());
    m_version = duplicate(o.getVersion());
    m_serial = duplicate(o.getSerial());
    m_issuer = duplicate(o.getIssuer());
    m_subject = duplicate(o.getSubject());
    m_validity = duplicate(o.getValidity());
    m_signature = duplicate(o.getSignature());
    m_sigAlgo = duplicate(o.getSigAlgo());
    m_thumbSHA = duplicate(o.getThumbSHA());
    m_thumbMD5 = duplicate(o.getThumbMD5());
    m_publicKey = duplicate(o.getPublicKey());
}

void VMCertificateInfo::setReason(const char* t) { m_reason = duplicate(t); }
void VMCertificateInfo::setCommonName(const char* t) { m_commonName = duplicate(t); }
void VMCertificateInfo::setOrganization(const char* t) { m_organization = duplicate(t); }
void VMCertificateInfo::setOrganizationUnit(const char* t) { m_organizationUnit = duplicate(t); }
void VMCertificateInfo::setLocality(const char* t) { m_locality = duplicate(t); }
void VMCertificateInfo::setEmail(const char* t) { m_email = duplicate(t); }
void VMCertificateInfo::setVersion(const char* t) { m_version = duplicate(t); }
void VMCertificateInfo::setSerial(const char* t) { m_serial = duplicate(t); }
void VMCertificateInfo::setIssuer(const char* t) { m_issuer = duplicate(t); }
void VMCertificateInfo::setSubject(const char* t) { m_subject = duplicate(t); }
void VMCertificateInfo::setValidity(const char* t) { m_validity = duplicate(t); }
void VMCertificateInfo::setSignature(const char* t) { m_signature = duplicate(t); }
void VMCertificateInfo::setSigAlgo(const char* t) { m_sigAlgo = duplicate(t); }
void VMCertificateInfo::setThumbSHA(const char* t) { m_thumbSHA = duplicate(t); }
void VMCertificateInfo::setThumbMD5(const char* t) { m_thumbMD5 = duplicate(t); }
void VMCertificateInfo::setPublicKey(const char* t) { m_publicKey = duplicate(t); }
