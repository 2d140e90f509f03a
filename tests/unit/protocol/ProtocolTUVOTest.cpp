#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ApplianceProcess.h"
#include "api/VMConnectionInfo.h"
#include "platform/Clock.h"
#include "protocol/Heartbeat.h"
#include "protocol/ProtocolTUVO.h"
#include "protocol/SetupWatchdog.h"
#include "tls/ASocket.h"
#include "tls/CertHandler.h"
#include "tls/CertificateCallbackInterface.h"
#include "tls/CertificatePrompt.h"

namespace {

struct Session {
    std::unique_ptr<ApplianceProcess> app;
    VMConnectionInfo info;
    std::unique_ptr<ProtocolTUVO> tuvo;
    ASocket* socket = nullptr;
    std::string error;  // text of a thrown C string

    Session(std::vector<std::string> args, bool forceEncryption = false) {
        app = std::make_unique<ApplianceProcess>(std::move(args));
        info.setConnectTimeout(5);
        tuvo = std::make_unique<ProtocolTUVO>("127.0.0.1", 1, nullptr, app->port(), forceEncryption, nullptr, 0);
        tuvo->setConnectionInfo(&info);
    }
    ASocket* run(int method = 2) {
        try {
            socket = tuvo->getSocket(method);
        } catch (const char* e) {
            error = e;
            socket = nullptr;
        }
        return socket;
    }
    // A heartbeat over the set-up socket, seen by the appliance.
    bool heartbeatArrives() {
        Heartbeat hb(true);
        auto bytes = hb.serialize();
        if (socket->write(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())) <= 0) return false;
        return app->waitFor("Heartbeat");
    }
};

TEST(ProtocolTUVOTest, PlainSetupSendsTheSessionRequestAndKeepsTheSocket) {
    Session s({"--caps", "0x1"});
    ASSERT_NE(s.run(), nullptr) << s.error;
    EXPECT_EQ(s.tuvo->getCapabilities(), 1);
    EXPECT_FALSE(s.tuvo->isSecure());
    EXPECT_FALSE(s.tuvo->isReconnectCapable());
    EXPECT_EQ(s.tuvo->getFirstTimeout(), 20);
    EXPECT_EQ(s.tuvo->getZelkMinor(), 14);
    ASSERT_TRUE(s.app->waitFor("SessionRequest"));
    std::string req = s.app->records("SessionRequest")[0];
    EXPECT_EQ(Field(req, "type"), "0x0100");
    EXPECT_EQ(Field(req, "capabilities"), "0x060d");
    EXPECT_EQ(Field(req, "kind"), "2");
    EXPECT_EQ(Field(req, "major") + "." + Field(req, "minor"), "1.14");
    EXPECT_EQ(Field(req, "random_length"), "32");
    EXPECT_EQ(Field(req, "timeout1"), "180");
    EXPECT_EQ(Field(req, "version_param"), "259");
    EXPECT_TRUE(s.heartbeatArrives());
}

TEST(ProtocolTUVOTest, TlsSetupEncryptsThePacketLayer) {
    Session s({"--caps", "0x8"});
    ASSERT_NE(s.run(), nullptr) << s.error;
    EXPECT_EQ(s.tuvo->getCapabilities(), 8);
    EXPECT_TRUE(s.tuvo->isSecure());
    EXPECT_TRUE(s.socket->isSslActive());
    EXPECT_TRUE(s.app->waitFor("tls", 1, 5000, "event"));
    EXPECT_TRUE(s.heartbeatArrives());
}

