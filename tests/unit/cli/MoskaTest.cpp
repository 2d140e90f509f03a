#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MOSKA.h"
#include "PrintUsage.h"
#include "SignalHandler.h"
#include "api/VMConstants.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "support/Argv.h"
#include "protocol/ApplianceProcess.h"

namespace {

using twtest::Argv;

struct OptionCase {
    std::initializer_list<std::string> args;
    int result;
    const char* output;
};

TEST(MOSKA, CheckOptionsAcceptsOnlyTheTwelveNames) {
    const OptionCase cases[] = {
        {{"Tarnwick", "-a", "h", "-u", "u", "-p", "p", "-o", "1", "-f", "x", "-fw", "x", "-r", "x", "-rw", "x",
          "-c", "x", "-i", "-v", "-h"},
         VMConstants::API_SUCCESS, ""},
        {{"Tarnwick", "-x"}, VMConstants::API_ERROR, "Unsupported options -x provided.\n"},
        {{"Tarnwick", "-a", "h", "--a"}, VMConstants::API_ERROR, "Unsupported options --a provided.\n"},
        {{"Tarnwick", "-A"}, VMConstants::API_ERROR, "Unsupported options -A provided.\n"},
        {{"Tarnwick", "-cw", "x"}, VMConstants::API_ERROR, "Unsupported options -cw provided.\n"},
        {{"Tarnwick", "-"}, VMConstants::API_ERROR, "Unsupported options - provided.\n"},
        {{"Tarnwick", "-5", "-a", "h"}, VMConstants::API_SUCCESS, ""},  // a digit is not checked
        {{"Tarnwick", "-x", "-y"}, VMConstants::API_ERROR, "Unsupported options -x provided.\n"},
        {{"-prog", "-a", "h"}, VMConstants::API_SUCCESS, ""},  // the program name is not checked
    };
    for (const OptionCase& c : cases) {
        Argv a(c.args);
        testing::internal::CaptureStdout();
        int result;
        {
            MOSKA m(a.argc(), a.argv());
            result = m.checkOptions();
            EXPECT_EQ(m.exitStatus(), result == VMConstants::API_SUCCESS ? 0 : 1);
        }
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << c.output;
        EXPECT_EQ(out, c.output);
    }
}

TEST(MOSKA, HelpPrintsOnlyTheFullUsage) {
    testing::internal::CaptureStdout();
    PrintUsage(0);
    const std::string full = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    PrintUsage(1);
    const std::string brief = testing::internal::GetCapturedStdout();
    EXPECT_EQ(full.rfind(brief, 0), 0u);  // the full form starts with the short one
    EXPECT_TRUE(brief.ends_with("         [-h] help\n\nExit:    Ctrl-C\n\n"));

    Argv a{"Tarnwick", "-a", "host", "-v", "-h", "-c", "/tmp/x.iso"};
    testing::internal::CaptureStdout();
    int status;
    {
        MOSKA m(a.argc(), a.argv());
        m.run();
        status = m.exitStatus();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), full);
    EXPECT_EQ(status, 0);
}

TEST(MOSKA, VersionBannerComesFirstAndAFailedModeIsAnError) {
    Argv a{"Tarnwick", "-v"};
    testing::internal::CaptureStdout();
    int status;
    {
        MOSKA m(a.argc(), a.argv());
        m.run();
        status = m.exitStatus();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("MOSKA. Version: 5.04.04 (Build 354)\n", 0), 0u);
    EXPECT_TRUE(out.ends_with("Stopping due to errors\n"));
    EXPECT_EQ(status, 1);
}

TEST(MOSKA, ConstructorSetsTheFacadeUp) {
    Argv a{"Tarnwick"};
    EXPECT_EQ(g_lib.load(), nullptr);
    {
        MOSKA m(a.argc(), a.argv());
        EXPECT_NE(g_lib.load(), nullptr);
    }
    EXPECT_EQ(g_lib.load(), nullptr);
}

TEST(MOSKA, PortFromOption) {
    struct {
        const char* value;
        int port;
    } cases[] = {{"2068", 2068}, {"623abc", 623}, {"65535", 65535}, {"65536", 0}, {"99999999999", 0},
                 {"abc", 0},     {"", 0},         {nullptr, 0},     {"-5", 0},    {"0", 0}};
    for (const auto& c : cases) EXPECT_EQ(MOSKA::portFromOption(c.value), c.port) << (c.value ? c.value : "null");
}

TEST(FacadeStub, NothingReportsASuccessItDidNotAchieve) {
    RP_VMAPI_LIB lib;
    VMConnectionInfo settings;
    settings.setIpAddress("127.0.0.1");
    EXPECT_EQ(lib.connect(&settings, nullptr), VMConstants::API_ERROR);
    EXPECT_EQ(lib.connect(nullptr, nullptr), VMConstants::API_INVALID_ARGUMENT);
    EXPECT_EQ(lib.requestRemoteDriveList(), VMConstants::API_INVALID_STATE);
    EXPECT_EQ(lib.getLocalDriveObject(L"/tmp/x.img", false), nullptr);
    EXPECT_EQ(lib.mapDrive(0), VMConstants::API_INVALID_STATE);
    EXPECT_EQ(lib.setLocalDriveForMapping(0, 1), VMConstants::API_ERROR);
    EXPECT_EQ(lib.setLocalDriveReadOnly(0, 1), VMConstants::API_ERROR);
    EXPECT_EQ(lib.cancelConnect(), VMConstants::API_INVALID_STATE);
    EXPECT_EQ(lib.getSessionStatus(), nullptr);
    EXPECT_EQ(lib.isSessionRunning(), 0);
    lib.waitWhileSessionRunning();  // returns: no session runs
    // A path that is not there is listed, but as a drive without a medium.
    std::unique_ptr<VMLocalDrive> missing(lib.getLocalDriveObject(L"/nonexistent-dir/x.img", true));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->getBlocks(), 0u);
    EXPECT_EQ(lib.mapDrive(missing->getDriveId()), VMConstants::API_INVALID_STATE);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
}

