#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "base/DebugLog.h"
#include "support/TempDir.h"

namespace {

// A fake "/" and a fake current directory, each with an optional kxrtdebug.cfg.
class DebugLogTest : public testing::Test {
protected:
    void SetUp() override {
        root = dir.sub("root");
        cwd = dir.sub("cwd");
    }
    void TearDown() override { InitLoggingFrom(dir.sub("off"), dir.sub("off")); }

    void config(const std::string& where, const std::string& value) {
        twtest::writeFile(where + "/kxrtdebug.cfg", "[DEBUG]\r\nVirtualMedia=" + value + "\r\n");
    }
    std::string cwdLog() const { return cwd + "/VirtualMedia.LOG"; }
    std::string rootLog() const { return root + "/VirtualMedia.log"; }
    bool exists(const std::string& p) const { return std::filesystem::exists(p); }

    // Logs one narrow and one wide line; returns what reached the console.
    std::string logBoth() {
        testing::internal::CaptureStdout();
        LogMessage("%s narrow %d\n", "Test::narrow:", 1);
        LogMessageW(L"%ls wide %d\n", L"Test::wide:", 2);
        return testing::internal::GetCapturedStdout();
    }

    twtest::TempDir dir;
    std::string root, cwd;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Matches text against a pattern in which '9' stands for one digit and '+'
// for one or more digits; returns the length matched, or npos.
size_t matchDigits(const std::string& text, const std::string& pattern) {
    size_t t = 0;
    for (char p : pattern) {
        auto digit = [&](size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; };
        if (p == '9') {
            if (!digit(t)) return std::string::npos;
            ++t;
        } else if (p == '+') {
            if (!digit(t)) return std::string::npos;
            while (digit(t)) ++t;
        } else {
            if (t >= text.size() || text[t] != p) return std::string::npos;
            ++t;
        }
    }
    return t;
}

TEST_F(DebugLogTest, OffWritesNothingAnywhere) {
    for (const char* value : {"", "0", "-3", "abc"}) {
        if (*value) config(cwd, value);
        InitLoggingFrom(root, cwd);
        EXPECT_EQ(DebugLogLevel(), 0) << value;
        EXPECT_EQ(LogMessage("%s x\n", "T:"), 0);
        EXPECT_EQ(LogMessageW(L"%ls x\n", L"T:"), 0);
        EXPECT_EQ(logBoth(), "") << value;
        EXPECT_FALSE(exists(cwdLog())) << value;
        EXPECT_FALSE(exists(rootLog())) << value;
    }
}

struct LevelCase {
    int level;
    bool wideToConsole, wideToFile;
};

TEST_F(DebugLogTest, LevelBitsRouteTheTwoLoggers) {
    const LevelCase cases[] = {{1, false, false}, {2, false, true}, {4, true, false}, {6, true, true}};
    for (const LevelCase& c : cases) {
        std::filesystem::remove(cwdLog());
        config(cwd, std::to_string(c.level));
        InitLoggingFrom(root, cwd);
        ASSERT_EQ(DebugLogLevel(), c.level);
        EXPECT_EQ(DebugLogPath(), cwdLog());
        const std::string console = logBoth();
        const std::string file = twtest::readFile(cwdLog());
        EXPECT_TRUE(has(console, "::Test::narrow: narrow 1\n")) << c.level;
        EXPECT_TRUE(has(file, "]:Test::narrow: narrow 1\r\n")) << c.level;
        EXPECT_EQ(has(console, "VirtualMedia::TID["), c.wideToConsole) << c.level;
        EXPECT_EQ(has(console, "::Test::wide: wide 2\n"), c.wideToConsole) << c.level;
        EXPECT_EQ(has(file, "]:Test::wide: wide 2\r\n"), c.wideToFile) << c.level;
        EXPECT_FALSE(exists(rootLog()));
    }
}

TEST_F(DebugLogTest, LineFormats) {
    config(cwd, "1");
    InitLoggingFrom(root, cwd);
    const std::string console = logBoth();
    const size_t c = matchDigits(console, "TID[+]::");
    ASSERT_NE(c, std::string::npos) << console;
    EXPECT_EQ(console.substr(c), "Test::narrow: narrow 1\n");

    const std::string file = twtest::readFile(cwdLog());
    const size_t f = matchDigits(file, "99-99-9999 99:99:99.999 TID[+]:");
    ASSERT_NE(f, std::string::npos) << file;
    EXPECT_EQ(file.substr(f), "Test::narrow: narrow 1\r\n");

    config(cwd, "4");
    InitLoggingFrom(root, cwd);
    const std::string wide = logBoth();
    const size_t w = wide.find("VirtualMedia::");
    ASSERT_NE(w, std::string::npos) << wide;
    const size_t n = matchDigits(wide.substr(w), "VirtualMedia::TID[+]::");
    ASSERT_NE(n, std::string::npos) << wide;
    EXPECT_EQ(wide.substr(w + n), "Test::wide: wide 2\n");
}

TEST_F(DebugLogTest, RootFileWinsAndNegativeCountsThere) {
    config(cwd, "1");
    for (const char* value : {"1", "-1"}) {
        config(root, value);
        InitLoggingFrom(root, cwd);
        EXPECT_EQ(DebugLogLevel(), std::stoi(value));
        EXPECT_EQ(DebugLogPath(), rootLog());
        logBoth();
        EXPECT_TRUE(has(twtest::readFile(rootLog()), "Test::narrow: narrow 1\r\n"));
        EXPECT_FALSE(exists(cwdLog()));
    }
    config(root, "0");  // zero in the root file: the current directory decides
    InitLoggingFrom(root, cwd);
    EXPECT_EQ(DebugLogPath(), cwdLog());
}

TEST_F(DebugLogTest, MessageTextIsNotReformattedAndIsCut) {
    config(cwd, "6");
    InitLoggingFrom(root, cwd);
    testing::internal::CaptureStdout();
    LogMessage("%s %s\n", "T:", "100%d sure %s");
    LogMessage("%s\n", std::string(2000, 'n').c_str());
    LogMessageW(L"%ls\n", std::wstring(2000, L'w').c_str());
    LogMessageW(L"%ls caf\u00e9\n", L"T:");
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string file = twtest::readFile(cwdLog());
    for (const std::string& out : {console, file}) {
        EXPECT_TRUE(has(out, "T: 100%d sure %s")) << out;
        EXPECT_TRUE(has(out, std::string(1023, 'n')));
        EXPECT_FALSE(has(out, std::string(1024, 'n')));
        EXPECT_TRUE(has(out, std::string(1023, 'w')));
        EXPECT_FALSE(has(out, std::string(1024, 'w')));
        EXPECT_TRUE(has(out, "T: caf\xC3\xA9"));  // wide text reaches the file as UTF-8
    }
}

TEST_F(DebugLogTest, LoggingKeepsTheLastError) {
    config(cwd, "6");
    InitLoggingFrom(root, cwd);
    testing::internal::CaptureStdout();
    errno = EACCES;
    LogMessage("%s x\n", "T:");
    EXPECT_EQ(errno, EACCES);
    LogMessageW(L"%ls x\n", L"T:");
    EXPECT_EQ(errno, EACCES);
    LogLastError("VMIO::CheckDrive");
    EXPECT_EQ(errno, EACCES);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(has(console, "VMIO::CheckDrive Error: 13: Permission denied\n"));
    EXPECT_TRUE(has(twtest::readFile(cwdLog()), "VMIO::CheckDrive Error: 13: Permission denied\r\n"));
}

TEST_F(DebugLogTest, LastErrorIsPrintedEvenWhenTheLogIsOff) {
    InitLoggingFrom(root, cwd);
    testing::internal::CaptureStdout();
    errno = ENOENT;
    LogLastError(L"VMIO::Open");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "VMIO::Open Error: 2: No such file or directory\n");
    EXPECT_FALSE(exists(cwdLog()));
}

// Bit 8 truncates on the first open of the process only, so this runs in a
// fresh process of its own, which checks the file itself.
TEST_F(DebugLogTest, Bit8TruncatesOnTheFirstOpenOnly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    twtest::writeFile(cwdLog(), "old line\r\n");
    config(cwd, "14");
    EXPECT_EXIT(
        {
            InitLoggingFrom(root, cwd);
            LogMessage("%s first\n", "T:");
            LogMessage("%s second\n", "T:");
            InitLoggingFrom(root, cwd);  // a second init does not re-arm the truncation
            LogMessage("%s third\n", "T:");
            const std::string file = twtest::readFile(cwdLog());
            const bool ok = !has(file, "old line") && has(file, "T: first\r\n") &&
                            has(file, "T: second\r\n") && has(file, "T: third\r\n");
            _exit(ok ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
