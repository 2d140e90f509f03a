// A reconnection that cannot succeed ends the session: every thread leaves,
// the facade reports the session gone and connects again. Against the fake
// appliance over TLS with library time running fast.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "api/VMSessionStatus.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ApplianceProcess.h"
#include "session/ReceiveThread.h"
#include "session/ReconnectThread.h"
#include "session/SendThread.h"
#include "session/SessionRig.h"
#include "session/SessionTestSupport.h"
#include "session/ZELKSession.h"
#include "support/Eventually.h"

using namespace sessiontest;

namespace {

constexpr double kFast = 0.02;

std::string Json(const std::string& more = "") {
    std::string j = "{\"factory\": \"reconnect:ReconnectingAppliance\", \"heartbeat_interval\": 0.2, "
                    "\"capabilities\": 1544";  // 0x0608: TLS, reconnection offered
    if (!more.empty()) j += ", " + more;
    return j + "}";
}

VMConnectionInfo Settings(int port) {
    VMConnectionInfo s;
    s.setIpAddress("127.0.0.1");
    s.setPort(port);
    s.setUserId("admin");
    s.setPassword("secret");
    s.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    s.setReconnectTimeout(12);
    s.setConnectTimeout(250);
    return s;
}

std::mutex g_mutex;
std::vector<int> g_codes;
// While armed, the first 200 blocks the thread that delivers it until released.
std::mutex g_blockMutex;
std::condition_variable g_blockChanged;
bool g_blockArmed = false;
bool g_blocked = false;
bool g_release = false;

void AppCallback(int code) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_codes.push_back(code);
    }
    if (code != VMConstants::SESSION_STATUS) return;
    std::unique_lock<std::mutex> lock(g_blockMutex);
    if (!g_blockArmed) return;
    g_blockArmed = false;
    g_blocked = true;
    g_blockChanged.notify_all();
    g_blockChanged.wait_for(lock, std::chrono::seconds(60), [] { return g_release; });
}
void ReleaseBlock() {
    std::lock_guard<std::mutex> lock(g_blockMutex);
    g_release = true;
    g_blockChanged.notify_all();
}
bool HasCode(int code) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::find(g_codes.begin(), g_codes.end(), code) != g_codes.end();
}

int CountEvents(ApplianceProcess& app, const std::string& name, int conn = -1) {
    int n = 0;
    for (const Record& r : app.records())
        if (r.direction == "event" && r.name == name && (conn == -1 || r.conn == conn)) ++n;
    return n;
}

}  // namespace

class FailedReconnection : public testing::Test {
protected:
    void SetUp() override { reset(); }
    static void reset() {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_codes.clear();
        }
        std::lock_guard<std::mutex> lock(g_blockMutex);
        g_blockArmed = g_blocked = g_release = false;
    }
    ClockScale scale{kFast};
};

TEST_F(FailedReconnection, EndsTheSessionInBothFacadeModes) {
    struct {
        const char* name;
        std::string settings;
        bool hasPair;
    } faults[] = {
        {"every resume refused", "\"refuse_all\": true", true},
        {"one-time login refused", "\"login_status\": [0, 2, 0]", true},
        {"no one-time pair", "\"refuse_otp\": true", false},
    };
    for (const auto& f : faults) {
        for (bool withCallback : {true, false}) {
            SCOPED_TRACE(testing::Message() << f.name << (withCallback ? ", callback" : ", callback-less"));
            reset();
            ApplianceProcess app(Json(f.settings));
            RP_VMAPI_LIB lib;
            VMConnectionInfo s = Settings(app.port());
            RP_VMAPI_LIB::Callback cb = withCallback ? &AppCallback : nullptr;
            testing::internal::CaptureStdout();
            ASSERT_EQ(lib.connect(&s, cb), VMConstants::API_SUCCESS);
            ReceiveThread* receive = nullptr;
            SendThread* send = nullptr;
            {
                std::shared_ptr<ZELKSession> session = lib.sessionRef();
                ASSERT_TRUE(session);
                ASSERT_TRUE(Eventually([&] { return session->getReconnectThread() != nullptr; }));
                if (f.hasPair)
                    ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value(); }));
                else
                    ASSERT_TRUE(app.waitFor("OTPRequest"));
                receive = session->getReceiveThread();
                send = session->getSendThread();
            }
            ASSERT_TRUE(app.drop());
            // Ends by itself, within the bounds of the reconnection.
            std::atomic<bool> waited{false};
            std::thread waiter([&] {
                lib.waitWhileSessionRunning();
                waited = true;
            });
            EXPECT_TRUE(Eventually([&] { return waited.load(); }, 60000));
            if (!waited.load()) lib.disconnect();
            waiter.join();
            EXPECT_EQ(lib.isSessionRunning(), 0);
            EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
            {
                std::shared_ptr<ZELKSession> session = lib.sessionRef();
                ASSERT_TRUE(session);
                // The old session is still attached: its threads have left.
                EXPECT_EQ(session->getReceiveThread(), receive);
                EXPECT_FALSE(receive->isRunning());
                EXPECT_FALSE(send->isRunning());
                EXPECT_TRUE(Eventually([&] { return !session->getReconnectThread()->isRunning(); }));
            }
            if (withCallback) {
                EXPECT_TRUE(HasCode(VMConstants::SESSION_CLOSED));
            }
            // The same facade connects again, without a disconnect first.
            EXPECT_EQ(lib.connect(&s, cb), VMConstants::API_SUCCESS);
            EXPECT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
            EXPECT_EQ(lib.isSessionRunning(), 1);
            EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
            testing::internal::GetCapturedStdout();
        }
    }
}

