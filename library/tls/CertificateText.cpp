#include "tls/CertificateText.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tls/CertLog.h"
#include "tls/CertificateDetails.h"
#include "tls/TrustStore.h"

namespace {

const char* const kExtract = "ExtractX509Certificate:";

// Copies text into out, cut to capacity - 1; returns the length written.
int copyCut(const char* text, size_t length, char* out, int capacity) {
    if (out == nullptr || capacity <= 0) return 0;
    size_t n = length;
    if (n > static_cast<size_t>(capacity - 1)) n = capacity - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

void clear(char* out, int capacity) {
    if (out != nullptr && capacity > 0) out[0] = '\0';
}

int oneLine(X509_NAME* name, char* out, int capacity) {
    clear(out, capacity);
    if (name == nullptr || out == nullptr || capacity <= 0) return 0;
    char* text = X509_NAME_oneline(name, nullptr, 0);
    if (text == nullptr) return 0;
    const int n = copyCut(text, std::strlen(text), out, capacity);
    OPENSSL_free(text);
    return n;
}

int bnHex(const BIGNUM* bn, char* out, int capacity) {
    clear(out, capacity);
    if (bn == nullptr) return 0;
    char* hex = BN_bn2hex(bn);
    if (hex == nullptr) return 0;
    const int n = copyCut(hex, std::strlen(hex), out, capacity);
    OPENSSL_free(hex);
    return n;
}

int hexOrEmpty(const unsigned char* bytes, int count, char* out, int capacity) {
    clear(out, capacity);
    if (bytes == nullptr || count <= 0 || count >= 520) return 0;
    return BytesToHexString(bytes, count, out, capacity);
}

}  // namespace

int BytesToHexString(const unsigned char* bytes, int count, char* out, int capacity) {
    static const char kDigits[] = "0123456789ABCDEF";
    if (out == nullptr || capacity <= 0) return 0;
    out[0] = '\0';
    if (bytes == nullptr || count < 0 || 2LL * count + 1 > capacity) return 0;
    for (int i = 0; i < count; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    out[2 * count] = '\0';
    return 2 * count;
}

int ExtractIssuerNameUtf8(X509* cert, char* out, int capacity) {
    if (cert == nullptr) return 0;
    return oneLine(X509_get_issuer_name(cert), out, capacity);
}

int ExtractSubjectUtf8(X509* cert, char* out, int capacity) {
    if (cert == nullptr) return 0;
    return oneLine(X509_get_subject_name(cert), out, capacity);
}

int ExtractSerialNumberUtf8(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr) return 0;
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    if (serial == nullptr) return 0;
    return BytesToHexString(ASN1_STRING_get0_data(serial), ASN1_STRING_length(serial), out,
                            capacity);
}

int ExtractSignatureAlgorithm(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr) return 0;
    const char* name = OBJ_nid2ln(X509_get_signature_nid(cert));
    if (name == nullptr) return 0;
    return copyCut(name, std::strlen(name), out, capacity);
}

int ExtractVersion(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr || out == nullptr || capacity <= 0) return 0;
    char text[32];
    std::snprintf(text, sizeof text, "%ld", X509_get_version(cert));
    return copyCut(text, std::strlen(text), out, capacity);
}

int ExtractPublicKey(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr) return 0;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr) return 0;
    unsigned char* der = nullptr;
    const int n = i2d_PublicKey(key, &der);
    int result = 0;
    if (n > 0) result = hexOrEmpty(der, n, out, capacity);
    OPENSSL_free(der);
    return result;
}

int ExtractSignature(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr) return 0;
    const ASN1_BIT_STRING* sig = nullptr;
    X509_get0_signature(&sig, nullptr, cert);
    if (sig == nullptr) return 0;
    return hexOrEmpty(ASN1_STRING_get0_data(sig), ASN1_STRING_length(sig), out, capacity);
}

int ExtractValidity(X509* cert, char* out, int capacity) {
    clear(out, capacity);
    if (cert == nullptr) return 0;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio) return 0;
    if (BIO_puts(bio.get(), "From:") <= 0 ||
        ASN1_TIME_print(bio.get(), X509_get0_notBefore(cert)) != 1 ||
        BIO_puts(bio.get(), " To:") <= 0 ||
        ASN1_TIME_print(bio.get(), X509_get0_notAfter(cert)) != 1)
        return 0;
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    if (n <= 0 || data == nullptr) return 0;
    return copyCut(data, static_cast<size_t>(n), out, capacity);
}

int ExtractKeyParts(X509* cert, char* part1, int capacity1, char* part2, int capacity2) {
    clear(part1, capacity1);
    clear(part2, capacity2);
    if (cert == nullptr) return 0;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    if (key == nullptr) return 0;
    const int type = EVP_PKEY_get_base_id(key);
    BIGNUM* a = nullptr;
    BIGNUM* b = nullptr;
    int n = 0;
    if (type == EVP_PKEY_RSA) {
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &a) == 1) n = bnHex(a, part1, capacity1);
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &b) == 1) bnHex(b, part2, capacity2);
    } else if (type == EVP_PKEY_DSA) {
        if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PUB_KEY, &a) == 1) n = bnHex(a, part1, capacity1);
    }
    BN_free(a);
    BN_free(b);
    return n;
}

