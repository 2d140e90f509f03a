// Heartbeat, reconnect-watch, find-drives and cancel-connect threads on a
// session with an in-memory connection, library time running fast.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "api/VMSessionStatus.h"
#include "fakes/FakeDevicePlatform.h"
#include "api/VMConnectionInfo.h"
#include "protocol/GetVDiskInfo.h"
#include "session/CancelConnectThread.h"
#include "session/FindDrivesThread.h"
#include "session/HeartBeatThread.h"
#include "session/ReconnectThread.h"
#include "session/SessionRig.h"

using namespace sessiontest;

namespace {

// 50 times faster: a 46 s window takes under a second.
constexpr double kFast = 0.02;

// Library seconds since `start` (library ms).
double Since(int64_t startMs) { return double(tw::Clock::nowMs() - startMs) / 1000.0; }

// Waits in real time until pred holds; false after realMs.
template <typename Pred>
bool WaitFor(Pred pred, int realMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

template <typename T>
void StopAndJoin(T& thread) {
    thread.stopThread();
    thread.join();
}

}  // namespace

class SessionThreadTiming : public testing::Test {
protected:
    ClockScale scale{kFast};
};

TEST_F(SessionThreadTiming, FirstHeartbeatOfAnIdleSession) {
    Rig rig;
    HeartBeatThread hb(rig.session.get());
    const int64_t start = tw::Clock::nowMs();
    hb.start();
    ASSERT_TRUE(rig.pipe->waitSent([](const std::vector<Sent>& s) { return !s.empty(); }, 20000));
    const double at = Since(start);
    EXPECT_GE(at, 10.0);
    EXPECT_LE(at, 16.0);
    EXPECT_EQ(rig.pipe->countType(0x0400), 1u);
    StopAndJoin(hb);
}

TEST_F(SessionThreadTiming, NoHeartbeatWhilePacketsFlow) {
    Rig rig;
    HeartBeatThread hb(rig.session.get());
    hb.start();
    // A packet every 3 s for 40 s.
    for (int i = 0; i < 14; ++i) {
        rig.session->sendPacket(new GetVDiskInfo());
        tw::Clock::sleepMs(3000);
    }
    EXPECT_EQ(rig.pipe->countType(0x0400), 0u);
    EXPECT_GE(rig.pipe->countType(0x0200), 14u);
    StopAndJoin(hb);
}

TEST_F(SessionThreadTiming, NoHeartbeatWhileReconnecting) {
    Rig rig;
    rig.session->setReconnecting(1);
    HeartBeatThread hb(rig.session.get());
    hb.start();
    tw::Clock::sleepMs(30000);
    EXPECT_EQ(rig.pipe->countType(0x0400), 0u);
    StopAndJoin(hb);
}

TEST_F(SessionThreadTiming, UnansweredDriveListIsReportedOnEveryPass) {
    Rig rig;
    HeartBeatThread hb(rig.session.get());
    rig.session->sendVDiskInfoRequest();
    hb.start();
    auto reports = [] {
        std::vector<int> c = CallbackLog::get(1);
        return std::count(c.begin(), c.end(), VMConstants::DRIVE_LIST_UPDATE);
    };
    ASSERT_TRUE(WaitFor([&] { return reports() >= 2; }));
    EXPECT_EQ(rig.drives.getLastRemoteAction(), VMDriveList::DRIVE_LIST_FAILED);
    rig.deliver(Rig::vdiskInfo({2}));
    const auto after = reports();
    tw::Clock::sleepMs(12000);
    EXPECT_EQ(reports(), after);
    StopAndJoin(hb);
}

TEST_F(SessionThreadTiming, DisabledWatchdogReportsAServerTimeoutOnce) {
    Rig rig;
    ReconnectThread rt(30, 0, rig.session.get());
    const int64_t start = tw::Clock::nowMs();
    rt.start();
    ASSERT_TRUE(WaitFor([&] { return !rt.isRunning(); }, 20000));
    const double at = Since(start);
    EXPECT_GE(at, 30.0);
    EXPECT_LE(at, 47.0);
    EXPECT_EQ(CallbackLog::get(0), std::vector<int>{VMConstants::SESSION_STATUS});
    std::unique_ptr<VMSessionStatus> st = rig.session->copySessionStatus();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->getStatus(), VMSessionStatus::DISCONNECT_REQUESTED);
    EXPECT_EQ(st->getDisconnectReason(), VMSessionStatus::REASON_SERVER_TIMEOUT);
    EXPECT_EQ(st->getDisconnectTimeout(), 0);
    rt.join();
}

