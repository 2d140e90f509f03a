// The facade and session against the fake appliance over loopback.
#include <gtest/gtest.h>


#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "ApplianceProcess.h"
#include "api/VMCertificateInfo.h"
#include "SessionTestSupport.h"
#include "api/VMRemoteDrive.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
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

std::string Json(const char* kind, bool tls, const std::string& more = "") {
    std::string j = std::string("{\"capabilities\": ") + (tls ? "8" : "1");
    if (!more.empty()) j += ", " + more;
    (void)kind;
    return j + "}";
}

// Maps an image file to the remote drive with this id, as a map request
// leaves the pair (the mapping requests themselves are not part of these tests).
void MapImage(RP_VMAPI_LIB& lib, const std::string& path, int remoteId) {
    std::shared_ptr<VMDriveList> list = lib.driveListRef();
    std::shared_ptr<ZELKSession> session = lib.sessionRef();
    ASSERT_TRUE(list && session);
    std::lock_guard<std::recursive_mutex> lock(session->getMappingMutex());
    auto* ld = new VMLocalDrive(std::wstring(path.begin(), path.end()).c_str());
    const int id = list->addLocalDrive(ld);
    ld = list->getLocalDriveByID(id);
    VMRemoteDrive* rd = list->getRemoteDriveByID(remoteId);
    ASSERT_TRUE(ld && rd);
    ld->setFileHandle(VMIO::OpenFile(ld->getPath(), false));
    ld->setMappedTo(remoteId);
    rd->setMappedTo(ld->getDriveId());
    rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    session->incrementNumMaps();
}

// Index of the first record matching, or -1.
int IndexOf(const std::vector<Record>& rs, const std::string& direction, const std::string& name, int param = -2) {
    for (size_t i = 0; i < rs.size(); ++i)
        if (rs[i].direction == direction && rs[i].name == name && (param == -2 || rs[i].param == param))
            return int(i);
    return -1;
}

std::atomic<int> g_lastCode{0};
std::vector<int> g_codes;
std::mutex g_codesMutex;
void AppCallback(int code) {
    std::lock_guard<std::mutex> lock(g_codesMutex);
    g_codes.push_back(code);
    g_lastCode.store(code);
}
std::vector<int> Codes() {
    std::lock_guard<std::mutex> lock(g_codesMutex);
    return g_codes;
}
std::atomic<int> g_certAnswer{0};
void CertAnsweringCallback(int code) {
    AppCallback(code);
    if (code == VMConstants::CERTIFICATE_RETURNED)
        if (RP_VMAPI_LIB* lib = g_lib.load()) lib->getSession()->setCertificateResponse(g_certAnswer.load());
}

}  // namespace

class FacadeAppliance : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_codesMutex);
        g_codes.clear();
    }
    ClockScale scale{kScale};
};

TEST_F(FacadeAppliance, CallbackLessLoginOutcomes) {
    struct {
        bool tls;
        int loginStatus;
        int result;
        int state;
    } cases[] = {
        {false, 0, VMConstants::API_SUCCESS, VMConstants::VMAPI_CONNECTED},
        {true, 0, VMConstants::API_SUCCESS, VMConstants::VMAPI_CONNECTED},
        {false, 2, VMConstants::API_ERROR, VMConstants::VMAPI_DISCONNECTED},
        {true, 2, VMConstants::API_ERROR, VMConstants::VMAPI_DISCONNECTED},
        {false, 8, VMConstants::API_ERROR, VMConstants::VMAPI_DISCONNECTED},
        {false, 11, VMConstants::API_ERROR, VMConstants::VMAPI_DISCONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "tls " << c.tls << " status " << c.loginStatus);
        ApplianceProcess app(Json("", c.tls, "\"login_status\": " + std::to_string(c.loginStatus)));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port());
        testing::internal::CaptureStdout();
        EXPECT_EQ(lib.connect(&s, nullptr), c.result);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(" Connecting to: 127.0.0.1 at port " + std::to_string(app.port()) + "\n"),
                  std::string::npos);
        EXPECT_EQ(lib.getConnectionStatus(), c.state);
        std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
        ASSERT_TRUE(st);
        EXPECT_EQ(st->getStatus(), c.loginStatus);
        EXPECT_EQ(st->isEncrypted(), c.tls ? 1 : 0);
        Record login;
        ASSERT_TRUE(app.waitFor("LoginMessage", &login));
        EXPECT_EQ(login.type, 0x0104);
        EXPECT_EQ(login.text("user"), "admin");
        EXPECT_EQ(login.text("password"), "secret");
        EXPECT_EQ(login.field("preempt"), 0);
        // The console style asks for drives itself, the login does not.
        EXPECT_TRUE(app.received("GetVDiskInfo").empty());
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        EXPECT_EQ(lib.isSessionRunning(), 0);
    }
}

