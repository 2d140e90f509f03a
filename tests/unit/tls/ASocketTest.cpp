// TCP side of the socket: connecting, plain reads and writes, closing.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "TlsTestSupport.h"
#include "platform/Clock.h"
#include "tls/ASocket.h"

using namespace tlstest;

namespace {

const char* const kLoopback = "127.0.0.1";

// Resolves to the given loopback ports, in order (or fails when empty).
class ScriptedResolverSocket : public ASocket {
public:
    explicit ScriptedResolverSocket(std::vector<int> ports)
        : ASocket(kLoopback, 0, 1, nullptr, nullptr, 0, nullptr, nullptr, 0),
          m_ports(std::move(ports)) {}
    int resolved = 0;
    int freed = 0;

protected:
    int resolveAddresses(const char*, const char*, addrinfo** result) override {
        ++resolved;
        if (m_ports.empty()) return EAI_NONAME;
        addrinfo* head = nullptr;
        for (auto it = m_ports.rbegin(); it != m_ports.rend(); ++it) {
            auto* sa = new sockaddr_in{};
            sa->sin_family = AF_INET;
            sa->sin_port = htons(static_cast<uint16_t>(*it));
            sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            auto* ai = new addrinfo{};
            ai->ai_family = AF_INET;
            ai->ai_socktype = SOCK_STREAM;
            ai->ai_addr = reinterpret_cast<sockaddr*>(sa);
            ai->ai_addrlen = sizeof *sa;
            ai->ai_next = head;
            head = ai;
        }
        *result = head;
        return 0;
    }
    void freeAddresses(addrinfo* a) override {
        ++freed;
        while (a != nullptr) {
            addrinfo* next = a->ai_next;
            delete reinterpret_cast<sockaddr_in*>(a->ai_addr);
            delete a;
            a = next;
        }
    }

private:
    std::vector<int> m_ports;
};

std::unique_ptr<ASocket> plainSocket(int port, int quiet = 1) {
    return std::make_unique<ASocket>(kLoopback, port, quiet, nullptr, nullptr, 0, nullptr,
                                     nullptr, 0);
}

class ScaledClock {
public:
    explicit ScaledClock(double scale) { tw::Clock::setScale(scale); }
    ~ScaledClock() { tw::Clock::setScale(1.0); }
};

TEST(ASocketConnect, ConnectsAndSetsNoDelay) {
    Listener server;
    auto s = plainSocket(server.port());
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_NEW);
    s->connect(nullptr, nullptr);
    ASSERT_EQ(s->getSocketState(), ASocket::STATE_CONNECTED);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(s->getSocketFD(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_NE(nodelay, 0);
    const int peer = server.accept();
    EXPECT_GE(peer, 0);
    ::close(peer);
}

TEST(ASocketConnect, RefusedGivesStateFourWithoutThrowing) {
    const int port = freePort();  // nothing listens there
    auto s = plainSocket(port);
    EXPECT_NO_THROW(s->winConnect(kLoopback, port));
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_CONNECT_FAILED);
    EXPECT_FALSE(s->isOpen());
}

TEST(ASocketConnect, FirstAddressRefusedSecondConnects) {
    Listener server;
    ScriptedResolverSocket s({freePort(), server.port()});
    s.winConnect(kLoopback, 1);
    EXPECT_EQ(s.getSocketState(), ASocket::STATE_CONNECTED);
    EXPECT_EQ(s.freed, 1);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(s.write("hi", 2), 2);
    EXPECT_EQ(readAll(peer, 200), "hi");
    ::close(peer);
}

TEST(ASocketConnect, FirstAddressThatConnectsEndsTheSearch) {
    Listener first, second;
    ScriptedResolverSocket s({first.port(), second.port()});
    s.winConnect(kLoopback, 1);
    EXPECT_EQ(s.getSocketState(), ASocket::STATE_CONNECTED);
    const int a = first.accept(1000);
    EXPECT_GE(a, 0);
    EXPECT_EQ(second.accept(200), -1);
    ::close(a);
}

TEST(ASocketConnect, UnresolvableNameThrows) {
    ScriptedResolverSocket s({});
    try {
        s.winConnect("no.such.host.invalid", 2068);
        FAIL() << "no exception";
    } catch (const char* e) {
        EXPECT_STREQ(e, "Cannot resolve address");
    }
    EXPECT_EQ(s.freed, 0);
}

TEST(ASocketConnect, TimesOutAfterFiveSecondsOfLibraryTime) {
    // A full accept queue: further connects neither succeed nor fail.
    Listener server(0);
    auto filler = plainSocket(server.port());
    filler->winConnect(kLoopback, server.port());
    ASSERT_EQ(filler->getSocketState(), ASocket::STATE_CONNECTED);
    auto filler2 = plainSocket(server.port());

    ScaledClock fast(0.01);
    const auto start = std::chrono::steady_clock::now();
    ScriptedResolverSocket s({server.port(), server.port()});
    EXPECT_NO_THROW(s.winConnect(kLoopback, server.port()));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.getSocketState(), ASocket::STATE_CONNECT_FAILED);
    EXPECT_LT(took, std::chrono::seconds(4));  // 2 x 50 ms of real time, not 10 s
}

