// The certificate verdict of real handshakes, the prompt record and its texts.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TlsTestSupport.h"
#include "support/LogSandbox.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"
#include "tls/CertificatePrompt.h"

using namespace tlstest;

namespace {

const char* const kLoopback = "127.0.0.1";

struct Outcome {
    int result = -2;            // sslConnect's result, -1 when it threw
    std::string thrown;
    int state = -1;             // CertHandler state afterwards
    bool open = false;
};

// One connection to a fresh s_server with the given certificate options.
Outcome connectTo(const std::string& serverArgs, CertificateCallbackInterface* session,
                  const std::string& trustDir, X509* known = nullptr, const char* host = kLoopback) {
    Peer server = Peer::sServer(serverArgs);
    CertHandler::setTrustDirectory(trustDir.c_str());  // what the context loads
    ASocket s(host, server.port(), 1, session, nullptr, 0, nullptr, nullptr, 0);
    s.connect(trustDir.c_str(), known);
    Outcome o;
    try {
        o.result = s.sslConnect();
    } catch (const char* e) {
        o.result = -1;
        o.thrown = e;
    }
    o.state = CertHandler::getState();
    o.open = s.isOpen();
    return o;
}

const std::string kSelfSigned = "-cert self.pem -key self.key";
const std::string kForged = "-cert forged.pem -key leaf.key -cert_chain int.pem";
const std::string kExpired = "-cert expired.pem -key leaf.key -cert_chain int.pem";
const std::string kGood = "-cert leaf.pem -key leaf.key -cert_chain int.pem";

class CertHandlerTest : public ::testing::Test {
protected:
    void TearDown() override {
        CertHandler::setTrustDirectory(nullptr);
        CertHandler::setKnownCertificate(nullptr);
    }
    // A trust directory holding the root, hashed so the TLS context finds it.
    void trustRoot() {
        ASSERT_EQ(std::system(("cp '" + cert("root.pem") + "' '" + trust.path() + "/root.pem' && "
                               "openssl rehash '" + trust.path() + "' 2>/dev/null")
                                  .c_str()),
                  0);
    }
    TempDir trust;
};

TEST_F(CertHandlerTest, SelfSignedRunSavesAndNextConnectionDoesNotAsk) {
    ScriptedSession run(CertHandler::ANSWER_RUN);
    Outcome o = connectTo(kSelfSigned, &run, trust.path());
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ACCEPTED);
    ASSERT_EQ(run.calls(), 1);
    const CertificatePrompt p = run.last();
    EXPECT_EQ(p.errorCode, 18);
    EXPECT_STREQ(p.reason, X509_verify_cert_error_string(18));
    EXPECT_STREQ(p.commonName, "Device 7");
    EXPECT_STREQ(p.organization, "Example Corp");
    EXPECT_STREQ(p.organizationUnit, "");
    EXPECT_STREQ(p.subject, "/C=US/O=Example Corp/CN=Device 7");
    EXPECT_EQ(std::strlen(p.shaFingerprint), 40u);
    const std::vector<std::string> saved = trust.files();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].rfind("TKW_", 0), 0u);

    ScriptedSession again(CertHandler::ANSWER_CANCEL);
    o = connectTo(kSelfSigned, &again, trust.path());
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ACCEPTED);
    EXPECT_EQ(again.calls(), 0);
}

TEST_F(CertHandlerTest, AnswersDecideTheConnection) {
    struct Case {
        int answer;
        int result;
        int state;
    } cases[] = {
        {CertHandler::ANSWER_CANCEL, -1, CertHandler::STATE_CANCEL},
        {CertHandler::ANSWER_TIMEOUT, -1, CertHandler::STATE_TIMEOUT},
        {CertHandler::ANSWER_RUN_ONCE, 1, CertHandler::STATE_ACCEPTED},
        {0, 1, CertHandler::STATE_ACCEPTED},  // anything else is "run once"
    };
    for (const Case& c : cases) {
        ScriptedSession session(c.answer);
        const Outcome o = connectTo(kSelfSigned, &session, trust.path());
        EXPECT_EQ(session.calls(), 1) << c.answer;
        EXPECT_EQ(o.result, c.result) << c.answer;
        EXPECT_EQ(o.state, c.state) << c.answer;
        if (c.result == -1) {
            EXPECT_EQ(o.thrown, "SSL Connection error");
            EXPECT_FALSE(o.open);
        }
        EXPECT_TRUE(trust.files().empty()) << "only RUN saves";
    }
}

