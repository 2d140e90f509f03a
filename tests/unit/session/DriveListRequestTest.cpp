// The callback-less drive-list request against the fake appliance: what it
// returns when no answer comes and when the session goes while it waits.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "facade/RP_VMAPI_LIB.h"
#include "session/ApplianceProcess.h"
#include "session/FacadeSettings.h"
#include "session/SessionTestSupport.h"

using namespace sessiontest;

TEST(DriveListRequest, CallbackLessResultsWithoutAnAnswer) {
    ClockScale scale(0.02);
    for (bool disconnect : {false, true}) {
        SCOPED_TRACE(disconnect ? "session gone while waiting" : "no answer in time");
        ApplianceProcess app("{\"answer_drive_list\": false, \"capabilities\": 8}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port());
        // Library seconds: the wait outlasts the test unless the session goes.
        s.setRemoteDriveResponseTimeout(disconnect ? 100000 : 30);
        testing::internal::CaptureStdout();
        ASSERT_EQ(lib.connect(&s, nullptr), VMConstants::API_SUCCESS);
        std::atomic<int> result{0};
        std::thread request([&] { result = lib.requestRemoteDriveList(); });
        ASSERT_TRUE(app.waitFor("GetVDiskInfo"));
        if (disconnect) {
            EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        }
        request.join();
        // A time-out says so; with no session left the state is what is wrong.
        EXPECT_EQ(result.load(), disconnect ? VMConstants::API_INVALID_STATE : VMConstants::API_TIMEOUT);
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}
