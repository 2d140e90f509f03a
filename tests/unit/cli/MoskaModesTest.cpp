#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <stdio_ext.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MOSKA.h"
#include "api/VMConstants.h"
#include "platform/Clock.h"
#include "session/ApplianceProcess.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/NativePath.h"
#include "fakes/FakeDevicePlatform.h"
#include "support/TempDir.h"
#include "support/Argv.h"

namespace {

using twtest::Argv;

// Standard input comes from the given descriptor while this lives; whatever
// stdio had buffered from before is dropped both ways.
class StdinFrom {
public:
    explicit StdinFrom(int fd) : m_saved(dup(0)) {
        __fpurge(stdin);
        dup2(fd, 0);
        clearerr(stdin);
    }
    ~StdinFrom() {
        __fpurge(stdin);
        dup2(m_saved, 0);
        close(m_saved);
        clearerr(stdin);
    }
    StdinFrom(const StdinFrom&) = delete;
    StdinFrom& operator=(const StdinFrom&) = delete;

private:
    int m_saved;
};

// A pipe holding the whole text, closed at the writing end: the reader sees
// the text and then the end of input.
class FedStdin {
public:
    explicit FedStdin(const std::string& text) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        const ssize_t n = write(fds[1], text.data(), text.size());
        EXPECT_EQ(n, static_cast<ssize_t>(text.size()));
        close(fds[1]);
        m_use = std::make_unique<StdinFrom>(fds[0]);
        close(fds[0]);
    }

private:
    std::unique_ptr<StdinFrom> m_use;
};

struct RunResult {
    std::string out;
    int status;
};

RunResult runWithInput(std::initializer_list<std::string> args, const std::string& input) {
    Argv a(args);
    FedStdin in(input);
    testing::internal::CaptureStdout();
    int status;
    {
        MOSKA m(a.argc(), a.argv());
        m.run();
        status = m.exitStatus();
    }
    return {testing::internal::GetCapturedStdout(), status};
}

const std::string kMenu = "Please select a choice:\n1. To continue\n2. To quit\n\nEnter the choice: ";
const std::string kMediaMenu =
    "\n\nSelect the media:\n1. Redirect Floppy\n2. Redirect Removable\n3. Redirect CD/DVD\n4. Continue\n"
    "5. Quit\nEnter the media: ";
const std::string kLogin = "\nIP Address: Username: Password: ";

// The interactive transcript up to (and including) the answers, for input
// that never reaches a connection.
TEST(InteractiveMode, InputHandling) {
    const std::string longLine(300, 'A');
    struct Case {
        const char* what;
        std::string input;
        std::string output;
        int status;
    } cases[] = {
        {"quit at once", "2\n", kMenu, 0},
        {"bad choices ask again", "x\n\n3\n2\n", kMenu + "Invalid choice.\n\n" + kMenu + "Invalid choice.\n\n" + kMenu +
                                                    "Invalid choice.\n\n" + kMenu, 0},
        {"only the first character counts", "2x\n", kMenu, 0},
        {"end of input in the menu", "", kMenu + "\nStopping due to errors\n", 1},
        {"end of input after bad choices", "9\n", kMenu + "Invalid choice.\n\n" + kMenu + "\nStopping due to errors\n", 1},
        // The menu's "1" is never taken for the address.
        {"end of input at the address", "1\n", kMenu + "\nIP Address: \nStopping due to errors\n", 1},
        {"empty address", "1\n\n", kMenu + "\nIP Address: IP Address not valid\nStopping due to errors\n", 1},
        {"CR LF line end is a line end", "1\r\n\r\n",
         kMenu + "\nIP Address: IP Address not valid\nStopping due to errors\n", 1},
        {"empty user", "1\nhost\n\n", kMenu + "\nIP Address: Username: Username not valid\nStopping due to errors\n", 1},
        {"a space is a user name", "1\nhost\n \npw\n5\n", kMenu + kLogin + kMediaMenu, 0},
        // The rest of an over-long address must not answer the user prompt.
        {"over-long line", "1\n" + longLine + "\n\n",
         kMenu + "\nIP Address: Username: Username not valid\nStopping due to errors\n", 1},
        {"quit in the media menu", "1\nhost\nuser\npw\n5\n", kMenu + kLogin + kMediaMenu, 0},
        {"empty password accepted", "1\nhost\nuser\n\n5\n", kMenu + kLogin + kMediaMenu, 0},
        {"bad media choices", "1\nhost\nuser\npw\n0\n6\n\n5\n",
         kMenu + kLogin + kMediaMenu + "Invalid choice.\n" + kMediaMenu + "Invalid choice.\n" + kMediaMenu +
             "Invalid choice.\n" + kMediaMenu, 0},
        {"end of input in the media menu", "1\nhost\nuser\npw\n",
         kMenu + kLogin + kMediaMenu + "\nStopping due to errors\n", 1},
        {"end of input at the password", "1\nhost\nuser\npw",
         kMenu + kLogin + kMediaMenu + "\nStopping due to errors\n", 1},
        {"end of input at a path", "1\nhost\nuser\npw\n3\n",
         kMenu + kLogin + kMediaMenu + "\nCD/DVD path: \nStopping due to errors\n", 1},
    };
    for (const Case& c : cases) {
        const RunResult r = runWithInput({"Tarnwick", "-i"}, c.input);
        EXPECT_EQ(r.out, c.output) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what;
    }
}