TEST_F(CertHandlerTest, RunWithoutTrustDirectoryDoesNotSave) {
    ScriptedSession run(CertHandler::ANSWER_RUN);
    const Outcome o = connectTo(kSelfSigned, &run, "");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ACCEPTED);
    EXPECT_TRUE(trust.files().empty());
}

TEST_F(CertHandlerTest, NoSessionLeavesAskingAndConnects) {
    const Outcome o = connectTo(kSelfSigned, nullptr, trust.path());
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ASKING);
}

TEST_F(CertHandlerTest, KnownCertificatePassesWithoutAsking) {
    X509* known = loadCert(cert("self.pem"));
    ScriptedSession session(CertHandler::ANSWER_CANCEL);
    const Outcome o = connectTo(kSelfSigned, &session, trust.path(), known);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(session.calls(), 0);
    CertHandler::setKnownCertificate(nullptr);
    X509_free(known);
}

TEST_F(CertHandlerTest, TrustedChainPassesWithoutAsking) {
    trustRoot();
    ScriptedSession session(CertHandler::ANSWER_CANCEL);
    const Outcome o = connectTo(kGood, &session, trust.path());
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ACCEPTED);
    EXPECT_EQ(session.calls(), 0);
}

TEST_F(CertHandlerTest, TrustedRootDoesNotCoverABadLeaf) {
    trustRoot();
    struct Case {
        const std::string& server;
        int error;
    } cases[] = {{kForged, 7}, {kExpired, 10}};
    for (const Case& c : cases) {
        ScriptedSession cancel(CertHandler::ANSWER_CANCEL);
        Outcome o = connectTo(c.server, &cancel, trust.path());
        ASSERT_EQ(cancel.calls(), 1) << c.error;
        EXPECT_EQ(cancel.last().errorCode, c.error);
        EXPECT_EQ(o.thrown, "SSL Connection error");
        // Nobody to ask: the verdict stays undecided, never "accepted".
        o = connectTo(c.server, nullptr, trust.path());
        EXPECT_EQ(o.state, CertHandler::STATE_ASKING) << c.error;
    }
}

// The system bundle holds the root: a chain under it proves only the names
// the leaf carries. Who is asked, and what the question says.
class PeerNameTest : public CertHandlerTest {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("SSL_CERT_FILE")) m_oldBundle = old;
        m_hadBundle = std::getenv("SSL_CERT_FILE") != nullptr;
        setenv("SSL_CERT_FILE", cert("root.pem").c_str(), 1);
    }
    void TearDown() override {
        if (m_hadBundle)
            setenv("SSL_CERT_FILE", m_oldBundle.c_str(), 1);
        else
            unsetenv("SSL_CERT_FILE");
        CertHandlerTest::TearDown();
    }

private:
    std::string m_oldBundle;
    bool m_hadBundle = false;
};