TEST(ProtocolTUVOTest, CapabilityChoice) {
    struct Case {
        const char* caps;
        bool force;
        int mode;  // 0: refused
    };
    // TLS whenever it is offered; plain text only when it is all there is.
    for (const Case& c : {Case{"0xD", false, 8}, Case{"0x9", false, 8}, Case{"0x5", false, 4}, Case{"0x1", false, 1},
                          Case{"0x60D", false, 8}, Case{"0xC", false, 8}, Case{"0x4", false, 4}, Case{"0x2", false, 0},
                          Case{"0x0", false, 0}, Case{"0xD", true, 8}, Case{"0x5", true, 4}, Case{"0x1", true, 0}}) {
        SCOPED_TRACE(std::string(c.caps) + (c.force ? " forced encryption" : ""));
        Session s({"--caps", c.caps}, c.force);
        ASocket* socket = s.run();
        EXPECT_EQ(s.error, "");
        if (c.mode == 0) {
            EXPECT_EQ(socket, nullptr);
            EXPECT_EQ(s.tuvo->getCurrentSocket(), nullptr);  // closed, not left open
            EXPECT_TRUE(s.app->waitFor("close", 1, 5000, "event"));
            EXPECT_EQ(s.app->records("LoginMessage").size(), 0u);
        } else {
            ASSERT_NE(socket, nullptr);
            EXPECT_EQ(s.tuvo->getCapabilities(), c.mode);
            EXPECT_EQ(s.tuvo->isSecure(), c.mode != 1);
        }
        if (c.force) {
            ASSERT_TRUE(s.app->waitFor("SessionRequest"));
            EXPECT_EQ(Field(s.app->records("SessionRequest")[0], "capabilities"), "0x060c");
        }
    }
}

TEST(ProtocolTUVOTest, ReplyFieldsAndVersions) {
    {
        // A peer TUVO version of 0 caps the ZELK minor at 13.
        Session s({"--caps", "0x1", "--tuvo-version", "0"});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_EQ(s.tuvo->getZelkMinor(), 13);
        EXPECT_EQ(s.tuvo->getPeerTuvoVersion(), 0);
    }
    {
        // A 0x8100 reply of length 60 keeps the default timeouts.
        Session s({"--caps", "0x1", "--reply-length", "60"});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_EQ(s.tuvo->getFirstTimeout(), 20);
        EXPECT_EQ(s.tuvo->getSecondTimeout(), 120);
    }
    {
        // Reconnect support with TLS: 0x600 and TUVO above 0x0101.
        Session s({"--caps", "0x608"});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_TRUE(s.tuvo->isReconnectCapable());
    }
    {
        Session s({"--caps", "0x8", "--reply-type", "0x8101"});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_TRUE(s.tuvo->isReconnectCapable());
    }
}

TEST(ProtocolTUVOTest, LongRepliesAreReadWholeUpTo64KiB) {
    // Everything past the known fields is read and ignored: the packets
    // after it start in step.
    for (const char* length : {"1025", "2000", "65536"}) {
        SCOPED_TRACE(length);
        Session s({"--caps", "0x1", "--reply-length", length});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_EQ(s.tuvo->getCapabilities(), 1);
        EXPECT_EQ(s.tuvo->getZelkMinor(), 14);
        EXPECT_TRUE(s.heartbeatArrives());
    }
}

TEST(ProtocolTUVOTest, BadRepliesAreRefusedAndCloseTheSocket) {
    std::string tuvoHead = "5455564F";
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    std::vector<Case> cases = {
        {{"--reply-length", "20"}, "Protocol error, bad session reply length."},
        {{"--reply-length", "65537"}, "Protocol error, bad session reply length."},
        {{"--reply-hex", tuvoHead + "FFFFFFFF81000103"}, "Protocol error, bad session reply length."},
        {{"--reply-type", "0x8102"}, "Protocol error, expecting packet of with type id 0x8100."},
        {{"--reply-hex", "5A454C4B000000448100"}, "Protocol error, bad packet signature."},
        {{"--close-after-reply", "--reply-hex", tuvoHead + "00000044810001030100"},
         "Socket Closed by peer reading header."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error + " " + c.args.back());
        Session s(c.args);
        EXPECT_EQ(s.run(), nullptr);
        EXPECT_EQ(s.error, c.error);
        EXPECT_EQ(s.tuvo->getCurrentSocket(), nullptr);
    }
}

TEST(ProtocolTUVOTest, SilentServerFailsWithinTheConnectTimeout) {
    tw::Clock::setScale(0.05);  // the 1-second timeout lasts 50 ms
    Session s({"--silent"});
    s.info.setConnectTimeout(1);
    EXPECT_EQ(s.run(), nullptr);
    tw::Clock::setScale(1.0);
    EXPECT_EQ(s.error, "Timed out waiting for session setup reply.");
    EXPECT_TRUE(s.app->waitFor("SessionRequest"));
}