TEST_F(FailedReconnection, AHandlerStillBusyStopsTheReconnection) {
    ApplianceProcess app(Json());
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, &AppCallback), VMConstants::API_SUCCESS);
    {
        std::shared_ptr<ZELKSession> session = lib.sessionRef();
        ASSERT_TRUE(session);
        ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value() && session->getSessionId() != -1; }));
    }
    {
        std::lock_guard<std::mutex> lock(g_blockMutex);
        g_blockArmed = true;
    }
    // The server's disconnect notice reaches the application's callback on
    // the receive thread, which the callback then holds: nothing is read
    // any more, and the silence starts a reconnection.
    ASSERT_TRUE(app.send("disconnect", "[6, false, 3, \"kvm\"]"));
    {
        std::unique_lock<std::mutex> lock(g_blockMutex);
        ASSERT_TRUE(g_blockChanged.wait_for(lock, std::chrono::seconds(20), [] { return g_blocked; }));
    }
    EXPECT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_FAILED); }));
    // No new connection while the old one's handler may still answer.
    EXPECT_EQ(CountEvents(app, "resume"), 0);
    ReleaseBlock();
    EXPECT_TRUE(Eventually([&] { return lib.isSessionRunning() == 0; }));
    EXPECT_EQ(CountEvents(app, "resume"), 0);
    EXPECT_EQ(app.received("LoginMessage").size(), 1u);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}

TEST_F(FailedReconnection, AStopCallsOffTheAttemptsSetUp) {
    ApplianceProcess app(Json("\"resume_delay\": 2.0"));
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, &AppCallback), VMConstants::API_SUCCESS);
    {
        std::shared_ptr<ZELKSession> session = lib.sessionRef();
        ASSERT_TRUE(session);
        ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value() && session->getSessionId() != -1; }));
    }
    ASSERT_TRUE(app.drop());
    Record resume;
    ASSERT_TRUE(app.waitFor("resume", &resume, 1, 30, "event"));
    // The attempt waits for the server's answer; the stop comes meanwhile.
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return CountEvents(app, "close", resume.conn) > 0; }));
    // The answer came, and the called-off set-up went no further.
    EXPECT_EQ(CountEvents(app, "resume-answered", resume.conn), 1);
    EXPECT_EQ(CountEvents(app, "tls", resume.conn), 0);
    EXPECT_EQ(app.received("LoginMessage").size(), 1u);
    EXPECT_EQ(lib.isSessionRunning(), 0);
    testing::internal::GetCapturedStdout();
}

TEST_F(FailedReconnection, ACalledOffReconnectionAnnouncesNothing) {
    Rig rig(VMConnectionInfo::VM_STYLE_MOSKA);
    rig.session->setOTPCredentials("otpuser", "otppass");
    rig.session->setSessionId(7);
    rig.session->cancelReconnect();
    testing::internal::CaptureStdout();
    EXPECT_EQ(rig.session->reconnect(), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Connection Dropped"), std::string::npos) << out;
    std::vector<int> codes = CallbackLog::get(0);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), VMSessionStatus::RECONNECTING), 0);
    EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_CONNECTED);
    EXPECT_FALSE(rig.session->isReconnecting());
}

TEST_F(FailedReconnection, AnyRefusalOfTheOneTimeLoginEndsTheSession) {
    // Statuses a first login leaves to the application (in use, or may be
    // preempted): after a drop nobody would answer them.
    for (int status : {VMSessionStatus::LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER,
                       VMSessionStatus::LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT}) {
        for (bool withCallback : {true, false}) {
            SCOPED_TRACE(testing::Message() << "status " << status << (withCallback ? ", callback" : ", callback-less"));
            reset();
            ApplianceProcess app(Json("\"login_status\": [0, " + std::to_string(status) + "]"));
            RP_VMAPI_LIB lib;
            VMConnectionInfo s = Settings(app.port());
            // Far beyond the test: only the refusal itself can end the session.
            s.setConnectTimeout(100000);
            testing::internal::CaptureStdout();
            ASSERT_EQ(lib.connect(&s, withCallback ? &AppCallback : nullptr), VMConstants::API_SUCCESS);
            {
                std::shared_ptr<ZELKSession> session = lib.sessionRef();
                ASSERT_TRUE(session);
                ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value() && session->getSessionId() != -1; }));
            }
            ASSERT_TRUE(app.drop());
            ASSERT_TRUE(app.waitFor("LoginMessage", nullptr, 2, 30));
            EXPECT_TRUE(Eventually([&] { return lib.isSessionRunning() == 0; }, 30000));
            EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
            // The refusal stays the session's status: it tells why it ended.
            std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
            ASSERT_TRUE(st);
            EXPECT_EQ(st->getStatus(), status);
            EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
            testing::internal::GetCapturedStdout();
        }
    }
}