TEST(ASocketConnect, SecondConnectClosesTheFirstConnection) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int first = server.accept();
    ASSERT_GE(first, 0);
    ScaledClock fast(0.01);
    s->winConnect(kLoopback, server.port());
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_CONNECTED);
    EXPECT_EQ(readAll(first, 2000), "");  // end of stream: the old one was shut down
    const int second = server.accept();
    EXPECT_GE(second, 0);
    ::close(first);
    ::close(second);
}

TEST(ASocketPlain, WriteAndReadWholeBuffers) {
    Listener server;
    auto s = plainSocket(server.port());
    s->connect(nullptr, nullptr);
    const int peer = server.accept();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(s->write("abc", 0), 0);
    const std::string big(300000, 'z');
    std::thread drain([&] { EXPECT_EQ(readAll(peer, 2000).size(), big.size() + 5); });
    EXPECT_GT(s->write(big.data(), static_cast<int>(big.size())), 0);
    EXPECT_GT(s->write("hello", 5), 0);
    // The peer answers in two pieces; readFully waits for the whole count.
    std::thread answer([&] {
        ::send(peer, "012", 3, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::send(peer, "3456789", 7, 0);
        ::shutdown(peer, SHUT_WR);
    });
    char buf[16] = {};
    EXPECT_EQ(s->readFully(buf, 10), 10);
    EXPECT_STREQ(buf, "0123456789");
    answer.join();
    EXPECT_EQ(s->readFully(buf, 0), 0);
    EXPECT_EQ(s->readFully(buf, 1), -1);  // end of stream
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_CLOSED_BY_PEER);
    EXPECT_EQ(s->write("x", 1), -1);      // state is no longer "connected"
    s->close();
    drain.join();
    ::close(peer);
}

TEST(ASocketPlain, GatheredWriteArrivesAsOneRunOfBytes) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    // Many small pieces (more than one sendmsg takes) and a large one that
    // fills the socket buffer, so that writes go out in part.
    std::vector<std::string> pieces;
    for (int i = 0; i < 1500; ++i) pieces.push_back(std::string(1 + i % 5, char('a' + i % 26)));
    pieces.push_back("");
    pieces.push_back(std::string(3000000, 'L'));
    pieces.push_back("end");
    std::vector<ByteSegment> segments;
    std::string expected;
    for (const std::string& p : pieces) {
        segments.push_back({p.data(), static_cast<int>(p.size())});
        expected += p;
    }
    std::string got;
    std::thread drain([&] { got = readAll(peer, 10000); });
    EXPECT_GT(s->writeSegments(segments.data(), static_cast<int>(segments.size())), 0);
    s->close();
    drain.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    ::close(peer);
}

