#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include <unistd.h>

#include "platform/Clock.h"
#include "platform/SystemInfo.h"
#include "platform/WideText.h"

namespace {

TEST(SystemInfo, ThreadIdsAreTheKernelsTaskIds) {
    const int main = tw::currentThreadId();
    EXPECT_EQ(main, getpid());  // the main thread's task id is the process id
    int other = 0;
    std::thread([&] {
        other = tw::currentThreadId();
        EXPECT_TRUE(std::filesystem::exists("/proc/self/task/" + std::to_string(other)));
    }).join();
    EXPECT_NE(other, main);
}

TEST(SystemInfo, LocalTimeIsInRange) {
    const tw::LocalTime t = tw::localTimeNow();
    EXPECT_GE(t.year, 2024);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_LE(t.hour, 23);
    EXPECT_LE(t.second, 60);
    EXPECT_GE(t.millisecond, 0);
    EXPECT_LE(t.millisecond, 999);
}

TEST(SystemInfo, LastErrorAndErrorText) {
    tw::setLastError(ENOENT);
    EXPECT_EQ(tw::lastError(), ENOENT);
    EXPECT_EQ(tw::errorText(ENOENT), "No such file or directory");
    EXPECT_FALSE(tw::errorText(123456).empty());
}

TEST(WideText, RoundTripsAndReplacesInvalidInput) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
    const std::wstring wide = tw::fromUtf8(utf8);
    EXPECT_EQ(wide, std::wstring(L"a\u00E9\u20AC\U0001F600"));
    EXPECT_EQ(tw::toUtf8(wide), utf8);
    EXPECT_EQ(tw::toUtf8(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(tw::fromUtf8("x\xFFy"), std::wstring(L"x\uFFFDy"));
    EXPECT_EQ(tw::fromUtf8("\xE2\x82"), std::wstring(L"\uFFFD\uFFFD"));   // cut short
    EXPECT_EQ(tw::fromUtf8("\xC0\xAF"), std::wstring(L"\uFFFD\uFFFD"));   // overlong
}

TEST(Clock, ScaleShortensLibraryTime) {
    const double before = tw::Clock::scale();
    tw::Clock::setScale(0.5);
    EXPECT_EQ(tw::Clock::toReal(1000), std::chrono::milliseconds(500));
    tw::Clock::setScale(0);  // refused
    EXPECT_EQ(tw::Clock::scale(), 0.5);
    tw::Clock::setScale(before);
    EXPECT_EQ(tw::Clock::toReal(-5), std::chrono::nanoseconds(0));
}

}  // namespace