TEST_F(FacadeAppliance, LoginFormFollowsTheServersVersion) {
    ApplianceProcess app("{\"zelk_minor\": 13}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    Record login;
    ASSERT_TRUE(app.waitFor("LoginMessage", &login));
    EXPECT_EQ(login.type, 0x0100);
    EXPECT_EQ(login.text("user"), "admin");
    lib.disconnect();
}

TEST_F(FacadeAppliance, UnansweredLoginTimesOut) {
    ApplianceProcess app("{\"answer_login\": false}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    s.setConnectTimeout(4);
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_TIMEOUT);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    testing::internal::GetCapturedStdout();
    EXPECT_LT(took, 4 * kScale + 5);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
}

TEST_F(FacadeAppliance, NothingListening) {
    const int port = twtest::DeadPort();
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(port);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_ERROR);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
}

TEST_F(FacadeAppliance, PreemptedLoginIsRetriedWithThePreemptFlag) {
    ApplianceProcess app("{\"login_status\": [6, 0]}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    std::vector<Record> logins = app.received("LoginMessage");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].field("preempt"), 0);
    EXPECT_EQ(logins[1].field("preempt"), 1);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
    lib.disconnect();
}

TEST_F(FacadeAppliance, CallbackModeReportsEveryEvent) {
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_DEFAULT);
    EXPECT_EQ(lib.connect(&s, &AppCallback), VMConstants::API_SUCCESS);
    // The login answer comes later, through the callback; the default style
    // then asks for the drive list itself.
    ASSERT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
    ASSERT_TRUE(Eventually([&] {
        std::vector<int> c = Codes();
        return std::count(c.begin(), c.end(), VMConstants::DRIVE_LIST_UPDATE) > 0;
    }));
    std::vector<int> codes = Codes();
    auto first200 = std::find(codes.begin(), codes.end(), VMConstants::SESSION_STATUS);
    ASSERT_NE(first200, codes.end());
    // A state change is announced before the event that caused it is passed on.
    EXPECT_NE(std::find(codes.begin(), first200, VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE), first200);
    ASSERT_EQ(app.received("GetVDiskInfo").size(), 1u);
    std::shared_ptr<VMDriveList> list = lib.driveListRef();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->getNumberOfRemoteDrives(), 2);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    codes = Codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), VMConstants::SESSION_CLOSED), 1);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
}

TEST_F(FacadeAppliance, DriveListIsMergedByPosition) {
    ApplianceProcess app("{\"drives\": [[2, 0], [9, 0], [4, 0]]}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    EXPECT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    Record req;
    ASSERT_TRUE(app.waitFor("GetVDiskInfo", &req));
    EXPECT_EQ(req.param, 0xFFFF);
    std::unique_ptr<VMDriveList> copy(lib.getDriveList());
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->getNumberOfRemoteDrives(), 2);
    EXPECT_EQ(copy->getRemoteDriveAt(0)->getDriveId(), 0);
    EXPECT_EQ(copy->getRemoteDriveAt(0)->getRemoteDriveType(), VMRemoteDrive::REMOTE_DRIVE_IS_CD);
    EXPECT_EQ(copy->getRemoteDriveAt(1)->getDriveId(), 2);
    EXPECT_EQ(copy->getRemoteDriveAt(1)->getRemoteDriveType(), VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY);
    lib.disconnect();
}

TEST_F(FacadeAppliance, ServerDisconnectIsReportedNotActedOn) {
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.send("disconnect", "[6, false, 3, \"kvm\"]"));
    // Packets are handled in order: once the heartbeat is answered, the
    // disconnect has been handled.
    ASSERT_TRUE(app.send("heartbeat"));
    ASSERT_TRUE(app.waitFor("Heartbeat"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Disconnect due to KVM lock\n");
    std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
    EXPECT_EQ(st->getDisconnectReason(), 6);
    EXPECT_EQ(st->getDisconnectTimeout(), 3);
    EXPECT_EQ(lib.isSessionRunning(), 1);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
    lib.disconnect();
}

TEST_F(FacadeAppliance, ServerReleasingTheLastDriveEndsTheSession) {
    twtest::TempDir dir;
    twtest::writeFile(dir.file("cd.iso"), std::string(2048 * 8, 'c'));
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    MapImage(lib, dir.file("cd.iso"), 0);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(app.send("server_release", "[0]"));
    Record release;
    ASSERT_TRUE(app.waitFor("VDiskRelease", &release));
    EXPECT_EQ(release.param, 0);
    // The session ends by itself, on its own receive thread.
    lib.waitWhileSessionRunning();
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n" + dir.file("cd.iso") + " Released.\n\nAll Virtual Media Released.\nTerminating.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    // The facade connects again with a fresh session.
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lib.isSessionRunning(), 1);
    EXPECT_TRUE(app.waitFor("LoginMessage", nullptr, 2));
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
}

