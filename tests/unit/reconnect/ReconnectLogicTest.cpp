// The decisions of the reconnect and heartbeat threads and of the remap, as
// pure functions.
#include <gtest/gtest.h>

#include "api/VMConnectionInfo.h"
#include "device/VMLocalDrive.h"
#include "session/HeartBeatThread.h"
#include "session/ReconnectThread.h"
#include "session/ZELKSession.h"

using Action = ReconnectThread::Action;

TEST(ReconnectLogic, SilenceDecision) {
    struct {
        int64_t silence;
        int timeout;
        bool force, enabled, reconnecting;
        Action expected;
    } cases[] = {
        // Enabled: strictly more silence than the timeout, or a force.
        {30, 30, false, true, false, Action::NONE},
        {31, 30, false, true, false, Action::FIRE},
        {0, 30, true, true, false, Action::FIRE},
        // Never while a reconnection is under way.
        {100, 30, true, true, true, Action::NONE},
        // Disabled: reports once the silence reaches the timeout; a force does nothing.
        {29, 30, true, false, false, Action::NONE},
        {30, 30, false, false, false, Action::REPORT_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.silence << "/" << c.timeout << " force " << c.force << " enabled "
                                        << c.enabled << " reconnecting " << c.reconnecting);
        EXPECT_EQ(ReconnectThread::decide(c.silence, c.timeout, c.force, c.enabled, c.reconnecting), c.expected);
    }
}

TEST(ReconnectLogic, WaitsAreNeverShorterThanASecond) {
    EXPECT_EQ(ReconnectThread::waitMs(true, 30), 1000);
    EXPECT_EQ(ReconnectThread::waitMs(false, 30), 15000);
    EXPECT_EQ(ReconnectThread::waitMs(false, 31), 15000);
    // A server timeout of 2 or 3 seconds gives a check timeout of 1: no spin.
    EXPECT_EQ(ReconnectThread::waitMs(false, 1), 1000);
    EXPECT_EQ(ReconnectThread::waitMs(false, 2), 1000);
}

TEST(ReconnectLogic, ANonPositiveTimeoutMeansThirtySecondsOnlyForAReportingWatchdog) {
    EXPECT_EQ(ReconnectThread(0, 0, nullptr).getTimeout(), 30);
    EXPECT_EQ(ReconnectThread(-5, 0, nullptr).getTimeout(), 30);
    // One that reconnects keeps what it was given.
    EXPECT_EQ(ReconnectThread(0, 1, nullptr).getTimeout(), 0);
    for (int enabled : {0, 1}) EXPECT_EQ(ReconnectThread(2, uint8_t(enabled), nullptr).getTimeout(), 2);
}

TEST(ReconnectLogic, HeartbeatIsDueAfterTenWholeSeconds) {
    EXPECT_FALSE(HeartBeatThread::heartbeatDue(109, 100, 10));
    EXPECT_TRUE(HeartBeatThread::heartbeatDue(110, 100, 10));
}

TEST(ReconnectLogic, RemapLooksForTheTypeMapDriveWould) {
    using LD = VMLocalDrive;
    struct {
        int localType, mapAsFloppy, style;
        bool above11;
        int expected;
    } cases[] = {
        {LD::LOCAL_DRIVE_IS_CD, 0, VMConnectionInfo::VM_STYLE_MOSKA, true, LD::LOCAL_DRIVE_IS_CD},
        // A CD is offered to CD/DVD drives only, even when marked as a floppy.
        {LD::LOCAL_DRIVE_IS_CD, 1, VMConnectionInfo::VM_STYLE_MOSKA, true, LD::LOCAL_DRIVE_IS_CD},
        {LD::LOCAL_DRIVE_IS_CD_IMAGE, 1, VMConnectionInfo::VM_STYLE_RDOC, false, LD::LOCAL_DRIVE_IS_CD_IMAGE},
        {LD::LOCAL_DRIVE_IS_FLOPPY_IMAGE, 1, VMConnectionInfo::VM_STYLE_MOSKA, false, LD::LOCAL_DRIVE_IS_FLOPPY},
        {LD::LOCAL_DRIVE_IS_FLOPPY, 0, VMConnectionInfo::VM_STYLE_MOSKA, true, LD::LOCAL_DRIVE_IS_REMOVABLE},
        {LD::LOCAL_DRIVE_IS_REMOVABLE_IMAGE, 0, VMConnectionInfo::VM_STYLE_DEFAULT, true,
         LD::LOCAL_DRIVE_IS_REMOVABLE},
        // The older RDOC styles have no floppy drives to offer.
        {LD::LOCAL_DRIVE_IS_FLOPPY_IMAGE, 1, VMConnectionInfo::VM_STYLE_MOSKA_RDOC1, false,
         LD::LOCAL_DRIVE_IS_REMOVABLE},
        {LD::LOCAL_DRIVE_IS_FLOPPY_IMAGE, 1, VMConnectionInfo::VM_STYLE_MOSKA_RDOC1, true, LD::LOCAL_DRIVE_IS_FLOPPY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.localType << " style " << c.style);
        EXPECT_EQ(ZELKSession::wantedRemoteType(c.localType, c.mapAsFloppy, c.style, c.above11), c.expected);
    }
}