TEST(ProtocolTUVOTest, SilentTlsPeerFailsWithoutTheFallback) {
    tw::Clock::setScale(0.05);
    Session s({"--caps", "0x8", "--silent-tls"});
    s.info.setConnectTimeout(1);
    EXPECT_EQ(s.run(), nullptr);
    tw::Clock::setScale(1.0);
    EXPECT_EQ(s.error, "Timed out waiting for the TLS handshake.");
    EXPECT_EQ(s.tuvo->getCurrentSocket(), nullptr);
    EXPECT_EQ(s.app->records("SessionRequest").size(), 1u);
}

TEST(ProtocolTUVOTest, WatchdogWaitsWhileBusyThenClosesTheSocket) {
    ASocket socket("127.0.0.1", 1, 1, nullptr, nullptr, 0, nullptr, nullptr, 0);
    std::atomic<int> busyChecks{0};
    {
        SetupWatchdog quick(&socket, 100000);
        EXPECT_FALSE(quick.expired());  // done in time: joins at once, nothing closed
    }
    SetupWatchdog dog(&socket, 5, [&] { return ++busyChecks < 3; });
    for (int i = 0; i < 2000 && !dog.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(dog.expired());
    EXPECT_EQ(busyChecks, 3);
}

TEST(ProtocolTUVOTest, PortMoveFollowsWithoutANewRequest) {
    Session s({"--caps", "0x8", "--move-port"});
    testing::internal::CaptureStdout();
    const bool ran = s.run() != nullptr;
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ran) << s.error;
    // Like the reconnection marker, the port-move marker has no line end of its own.
    EXPECT_NE(out.find("**********3*************"), std::string::npos) << out;
    EXPECT_EQ(out.find("**********3*************\n"), std::string::npos) << out;
    EXPECT_TRUE(s.tuvo->isSecure());
    EXPECT_EQ(s.socket->getPort(), s.app->movedPort());
    EXPECT_TRUE(s.heartbeatArrives());
    EXPECT_EQ(s.app->records("SessionRequest").size(), 1u);
    EXPECT_EQ(s.app->records("connect", "event").size(), 2u);
}

TEST(ProtocolTUVOTest, FirstTlsFailureRetriesOnceWithAFreshRequest) {
    {
        Session s({"--caps", "0x8", "--fail-tls", "1", "--tls-minimum", "TLSv1"});
        ASSERT_NE(s.run(), nullptr) << s.error;
        EXPECT_EQ(s.tuvo->getRetryCount(), 1);
        EXPECT_TRUE(s.tuvo->isSecure());
        auto requests = s.app->records("SessionRequest");
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(Field(requests[1], "capabilities"), "0x0008");  // the chosen mode is offered again
        EXPECT_NE(Field(requests[0], "random"), Field(requests[1], "random"));
        EXPECT_TRUE(s.heartbeatArrives());
    }
    {
        Session s({"--caps", "0x8", "--fail-tls", "2"});
        EXPECT_EQ(s.run(), nullptr);
        EXPECT_EQ(s.error, "");
        EXPECT_EQ(s.app->records("SessionRequest").size(), 2u);
    }
}

// The server asked for TLS; the handshake broke on the way; the retry's
// reply offers plain text. Clear text now would carry the password.
TEST(ProtocolTUVOTest, ATlsRetryNeverEndsInClearText) {
    struct Case {
        const char* retryCaps;
        bool callback;
        bool connects;  // through TLS
    };
    for (const Case& c : {Case{"0x1", false, false}, Case{"0x1", true, false}, Case{"0x9", true, true},
                          Case{"0x9", false, true}}) {
        SCOPED_TRACE(std::string("retry offers ") + c.retryCaps + (c.callback ? ", plain-text callback" : ""));
        auto app = std::make_unique<ApplianceProcess>(
            std::vector<std::string>{"--caps", "0x8", "--fail-tls", "1", "--retry-caps", c.retryCaps,
                                     "--tls-minimum", "TLSv1"});
        std::atomic<int> asked{0};
        ProtocolTUVO* self = nullptr;
        ProtocolTUVO::PlainTextCallback callback;
        if (c.callback)
            callback = [&](int) {
                ++asked;
                self->setPlainTextResponse(1);  // would accept clear text
            };
        VMConnectionInfo info;
        info.setConnectTimeout(5);
        ProtocolTUVO tuvo("127.0.0.1", 1, nullptr, app->port(), false, callback, 0);
        self = &tuvo;
        tuvo.setConnectionInfo(&info);
        ASocket* socket = nullptr;
        std::string error;
        try {
            socket = tuvo.getSocket(2);
        } catch (const char* e) {
            error = e;
        }
        EXPECT_EQ(asked, 0);
        ASSERT_TRUE(app->waitFor("SessionReply", 2, 5000, "out"));
        EXPECT_EQ(app->records("tls-refused", "event").size(), 1u);
        if (c.connects) {
            ASSERT_NE(socket, nullptr) << error;
            EXPECT_TRUE(socket->isSslActive());
            EXPECT_TRUE(tuvo.isSecure());
            EXPECT_EQ(tuvo.getCapabilities(), 8);
        } else {
            EXPECT_EQ(socket, nullptr);
            EXPECT_EQ(error, "Unable To Connect");
            EXPECT_EQ(tuvo.getCurrentSocket(), nullptr);
            EXPECT_TRUE(app->waitFor("close", 2, 5000, "event"));
            EXPECT_FALSE(tuvo.isSecure());
        }
    }
}

