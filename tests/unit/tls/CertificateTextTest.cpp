// Certificate details checked against what the openssl command prints for
// the same file.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TlsTestSupport.h"
#include "tls/CertificateDetails.h"
#include "tls/CertificateText.h"
#include "tls/TrustStore.h"

using namespace tlstest;

namespace {

std::string x509(const std::string& file, const std::string& options) {
    return run("openssl x509 -noout -in '" + cert(file) + "' " + options);
}

std::string after(const std::string& text, char sep) {
    const size_t p = text.find(sep);
    return p == std::string::npos ? text : text.substr(p + 1);
}

std::string withoutColons(std::string s) {
    std::string out;
    for (char c : s)
        if (c != ':') out += c;
    return out;
}

CertificateDetails detailsOf(const std::string& file) {
    std::vector<unsigned char> bytes;
    std::vector<int> sizes;
    derChain({cert(file)}, bytes, sizes);
    ValidateX509Certificate(sizes.data(), bytes.data(), static_cast<int>(bytes.size()));
    CertificateDetails d;
    std::memset(&d, 0, sizeof d);
    EXPECT_EQ(ExtractX509Certificate(&d), 0);
    return d;
}

struct Case {
    const char* file;
    const char* version;
    enum { RSA, DSA, EC } key;
};

class CertificateTextTest : public ::testing::TestWithParam<Case> {};

TEST_P(CertificateTextTest, FieldsMatchOpenssl) {
    const Case c = GetParam();
    const CertificateDetails d = detailsOf(c.file);

    EXPECT_STREQ(d.version, c.version);
    EXPECT_EQ(d.serialNumber, after(x509(c.file, "-serial"), '='));
    EXPECT_EQ(d.issuer, after(x509(c.file, "-issuer -nameopt compat"), '='));
    EXPECT_EQ(d.subject, after(x509(c.file, "-subject -nameopt compat"), '='));
    EXPECT_EQ(d.shaFingerprint, withoutColons(after(x509(c.file, "-fingerprint -sha1"), '=')));
    EXPECT_EQ(d.md5Fingerprint, withoutColons(after(x509(c.file, "-fingerprint -md5"), '=')));
    EXPECT_EQ(d.hash, std::strtoul(x509(c.file, "-subject_hash").c_str(), nullptr, 16));
    EXPECT_EQ(std::string(d.validity), "From:" + after(x509(c.file, "-startdate"), '=') +
                                           " To:" + after(x509(c.file, "-enddate"), '='));
    const std::string algo =
        run("openssl x509 -noout -text -in '" + cert(c.file) +
            "' | grep -m1 'Signature Algorithm' | sed 's/.*: //'");
    EXPECT_EQ(d.signatureAlgo, algo);
    EXPECT_GT(std::strlen(d.signature), 0u);

    switch (c.key) {
    case Case::RSA:
        EXPECT_EQ(d.keyPublic1, after(x509(c.file, "-modulus"), '='));
        EXPECT_STREQ(d.keyPublic2, "010001");
        break;
    case Case::DSA:
        EXPECT_GT(std::strlen(d.keyPublic1), 500u);
        EXPECT_STREQ(d.keyPublic2, "");
        break;
    case Case::EC:
        EXPECT_STREQ(d.keyPublic1, "");
        EXPECT_STREQ(d.keyPublic2, "");
        // The DER form of an EC key is the point: 65 bytes for P-256.
        EXPECT_EQ(std::strlen(d.publicKey), 130u);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CertificateTextTest,
                         ::testing::Values(Case{"self.pem", "2", Case::RSA},
                                           Case{"v1.pem", "0", Case::RSA},
                                           Case{"leaf.pem", "2", Case::RSA},
                                           Case{"rsa4096.pem", "2", Case::RSA},
                                           Case{"dsa.pem", "2", Case::DSA},
                                           Case{"ec.pem", "2", Case::EC}));

TEST(CertificateTextSizes, BigRsaKeyKeepsSignatureButNotDerKey) {
    const CertificateDetails d = detailsOf("rsa4096.pem");
    EXPECT_EQ(std::strlen(d.signature), 1024u);
    EXPECT_STREQ(d.publicKey, "");  // the DER key is 526 bytes
    EXPECT_EQ(std::strlen(d.keyPublic1), 1024u);

    const CertificateDetails small = detailsOf("self.pem");
    EXPECT_EQ(std::strlen(small.publicKey), 2u * 270u);  // PKCS#1 form of a 2048-bit key
}

TEST(CertificateTextSizes, NothingKeptOrUndecodable) {
    ClearKeptChain();
    CertificateDetails d;
    EXPECT_EQ(ExtractX509Certificate(&d), 50);
    EXPECT_EQ(ExtractX509Certificate(nullptr), 50);

    const unsigned char junk[] = {0x30, 0x03, 0x01, 0x01, 0xFF};
    const int sizes[] = {5, 0};
    EXPECT_EQ(ValidateX509Certificate(sizes, junk, 5), 50);
    EXPECT_EQ(ExtractX509Certificate(&d), 50);
}

TEST(CertificateTextSizes, HexHelperRefusesWhatDoesNotFit) {
    const unsigned char b[] = {0x0A, 0xFF};
    char out[5];
    EXPECT_EQ(BytesToHexString(b, 2, out, sizeof out), 4);
    EXPECT_STREQ(out, "0AFF");
    EXPECT_EQ(BytesToHexString(b, 2, out, 4), 0);
    EXPECT_STREQ(out, "");
}

}  // namespace
