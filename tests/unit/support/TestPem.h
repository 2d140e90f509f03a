#pragma once
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace twtest {

// A throw-away EC key and a self-signed certificate for it, as PEM texts.
struct TestPem {
    std::string cert;
    std::string key;           // PKCS#8, clear
    std::string encryptedKey;  // PKCS#8, AES-256 with a passphrase
    std::string commonName;

    explicit TestPem(const std::string& cn = "tarnwick-test") : commonName(cn) {
        EVP_PKEY* pkey = EVP_EC_gen("P-256");
        X509* x = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600);
        X509_set_pubkey(x, pkey);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
        X509_set_issuer_name(x, name);
        X509_sign(x, pkey, EVP_sha256());

        cert = toText([&](BIO* b) { return PEM_write_bio_X509(b, x); });
        key = toText([&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, pkey, nullptr, nullptr, 0, nullptr, nullptr);
        });
        encryptedKey = toText([&](BIO* b) {
            char pass[] = "passphrase";
            return PEM_write_bio_PKCS8PrivateKey(b, pkey, EVP_aes_256_cbc(), pass, 10, nullptr,
                                                 nullptr);
        });
        X509_free(x);
        EVP_PKEY_free(pkey);
    }

    // The subject CN of a certificate held as an untyped pointer.
    static std::string cnOf(void* x509) {
        char buf[256] = {};
        X509_NAME_get_text_by_NID(X509_get_subject_name(static_cast<X509*>(x509)), NID_commonName,
                                  buf, sizeof buf);
        return buf;
    }

private:
    template <typename F>
    static std::string toText(F write) {
        BIO* b = BIO_new(BIO_s_mem());
        write(b);
        char* data = nullptr;
        long n = BIO_get_mem_data(b, &data);
        std::string s(data, static_cast<size_t>(n));
        BIO_free(b);
        return s;
    }
};

}  // namespace twtest
