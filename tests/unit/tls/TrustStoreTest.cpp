// Re-verification against the trust store, and the saved certificates.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "TlsTestSupport.h"
#include "tls/CertHandler.h"
#include "tls/TrustStore.h"

#include <openssl/x509.h>

using namespace tlstest;

namespace {

int validate(const std::vector<std::string>& files) {
    std::vector<unsigned char> bytes;
    std::vector<int> sizes;
    std::vector<std::string> paths;
    for (const std::string& f : files) paths.push_back(cert(f));
    derChain(paths, bytes, sizes);
    return ValidateX509Certificate(sizes.data(), bytes.data(), static_cast<int>(bytes.size()));
}

void copyInto(const TempDir& dir, const std::string& from, const std::string& to) {
    ASSERT_EQ(std::system(("cp '" + cert(from) + "' '" + dir.path() + "/" + to + "'").c_str()), 0);
}

// The name a saved certificate must get, computed by the openssl command.
std::string expectedSaveName(const std::string& file) {
    const std::string p = cert(file);
    const std::string hash = run("openssl x509 -noout -issuer -nameopt compat -in '" + p +
                                 "' | sed 's/^issuer=//' | tr -d '\\n' | sha256sum | cut -c1-64 | "
                                 "tr a-f A-F");
    const std::string serial = run("openssl x509 -noout -serial -in '" + p + "' | sed 's/^serial=//'");
    return "TKW_" + hash + "_" + serial + ".pem";
}

class TrustStoreTest : public ::testing::Test {
protected:
    void TearDown() override { CertHandler::setTrustDirectory(nullptr); }
    TempDir dir;
};

struct Case {
    const char* name;
    std::vector<std::string> chain;
    std::vector<std::string> trusted;  // copied into the trust directory
    int expected;
};

TEST_F(TrustStoreTest, ValidationResults) {
    const Case cases[] = {
        {"self-signed, nothing trusted", {"self.pem"}, {}, 18},
        {"expired and self-signed", {"selfexpired.pem"}, {}, 10},
        {"self-signed and saved", {"self.pem"}, {"self.pem"}, 0},
        {"forged leaf under trusted root", {"forged.pem", "int.pem"}, {"root.pem"}, 7},
        {"expired leaf under trusted root", {"expired.pem", "int.pem"}, {"root.pem"}, 10},
        {"root missing", {"leaf.pem", "int.pem"}, {}, 20},
        {"root trusted", {"leaf.pem", "int.pem"}, {"root.pem"}, 0},
        {"intermediate not sent", {"leaf.pem"}, {"root.pem"}, 20},
        {"saved leaf whose issuer is unknown", {"leaf.pem", "int.pem"}, {"leaf.pem"}, 0},
        // An MD5 signature anywhere below the trusted top is not trusted.
        {"MD5-signed leaf under trusted root", {"md5.pem", "int.pem"}, {"root.pem"}, 68},
        {"MD5-signed intermediate under trusted root", {"md5intleaf.pem", "md5int.pem"}, {"root.pem"}, 68},
        {"MD5-signed leaf, root missing", {"md5.pem", "int.pem"}, {}, 20},
        {"MD5-signed leaf saved itself", {"md5.pem", "int.pem"}, {"md5.pem"}, 0},
        {"leaf under a trusted MD5-signed intermediate", {"md5intleaf.pem", "md5int.pem"}, {"md5int.pem"}, 0},
    };
    for (const Case& c : cases) {
        TempDir trust;
        for (const std::string& t : c.trusted) copyInto(trust, t, t);
        CertHandler::setTrustDirectory(trust.path().c_str());
        EXPECT_EQ(validate(c.chain), c.expected) << c.name;
    }
}

TEST_F(TrustStoreTest, BadInput) {
    const int sizes[] = {100, 0};
    const unsigned char bytes[10] = {};
    EXPECT_EQ(ValidateX509Certificate(nullptr, bytes, 10), 50);
    EXPECT_EQ(ValidateX509Certificate(sizes, nullptr, 10), 50);
    EXPECT_EQ(ValidateX509Certificate(sizes, bytes, 10), 50);  // leaf larger than the buffer
}

TEST_F(TrustStoreTest, SystemBundleComesFromSslCertFile) {
    CertHandler::setTrustDirectory(nullptr);
    const char* old = std::getenv("SSL_CERT_FILE");
    const std::string saved = old ? old : "";
    setenv("SSL_CERT_FILE", cert("root.pem").c_str(), 1);
    EXPECT_EQ(validate({"leaf.pem", "int.pem"}), 0);
    setenv("SSL_CERT_FILE", "/dev/null", 1);
    EXPECT_EQ(validate({"leaf.pem", "int.pem"}), 20);
    if (old) setenv("SSL_CERT_FILE", saved.c_str(), 1); else unsetenv("SSL_CERT_FILE");
}

TEST_F(TrustStoreTest, DirectoryReadsEveryPemNameAndSkipsTheRest) {
    copyInto(dir, "self.pem", "a.pem");
    copyInto(dir, "ec.pem", "b.pem.bak");
    copyInto(dir, "dsa.pem", "c.crt");  // no ".pem" in the name
    ASSERT_EQ(mkdir((dir.path() + "/x.pem").c_str(), 0755), 0);
    std::ofstream(dir.path() + "/junk.pem") << "not a certificate\n";
    CertHandler::setTrustDirectory(dir.path().c_str());
    EXPECT_EQ(validate({"self.pem"}), 0);
    EXPECT_EQ(validate({"ec.pem"}), 0);
    EXPECT_EQ(validate({"dsa.pem"}), 18);
}

TEST_F(TrustStoreTest, SaveWritesTheNamedPemAndItIsTrustedNextTime) {
    CertHandler::setTrustDirectory(dir.path().c_str());
    std::vector<unsigned char> bytes;
    std::vector<int> sizes;
    derChain({cert("leaf.pem"), cert("int.pem")}, bytes, sizes);
    ASSERT_EQ(SaveX509Certificate(bytes.data(), static_cast<int>(bytes.size())), 0);

    const std::string name = expectedSaveName("leaf.pem");
    ASSERT_EQ(dir.files(), std::vector<std::string>{name});
    const std::string reference = dir.path() + "/reference";
    run("openssl x509 -in '" + cert("leaf.pem") + "' -outform PEM -out '" + reference + "'");
    EXPECT_EQ(run("cmp '" + reference + "' '" + dir.path() + "/" + name + "' && echo same"), "same");
    EXPECT_EQ(validate({"leaf.pem", "int.pem"}), 0);

    // Saving again overwrites the same file.
    ASSERT_EQ(SaveX509Certificate(bytes.data(), static_cast<int>(bytes.size())), 0);
    EXPECT_EQ(dir.files().size(), 2u);  // the saved one and the reference
}

TEST_F(TrustStoreTest, SaveRefusesWhatWouldHaveToBeCut) {
    // A real directory so deep that the file name no longer fits in a path.
    std::string deep = dir.path();
    const std::string part(200, 'd');
    while (deep.size() + part.size() + 1 < 4050) {
        deep += "/" + part;
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    CertHandler::setTrustDirectory(deep.c_str());
    ASSERT_EQ(CertHandler::getTrustDirectory(), deep);
    std::vector<unsigned char> bytes;
    std::vector<int> sizes;
    derChain({cert("self.pem")}, bytes, sizes);
    EXPECT_EQ(SaveX509Certificate(bytes.data(), static_cast<int>(bytes.size())), 50);
    EXPECT_EQ(run("find '" + dir.path() + "' -type f | wc -l"), "0");

    // A trust directory that cannot be a path is none at all, not a cut one.
    CertHandler::setTrustDirectory((deep + "/" + part).c_str());
    EXPECT_EQ(CertHandler::getTrustDirectory(), "");
    EXPECT_EQ(SaveX509Certificate(bytes.data(), static_cast<int>(bytes.size())), 50);
}

TEST_F(TrustStoreTest, TrustDirectoryTakesForwardSlashes) {
    CertHandler::setTrustDirectory("C:\\certs\\trusted");
    EXPECT_EQ(CertHandler::getTrustDirectory(), "C:/certs/trusted");
    CertHandler::setTrustDirectory("");
    EXPECT_EQ(CertHandler::getTrustDirectory(), "");
}

TEST_F(TrustStoreTest, PemFilesRoundTrip) {
    X509* x = PEM_read_file_X509(cert("self.pem"));
    ASSERT_NE(x, nullptr);
    const std::string out = dir.path() + "/copy.pem";
    EXPECT_EQ(PEM_write_file_X509(out, x), 0);
    EXPECT_EQ(run("cmp '" + out + "' '" + cert("self.pem") + "' && echo same"), "same");
    EXPECT_EQ(PEM_write_file_X509(out, nullptr), 50);
    EXPECT_EQ(PEM_write_file_X509(dir.path() + "/no/such/dir/x.pem", x), 50);
    EXPECT_EQ(PEM_read_file_X509(dir.path() + "/missing.pem"), nullptr);
    X509_free(x);
}

TEST(TrustStoreHelpers, Sha256Hex) {
    EXPECT_EQ(Sha256Hex("abc"), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_TRUE(CheckAlgorithmsRegistered());
}

}  // namespace
