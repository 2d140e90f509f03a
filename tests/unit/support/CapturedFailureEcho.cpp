// Linked into every unit test program. GoogleTest prints a failure on
// standard output; while a test captures that (testing::internal::
// CaptureStdout) the report goes into the capture and is thrown away with it,
// and a failed ASSERT inside the capture returns before the capture ends, so
// the rest of the program's output is lost as well. This listener writes every
// failure to standard error too while the capture runs, and at the end of a
// test ends a capture left open (showing what it held when the test failed).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

bool stdoutIsCaptured() {
    char target[512];
    const ssize_t n = readlink("/proc/self/fd/1", target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return std::string(target).find("gtest_captured_stream") != std::string::npos;
}

class CapturedFailureEcho : public testing::EmptyTestEventListener {
public:
    void OnTestPartResult(const testing::TestPartResult& r) override {
        if (!r.failed() || !stdoutIsCaptured()) return;
        std::fprintf(stderr, "%s:%d: Failure (reported while the test captured stdout)\n%s\n",
                     r.file_name() ? r.file_name() : "unknown file", r.line_number(), r.message());
        std::fflush(stderr);
    }
    void OnTestEnd(const testing::TestInfo& info) override {
        if (!stdoutIsCaptured()) return;
        const std::string held = testing::internal::GetCapturedStdout();
        if (!info.result()->Failed()) return;
        std::fprintf(stderr, "---- stdout the failed test %s.%s left captured ----\n%s\n---- end ----\n",
                     info.test_suite_name(), info.name(), held.c_str());
        std::fflush(stderr);
    }
};

const bool g_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new CapturedFailureEcho);
    return true;
}();

}  // namespace
