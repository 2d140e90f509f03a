#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/IniReader.h"
#include "support/TempDir.h"

namespace {

struct IniCase {
    const char* what;
    const char* text;
    int expected;  // for [DEBUG] VirtualMedia with default 0
};

TEST(IniReader, PrivateProfileRules) {
    const IniCase cases[] = {
        {"plain", "[DEBUG]\nVirtualMedia=1\n", 1},
        {"CR LF line ends", "[DEBUG]\r\nVirtualMedia=6\r\n", 6},
        {"UTF-8 BOM", "\xEF\xBB\xBF[DEBUG]\nVirtualMedia=2\n", 2},
        {"names case-insensitive", "[debug]\nvirtualmedia=3\n", 3},
        {"names trimmed", "[ DEBUG ]\n  VirtualMedia  =  4  \n", 4},
        {"tabs trimmed", "\t[DEBUG]\t\n\tVirtualMedia\t=\t5\n", 5},
        {"first key wins", "[DEBUG]\nVirtualMedia=7\nVirtualMedia=8\n", 7},
        {"first section wins", "[DEBUG]\nVirtualMedia=9\n[DEBUG]\nVirtualMedia=10\n", 9},
        {"only the first section is read", "[DEBUG]\nOther=1\n[DEBUG]\nVirtualMedia=10\n", 0},
        {"first section after another", "[X]\n[DEBUG]\nOther=1\n[Y]\n[DEBUG]\nVirtualMedia=10\n", 0},
        {"key before any section", "VirtualMedia=1\n[DEBUG]\n", 0},
        {"key in another section", "[OTHER]\nVirtualMedia=1\n[DEBUG]\nx=2\n", 0},
        {"line without =", "[DEBUG]\nVirtualMedia\nVirtualMedia=3\n", 3},
        {"semicolon is part of the key", "[DEBUG]\n;VirtualMedia=1\n", 0},
        {"inline text after the number", "[DEBUG]\nVirtualMedia=6 ; comment\n", 6},
        {"quoted", "[DEBUG]\nVirtualMedia=\"12\"\n", 12},
        {"single-quoted", "[DEBUG]\nVirtualMedia='13'\n", 13},
        {"unmatched quote", "[DEBUG]\nVirtualMedia=\"14\n", 0},
        {"negative", "[DEBUG]\nVirtualMedia=-1\n", -1},
        {"plus sign", "[DEBUG]\nVirtualMedia=+15\n", 15},
        {"not a number", "[DEBUG]\nVirtualMedia=abc\n", 0},
        {"digits then text", "[DEBUG]\nVirtualMedia=6abc\n", 6},
        {"empty value", "[DEBUG]\nVirtualMedia=\n", 0},
        {"value with = inside", "[DEBUG]\nVirtualMedia=3=4\n", 3},
        {"no section at all", "", 0},
        {"no line end at the end", "[DEBUG]\nVirtualMedia=11", 11},
        {"huge number saturates", "[DEBUG]\nVirtualMedia=99999999999999999999\n", 2147483647},
    };
    for (const IniCase& c : cases)
        EXPECT_EQ(tw::iniGetIntFromText(c.text, "DEBUG", "VirtualMedia", 0), c.expected) << c.what;
}

TEST(IniReader, MissingPiecesGiveTheDefault) {
    EXPECT_EQ(tw::iniGetIntFromText("[DEBUG]\nOther=1\n", "DEBUG", "VirtualMedia", 42), 42);
    EXPECT_EQ(tw::iniGetIntFromText("[X]\nVirtualMedia=1\n", "DEBUG", "VirtualMedia", 42), 42);
    EXPECT_EQ(tw::iniGetIntFromText("[DEBUG]\nVirtualMedia=\n", "DEBUG", "VirtualMedia", 42), 42);
    EXPECT_EQ(tw::iniGetIntFromText("[DEBUG]\nVirtualMedia=x\n", "DEBUG", "VirtualMedia", 42), 0);
    twtest::TempDir dir;
    EXPECT_EQ(tw::iniGetInt(dir.file("absent.cfg"), "DEBUG", "VirtualMedia", 42), 42);
    EXPECT_EQ(tw::iniGetInt(dir.path(), "DEBUG", "VirtualMedia", 42), 42);  // a directory
    twtest::writeFile(dir.file("k.cfg"), "[DEBUG]\r\nVirtualMedia=14\r\n");
    EXPECT_EQ(tw::iniGetInt(dir.file("k.cfg"), "DEBUG", "VirtualMedia", 0), 14);
}

// Runs iniGetInt in a child process, so that a lookup that blocks or reads
// without end fails this test instead of hanging it or exhausting memory.
// Empty when the child did not answer within a generous bound.
std::optional<int> lookupInChild(const std::string& path, int defaultValue) {
    int fds[2];
    if (pipe(fds) != 0) return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const rlimit cap{512u << 20, 512u << 20};  // sanitizers need far more address space
        setrlimit(RLIMIT_AS, &cap);
#endif
        // Never back into the test runner, whatever happens here.
        try {
            const int value = tw::iniGetInt(path, "DEBUG", "VirtualMedia", defaultValue);
            const ssize_t ignored = write(fds[1], &value, sizeof value);
            (void)ignored;
        } catch (...) {
        }
        _exit(0);
    }
    close(fds[1]);
    std::optional<int> result;
    pollfd p{fds[0], POLLIN, 0};
    int value = 0;
    if (pid > 0 && poll(&p, 1, 20000) == 1 && read(fds[0], &value, sizeof value) == sizeof value) result = value;
    close(fds[0]);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return result;
}

TEST(IniReader, ReadsOnlyABoundedPartOfARegularFile) {
    twtest::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.cfg").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.cfg").c_str()), 0);
    const std::string head = "[DEBUG]\nVirtualMedia=5\n";
    twtest::writeFile(dir.file("huge.cfg"), head);
    ASSERT_EQ(truncate(dir.file("huge.cfg").c_str(), off_t{1} << 30), 0);  // sparse
    // A key past the limit, and a value line that the limit cuts in two.
    twtest::writeFile(dir.file("late.cfg"), "[DEBUG]\n" + std::string(tw::kIniReadLimit, '\n') + "VirtualMedia=5\n");
    std::string cut = "[DEBUG]\n";
    cut += std::string(tw::kIniReadLimit - cut.size() - 14, '\n') + "VirtualMedia=12345\n";
    twtest::writeFile(dir.file("cut.cfg"), cut);

    const struct {
        const char* name;
        int expected;  // default 42
    } cases[] = {
        {"fifo.cfg", 42}, {"zero.cfg", 42}, {"huge.cfg", 5}, {"late.cfg", 42}, {"cut.cfg", 42},
    };
    for (const auto& c : cases) {
        const std::optional<int> value = lookupInChild(dir.file(c.name), 42);
        if (!value) {
            ADD_FAILURE() << c.name << ": the lookup hung or failed";
            continue;
        }
        EXPECT_EQ(*value, c.expected) << c.name;
    }
}

}  // namespace
