#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ArgumentParser.h"
#include "support/Argv.h"

namespace {

using Args = twtest::Argv;

struct Slot {
    const char* key;
    const char* value;  // null: no value
};

struct ParseCase {
    const char* what;
    std::vector<std::string> args;
    std::vector<Slot> slots;
};

TEST(ArgumentParser, BuildsTheSlotTable) {
    const ParseCase cases[] = {
        {"program name only", {"Tarnwick"}, {}},
        {"key with value", {"Tarnwick", "-a", "host"}, {{"a", "host"}}},
        {"extra values are skipped", {"Tarnwick", "-a", "host", "extra", "-u", "me"}, {{"a", "host"}, {"u", "me"}}},
        {"key without value", {"Tarnwick", "-i", "-c", "/tmp/cd.iso"}, {{"i", nullptr}, {"c", "/tmp/cd.iso"}}},
        {"repeated key keeps both slots", {"Tarnwick", "-fw", "a.img", "-fw", "b.img"}, {{"fw", "a.img"}, {"fw", "b.img"}}},
        {"lone dash is the empty key", {"Tarnwick", "-", "x"}, {{"", "x"}}},
        {"digits after the dash", {"Tarnwick", "-5", "-o", "623"}, {{"5", nullptr}, {"o", "623"}}},
        {"program name may be a key", {"-prog", "v"}, {{"prog", "v"}}},
        {"values before any key are skipped", {"Tarnwick", "stray", "-v"}, {{"v", nullptr}}},
    };
    for (const ParseCase& c : cases) {
        Args a(c.args);
        ArgumentParser p(a.argc(), a.argv());
        ASSERT_EQ(p.getNumberOfKeys(), static_cast<int>(c.slots.size())) << c.what;
        for (size_t i = 0; i < c.slots.size(); ++i) {
            EXPECT_STREQ(p.getKeyAt(static_cast<int>(i)), c.slots[i].key) << c.what;
            EXPECT_STREQ(p.getValueAt(static_cast<int>(i)), c.slots[i].value) << c.what;
        }
        EXPECT_EQ(p.getKeyAt(-1), nullptr);
        EXPECT_EQ(p.getKeyAt(p.getNumberOfKeys()), nullptr);
        EXPECT_EQ(p.getValueAt(p.getNumberOfKeys()), nullptr);
    }
}

TEST(ArgumentParser, LookupsAreExactAndFindTheFirst) {
    Args a{"Tarnwick", "-fw", "first", "-fw", "second", "-a", "-A", "upper"};
    ArgumentParser p(a.argc(), a.argv());
    EXPECT_STREQ(p.getValue("fw"), "first");
    EXPECT_EQ(p.hasKey("fw"), 1);
    EXPECT_EQ(p.hasKey("f"), 0);  // no prefix match
    EXPECT_EQ(p.hasKey("fww"), 0);
    EXPECT_EQ(p.hasKey("a"), 1);
    EXPECT_EQ(p.getValue("a"), nullptr);  // present without a value
    EXPECT_STREQ(p.getValue("A"), "upper");
    EXPECT_EQ(p.getValue("x"), nullptr);
    EXPECT_EQ(p.hasKey(nullptr), 0);
}

TEST(ArgumentParser, MoreThan128OptionsNeverOverflowTheTable) {
    std::vector<std::string> args{"Tarnwick"};
    for (int i = 0; i < 300; ++i) {
        args.push_back("-k" + std::to_string(i));
        args.push_back("v" + std::to_string(i));
    }
    Args a(args);
    ArgumentParser p(a.argc(), a.argv());
    ASSERT_EQ(p.getNumberOfKeys(), ArgumentParser::MAX_KEYS);
    EXPECT_STREQ(p.getKeyAt(127), "k127");
    EXPECT_STREQ(p.getValueAt(127), "v127");  // later values did not attach to the last slot
    EXPECT_EQ(p.hasKey("k128"), 0);
    EXPECT_EQ(p.getKeyAt(128), nullptr);
}

}  // namespace