// A listener that was closed again: connecting to its port is refused at once.
int closedLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

TEST(CommandLineMode, FailuresBeforeAndAtTheConnection) {
    const std::string port = std::to_string(closedLoopbackPort());
    const std::string failed = "Connection Failed\nStopping due to errors\n";
    // The front end's lines before the connection; the session's own lines
    // ("Connecting to: ...") may stand between them and the end.
    struct Case {
        std::initializer_list<std::string> args;
        std::string before;
        std::string end;
    } cases[] = {
        {{"Tarnwick", "-a", "127.0.0.1", "-u", "u", "-p", "p"}, "", "No drives specified\nStopping due to errors\n"},
        {{"Tarnwick", "-c"},
         "Server Address is missing (-a)\nUser name is missing (-u)\nUser password is missing (-p)\n", failed},
        // A key without a value sets no address, so the connection cannot start.
        {{"Tarnwick", "-a", "-u", "u", "-p", "p", "-f", "x.img"}, "", failed},
        {{"Tarnwick", "-a", "127.0.0.1", "-o", port, "-u", "u", "-p", "p", "-c", "x.iso"}, "", failed},
        {{"Tarnwick", "-a", "127.0.0.1", "-o", port, "-rw", "x.img"},
         "User name is missing (-u)\nUser password is missing (-p)\n", failed},
        // No port a connection can use.
        {{"Tarnwick", "-a", "127.0.0.1", "-o", "70000", "-u", "u", "-p", "p", "-c", "x.iso"}, "", failed},
    };
    for (const Case& c : cases) {
        const RunResult r = runWithInput(c.args, "");
        EXPECT_TRUE(r.out.starts_with(c.before) && r.out.ends_with(c.end) &&
                    r.out.size() >= c.before.size() + c.end.size())
            << *(c.args.begin() + 1) << ":\n" << r.out;
        EXPECT_EQ(r.out.find("Mapped"), std::string::npos);
        EXPECT_EQ(r.status, 1);
    }
}

// A server that vanishes after the medium is mapped: one line for the read
// error (not one per retry), one saying the connection was lost, and the run
// fails. The library's clock runs fast, so its 31 one-second retries are short.
TEST(CommandLineMode, ADeadConnectionFailsTheRun) {
    struct FastClock {
        FastClock() { tw::Clock::setScale(0.01); }
        ~FastClock() { tw::Clock::setScale(1.0); }
    } fast;
    sessiontest::ApplianceProcess app("{}");
    twtest::TempDir dir;
    const std::string iso = dir.file("disc.iso");
    twtest::writeFile(iso, std::string(64 * 1024, '\0'));
    Argv a({"Tarnwick", "-a", "127.0.0.1", "-o", std::to_string(app.port()), "-u", "u", "-p", "p", "-c", iso});
    testing::internal::CaptureStdout();
    bool dropped = false;
    int status = -1;
    {
        MOSKA m(a.argc(), a.argv());
        std::thread run([&m] { m.run(); });
        dropped = app.waitFor("VDiskRequest", nullptr, 1, 20) && app.drop();
        if (!dropped) MOSKA::terminateInstance();  // never leave the run waiting
        run.join();
        status = m.exitStatus();
    }
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(dropped) << out;
    size_t errors = 0;
    for (size_t at = out.find("Error: "); at != std::string::npos; at = out.find("Error: ", at + 1)) ++errors;
    EXPECT_EQ(errors, 1u) << out;
    EXPECT_NE(out.find("Mapped CD!\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nConnection to the server was lost\nStopping due to errors\n"), std::string::npos) << out;
    EXPECT_EQ(status, MOSKA::EXIT_CONNECTION_LOST);
}