TEST_F(FacadeAppliance, DisconnectReleasesMappedDrivesBeforeClosing) {
    twtest::TempDir dir;
    twtest::writeFile(dir.file("a.iso"), std::string(2048 * 8, 'a'));
    twtest::writeFile(dir.file("b.img"), std::string(512 * 16, 'b'));
    ApplianceProcess app("{\"drives\": [[2, 0], [4, 0], [1, 0]]}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    MapImage(lib, dir.file("a.iso"), 0);
    MapImage(lib, dir.file("b.img"), 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nAll drives released.");
    ASSERT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
    std::vector<Record> rs = app.records();
    const int closed = IndexOf(rs, "event", "close");
    const int first = IndexOf(rs, "in", "VDiskRelease", 0);
    const int second = IndexOf(rs, "in", "VDiskRelease", 2);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_LT(first, closed);
    EXPECT_LT(second, closed);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
}

TEST_F(FacadeAppliance, ServerHeartbeatsAreAnswered) {
    // Real time: the client's own heartbeat is 10 s away, and every answer
    // moves it further.
    ClockScale real(1.0);
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(app.send("heartbeat"));
        Record hb;
        ASSERT_TRUE(app.waitFor("Heartbeat", &hb, i));
        // Session-layer framing: the server speaks TUVO 1.3 and negotiated a timeout.
        EXPECT_EQ(hb.text("magic"), "TUVO");
    }
    EXPECT_EQ(app.received("Heartbeat").size(), 3u);
    lib.disconnect();
}

TEST_F(FacadeAppliance, IdleSessionsSendHeartbeats) {
    ClockScale fast(0.02);
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    s.setConnectTimeout(500);
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(app.waitFor("Heartbeat", nullptr, 2, 20));
    lib.disconnect();
}

TEST_F(FacadeAppliance, ADeadConnectionEndsTheSession) {
    ClockScale fast(0.01);
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    s.setConnectTimeout(2000);
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    ASSERT_TRUE(app.drop());
    lib.waitWhileSessionRunning();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error: Socket Closed by peer reading header.\n"), std::string::npos) << out;
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    std::unique_ptr<VMSessionStatus> st(lib.getSessionStatus());
    ASSERT_TRUE(st);
    // Two watchers see a dead connection about 30 library seconds after it
    // died: the 31st failed read (reason 999) and the silence check (a server
    // timeout, 7). Which reports last depends on the scheduler; either is true.
    const int reason = st->getDisconnectReason();
    EXPECT_TRUE(reason == 999 || reason == VMSessionStatus::REASON_SERVER_TIMEOUT) << reason;
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
}

TEST_F(FacadeAppliance, ConnectAndDisconnectRules) {
    ApplianceProcess app("{}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    // A second connect leaves the running session alone.
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_INVALID_STATE);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
    EXPECT_EQ(lib.isSessionRunning(), 1);
    EXPECT_EQ(lib.cancelConnect(), VMConstants::API_INVALID_STATE);
    // Two disconnects at once: one teardown, both return when it is done.
    std::atomic<int> results{0};
    std::thread other([&] { results += lib.disconnect() == VMConstants::API_SUCCESS; });
    results += lib.disconnect() == VMConstants::API_SUCCESS;
    other.join();
    EXPECT_EQ(results.load(), 2);
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    // The same facade connects again.
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(app.waitFor("LoginMessage", nullptr, 2));
    lib.disconnect();
}

TEST_F(FacadeAppliance, CertificateQuestionAnsweredByTheApplication) {
    struct {
        int answer;
        int result;
    } cases[] = {{0, VMConstants::API_SUCCESS}, {2, VMConstants::API_CANCELLED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        {
            std::lock_guard<std::mutex> lock(g_codesMutex);
            g_codes.clear();
        }
        g_certAnswer = c.answer;
        ApplianceProcess app("{\"capabilities\": 8}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_DEFAULT);
        testing::internal::CaptureStdout();
        EXPECT_EQ(lib.connect(&s, &CertAnsweringCallback), c.result);
        testing::internal::GetCapturedStdout();
        std::vector<int> codes = Codes();
        EXPECT_NE(std::find(codes.begin(), codes.end(), VMConstants::CERTIFICATE_RETURNED), codes.end());
        ASSERT_NE(lib.getCertificateInfo(), nullptr);
        EXPECT_NE(lib.getCertificateInfo()->getSubject(), nullptr);
        if (c.result == VMConstants::API_SUCCESS) {
            EXPECT_TRUE(app.waitFor("LoginMessage"));
        } else {
            EXPECT_EQ(std::count(codes.begin(), codes.end(), VMConstants::SESSION_CLOSED), 1);
            EXPECT_TRUE(app.received("LoginMessage").empty());
        }
        lib.disconnect();
    }
}

TEST_F(FacadeAppliance, DisconnectDuringALoginWaitEndsBoth) {
    ApplianceProcess app("{\"answer_login\": false}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    s.setConnectTimeout(400);  // far beyond the test: only the disconnect can end the wait
    testing::internal::CaptureStdout();
    std::atomic<int> result{0};
    std::thread connecting([&] { result = lib.connect(&s, nullptr); });
    ASSERT_TRUE(app.waitFor("LoginMessage"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    connecting.join();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    testing::internal::GetCapturedStdout();
    EXPECT_LT(took, 30.0);
    EXPECT_NE(result.load(), VMConstants::API_SUCCESS);
    EXPECT_EQ(lib.isSessionRunning(), 0);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
}