// Signal tests run in fresh processes: the signal counter is process-wide and
// the handler exits. The child sends its stdout to stderr for the matcher.
class SignalTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SignalTest, SignalWithoutMOSKAExitsAtOnce) {
    EXPECT_EXIT(SignalHandler(SIGINT), testing::ExitedWithCode(130), "");
    EXPECT_EXIT(SignalHandler(SIGTERM), testing::ExitedWithCode(143), "");
}

// Nothing connected (as at a prompt): the first signal ends the run at once,
// saying so once; there is nothing to release.
[[noreturn]] void signalWithoutSession(int sig) {
    dup2(2, 1);
    if (!InstallSignalHandling()) _exit(5);
    Argv a{"Tarnwick", "-v"};
    MOSKA m(a.argc(), a.argv());
    std::printf("before");  // what stdout still holds comes first
    kill(getpid(), sig);
    std::this_thread::sleep_for(std::chrono::seconds(20));
    fprintf(stderr, "still running\n");
    _exit(7);
}

TEST_F(SignalTest, WithoutASessionTheFirstSignalEndsTheRun) {
    EXPECT_EXIT(signalWithoutSession(SIGINT), testing::ExitedWithCode(130), "before\nTerminating\n");
    EXPECT_EXIT(signalWithoutSession(SIGTERM), testing::ExitedWithCode(143), "before\nTerminating\n");
}

// A MOSKA object whose command-line mode runs a session against the fake
// appliance on a thread of its own (the medium fails validation; the session
// stays up all the same). Lives in a death test's child only: the appliance
// ends when the child's end closes its standard input.
class RunningSession {
public:
    RunningSession()
        : m_app(std::vector<std::string>{}),
          m_port(std::to_string(m_app.port())),
          m_args{"Tarnwick", "-a", "127.0.0.1", "-o", m_port.c_str(), "-u", "admin", "-p", "pw", "-c",
                 "/nonexistent-dir/none.iso"},
          m_moska(m_args.argc(), m_args.argv()) {
        if (m_app.port() <= 0) _exit(5);
        m_run = std::thread([this] { m_moska.run(); });
        m_run.detach();
        for (int i = 0; i < 10000 && !MOSKA::instanceHasSession(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!MOSKA::instanceHasSession()) _exit(6);
    }

private:
    ApplianceProcess m_app;
    std::string m_port;
    Argv m_args;
    MOSKA m_moska;
    std::thread m_run;
};

[[noreturn]] void signalTwiceByHand() {
    dup2(2, 1);
    RunningSession session;
    SignalHandler(SIGINT);
    for (int i = 0; i < 20000 && !TerminationFinished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fprintf(stderr, "still running, session %d\n", MOSKA::instanceHasSession() ? 1 : 0);
    SignalHandler(SIGINT);
    _exit(7);
}

[[noreturn]] void signalTwiceByKill() {
    dup2(2, 1);
    if (!InstallSignalHandling()) _exit(5);
    RunningSession session;
    kill(getpid(), SIGTERM);
    for (int i = 0; i < 20000 && !TerminationFinished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fprintf(stderr, "count=%d\n", SignalCount());
    kill(getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::seconds(20));
    _exit(7);
}

// The first terminate is stuck (its output blocks on a stdout held by the
// main thread); the second signal must still end the process at once.
[[noreturn]] void secondSignalWhileTerminateIsStuck() {
    dup2(2, 1);
    if (!InstallSignalHandling()) _exit(5);
    RunningSession session;
    flockfile(stdout);
    kill(getpid(), SIGINT);
    for (int i = 0; i < 10000 && SignalCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fprintf(stderr, "count=%d finished=%d\n", SignalCount(), TerminationFinished() ? 1 : 0);
    kill(getpid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::seconds(20));
    _exit(7);
}

TEST_F(SignalTest, SecondSignalExitsWhileTheFirstTerminateRuns) {
    EXPECT_EXIT(secondSignalWhileTerminateIsStuck(), testing::ExitedWithCode(130), "count=1 finished=0\n");
}

// With a session the first signal tears it down (and the run goes on to its
// end); only a second one exits at once.
TEST_F(SignalTest, FirstSignalTerminatesSecondExits) {
    EXPECT_EXIT(signalTwiceByHand(), testing::ExitedWithCode(130), "\nTerminating\n(.|\n)*still running, session 0\n");
}

TEST_F(SignalTest, RealSignalsReachTheSignalThread) {
    EXPECT_EXIT(signalTwiceByKill(), testing::ExitedWithCode(130), "\nTerminating\n(.|\n)*count=1\n");
}

TEST_F(SignalTest, FatalSignalsRestoreAndExitWithOne) {
    for (int sig : {SIGABRT, SIGILL, SIGSEGV}) {
        EXPECT_EXIT(
            {
                dup2(2, 1);
                InstallSignalHandling();
                raise(sig);
                _exit(7);
            },
            testing::ExitedWithCode(1), "\nTerminating\n")
            << sig;
    }
}

}  // namespace