TEST(ReadHiddenInput, KeysFromAPipe) {
    struct Case {
        const char* what;
        std::string input;
        unsigned size;
        std::string stored;
        std::string left;  // what the next line read sees
    } cases[] = {
        {"plain", "secret\nnext\n", 256, "secret", "next\n"},
        {"backspace and delete", "abc\bd\x7f" "e\n", 256, "abe", ""},
        {"backspace on nothing", "\b\x7f\bx\n", 256, "x", ""},
        {"carriage return ends", "pw\rrest\n", 256, "pw", "rest\n"},
        {"end of input ends", "pw", 256, "pw", ""},
        {"nothing at all", "", 256, "", ""},
        {"a long line keeps size - 1", std::string(300, 'p') + "\nnext\n", 256, std::string(255, 'p'), "next\n"},
        {"size one keeps nothing", "abc\n", 1, "", ""},
        {"backspace works at the limit", "abcd\bx\n", 4, "abx", ""},
        // Only a terminal has an end-of-file or kill key; a pipe's bytes are characters.
        {"control keys are characters in a pipe", "a\x04" "b\x15" "c\n", 256, "a\x04" "b\x15" "c", ""},
    };
    for (const Case& c : cases) {
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        FedStdin in(c.input);
        std::vector<char> buf(c.size + 1, 'Z');
        testing::internal::CaptureStdout();
        m.readHiddenInput(buf.data(), c.size);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
        EXPECT_EQ(std::string(buf.data()), c.stored) << c.what;
        EXPECT_EQ(buf[c.size], 'Z') << c.what;  // nothing written past the buffer
        std::string left;
        for (int ch; (ch = std::getc(stdin)) != EOF;) left += static_cast<char>(ch);
        EXPECT_EQ(left, c.left) << c.what;
    }
}