TEST_F(SessionThreadTiming, TrafficKeepsTheWatchdogQuiet) {
    Rig rig;
    ReconnectThread rt(30, 1, rig.session.get());
    rt.start();
    for (int i = 0; i < 20; ++i) {
        rig.session->setLastReceiveTime(ZELKSession::nowSeconds());
        tw::Clock::sleepMs(3000);
    }
    EXPECT_TRUE(rt.isRunning());
    EXPECT_TRUE(CallbackLog::get(0).empty());
    StopAndJoin(rt);
}

TEST_F(SessionThreadTiming, EnabledWatchdogReconnectsAfterTheSilence) {
    // No one-time credentials: the reconnection fails at once, without an
    // attempt, and the thread ends.
    Rig rig;
    ReconnectThread rt(30, 1, rig.session.get());
    const int64_t start = tw::Clock::nowMs();
    rt.start();
    ASSERT_TRUE(WaitFor([&] { return !rt.isRunning(); }, 20000));
    const double at = Since(start);
    EXPECT_GE(at, 31.0);
    EXPECT_LE(at, 47.0);
    EXPECT_EQ(CallbackLog::get(0),
              (std::vector<int>{VMSessionStatus::RECONNECTING, VMSessionStatus::RECONNECT_FAILED}));
    EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_RECONNECTING);
    EXPECT_EQ(rig.session->getSessionStatusCode(-1), VMSessionStatus::RECONNECT_FAILED);
    // The connect semaphore was given back.
    EXPECT_EQ(rig.host.acquireConnectSemaphore(0), ASemaphore::WAIT_OBTAINED);
    rt.join();
}

TEST_F(SessionThreadTiming, AnEnabledWatchdogWithTimeoutZeroReconnectsAfterOneSecondOfSilence) {
    // Slower than the others: the window told apart is 2 s against 31 s.
    ClockScale slower(0.1);
    Rig rig;
    ReconnectThread rt(0, 1, rig.session.get());
    const int64_t start = tw::Clock::nowMs();
    rt.start();
    ASSERT_TRUE(WaitFor([&] { return !rt.isRunning(); }, 20000));
    EXPECT_LT(Since(start), 20.0);
    EXPECT_EQ(CallbackLog::get(0),
              (std::vector<int>{VMSessionStatus::RECONNECTING, VMSessionStatus::RECONNECT_FAILED}));
    rt.join();
}

TEST_F(SessionThreadTiming, ForceReconnectsAtOnce) {
    Rig rig;
    ReconnectThread rt(30, 1, rig.session.get());
    rt.start();
    tw::Clock::sleepMs(3000);
    EXPECT_TRUE(CallbackLog::get(0).empty());
    const int64_t start = tw::Clock::nowMs();
    rt.setForce(true);
    ASSERT_TRUE(WaitFor([&] { return !rt.isRunning(); }));
    EXPECT_LT(Since(start), 5.0);
    EXPECT_EQ(CallbackLog::get(0).front(), VMSessionStatus::RECONNECTING);
    rt.join();
}

// Counts the drive scans (each lists the block devices once).
class CountingPlatform : public FakeDevicePlatform {
public:
    std::atomic<int> scans{0};
    std::vector<BlockDeviceName> listBlockDevices() override {
        scans.fetch_add(1);
        return FakeDevicePlatform::listBlockDevices();
    }
};

