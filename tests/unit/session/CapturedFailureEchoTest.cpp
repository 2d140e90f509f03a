// The appliance tests assert while they capture stdout: their failures must
// still reach the log, and a failed ASSERT must not leave the capture open.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// Run only by the test below, in a child program of their own.
TEST(DISABLED_CapturedFailureEchoDemo, FailsInsideACapture) {
    testing::internal::CaptureStdout();
    std::fputs("output the test held\n", stdout);
    ASSERT_EQ(1, 2) << "the reason it failed";
}

TEST(DISABLED_CapturedFailureEchoDemo, CapturesAgainAfterwards) {
    testing::internal::CaptureStdout();
    std::fputs("x", stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x");
}

TEST(CapturedFailureEcho, FailuresInsideACaptureReachStderr) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::string cmd = "'" + std::string(self) +
                            "' --gtest_also_run_disabled_tests --gtest_filter='DISABLED_CapturedFailureEchoDemo.*' "
                            "2>&1 >/dev/null";
    FILE* child = popen(cmd.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string err;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, child)) > 0) err.append(buffer, got);
    const int status = pclose(child);
    // One test failed; the second capture did not abort the program.
    ASSERT_TRUE(WIFEXITED(status)) << err;
    EXPECT_EQ(WEXITSTATUS(status), 1) << err;
    EXPECT_NE(err.find("the reason it failed"), std::string::npos) << err;
    EXPECT_NE(err.find("output the test held"), std::string::npos) << err;
    EXPECT_EQ(err.find("CapturesAgainAfterwards left captured"), std::string::npos) << err;
}