// Waits (bounded) until the terminal's local flags satisfy pred.
template <typename Pred>
bool waitForFlags(int fd, Pred pred, tcflag_t* seen) {
    for (int i = 0; i < 5000; ++i) {
        termios t{};
        if (tcgetattr(fd, &t) == 0 && pred(t.c_lflag)) {
            *seen = t.c_lflag;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Keys typed on a terminal: its end-of-file key (Ctrl-D) ends the line like
// Enter and is not part of the password; its kill key (Ctrl-U) clears what
// was typed before.
TEST(ReadHiddenInput, TerminalEndOfFileAndKillKeys) {
    struct Case {
        const char* what;
        std::string keys;
        std::string stored;
        std::string left;  // what the next line read sees
    } cases[] = {
        {"Ctrl-D ends the line", "pw\x04next\n", "pw", "next\n"},
        {"Ctrl-D on nothing", "\x04rest\n", "", "rest\n"},
        {"Ctrl-U clears", "wrong\x15right\r", "right", ""},
        {"Ctrl-U then backspace on nothing", "ab\x15\x7f" "c\n", "c", ""},
    };
    for (const Case& c : cases) {
        int master = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios t{};
        ASSERT_EQ(tcgetattr(slave, &t), 0);
        ASSERT_EQ(t.c_cc[VEOF], 4);
        ASSERT_EQ(t.c_cc[VKILL], 21);
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        char buf[256];
        std::string left;
        {
            StdinFrom in(slave);
            std::thread reader([&] { m.readHiddenInput(buf, sizeof buf); });
            tcflag_t during = 0;
            // Typed once the line mode is off, so the terminal passes every key on.
            EXPECT_TRUE(waitForFlags(slave, [](tcflag_t f) { return !(f & ICANON); }, &during)) << c.what;
            EXPECT_EQ(write(master, c.keys.data(), c.keys.size()), static_cast<ssize_t>(c.keys.size()));
            reader.join();
            // What is left up to a last line typed now.
            const std::string end = "END\n";
            EXPECT_EQ(write(master, end.data(), end.size()), static_cast<ssize_t>(end.size()));
            for (char next[64]; std::fgets(next, sizeof next, stdin) && end != next;) left += next;
        }
        EXPECT_EQ(std::string(buf), c.stored) << c.what;
        EXPECT_EQ(left, c.left) << c.what;
        close(master);
        close(slave);
    }
}

TEST(ReadHiddenInput, TerminalWithoutEchoThenRestored) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE(before.c_lflag & ECHO);
    ASSERT_TRUE(before.c_lflag & ICANON);

    Argv a{"Tarnwick"};
    MOSKA m(a.argc(), a.argv());
    char buf[256];
    {
        StdinFrom in(slave);
        std::thread reader([&] { m.readHiddenInput(buf, sizeof buf); });
        tcflag_t during = 0;
        const bool quiet = waitForFlags(slave, [](tcflag_t f) { return !(f & ECHO); }, &during);
        EXPECT_TRUE(quiet) << "echo was never switched off";
        EXPECT_FALSE(during & ICANON);
        EXPECT_TRUE(during & ISIG) << "Ctrl-C must still raise SIGINT";
        // Typed keys, Backspace as the terminal sends it, Enter.
        const std::string keys = "hunter2\x7f" "3\r";
        EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        if (!quiet) {
            const char nl = '\n';
            EXPECT_EQ(write(master, &nl, 1), 1);
        }
        reader.join();
    }
    EXPECT_STREQ(buf, "hunter3");
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);

    // Nothing came back on the terminal: no echo, not even of the line end.
    const int flags = fcntl(master, F_GETFL);
    fcntl(master, F_SETFL, flags | O_NONBLOCK);
    char echoed[64];
    EXPECT_LE(read(master, echoed, sizeof echoed), 0);
    close(master);
    close(slave);
}

// ----- media validation through the facade -----

bool facadeHasLocalDrives(const std::string& probePath) {
    RP_VMAPI_LIB lib;
    const std::wstring w = tw::fromNativePath(probePath);
    std::unique_ptr<VMLocalDrive> d(lib.getLocalDriveObject(w.c_str(), true));
    return d != nullptr;
}

void makeFile(const std::string& path, off_t size) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

class Validation : public testing::Test {
protected:
    void SetUp() override {
        floppy = dir.file("floppy.img");
        big = dir.file("big.IMG");  // the suffix is not case-sensitive
        iso = dir.file("disc.iso");
        empty = dir.file("empty.img");
        text = dir.file("notes.txt");
        missing = dir.file("missing.img");
        odd = dir.path() + "/caf\xe9-\xff.img";  // not UTF-8: shown and opened as typed
        makeFile(floppy, 1474560);
        makeFile(big, 8 << 20);
        makeFile(iso, 2048 * 300);
        makeFile(empty, 0);
        makeFile(text, 4096);
        makeFile(odd, 1474560);
        if (!facadeHasLocalDrives(dir.file("probe.iso")))
            GTEST_SKIP() << "the facade does not build local drives yet (getLocalDriveObject returns null)";
    }

    twtest::TempDir dir;
    std::string floppy, big, iso, empty, text, missing, odd;
};

// The front end's own lines: the library's system-error lines (always
// printed, "Class::method Error: ...") are dropped.
std::string frontEndLines(const std::string& out) {
    std::string kept;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        end = end == std::string::npos ? out.size() : end + 1;
        const std::string line = out.substr(start, end - start);
        const size_t space = line.find(' ');
        const bool systemError = space != std::string::npos && line.find("::") < space &&
                                 line.compare(space, 8, " Error: ") == 0;
        if (!systemError) kept += line;
        start = end;
    }
    return kept;
}

enum class Kind { Floppy, FloppyW, Removable, RemovableW, CD };

int validate(MOSKA& m, Kind k, const std::string& path) {
    switch (k) {
        case Kind::Floppy: return m.validateFloppy(path.c_str(), 0);
        case Kind::FloppyW: return m.validateFloppy(path.c_str(), 1);
        case Kind::Removable: return m.validateRemovable(path.c_str(), 0);
        case Kind::RemovableW: return m.validateRemovable(path.c_str(), 1);
        case Kind::CD: return m.validateCD(path.c_str());
    }
    return -1;
}