// Answers every certificate question with one answer and counts them.
class CountingPrompt : public CertificateCallbackInterface {
public:
    explicit CountingPrompt(int answer) : m_answer(answer) {}
    void CallbackCertificateSave(CertificatePrompt* prompt) override {
        ++calls;
        prompt->answer = m_answer;
    }
    std::atomic<int> calls{0};

private:
    int m_answer;
};

// One connect's set-up against the appliance: the socket, or the error text.
struct TlsSetup {
    TlsSetup(const ApplianceProcess& app, CertificateCallbackInterface* prompt)
        : tuvo("127.0.0.1", 1, prompt, app.port(), false, nullptr, 0) {
        info.setConnectTimeout(5);
        tuvo.setConnectionInfo(&info);
        try {
            socket = tuvo.getSocket(2);
        } catch (const char* e) {
            error = e;
        }
    }
    VMConnectionInfo info;
    ProtocolTUVO tuvo;
    ASocket* socket = nullptr;
    std::string error;
};

// Servers that speak only TLS 1.0, only 1.1, or both are reached by the first
// handshake, with one certificate question and one session request.
TEST(ProtocolTUVOTest, OldTlsServersAreReachedOnTheFirstAttempt) {
    struct Case {
        const char* minimum;
        const char* maximum;
        const char* protocol;
    };
    for (const Case& c : {Case{"TLSv1", "TLSv1", "TLSv1"}, Case{"TLSv1_1", "TLSv1_1", "TLSv1.1"},
                          Case{"TLSv1", "TLSv1_1", "TLSv1.1"}}) {
        SCOPED_TRACE(c.protocol);
        auto app = std::make_unique<ApplianceProcess>(
            std::vector<std::string>{"--caps", "0x8", "--tls-minimum", c.minimum, "--tls-maximum", c.maximum});
        CountingPrompt once(CertHandler::ANSWER_RUN_ONCE);
        TlsSetup setup(*app, &once);
        ASSERT_NE(setup.socket, nullptr) << setup.error;
        EXPECT_EQ(setup.tuvo.getRetryCount(), 0);
        EXPECT_EQ(setup.socket->getProtocolName(), c.protocol);
        EXPECT_EQ(once.calls, 1);
        EXPECT_EQ(app->records("SessionRequest").size(), 1u);
        EXPECT_TRUE(app->records("tls-refused", "event").empty());
    }
}

// The first handshake meets the certificate, then fails; the retry at TLS 1.0
// gets through. The user was asked once, and that answer holds for the retry
// of the same connect.
TEST(ProtocolTUVOTest, AnAnswerHoldsForTheTlsRetryOfTheSameConnect) {
    auto app = std::make_unique<ApplianceProcess>(
        std::vector<std::string>{"--caps", "0x8", "--tls-minimum", "TLSv1", "--fail-tls-late", "1"});
    CountingPrompt once(CertHandler::ANSWER_RUN_ONCE);
    TlsSetup setup(*app, &once);
    ASSERT_NE(setup.socket, nullptr) << setup.error;
    EXPECT_EQ(setup.tuvo.getRetryCount(), 1);
    EXPECT_EQ(setup.socket->getProtocolName(), "TLSv1");
    EXPECT_EQ(once.calls, 1);
    EXPECT_EQ(app->records("SessionRequest").size(), 2u);
    EXPECT_EQ(app->records("tls-refused-late", "event").size(), 1u);
    // Known for the retry only: nothing points at this connect's certificate.
    EXPECT_EQ(CertHandler::getKnownCertificate(), nullptr);

    // A new connect asks again.
    auto again = std::make_unique<ApplianceProcess>(
        std::vector<std::string>{"--caps", "0x8", "--tls-minimum", "TLSv1", "--fail-tls-late", "1"});
    CountingPrompt second(CertHandler::ANSWER_RUN_ONCE);
    TlsSetup next(*again, &second);
    ASSERT_NE(next.socket, nullptr) << next.error;
    EXPECT_EQ(second.calls, 1);
}