TEST_F(PeerNameTest, OnlyAVerifiedOrAcceptedPeerGetsThrough) {
    const auto under = [](const std::string& leaf, const std::string& key) {
        return "-cert " + leaf + " -key " + key + " -cert_chain int.pem";
    };
    struct Case {
        const char* what;
        std::string server;
        const char* host;
        const char* saved;  // certificate put into the trust directory first
        const char* known;  // certificate accepted earlier in the session
        int error;          // shown by the question; 0: verified, nobody is asked
    } cases[] = {
        {"right IP", kGood, "127.0.0.1", nullptr, nullptr, 0},
        {"right DNS name", under("dns.pem", "named.key"), "localhost", nullptr, nullptr, 0},
        {"common name, no DNS names", under("cnonly.pem", "named.key"), "localhost", nullptr, nullptr, 0},
        {"DNS name of another host", under("dns.pem", "named.key"), "127.0.0.1", nullptr, nullptr,
         X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"impostor by IP", under("evil.pem", "named.key"), "127.0.0.1", nullptr, nullptr,
         X509_V_ERR_IP_ADDRESS_MISMATCH},
        // Its common name is right, but a certificate with DNS names is judged by them.
        {"impostor by name", under("evil.pem", "named.key"), "localhost", nullptr, nullptr,
         X509_V_ERR_HOSTNAME_MISMATCH},
        {"self-signed", kSelfSigned, "127.0.0.1", nullptr, nullptr, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"expired", kExpired, "127.0.0.1", nullptr, nullptr, X509_V_ERR_CERT_HAS_EXPIRED},
        {"bad signature", kForged, "127.0.0.1", nullptr, nullptr, X509_V_ERR_CERT_SIGNATURE_FAILURE},
        {"saved earlier, other name", under("evil.pem", "named.key"), "127.0.0.1", "evil.pem", nullptr, 0},
        {"accepted earlier, other name", under("evil.pem", "named.key"), "localhost", nullptr, "evil.pem", 0},
    };
    struct Answer {
        const char* what;
        int answer;  // -1: nobody to ask (the console styles)
    } answers[] = {{"nobody asked", -1}, {"run once", CertHandler::ANSWER_RUN_ONCE},
                   {"cancel", CertHandler::ANSWER_CANCEL}};
    for (const Case& c : cases) {
        for (const Answer& a : answers) {
            SCOPED_TRACE(std::string(c.what) + ", " + a.what);
            TempDir dir;
            if (c.saved != nullptr) {
                ASSERT_EQ(std::system(("cp '" + cert(c.saved) + "' '" + dir.path() + "/TKW_saved.pem'").c_str()), 0);
            }
            X509* known = c.known != nullptr ? loadCert(cert(c.known)) : nullptr;
            ScriptedSession session(a.answer);
            const Outcome o = connectTo(c.server, a.answer < 0 ? nullptr : &session, dir.path(), known, c.host);
            CertHandler::setKnownCertificate(nullptr);
            X509_free(known);

            const bool asked = c.error != 0 && a.answer >= 0;
            EXPECT_EQ(session.calls(), asked ? 1 : 0);
            if (asked) {
                EXPECT_EQ(session.last().errorCode, c.error);
                EXPECT_STREQ(session.last().reason, X509_verify_cert_error_string(c.error));
            }
            if (c.error != 0 && a.answer == CertHandler::ANSWER_CANCEL) {
                EXPECT_EQ(o.thrown, "SSL Connection error");
                EXPECT_EQ(o.state, CertHandler::STATE_CANCEL);
                EXPECT_FALSE(o.open);
            } else {
                EXPECT_EQ(o.result, 1) << o.thrown;
                // Unverified and nobody asked: connected for this once, but
                // never "accepted". The known certificate leaves the state alone.
                const int passed = c.known != nullptr ? CertHandler::STATE_INIT : CertHandler::STATE_ACCEPTED;
                EXPECT_EQ(o.state, c.error != 0 && a.answer < 0 ? CertHandler::STATE_ASKING : passed);
            }
        }
    }
}

// The console styles ask nobody and go on for this one connection; their
// debug log tells why the certificate was not verified.
TEST_F(PeerNameTest, TheConsoleLogSaysTheNameDidNotMatch) {
    twtest::LogSandbox log(3);  // to the file only
    const Outcome o =
        connectTo("-cert evil.pem -key named.key -cert_chain int.pem", nullptr, trust.path(), nullptr, "localhost");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.state, CertHandler::STATE_ASKING);
    EXPECT_NE(log.logText().find("does not name the peer (62)"), std::string::npos);
}

// A chain under the trusted root with an MD5 signature below the root is
// not verified: the user is asked, and the question names MD5.
TEST_F(PeerNameTest, AnMd5SignatureInTheChainIsAsked) {
    const std::string legacy = " -cipher DEFAULT:@SECLEVEL=0";
    for (const std::string& server : {"-cert md5.pem -key leaf.key -cert_chain int.pem" + legacy,
                                      "-cert md5intleaf.pem -key leaf.key -cert_chain md5int.pem" + legacy}) {
        SCOPED_TRACE(server);
        ScriptedSession cancel(CertHandler::ANSWER_CANCEL);
        Outcome o = connectTo(server, &cancel, trust.path());
        ASSERT_EQ(cancel.calls(), 1);
        EXPECT_EQ(cancel.last().errorCode, X509_V_ERR_CA_MD_TOO_WEAK);
        EXPECT_NE(std::string(cancel.last().reason).find("MD5"), std::string::npos) << cancel.last().reason;
        EXPECT_EQ(o.thrown, "SSL Connection error");
        // Nobody to ask: connected for this once, never "accepted".
        o = connectTo(server, nullptr, trust.path());
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.state, CertHandler::STATE_ASKING);
    }
}