TEST(ASocketPlain, ReadSomeTakesWhatIsThereWithinItsBounds) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    const std::string sent = "0123456789abcdefghij";
    ::send(peer, sent.data(), sent.size(), 0);
    ::shutdown(peer, SHUT_WR);
    std::string got;
    char buf[8];
    for (;;) {
        const int r = s->readSome(buf, 3, 5);
        if (r < 0) break;
        EXPECT_GE(r, 3);
        EXPECT_LE(r, 5);
        got.append(buf, size_t(r));
    }
    // 20 bytes in pieces of at least 3: all of them but a tail shorter than 3.
    EXPECT_EQ(got, sent.substr(0, got.size()));
    EXPECT_GE(got.size(), sent.size() - 2);
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_CLOSED_BY_PEER);
    ::close(peer);
}

TEST(ASocketPlain, PeerCloseIsAnnouncedUnlessQuiet) {
    for (int quiet : {0, 1}) {
        Listener server;
        auto s = plainSocket(server.port(), quiet);
        s->winConnect(kLoopback, server.port());
        const int peer = server.accept();
        ::send(peer, "ab", 2, 0);
        ::close(peer);
        char buf[8];
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(s->readFully(buf, 5), -1);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(s->getSocketState(), ASocket::STATE_CLOSED_BY_PEER);
        EXPECT_EQ(out.find("Connection closed by peer\n") != std::string::npos, quiet == 0) << out;
    }
}

TEST(ASocketPlain, NotConnectedMeansMinusOne) {
    auto s = plainSocket(1);
    char buf[4];
    EXPECT_EQ(s->write("x", 1), -1);
    EXPECT_EQ(s->readFully(buf, 4), -1);
    EXPECT_NO_THROW(s->close());
}

TEST(ASocketPlain, CloseWakesABlockedReader) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    auto reader = std::async(std::launch::async, [&] {
        char buf[4];
        return s->readFully(buf, 4);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int fd = s->getSocketFD();
    s->close();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
    EXPECT_FALSE(s->isOpen());
    EXPECT_EQ(readAll(peer, 1000), "");  // the peer sees the end of the stream
    // The number stays taken until the object goes: a late write cannot land
    // in a file opened meanwhile.
    const int other = open("/dev/null", O_WRONLY);
    EXPECT_NE(other, fd);
    ::close(other);
    ::close(peer);
}

TEST(ASocketPlain, OurOwnCloseIsNotReportedAsThePeers) {
    Listener server;
    auto s = plainSocket(server.port(), 0);
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    ::testing::internal::CaptureStdout();
    auto reader = std::async(std::launch::async, [&] {
        char buf[4];
        return s->readFully(buf, 4);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s->close();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ::close(peer);
}

TEST(ASocketPlain, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    ::close(peer);
    const std::string chunk(65536, 'q');
    int r = 1;
    for (int i = 0; i < 200 && r > 0; ++i) r = s->write(chunk.data(), static_cast<int>(chunk.size()));
    EXPECT_LT(r, 0);
    EXPECT_EQ(s->getSocketState(), ASocket::STATE_ERROR);
}

TEST(ASocketPlain, OneThreadWritesWhileAnotherReads) {
    Listener server;
    auto s = plainSocket(server.port());
    s->winConnect(kLoopback, server.port());
    const int peer = server.accept();
    std::thread echo([&] {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(peer, buf, sizeof buf, 0);
            if (n <= 0) break;
            ::send(peer, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        }
    });
    constexpr int kMessages = 200, kSize = 1000;
    std::thread writer([&] {
        std::string m(kSize, 'm');
        for (int i = 0; i < kMessages; ++i) ASSERT_GT(s->write(m.data(), kSize), 0);
    });
    std::vector<char> buf(kSize);
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(s->readFully(buf.data(), kSize), kSize);
    writer.join();
    s->close();
    echo.join();
    ::close(peer);
}

}  // namespace
