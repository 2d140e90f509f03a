// What a connect, a stop and a disconnect leave behind, and what a second
// caller meets while another call is under way.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "facade/FacadeTestSupport.h"
#include "support/LoopbackPort.h"
#include "session/SessionRig.h"
#include "session/ZELKSession.h"

using namespace facadetest;
using namespace sessiontest;

namespace {

// One connect and disconnect, so that what a process sets up once (the TLS
// library) is not counted as left behind.
void WarmUp(RP_VMAPI_LIB& lib, int port) {
    VMConnectionInfo s = FacadeSettings(port);
    s.setConnectTimeout(4);
    lib.connect(&s, nullptr);
    lib.disconnect();
}

void NoCallback(int) {}

}  // namespace

// A connect with a callback returns before its login is answered; a cancel
// that comes in between ends the session once the answer arrives, instead
// of leaving it running with a closed record, dropping every request.
TEST(FacadeLifetime, ACancelBeforeTheLoginAnswerEndsTheSession) {
    ClockScale scale(0.25);
    for (int waitOnCancel : {0, 1}) {
        SCOPED_TRACE(waitOnCancel);
        ApplianceProcess app("{\"capabilities\": 8, \"answer_login\": false, \"drives\": [[2, 0]]}");
        RP_VMAPI_LIB lib;
        testing::internal::CaptureStdout();
        VMConnectionInfo s = FacadeSettings(app.port());
        s.setWaitOnCancel(waitOnCancel);
        ASSERT_EQ(lib.connect(&s, &NoCallback), VMConstants::API_SUCCESS);
        ASSERT_TRUE(app.waitFor("LoginMessage"));
        EXPECT_EQ(lib.cancelConnect(), VMConstants::API_SUCCESS);
        ASSERT_TRUE(app.send("login_response", "[0]"));
        EXPECT_TRUE(Eventually([&] { return lib.isSessionRunning() == 0; }, 10000));
        EXPECT_TRUE(app.waitFor("close", nullptr, 1, 10, "event"));
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}

// A session that has ended by itself (login refused, not answered, peer
// gone) holds no descriptor, though the facade keeps it until the next
// connect or disconnect.
TEST(FacadeLifetime, AnEndedSessionHasClosedItsSocket) {
    ClockScale scale(0.25);
    struct Case {
        const char* what;
        const char* appliance;
        int connectTimeout;
        bool dropAfterLogin;
        int result;
    } cases[] = {
        {"login refused", "{\"capabilities\": 8, \"login_status\": 2}", 40, false, VMConstants::API_ERROR},
        {"login not answered", "{\"capabilities\": 8, \"answer_login\": false}", 4, false, VMConstants::API_TIMEOUT},
        {"peer closed", "{\"capabilities\": 8}", 40, true, VMConstants::API_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ApplianceProcess app(c.appliance);
        RP_VMAPI_LIB lib;
        testing::internal::CaptureStdout();
        WarmUp(lib, app.port());
        const int before = Descriptors();
        VMConnectionInfo s = FacadeSettings(app.port());
        s.setConnectTimeout(c.connectTimeout);
        EXPECT_EQ(lib.connect(&s, nullptr), c.result);
        if (c.dropAfterLogin) {
            ASSERT_TRUE(app.waitFor("LoginMessage"));
            ASSERT_TRUE(app.drop());
        }
        const bool ended = Eventually([&] { return lib.isSessionRunning() == 0; });
        int open = -1;
        const bool closed = Eventually([&] { return (open = Descriptors()) == before; });
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(ended);
        EXPECT_TRUE(closed) << open << " descriptors open, " << before << " before";
        lib.disconnect();
    }
}

// A connect cancelled after its media were mapped: the stop sends no
// releases, but it closes the media all the same.
TEST(FacadeLifetime, TheMediaOfACancelledConnectAreClosed) {
    ClockScale scale(0.25);
    Images images;
    ApplianceProcess app("{\"capabilities\": 8, \"answer_login\": false, \"drives\": [[2, 0], [4, 0], [1, 0]]}");
    RP_VMAPI_LIB lib;
    testing::internal::CaptureStdout();
    WarmUp(lib, app.port());
    const int before = Descriptors();
    VMConnectionInfo s = FacadeSettings(app.port());
    // With a callback, connect returns once the login is sent; the login
    // stays unanswered, so the state stays "connecting" and may be cancelled.
    ASSERT_EQ(lib.connect(&s, [](int) {}), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    ASSERT_TRUE(Eventually([&] {
        std::unique_ptr<VMDriveList> copy(lib.getDriveList());
        return copy && copy->getNumberOfRemoteDrives() == 3;
    }));
    for (const std::string& path : images.paths) {
        std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(Wide(path).c_str(), true));
        ASSERT_TRUE(ld);
        ASSERT_EQ(lib.mapDrive(ld->getDriveId()), VMConstants::API_SUCCESS) << path;
    }
    EXPECT_GE(Descriptors(), before + 3);
    ASSERT_EQ(lib.cancelConnect(), VMConstants::API_SUCCESS);
    lib.disconnect();
    int open = -1;
    const bool closed = Eventually([&] { return (open = Descriptors()) == before; });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(closed) << open << " descriptors open, " << before << " before";
    EXPECT_TRUE(app.received("VDiskRelease").empty());
}

// With wait-on-cancel, a connect that failed leaves a session whose cancel
// watch would run for its whole 25 s: disconnect drops that session, watch
// and all, before it returns.
TEST(FacadeLifetime, DisconnectEndsTheCancelWatchOfAFailedConnect) {
    ApplianceProcess refusing("{\"capabilities\": 8, \"login_status\": 2}");
    struct Case {
        const char* what;
        int port;
        int result;
    } cases[] = {
        {"nothing listening", twtest::DeadPort(), VMConstants::API_ERROR},
        {"login refused", refusing.port(), VMConstants::API_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RP_VMAPI_LIB lib;
        testing::internal::CaptureStdout();
        WarmUp(lib, refusing.port());
        const std::set<std::string> threads = ThreadIds();
        VMConnectionInfo s = FacadeSettings(c.port);
        s.setWaitOnCancel(1);
        EXPECT_EQ(lib.connect(&s, nullptr), c.result);
        ZELKSession* failed = lib.getSession();
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        // Nothing of the failed connect runs on: its threads are gone at once
        // (the bound only covers a joined thread the system still lists; the
        // watch would run on for 25 s).
        const bool gone = Eventually([&] { return NewThreads(threads).empty(); }, 2000);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(gone) << "still there:" << NewThreads(threads);
        EXPECT_NE(lib.getSession(), failed);
    }
}

// A connect while another is under way is refused at once, and leaves the
// state to the one that runs: in its set-up, or waiting for its login answer.
TEST(FacadeLifetime, ASecondConnectIsRefusedWhileOneRuns) {
    struct Case {
        const char* what;
        const char* appliance;
        const char* reached;  // what the appliance has received when the second connect comes
        bool answer;          // the login is answered afterwards
        int result;           // of the first connect
        int state;            // after it
    } cases[] = {
        {"set-up under way", "{\"capabilities\": 8, \"silent\": true}", "SessionRequest", false,
         VMConstants::API_ERROR, VMConstants::VMAPI_DISCONNECTED},
        {"login unanswered", "{\"capabilities\": 8, \"answer_login\": false}", "LoginMessage", true,
         VMConstants::API_SUCCESS, VMConstants::VMAPI_CONNECTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ApplianceProcess app(c.appliance);
        RP_VMAPI_LIB lib;
        VMConnectionInfo first = FacadeSettings(app.port());
        VMConnectionInfo second = FacadeSettings(app.port());
        testing::internal::CaptureStdout();
        std::future<int> running = std::async(std::launch::async, [&] { return lib.connect(&first, nullptr); });
        ASSERT_TRUE(app.waitFor(c.reached, nullptr, 1, 30));
        std::future<int> refused = std::async(std::launch::async, [&] { return lib.connect(&second, nullptr); });
        // Answered while the first connect still waits (for the appliance,
        // which does not go on until told to).
        const bool prompt = refused.wait_for(std::chrono::seconds(20)) == std::future_status::ready &&
                            running.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
        const int state = lib.getConnectionStatus();
        if (c.answer) {
            ASSERT_TRUE(app.send("login_response", "[0]"));
        } else {
            ASSERT_TRUE(app.drop());
        }
        const int firstResult = running.get();
        const int secondResult = refused.get();
        EXPECT_TRUE(prompt) << "the second connect waited for the first";
        EXPECT_EQ(secondResult, VMConstants::API_INVALID_STATE);
        EXPECT_EQ(state, VMConstants::VMAPI_CONNECTING);
        EXPECT_EQ(firstResult, c.result);
        EXPECT_EQ(lib.getConnectionStatus(), c.state);
        EXPECT_EQ(lib.isSessionRunning(), c.answer ? 1 : 0);
        lib.disconnect();
        testing::internal::GetCapturedStdout();
    }
}

// The state a connect leaves: a refused argument leaves nothing connecting;
// a callback-less success has its login answered, so it is connected.
TEST(FacadeLifetime, StateAfterConnect) {
    ApplianceProcess app("{\"capabilities\": 8}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo noAddress;
    EXPECT_EQ(lib.connect(&noAddress, nullptr), VMConstants::API_INVALID_ARGUMENT);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    EXPECT_EQ(lib.cancelConnect(), VMConstants::API_INVALID_STATE);
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    EXPECT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
    lib.disconnect();
    testing::internal::GetCapturedStdout();
}

// Unmapping a writable drive that was mapped read-only frees it of that
// choice too.
TEST(FacadeLifetime, UnmapClearsTheReadOnlyChoiceOfAWritableDrive) {
    ClockScale scale(0.25);
    Images images;
    ApplianceProcess app(kApplianceJson);
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    const std::wstring floppy = Wide(images.paths[1]);
    std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(floppy.c_str(), true));
    ASSERT_TRUE(ld);
    ASSERT_EQ(ld->isWritable(), 1);
    ASSERT_EQ(lib.setLocalDriveReadOnly(ld->getDriveId(), 1), VMConstants::API_SUCCESS);
    ASSERT_EQ(lib.mapDrive(ld->getDriveId()), VMConstants::API_SUCCESS);
    Record request;
    ASSERT_TRUE(app.waitFor("VDiskRequest2", &request));
    EXPECT_EQ(request.field("read_only"), 1);
    ASSERT_EQ(lib.unmapDrive(request.param), VMConstants::API_SUCCESS);
    std::unique_ptr<VMDriveList> copy(lib.getDriveList());
    lib.disconnect();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(copy);
    VMLocalDrive* listed = copy->getLocalDriveByID(ld->getDriveId());
    ASSERT_NE(listed, nullptr);
    EXPECT_EQ(listed->getMappedTo(), -1);
    EXPECT_EQ(listed->isInReadOnlyMode(), 0);
    copy->releaseLocalDrive(listed);
}

// A stop whose wait for the connect semaphore ran out gives back nothing:
// the semaphore stays with whoever holds it.
TEST(FacadeLifetime, AStopGivesBackOnlyTheSemaphoreItTook) {
    ClockScale fast(0.01);
    Rig rig;
    rig.session->startForTesting();
    ASSERT_EQ(rig.host.acquireConnectSemaphore(0), ASemaphore::WAIT_OBTAINED);
    rig.session->stopSession();
    EXPECT_TRUE(rig.session->isStopped());
    EXPECT_EQ(rig.host.semaphoreReleases.load(), 0);
    // Still taken: only its holder gives it back.
    EXPECT_EQ(rig.host.acquireConnectSemaphore(0), ASemaphore::WAIT_TIMEOUT);
    rig.host.releaseConnectSemaphore();
}