// The question's name parts are the subject's own entries: a "/CN=" inside
// another field is part of that field.
TEST_F(CertHandlerTest, NamePartsComeFromTheNameEntries) {
    struct Case {
        std::string server;
        const char* pem;
        const char* commonName;
        const char* organizationUnit;
        const char* locality;
        const char* email;
    } cases[] = {
        {"-cert cnou.pem -key cnou.key", "cnou.pem", "Device 9", "x/CN=bank", "", ""},
        {"-cert v1.pem -key self.key", "v1.pem", "Device 8", "Lab", "Springfield", "lab@example.com"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pem);
        ScriptedSession once(CertHandler::ANSWER_RUN_ONCE);
        connectTo(c.server, &once, trust.path());
        ASSERT_EQ(once.calls(), 1);
        const CertificatePrompt p = once.last();
        EXPECT_STREQ(p.commonName, c.commonName);
        EXPECT_STREQ(p.organization, "Example Corp");
        EXPECT_STREQ(p.organizationUnit, c.organizationUnit);
        EXPECT_STREQ(p.locality, c.locality);
        EXPECT_STREQ(p.emailAddress, c.email);
        const std::string sha256 =
            run("openssl x509 -noout -fingerprint -sha256 -in '" + cert(c.pem) + "' | sed 's/^.*=//; s/://g'");
        EXPECT_EQ(p.sha256Fingerprint, sha256);
    }
}

TEST_F(CertHandlerTest, PromptRecordOutsideTheCallback) {
    CertHandler::clearCertificates();
    CertificatePrompt p;
    std::memset(&p, 0x5A, sizeof p);
    EXPECT_FALSE(CertHandler::fillCertificatePrompt(&p));
    EXPECT_EQ(p.answer, 0x5A5A5A5A);  // untouched
    EXPECT_FALSE(CertHandler::fillCertificatePrompt(nullptr));

    ScriptedSession once(CertHandler::ANSWER_RUN_ONCE);
    connectTo(kSelfSigned, &once, trust.path());
    std::memset(&p, 0, sizeof p);
    p.answer = CertificatePrompt::NO_ERROR_MARKER;
    ASSERT_TRUE(CertHandler::fillCertificatePrompt(&p));
    EXPECT_EQ(p.errorCode, 0);
    EXPECT_STREQ(p.reason, "");
    EXPECT_EQ(p.answer, 0);
    EXPECT_STREQ(p.commonName, "Device 7");
    EXPECT_NE(p.hash, 0u);

    std::memset(&p, 0, sizeof p);
    ASSERT_TRUE(CertHandler::fillCertificatePrompt(&p));
    EXPECT_EQ(p.errorCode, 18);
}

TEST(CertHandlerDn, ComponentsOfAOneLineName) {
    const char* name = "/C=US/O=Example Corp/OU=/L=Town/CN=Device 7/emailAddress=a@b.c";
    const int length = static_cast<int>(std::strlen(name));
    struct Case {
        const char* key;
        const char* value;
    } cases[] = {{"/O=", "Example Corp"}, {"/CN=", "Device 7"}, {"/L=", "Town"},
                 {"/emailAddress=", "a@b.c"}, {"/OU=", ""}, {"/ST=", "untouched"}};
    for (const Case& c : cases) {
        char out[260] = "untouched";
        CertHandler::getDNComponent(c.key, name, length, out);
        EXPECT_STREQ(out, c.value) << c.key;
    }
    char out[260];
    const std::string longName = "/CN=" + std::string(400, 'x');
    CertHandler::getDNComponent("/CN=", longName.c_str(), static_cast<int>(longName.size()), out);
    EXPECT_EQ(std::strlen(out), 259u);
}

}  // namespace
