// How a connect that does not end in a working session leaves the facade:
// nothing running, the state disconnected, the server's connection closed,
// and the same facade able to connect again. Against the fake appliance.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ApplianceProcess.h"
#include "SessionTestSupport.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ZELKSession.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"
#include "support/Eventually.h"
#include "session/FacadeSettings.h"

using namespace sessiontest;

namespace {

constexpr double kScale = 0.25;

// Every code with the connection state the facade reported at that moment.
std::mutex g_mutex;
std::vector<std::pair<int, int>> g_events;
void Recording(int code) {
    RP_VMAPI_LIB* lib = g_lib.load();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.emplace_back(code, lib ? lib->getConnectionStatus() : 0);
}
std::vector<std::pair<int, int>> Events() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}
bool Seen(int code) {
    for (const auto& e : Events())
        if (e.first == code) return true;
    return false;
}

// A connect running on its own thread.
struct Connecting {
    std::atomic<int> result{0};
    std::atomic<bool> done{false};
    std::thread thread;
    Connecting(RP_VMAPI_LIB& lib, VMConnectionInfo& s, RP_VMAPI_LIB::Callback cb) {
        thread = std::thread([&lib, &s, cb, this] {
            result = lib.connect(&s, cb);
            done = true;
        });
    }
    ~Connecting() {
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

class SessionEnd : public testing::Test {
protected:
    void SetUp() override { reset(); }
    static void reset() {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_events.clear();
    }
    ClockScale scale{kScale};
};

TEST_F(SessionEnd, ARefusedLoginLeavesNothingRunning) {
    for (bool withCallback : {false, true}) {
        SCOPED_TRACE(withCallback ? "callback" : "callback-less");
        reset();
        ApplianceProcess app("{\"login_status\": [2, 2, 0]}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_DEFAULT);
        RP_VMAPI_LIB::Callback cb = withCallback ? &Recording : nullptr;
        testing::internal::CaptureStdout();
        EXPECT_EQ(lib.connect(&s, cb), withCallback ? VMConstants::API_SUCCESS : VMConstants::API_ERROR);
        // Callback-less the stop is done when connect returns; with a
        // callback the answer comes later and ends the session by itself.
        if (withCallback) {
            EXPECT_TRUE(Eventually([&] { return Seen(VMConstants::SESSION_CLOSED); }));
        }
        EXPECT_TRUE(Eventually([&] { return lib.isSessionRunning() == 0; }));
        lib.waitWhileSessionRunning();
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
        ASSERT_TRUE(st);
        // The refusal stays the reason the session ended.
        EXPECT_EQ(st->getStatus(), VMSessionStatus::LOGIN_FAILED_INVALID_PASSWORD);
        // The client closed the server's connection (the facade still lives).
        EXPECT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
        // The same facade tries again without a disconnect in between.
        EXPECT_EQ(lib.connect(&s, cb), withCallback ? VMConstants::API_SUCCESS : VMConstants::API_ERROR);
        EXPECT_TRUE(Eventually([&] { return lib.isSessionRunning() == 0; }));
        EXPECT_EQ(lib.connect(&s, cb), VMConstants::API_SUCCESS);
        EXPECT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
        EXPECT_EQ(lib.isSessionRunning(), 1);
        EXPECT_EQ(app.received("LoginMessage").size(), 3u);
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(SessionEnd, AFailedConnectAnnouncesTheStateBeforeTheSessionClosed) {
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(twtest::DeadPort(), VMConnectionInfo::VM_STYLE_DEFAULT);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, &Recording), VMConstants::API_ERROR);
    testing::internal::GetCapturedStdout();
    std::vector<std::pair<int, int>> events = Events();
    ASSERT_FALSE(events.empty());
    // 999 comes last, once the state already says disconnected, right after
    // the announcement of that state.
    EXPECT_EQ(events.back().first, VMConstants::SESSION_CLOSED);
    EXPECT_EQ(events.back().second, VMConstants::VMAPI_DISCONNECTED);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].first, VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE);
    EXPECT_EQ(events[events.size() - 2].second, VMConstants::VMAPI_DISCONNECTED);
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const auto& e) { return e.first == VMConstants::SESSION_CLOSED; }),
              1);
}