TEST(ProtocolTUVOTest, ReconnectionCarriesTheSessionId) {
    struct Case {
        int method;
        const char* name;
        const char* timeouts;
    };
    for (const Case& c : {Case{1, "SessionRequestEx", "0/20"}, Case{2, "SessionRequest", "180/0"}}) {
        SCOPED_TRACE(c.method);
        Session s({"--caps", "0x8", "--reply-type", "0x8101"});
        s.info.setSessionProxy(1, 7);  // a reconnection runs no proxy handshake
        try {
            s.socket = s.tuvo->getSocketReconnect(c.method, 0x1234);
        } catch (const char* e) {
            s.error = e;
        }
        ASSERT_NE(s.socket, nullptr) << s.error;
        EXPECT_TRUE(s.tuvo->isReconnectCapable());
        ASSERT_TRUE(s.app->waitFor(c.name));
        std::string req = s.app->records(c.name)[0];
        EXPECT_EQ(Field(req, "session_id"), "4660");
        EXPECT_EQ(Field(req, "timeout1") + "/" + Field(req, "timeout2"), c.timeouts);
        EXPECT_EQ(s.app->records("ProxyRequest").size(), 0u);
        EXPECT_TRUE(s.heartbeatArrives());
    }
}

TEST(ProtocolTUVOTest, ProxyHandshakeComesFirst) {
    Session s({"--caps", "0x1"});
    s.info.setSessionProxy(1, 1);
    ASSERT_NE(s.run(), nullptr) << s.error;
    auto proxy = s.app->records("ProxyRequest");
    ASSERT_EQ(proxy.size(), 1u);
    EXPECT_EQ(Field(proxy[0], "session"), "1");
    EXPECT_EQ(Field(proxy[0], "tail"), "ff0d");
}

TEST(ProtocolTUVOTest, UnreachablePortIsAnErrorBeforeAnythingIsWritten) {
    int closedPort;
    {
        ApplianceProcess gone({});
        closedPort = gone.port();
    }
    ProtocolTUVO tuvo("127.0.0.1", 1, nullptr, closedPort, false, nullptr, 0);
    EXPECT_THROW(tuvo.getSocket(2), const char*);
    EXPECT_EQ(tuvo.getCurrentSocket(), nullptr);

    ProtocolTUVO cancelled("127.0.0.1", 1, nullptr, closedPort, false, nullptr, 0);
    cancelled.setCancelConnect(true);
    EXPECT_EQ(cancelled.getSocket(2), nullptr);
}

TEST(ProtocolTUVOTest, PlainTextNeedsTheApplicationsConsent) {
    for (int answer : {0, 1}) {
        SCOPED_TRACE(answer);
        auto app = std::make_unique<ApplianceProcess>(std::vector<std::string>{"--caps", "0x1"});
        std::atomic<int> asked{0};
        ProtocolTUVO* self = nullptr;
        ProtocolTUVO tuvo(
            "127.0.0.1", 1, nullptr, app->port(), false,
            [&](int code) {
                asked = code + 1;
                self->setPlainTextResponse(answer);
            },
            0);
        self = &tuvo;
        EXPECT_EQ(tuvo.getPlainTextWaitSeconds(), 25);
        ASocket* socket = tuvo.getSocket(2);
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(socket != nullptr, answer == 1);
        EXPECT_EQ(tuvo.isCancelled(), answer == 0);
    }
}

TEST(ProtocolTUVOTest, FillRandomIsNotRepeated) {
    uint8_t a[32] = {}, b[32] = {};
    ProtocolTUVO::fillRandom(32, a);
    ProtocolTUVO::fillRandom(32, b);
    EXPECT_NE(std::string(a, a + 32), std::string(b, b + 32));
}

}  // namespace
