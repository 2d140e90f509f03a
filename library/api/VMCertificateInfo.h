#pragma once
#include <cstdint>
#include <memory>

// Readable details of a server certificate, handed to the application when
// it must decide about an unverified certificate. Texts are owned copies or null.
class VMCertificateInfo {
public:
    VMCertificateInfo();
    // Duplicates every text of other; null other gives the default state.
    explicit VMCertificateInfo(const VMCertificateInfo* other);
    VMCertificateInfo(const VMCertificateInfo& other);
    // Makes its own duplicates (never shares texts with other).
    VMCertificateInfo& operator=(const VMCertificateInfo& other);
    ~VMCertificateInfo();

    int getErrorCode() const { return m_errorCode; }
    const char* getReason() const { return m_reason.get(); }
    const char* getCommonName() const { return m_commonName.get(); }
    const char* getOrganization() const { return m_organization.get(); }
    const char* getOrganizationUnit() const { return m_organizationUnit.get(); }
    const char* getLocality() const { return m_locality.get(); }
    const char* getEmailAddress() const { return m_email.get(); }
    const char* getVersion() const { return m_version.get(); }
    const char* getSerial() const { return m_serial.get(); }
    const char* getIssuer() const { return m_issuer.get(); }
    const char* getSubject() const { return m_subject.get(); }
    const char* getValidity() const { return m_validity.get(); }
    const char* getSignature() const { return m_signature.get(); }
    const char* getSigAlgo() const { return m_sigAlgo.get(); }
    const char* getThumbSHA() const { return m_thumbSHA.get(); }
    const char* getThumbMD5() const { return m_thumbMD5.get(); }
    const char* getPublicKey() const { return m_publicKey.get(); }
    uint32_t getHash() const { return m_hash; }

    void setErrorCode(int code) { m_errorCode = code; }
    void setReason(const char* text);
    void setCommonName(const char* text);
    void setOrganization(const char* text);
    void setOrganizationUnit(const char* text);
    void setLocality(const char* text);
    void setEmail(const char* text);
    void setVersion(const char* text);
    void setSerial(const char* text);
    void setIssuer(const char* text);
    void setSubject(const char* text);
    void setValidity(const char* text);
    void setSignature(const char* text);
    void setSigAlgo(const char* text);
    void setThumbSHA(const char* text);
    void setThumbMD5(const char* text);
    void setPublicKey(const char* text);
    void setHash(uint32_t hash) { m_hash = hash; }

private:
    using Text = std::unique_ptr<char[]>;
    void setAllNull();
    void copyFrom(const VMCertificateInfo& other);

    int m_errorCode = 0;
    Text m_reason;
    Text m_commonName;
    Text m_organization;
    Text m_organizationUnit;
    Text m_locality;
    Text m_email;
    Text m_version;
    Text m_serial;
    Text m_issuer;
    Text m_subject;
    Text m_validity;
    Text m_signature;
    Text m_sigAlgo;
    Text m_thumbSHA;
    Text m_thumbMD5;
    Text m_publicKey;
    uint32_t m_hash = 0;
};