TEST_F(SessionEnd, ACancelAfterTheSetUpClosesTheServersConnection) {
    ApplianceProcess app("{\"answer_login\": false}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_MOSKA);
    s.setConnectTimeout(400);  // only the cancel can end the login wait
    testing::internal::CaptureStdout();
    {
        Connecting c(lib, s, nullptr);
        ASSERT_TRUE(app.waitFor("LoginMessage"));
        EXPECT_EQ(lib.cancelConnect(), VMConstants::API_SUCCESS);
        ASSERT_TRUE(Eventually([&] { return c.done.load(); }));
        EXPECT_EQ(c.result.load(), VMConstants::API_CANCELLED);
    }
    // Closed now, not when the session object goes.
    EXPECT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_TRUE(app.received("SessionClose").empty());
    testing::internal::GetCapturedStdout();
}

namespace {
// Records, and never answers a certificate question.
void NeverAnswers(int code) { Recording(code); }
}  // namespace

TEST_F(SessionEnd, APendingCertificateQuestionEndsWithACancelOrAStop) {
    struct {
        bool withCallback;
        bool byDisconnect;
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.withCallback ? "callback" : "callback-less")
                                        << (c.byDisconnect ? ", disconnect" : ", cancelConnect"));
        reset();
        ApplianceProcess app("{\"capabilities\": 8}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_DEFAULT);
        // Unanswered, the question would stand for 4 x 200 library seconds.
        s.setConnectTimeout(200);
        testing::internal::CaptureStdout();
        {
            Connecting connecting(lib, s, c.withCallback ? &NeverAnswers : nullptr);
            ASSERT_TRUE(Eventually([&] {
                std::shared_ptr<ZELKSession> session = lib.sessionRef();
                return session && session->getPromptState() == 1;
            }));
            if (c.byDisconnect)
                EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
            else
                EXPECT_EQ(lib.cancelConnect(), VMConstants::API_SUCCESS);
            ASSERT_TRUE(Eventually([&] { return connecting.done.load(); }));
            EXPECT_EQ(connecting.result.load(), VMConstants::API_CANCELLED);
        }
        if (c.withCallback) {
            EXPECT_TRUE(Seen(VMConstants::CERTIFICATE_RETURNED));
        }
        EXPECT_TRUE(app.received("LoginMessage").empty());
        EXPECT_EQ(lib.isSessionRunning(), 0);
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(SessionEnd, AClearTextReconnectBitWithoutAReconnectionIsIgnored) {
    twtest::TempDir dir;
    twtest::writeFile(dir.file("cd.iso"), std::string(2048 * 8, 'c'));
    const std::string isoPath = dir.file("cd.iso");
    const std::wstring iso(isoPath.begin(), isoPath.end());
    struct {
        int caps;
        bool withCallback;
    } cases[] = {{0x0801, false}, {0x0808, false}, {0x0801, true}, {0x0808, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "caps " << c.caps << (c.withCallback ? " callback" : " callback-less"));
        reset();
        ApplianceProcess app("{\"capabilities\": " + std::to_string(c.caps) + "}");
        RP_VMAPI_LIB lib;
        // The default style (certificate questions) answers through the
        // callback; callback-less the console style accepts the certificate.
        VMConnectionInfo s = FacadeSettings(app.port(), c.withCallback ? VMConnectionInfo::VM_STYLE_DEFAULT
                                                                 : VMConnectionInfo::VM_STYLE_MOSKA);
        testing::internal::CaptureStdout();
        if (c.withCallback) {
            ASSERT_EQ(lib.connect(&s, [](int code) {
                Recording(code);
                if (code == VMConstants::CERTIFICATE_RETURNED)
                    if (RP_VMAPI_LIB* l = g_lib.load()) l->getSession()->setCertificateResponse(0);
            }),
                      VMConstants::API_SUCCESS);
            EXPECT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
            // The default style asks for the drives after its login.
            EXPECT_TRUE(Eventually([] { return Seen(VMConstants::DRIVE_LIST_UPDATE); }));
        } else {
            ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
            EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
            EXPECT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
            std::unique_ptr<VMLocalDrive> drive(lib.getLocalDriveObject(iso.c_str(), true));
            ASSERT_TRUE(drive);
            EXPECT_EQ(lib.mapDrive(drive->getDriveId()), VMConstants::API_SUCCESS);
            EXPECT_TRUE(app.waitFor("VDiskRequest"));
        }
        EXPECT_TRUE(app.waitFor("GetVDiskInfo"));
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}
