#include <gtest/gtest.h>

#include "platform/NativePath.h"

TEST(NativePath, BytesSurviveTheRoundTrip) {
    const std::string samples[] = {
        "/tmp/plain.img", "/tmp/caf\xc3\xa9.iso", std::string("/tmp/\xff\xfe\x80.img"),
        std::string("/tmp/half\xc3.img"), std::string("\xed\xa0\x80"),  // encoded surrogate: invalid
    };
    for (const std::string& s : samples) EXPECT_EQ(tw::toNativePath(tw::fromNativePath(s)), s) << s;
    EXPECT_EQ(tw::fromNativePath("\xff"), std::wstring(1, wchar_t(0xDCFF)));
    EXPECT_EQ(tw::fromNativePath("caf\xc3\xa9"), L"caf\u00e9");
    EXPECT_EQ(tw::toNativePath(static_cast<const wchar_t*>(nullptr)), "");
}
