// TLS side of the socket against real peers: openssl s_server and Python's ssl.
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TlsTestSupport.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"

using namespace tlstest;

namespace {

const char* const kLoopback = "127.0.0.1";
const std::string kLeafServer = "-cert leaf.pem -key leaf.key -cert_chain int.pem";
const std::string kLegacy = " -cipher DEFAULT:@SECLEVEL=0";

struct Options {
    int fallback = 0;
    int quiet = 1;
    const char* ciphers = nullptr;
    CertificateCallbackInterface* session = nullptr;
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
};

std::unique_ptr<ASocket> tlsSocket(int port, const Options& o = {}) {
    return std::make_unique<ASocket>(kLoopback, port, o.quiet, o.session, o.ciphers, 0, o.cert,
                                     o.key, o.fallback);
}

// Connects (trusting what is in trustDir) and runs the handshake.
int handshake(ASocket& s, const std::string& trustDir = "") {
    s.connect(trustDir.c_str(), nullptr);
    if (s.getSocketState() != ASocket::STATE_CONNECTED) return -1;
    return s.sslConnect();
}

class ASocketTls : public ::testing::Test {
protected:
    void SetUp() override {
        CertHandler::setTrustDirectory(nullptr);
        CertHandler::setKnownCertificate(nullptr);
    }
    void TearDown() override {
        CertHandler::setTrustDirectory(nullptr);
        CertHandler::setKnownCertificate(nullptr);
    }
};

TEST_F(ASocketTls, DefaultServerWithoutConfiguredCiphers) {
    Peer server = Peer::sServer(kLeafServer);
    auto s = tlsSocket(server.port());
    ::testing::internal::CaptureStdout();
    const int r = handshake(*s);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(r, 1);
    EXPECT_TRUE(s->isSslActive());
    EXPECT_TRUE(s->isSslHandshakeOk());
    EXPECT_EQ(s->getProtocolName(), "TLSv1.2");
    EXPECT_FALSE(s->getCipherName().empty());
    EXPECT_NE(out.find("m_socketState=1\n"), std::string::npos);
    EXPECT_NE(out.find("SSL Handshake Completed\n"), std::string::npos);
}

struct Level {
    int fallback;
    std::string serverArgs;
    int expected;
    const char* protocol;
};

TEST_F(ASocketTls, FallbackLevelsPickTheProtocol) {
    const Level levels[] = {
        {2, "-tls1_1" + kLegacy, 1, "TLSv1.1"},
        {3, "-tls1" + kLegacy, 1, "TLSv1"},
        {1, "-tls1_1" + kLegacy, 0, ""},
        {1, "", 1, "TLSv1.2"},
        {7, "", 1, "TLSv1.2"},         // unknown levels behave as 0
        {0, "-tls1_1" + kLegacy, 1, "TLSv1.1"},
        {0, "-tls1_3", 0, ""},          // TLS 1.3 stays off
    };
    for (const Level& l : levels) {
        Peer server = Peer::sServer(kLeafServer + " " + l.serverArgs);
        Options o;
        o.fallback = l.fallback;
        auto s = tlsSocket(server.port(), o);
        EXPECT_EQ(handshake(*s), l.expected) << "level " << l.fallback << " " << l.serverArgs;
        EXPECT_EQ(s->getProtocolName(), l.protocol) << "level " << l.fallback;
        EXPECT_EQ(s->isSslActive(), l.expected == 1);
    }
}

struct Server {
    std::string args;
    const char* protocol;
    const char* cipher;
};

// The first attempt reaches every version 1.0-1.2 with RSA and (EC)DHE key
// exchange; a TLS 1.2 server is met with the same suite whatever it offers.
TEST_F(ASocketTls, TheFirstAttemptReachesEveryVersionAndSuite) {
    const Server servers[] = {
        {"-tls1 -cipher AES128-SHA@SECLEVEL=0", "TLSv1", "AES128-SHA"},
        {"-tls1 -cipher ECDHE-RSA-AES128-SHA@SECLEVEL=0", "TLSv1", "ECDHE-RSA-AES128-SHA"},
        {"-tls1 -cipher DHE-RSA-AES128-SHA@SECLEVEL=0", "TLSv1", "DHE-RSA-AES128-SHA"},
        {"-tls1_1 -cipher AES128-SHA@SECLEVEL=0", "TLSv1.1", "AES128-SHA"},
        {"-tls1_1 -cipher ECDHE-RSA-AES128-SHA@SECLEVEL=0", "TLSv1.1", "ECDHE-RSA-AES128-SHA"},
        {"-tls1_1 -cipher DHE-RSA-AES128-SHA@SECLEVEL=0", "TLSv1.1", "DHE-RSA-AES128-SHA"},
        {"-no_tls1_2 -no_tls1_3 -cipher DEFAULT@SECLEVEL=0", "TLSv1.1", "ECDHE-RSA-AES256-SHA"},
        {"-tls1_2 -cipher AES128-GCM-SHA256", "TLSv1.2", "AES128-GCM-SHA256"},
        {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "TLSv1.2", "ECDHE-RSA-AES128-GCM-SHA256"},
        {"-tls1_2", "TLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"-no_tls1_3 -cipher DEFAULT@SECLEVEL=0", "TLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"},
        {"", "TLSv1.2", "ECDHE-RSA-AES256-GCM-SHA384"},
    };
    for (const Server& server : servers) {
        Peer peer = Peer::sServer(kLeafServer + " " + server.args);
        auto s = tlsSocket(peer.port());
        EXPECT_EQ(handshake(*s), 1) << server.args;
        EXPECT_EQ(s->getProtocolName(), server.protocol) << server.args;
        EXPECT_EQ(s->getCipherName(), server.cipher) << server.args;
    }
    // Security level 1 still holds for TLS 1.2: no SHA-1 signature there.
    Peer sha1 = Peer::sServer(kLeafServer + " -tls1_2 -sigalgs RSA+SHA1" + kLegacy);
    auto s = tlsSocket(sha1.port());
    EXPECT_EQ(handshake(*s), 0);
}

TEST_F(ASocketTls, UserCipherListThatMatchesNothingFailsTheHandshake) {
    Peer server = Peer::sServer(kLeafServer);
    Options o;
    o.ciphers = "NO-SUCH-CIPHER";
    auto s = tlsSocket(server.port(), o);
    EXPECT_EQ(handshake(*s), 0);
    Peer server2 = Peer::sServer(kLeafServer);
    o.ciphers = "ECDHE-RSA-AES128-GCM-SHA256";
    auto s2 = tlsSocket(server2.port(), o);
    EXPECT_EQ(handshake(*s2), 1);
    EXPECT_EQ(s2->getCipherName(), "ECDHE-RSA-AES128-GCM-SHA256");
}

TEST_F(ASocketTls, ClientCertificate) {
    const std::string args = kLeafServer + " -Verify 1 -CAfile clientca.pem";
    X509* cert = loadCert(tlstest::cert("client.pem"));
    EVP_PKEY* key = loadKey(tlstest::cert("client.key"));
    EVP_PKEY* other = loadKey(tlstest::cert("other.key"));
    ASSERT_TRUE(cert && key && other);
    {
        // TLS 1.2: there the server's refusal ends the handshake itself; in
        // 1.3 the client may finish before the refusal arrives.
        Peer server = Peer::sServer(args + " -tls1_2");
        auto s = tlsSocket(server.port());
        EXPECT_EQ(handshake(*s), 0);  // the server insists on one
    }
    {
        Peer server = Peer::sServer(args);
        Options o;
        o.cert = cert;
        o.key = key;
        auto s = tlsSocket(server.port(), o);
        EXPECT_EQ(handshake(*s), 1);
    }
    Options bad;
    bad.cert = cert;
    bad.key = other;
    try {
        tlsSocket(1, bad);
        FAIL() << "no exception";
    } catch (const char* e) {
        EXPECT_STREQ(e, "Can't get SSL Private Key");
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    EVP_PKEY_free(other);
}

TEST_F(ASocketTls, WriteAndReadThroughTls) {
    Peer peer = Peer::python("echo", "leaf_chain.pem", "leaf.key");
    auto s = tlsSocket(peer.port());
    ASSERT_EQ(handshake(*s), 1);
    EXPECT_EQ(s->write("x", 0), 0);
    const std::string msg(50000, 'k');
    ASSERT_GT(s->write(msg.data(), static_cast<int>(msg.size())), 0);
    std::string back(msg.size(), '\0');
    ASSERT_EQ(s->readFully(back.data(), static_cast<int>(back.size())), static_cast<int>(back.size()));
    EXPECT_EQ(back, msg);

    // Plain bytes while bypassing TLS go out as they are.
    s->setBypassSsl(true);
    EXPECT_TRUE(s->isBypassSsl());
    s->setBypassSsl(false);
}

TEST_F(ASocketTls, GatheredWriteAndReadAheadThroughTls) {
    Peer peer = Peer::python("echo", "leaf_chain.pem", "leaf.key");
    auto s = tlsSocket(peer.port());
    ASSERT_EQ(handshake(*s), 1);
    // Small neighbours are joined, a piece above a record's size goes alone.
    const std::vector<std::string> pieces = {"head", std::string(9000, 's'), "", std::string(40000, 'B'),
                                             "x", std::string(20000, 't'), "tail"};
    std::vector<ByteSegment> segments;
    std::string expected;
    for (const std::string& p : pieces) {
        segments.push_back({p.data(), static_cast<int>(p.size())});
        expected += p;
    }
    ASSERT_GT(s->writeSegments(segments.data(), static_cast<int>(segments.size())), 0);
    std::string back;
    std::vector<char> buf(100000);
    while (back.size() < expected.size()) {
        const int r = s->readSome(buf.data(), 1, static_cast<int>(buf.size()));
        ASSERT_GT(r, 0);
        back.append(buf.data(), size_t(r));
    }
    EXPECT_TRUE(back == expected);
}

struct PeerClose {
    const char* mode;
    int quiet;
};

TEST_F(ASocketTls, PeerClosingMidReadGivesClosedByPeer) {
    const PeerClose cases[] = {{"send_close", 0}, {"send_close", 1}, {"unwrap", 0}, {"unwrap", 1}};
    // One peer process serves the four connections in turn.
    Peer peer = Peer::python("send_close,send_close,unwrap,unwrap", "leaf_chain.pem", "leaf.key", 10);
    for (const PeerClose& c : cases) {
        Options o;
        o.quiet = c.quiet;
        auto s = tlsSocket(peer.port(), o);
        ASSERT_EQ(handshake(*s), 1) << c.mode;
        char buf[32];
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(s->readFully(buf, 20), -1) << c.mode;
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(s->getSocketState(), ASocket::STATE_CLOSED_BY_PEER) << c.mode;
        EXPECT_EQ(out.find("Connection closed by peer\n") != std::string::npos, c.quiet == 0)
            << c.mode << " quiet=" << c.quiet;
    }
}

TEST_F(ASocketTls, CloseFromAnotherThreadWakesTheReader) {
    Peer peer = Peer::python("hold", "leaf_chain.pem", "leaf.key");
    auto s = tlsSocket(peer.port());
    ASSERT_EQ(handshake(*s), 1);
    auto reader = std::async(std::launch::async, [&] {
        char buf[16];
        return s->readFully(buf, 16);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s->close();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
    EXPECT_FALSE(s->isSslActive());
    EXPECT_FALSE(s->isOpen());
    char buf[4];
    EXPECT_EQ(s->write("abc", 3), -1);
    EXPECT_EQ(s->readFully(buf, 4), -1);
}

TEST_F(ASocketTls, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    Peer peer = Peer::python("send_close", "leaf_chain.pem", "leaf.key", 0);
    auto s = tlsSocket(peer.port());
    ASSERT_EQ(handshake(*s), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string chunk(16384, 'w');
    int r = 1;
    for (int i = 0; i < 400 && r > 0; ++i) r = s->write(chunk.data(), static_cast<int>(chunk.size()));
    EXPECT_LE(r, 0);
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_ERROR);
}

TEST_F(ASocketTls, OneThreadWritesWhileAnotherReads) {
    Peer peer = Peer::python("echo", "leaf_chain.pem", "leaf.key");
    auto s = tlsSocket(peer.port());
    ASSERT_EQ(handshake(*s), 1);
    constexpr int kMessages = 300, kSize = 700;
    std::thread writer([&] {
        std::string m(kSize, 'a');
        for (int i = 0; i < kMessages; ++i) {
            m[0] = static_cast<char>('a' + i % 26);
            ASSERT_GT(s->write(m.data(), kSize), 0);
        }
    });
    std::vector<char> buf(kSize);
    for (int i = 0; i < kMessages; ++i) {
        ASSERT_EQ(s->readFully(buf.data(), kSize), kSize);
        ASSERT_EQ(buf[0], static_cast<char>('a' + i % 26));
    }
    writer.join();
    s->close();
}

}  // namespace