struct ValidationCase {
    Kind kind;
    std::string path;
    std::string output;  // empty: accepted
};

// Each case on a fresh front end: the lines printed and the verdict.
template <size_t N>
void expectValidations(const ValidationCase (&cases)[N]) {
    for (const ValidationCase& c : cases) {
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        testing::internal::CaptureStdout();
        const int rejected = validate(m, c.kind, c.path);
        EXPECT_EQ(frontEndLines(testing::internal::GetCapturedStdout()), c.output) << c.path << " kind " << int(c.kind);
        EXPECT_EQ(rejected, c.output.empty() ? 0 : 1) << c.path << " kind " << int(c.kind);
    }
}

TEST_F(Validation, WhichMediaEachKindTakes) {
    const std::string noF = "Local Device type is not compatible with -f (floppy): ";
    const std::string noR = "Local Device type is not compatible with -r (removable): ";
    const std::string noC = "Local Device type is not compatible with -c: (CD/DVD) ";
    const ValidationCase cases[] = {
        {Kind::Floppy, floppy, ""},
        {Kind::FloppyW, floppy, ""},
        {Kind::Removable, floppy, ""},  // a floppy image also serves as removable
        {Kind::CD, floppy, noC + floppy + "\n"},
        {Kind::Floppy, big, noF + big + "\n"},
        {Kind::Removable, big, ""},
        {Kind::RemovableW, big, ""},
        {Kind::CD, big, noC + big + "\n"},
        {Kind::CD, iso, ""},
        {Kind::Floppy, iso, noF + iso + "\n"},
        {Kind::Removable, iso, noR + iso + "\n"},
        {Kind::FloppyW, iso, "Local Device not writable: " + iso + "\n"},
        {Kind::Floppy, empty, "Local Device has no data: " + empty + "\n"},
        {Kind::CD, empty, "Local Device has no data: " + empty + "\n"},
        {Kind::Floppy, missing, "Local Device has no data: " + missing + "\n"},
        {Kind::Removable, text, "Local Device has no data: " + text + "\n"},
        {Kind::Floppy, odd, ""},
        {Kind::CD, odd, noC + odd + "\n"},
    };
    expectValidations(cases);
}

// An accepted medium is marked for mapping with the read-only choice made;
// a CD keeps the library's read-only setting.
TEST_F(Validation, AcceptedMediumIsMarkedWithTheReadOnlyChoice) {
    struct Case {
        Kind kind;
        std::string path;
        int readOnly;
    } cases[] = {
        {Kind::Floppy, floppy, 1}, {Kind::FloppyW, floppy, 0}, {Kind::Removable, big, 1},
        {Kind::RemovableW, big, 0}, {Kind::CD, iso, 1},
    };
    for (const Case& c : cases) {
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        testing::internal::CaptureStdout();
        EXPECT_EQ(validate(m, c.kind, c.path), 0);
        testing::internal::GetCapturedStdout();
        ASSERT_NE(g_lib.load(), nullptr);
        const std::wstring w = tw::fromNativePath(c.path);
        std::unique_ptr<VMLocalDrive> d(g_lib.load()->getLocalDriveObject(w.c_str(), false));
        ASSERT_NE(d, nullptr) << c.path;
        EXPECT_EQ(d->isMarkedForMapping(), 1) << c.path;
        EXPECT_EQ(d->isInReadOnlyMode(), c.readOnly) << c.path << " kind " << int(c.kind);
    }
}