TEST_F(SessionThreadTiming, FindDrivesRunsAtOnceThenEveryTenSeconds) {
    CountingPlatform fake;
    ScopedPlatform use(fake);
    Rig rig;
    FindDrivesThread fd(rig.session.get());
    fd.start();
    ASSERT_TRUE(WaitFor([&] { return fake.scans.load() >= 1; }));
    const int64_t first = tw::Clock::nowMs();
    ASSERT_TRUE(WaitFor([&] { return fake.scans.load() >= 3; }));
    const double at = Since(first);
    EXPECT_GE(at, 19.0);
    // Ten one-second waits per interval, plus the scan itself.
    EXPECT_LE(at, 30.0);
    StopAndJoin(fd);
}

TEST_F(SessionThreadTiming, StopEndsEachThreadWithinOneWait) {
    FakeDevicePlatform fake;
    ScopedPlatform use(fake);
    Rig rig;
    HeartBeatThread hb(rig.session.get());
    ReconnectThread rt(30, 1, rig.session.get());
    FindDrivesThread fd(rig.session.get());
    hb.start();
    rt.start();
    fd.start();
    tw::Clock::sleepMs(2500);
    const int64_t start = tw::Clock::nowMs();
    hb.stopThread();
    rt.stopThread();
    fd.stopThread();
    hb.join();
    rt.join();
    fd.join();
    // Each is woken at once; far less than a heartbeat pass or a check interval.
    EXPECT_LT(Since(start), 4.0);
    EXPECT_FALSE(hb.isRunning() || rt.isRunning() || fd.isRunning());
}

// The cancel-connect watch runs in real time: its 250 ms passes decide.
TEST(CancelConnectThread, CancelsOnlyForAStopAfterTheWatchEnded) {
    struct {
        const char* name;
        bool doneBeforeStart;
        bool stopDuringFirstPass;
        bool doneDuringFirstPass;
        bool cancels;
    } cases[] = {
        {"login done at once", true, false, false, false},
        {"stopped while waiting", false, true, false, false},
        {"stopped once done", false, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        if (c.doneBeforeStart) rig.session->setConnectDone();
        CancelConnectThread t;
        t.setSession(rig.session.get());
        t.start();
        if (c.stopDuringFirstPass) {
            // Well inside the first 250 ms sleep.
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (c.doneDuringFirstPass) rig.session->setConnectDone();
            t.stopThread();
        }
        ASSERT_TRUE(WaitFor([&] { return !t.isRunning(); }, 5000));
        t.join();
        EXPECT_EQ(rig.session->isConnectCancelled(), c.cancels);
    }
}

namespace {

// A loopback port that takes connections (into its backlog) and never answers.
class SilentListener {
public:
    SilentListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(m_fd, 4) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
    }
    ~SilentListener() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace

// A session connected before (its login marked the connect done) watches its
// next connect as long as that one runs.
TEST(CancelConnectThread, ASecondConnectIsWatchedUntilItEnds) {
    SilentListener server;
    ASSERT_NE(server.port(), 0);
    Rig rig;
    rig.session->setConnectDone();
    VMConnectionInfo info;
    info.setIpAddress("127.0.0.1");
    info.setPort(server.port());
    info.setWaitOnCancel(1);
    info.setConnectTimeout(3);
    testing::internal::CaptureStdout();
    std::atomic<int> result{0};
    std::atomic<bool> returned{false};
    std::thread connecting([&] {
        result.store(rig.session->connect(&info));
        returned.store(true);
    });
    ASSERT_TRUE(WaitFor([&] { return rig.session->getCancelConnectThread() != nullptr; }, 5000));
    CancelConnectThread* watch = rig.session->getCancelConnectThread();
    // Several of its 250 ms passes, the set-up still waiting for a reply.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(watch->isRunning());
    connecting.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.load(), VMConstants::API_ERROR);
    EXPECT_FALSE(rig.session->isConnectCancelled());
}