int ExtractFingerprint(X509* cert, char* out, int capacity, const char* digestName) {
    clear(out, capacity);
    if (cert == nullptr || digestName == nullptr) return 0;
    const EVP_MD* md = std::strcmp(digestName, "md5") == 0      ? EVP_md5()
                       : std::strcmp(digestName, "sha256") == 0 ? EVP_sha256()
                                                                : EVP_sha1();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (md == nullptr || X509_digest(cert, md, digest, &length) != 1) return 0;
    return BytesToHexString(digest, static_cast<int>(length), out, capacity);
}

int ExtractNameEntryUtf8(X509_NAME* name, int nid, char* out, int capacity) {
    clear(out, capacity);
    if (name == nullptr) return 0;
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return 0;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    if (n < 0) return 0;
    // A zero byte inside the value ends it.
    const char* text = reinterpret_cast<const char*>(utf8);
    const int result = copyCut(text, strnlen(text, size_t(n)), out, capacity);
    OPENSSL_free(utf8);
    return result;
}

int ExtractX509Certificate(CertificateDetails* info) {
    if (info == nullptr) return 50;
    std::vector<unsigned char> der;
    bool tooLarge = false;
    if (!GetKeptLeaf(der, &tooLarge) && !tooLarge) {
        CertLog("%s ExtractX509Certificate - last cert not saved\n", kExtract);
        return 50;
    }
    const unsigned char* p = der.data();
    X509* cert = tooLarge ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    if (cert == nullptr) {
        CertLog("%s ExtractX509Certificate - d2i_X509() failed\n", kExtract);
        return 50;
    }
    ExtractIssuerNameUtf8(cert, info->issuer, sizeof info->issuer);
    CertLog("%s info->issuer = %s\n", kExtract, info->issuer);
    // An empty serial rather than a cut one when it needs 512 digits or more.
    if (ExtractSerialNumberUtf8(cert, info->serialNumber, sizeof info->serialNumber) == 0)
        info->serialNumber[0] = '\0';
    CertLog("%s info->serialNumber = %s\n", kExtract, info->serialNumber);
    ExtractSignatureAlgorithm(cert, info->signatureAlgo, sizeof info->signatureAlgo);
    CertLog("%s info->signatureAlgo = %s\n", kExtract, info->signatureAlgo);
    ExtractVersion(cert, info->version, sizeof info->version);
    CertLog("%s info->version = %s\n", kExtract, info->version);
    ExtractSubjectUtf8(cert, info->subject, sizeof info->subject);
    CertLog("%s info->subject = %s\n", kExtract, info->subject);
    ExtractPublicKey(cert, info->publicKey, sizeof info->publicKey);
    CertLog("%s info->publicKey = %s\n", kExtract, info->publicKey);
    ExtractSignature(cert, info->signature, sizeof info->signature);
    CertLog("%s info->signature = %s\n", kExtract, info->signature);
    ExtractValidity(cert, info->validity, sizeof info->validity);
    CertLog("%s info->validity = %s\n", kExtract, info->validity);
    ExtractFingerprint(cert, info->shaFingerprint, sizeof info->shaFingerprint, "sha1");
    CertLog("%s info->shaFingerprint = %s\n", kExtract, info->shaFingerprint);
    ExtractFingerprint(cert, info->md5Fingerprint, sizeof info->md5Fingerprint, "md5");
    CertLog("%s info->md5Fingerprint = %s\n", kExtract, info->md5Fingerprint);
    ExtractFingerprint(cert, info->sha256Fingerprint, sizeof info->sha256Fingerprint, "sha256");
    info->hash = static_cast<uint32_t>(X509_subject_name_hash(cert));
    X509_NAME* subject = X509_get_subject_name(cert);
    ExtractNameEntryUtf8(subject, NID_commonName, info->commonName, sizeof info->commonName);
    ExtractNameEntryUtf8(subject, NID_organizationName, info->organization, sizeof info->organization);
    ExtractNameEntryUtf8(subject, NID_organizationalUnitName, info->organizationUnit,
                         sizeof info->organizationUnit);
    ExtractNameEntryUtf8(subject, NID_localityName, info->locality, sizeof info->locality);
    ExtractNameEntryUtf8(subject, NID_pkcs9_emailAddress, info->emailAddress, sizeof info->emailAddress);
    ExtractKeyParts(cert, info->keyPublic1, sizeof info->keyPublic1, info->keyPublic2,
                    sizeof info->keyPublic2);
    CertLog("%s info->keyPublic1 (%d) = %s\n", kExtract,
            static_cast<int>(std::strlen(info->keyPublic1) / 2), info->keyPublic1);
    CertLog("%s info->keyPublic2 (%d) = %s\n", kExtract,
            static_cast<int>(std::strlen(info->keyPublic2) / 2), info->keyPublic2);
    X509_free(cert);
    return 0;
}