// Root may write any file, so a read-only image needs the immutable flag.
TEST_F(Validation, WritableRequestOnAReadOnlyImage) {
    const std::string ro = dir.file("locked.img");
    makeFile(ro, 1474560);
    chmod(ro.c_str(), 0444);
    if (geteuid() == 0 && std::system(("chattr +i '" + ro + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot make a file read-only for root here";
    for (Kind k : {Kind::FloppyW, Kind::RemovableW}) {
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        testing::internal::CaptureStdout();
        EXPECT_EQ(validate(m, k, ro), 1);
        EXPECT_EQ(frontEndLines(testing::internal::GetCapturedStdout()), "Local Device not writable: " + ro + "\n");
    }
    {
        Argv a{"Tarnwick"};
        MOSKA m(a.argc(), a.argv());
        testing::internal::CaptureStdout();
        EXPECT_EQ(m.validateFloppy(ro.c_str(), 0), 0);  // read-only use is fine
        EXPECT_EQ(frontEndLines(testing::internal::GetCapturedStdout()), "");
    }
    if (geteuid() == 0) {
        EXPECT_EQ(std::system(("chattr -i '" + ro + "'").c_str()), 0);
    }
}

// Devices, through the device layer's fake platform: what the checks make of
// a missing disc, a mounted or write-protected stick and each device type.
TEST_F(Validation, Devices) {
    FakeDevicePlatform fake;
    ScopedPlatform use(fake);
    fake.addDisk("/fake/usb", 8, 16, 8 << 20).usb = true;
    fake.addDisk("/fake/usb-small", 8, 32, 2 << 20).usb = true;  // floppy-sized
    FakeDevicePlatform::Disk& mounted = fake.addDisk("/fake/usb-mounted", 8, 48, 8 << 20);
    mounted.usb = true;
    mounted.mounted = true;
    FakeDevicePlatform::Disk& locked = fake.addDisk("/fake/usb-locked", 8, 64, 8 << 20);
    locked.usb = true;
    locked.readOnly = true;
    fake.addDisk("/fake/fd0", 2, 0, 1474560);
    fake.addDisk("/fake/sr0", 11, 0, 1000 * 2048, 2048);
    fake.addDisk("/fake/sr1", 11, 1, 0, 2048).mediaPresent = false;
    // Fixed disks (neither removable nor USB): offered to no server drive,
    // so refused as of the wrong type; probed like any disk first, so a
    // reason found before the type is the true one.
    fake.addDisk("/fake/sda", 8, 80, 1474560);
    fake.addDisk("/fake/sda-mounted", 8, 96, 8 << 20).mounted = true;
    fake.addDisk("/fake/sda-locked", 8, 112, 8 << 20).readOnly = true;

    const std::string noF = "Local Device type is not compatible with -f (floppy): ";
    const std::string noC = "Local Device type is not compatible with -c: (CD/DVD) ";
    const std::string noR = "Local Device type is not compatible with -r (removable): ";
    const ValidationCase cases[] = {
        {Kind::Removable, "/fake/usb", ""},
        {Kind::RemovableW, "/fake/usb", ""},
        {Kind::Floppy, "/fake/usb", noF + "/fake/usb\n"},
        {Kind::CD, "/fake/usb", noC + "/fake/usb\n"},
        {Kind::FloppyW, "/fake/usb-small", ""},
        {Kind::Removable, "/fake/usb-small", ""},
        {Kind::Floppy, "/fake/fd0", ""},
        {Kind::CD, "/fake/sr0", ""},
        {Kind::Floppy, "/fake/sr0", noF + "/fake/sr0\n"},
        {Kind::Removable, "/fake/sr0", noR + "/fake/sr0\n"},
        {Kind::CD, "/fake/sr1", "Local Drive has no media: /fake/sr1\n"},
        {Kind::Removable, "/fake/usb-mounted", ""},  // read-only use of a mounted stick
        {Kind::RemovableW, "/fake/usb-mounted",
         "Local Device not writable: /fake/usb-mounted\nLocal Device is mounted: /fake/usb-mounted\n"},
        {Kind::RemovableW, "/fake/usb-locked", "Local Device not writable: /fake/usb-locked\n"},
        {Kind::Removable, "/fake/usb-locked", ""},
        {Kind::Floppy, "/fake/sda", noF + "/fake/sda\n"},
        {Kind::FloppyW, "/fake/sda", noF + "/fake/sda\n"},
        {Kind::Removable, "/fake/sda", noR + "/fake/sda\n"},
        {Kind::RemovableW, "/fake/sda", noR + "/fake/sda\n"},
        {Kind::CD, "/fake/sda", noC + "/fake/sda\n"},
        {Kind::Removable, "/fake/sda-mounted", noR + "/fake/sda-mounted\n"},
        {Kind::RemovableW, "/fake/sda-mounted",
         "Local Device not writable: /fake/sda-mounted\nLocal Device is mounted: /fake/sda-mounted\n"},
        {Kind::FloppyW, "/fake/sda-locked", "Local Device not writable: /fake/sda-locked\n"},
    };
    expectValidations(cases);
    EXPECT_EQ(fake.openHandles(), 0) << "a validation left a device open";
}

}  // namespace
