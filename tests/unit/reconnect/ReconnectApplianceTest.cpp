// Reconnection through the facade against the fake appliance over TLS, with
// library time running fast (the transport's own waits stay real).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "api/VMSessionStatus.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ApplianceProcess.h"
#include "session/ReceiveThread.h"
#include "session/ReconnectThread.h"
#include "session/SendThread.h"
#include "session/SessionTestSupport.h"
#include "session/ZELKSession.h"
#include "support/TempDir.h"
#include "support/Eventually.h"

using namespace sessiontest;

namespace {

constexpr double kFast = 0.02;
// TLS with the reconnect capability and a TUVO version that offers it.
constexpr int kCaps = 0x0608;

// The appliance sends a heartbeat every 0.2 s of real time (10 s of library
// time), as a server does: a slow step of the test itself is no silence.
std::string Json(const std::string& more = "") {
    std::string j = "{\"factory\": \"reconnect:ReconnectingAppliance\", \"heartbeat_interval\": 0.2, "
                    "\"capabilities\": " +
                    std::to_string(kCaps);
    if (!more.empty()) j += ", " + more;
    return j + "}";
}

VMConnectionInfo Settings(int port, int attemptTimeout = 60) {
    VMConnectionInfo s;
    s.setIpAddress("127.0.0.1");
    s.setPort(port);
    s.setUserId("admin");
    s.setPassword("secret");
    s.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    s.setReconnectTimeout(attemptTimeout);
    // Library seconds: 5 s of real time for a set-up on a loaded machine.
    s.setConnectTimeout(250);
    return s;
}

std::mutex g_mutex;
std::vector<int> g_codes;
// Set: the next event with this code throws (not a text) out of the callback.
std::atomic<int> g_throwOn{0};
void AppCallback(int code) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_codes.push_back(code);
    }
    int armed = code;
    if (code != 0 && g_throwOn.compare_exchange_strong(armed, 0)) throw std::runtime_error("application failure");
}
// The session status each SESSION_STATUS event stood for.
std::vector<int> g_statuses;
void StatusCallback(int code) {
    AppCallback(code);
    if (code != VMConstants::SESSION_STATUS) return;
    RP_VMAPI_LIB* lib = g_lib.load();
    std::unique_ptr<VMSessionStatus> status(lib != nullptr ? lib->getSessionStatus() : nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_statuses.push_back(status ? status->getStatus() : -1);
}
std::vector<int> Statuses() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_statuses;
}
std::vector<int> Codes() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_codes;
}
bool HasCode(int code) {
    std::vector<int> c = Codes();
    return std::find(c.begin(), c.end(), code) != c.end();
}

}  // namespace

class ReconnectAppliance : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_codes.clear();
        g_statuses.clear();
    }
    // Connects, waits for the one-time pair, returns the live session.
    std::shared_ptr<ZELKSession> connect(RP_VMAPI_LIB& lib, ApplianceProcess& app, VMConnectionInfo& s) {
        EXPECT_EQ(lib.connect(&s, &AppCallback), VMConstants::API_SUCCESS);
        EXPECT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
        std::shared_ptr<ZELKSession> session = lib.sessionRef();
        EXPECT_TRUE(session);
        if (!session) return session;
        EXPECT_TRUE(Eventually([&] { return session->getOTPPassword().has_value() && session->getSessionId() != -1; }));
        EXPECT_TRUE(session->isReconnectAvailable());
        Record sid, otp;
        EXPECT_TRUE(app.waitFor("SessionIdRequest", &sid));
        EXPECT_EQ(sid.field("form"), 16);
        EXPECT_TRUE(app.waitFor("OTPRequest", &otp));
        EXPECT_EQ(otp.field("method"), 2);
        return session;
    }
    ClockScale scale{kFast};
};

TEST_F(ReconnectAppliance, ADroppedConnectionIsResumedWithTheOneTimePair) {
    for (const char* fault : {"drop", "fin", "black_hole"}) {
        SCOPED_TRACE(fault);
        SetUp();
        ApplianceProcess app(Json());
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port());
        testing::internal::CaptureStdout();
        std::shared_ptr<ZELKSession> session = connect(lib, app, s);
        ASSERT_TRUE(session);
        ASSERT_TRUE(app.command(std::string("{\"op\": \"") + fault + "\"}").find("\"ok\": true") != std::string::npos);

        Record resume, login;
        ASSERT_TRUE(app.waitFor("resume", &resume, 1, 30, "event"));
        EXPECT_EQ(resume.field("session_id"), 0x01020304);
        ASSERT_TRUE(app.waitFor("LoginMessage", &login, 2, 30));
        EXPECT_EQ(login.text("user"), "otpuser");
        EXPECT_EQ(login.text("password"), "otppass");
        EXPECT_NE(login.conn, 1);
        ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED); }));
        EXPECT_TRUE(Eventually([&] { return !session->isReconnecting(); }));
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);

        std::vector<Record> rs = app.records();
        // The new connection asks for the drives after its login and sends
        // nothing before the login.
        int firstOnNew = -1, loginAt = -1, driveListAt = -1;
        for (size_t i = 0; i < rs.size(); ++i) {
            if (rs[i].direction != "in" || rs[i].conn != login.conn) continue;
            if (rs[i].name == "SessionRequest" || rs[i].name == "SessionRequestEx") continue;
            if (firstOnNew < 0) firstOnNew = int(i);
            if (rs[i].name == "LoginMessage" && loginAt < 0) loginAt = int(i);
            if (rs[i].name == "GetVDiskInfo" && driveListAt < 0) driveListAt = int(i);
        }
        EXPECT_EQ(firstOnNew, loginAt);
        EXPECT_GT(driveListAt, loginAt);
        // The pair is asked for once per session.
        EXPECT_EQ(app.received("SessionIdRequest").size(), 1u);
        EXPECT_EQ(app.received("OTPRequest").size(), 1u);

        std::vector<int> codes = Codes();
        auto reconnecting = std::find(codes.begin(), codes.end(), VMSessionStatus::RECONNECTING);
        auto completed = std::find(codes.begin(), codes.end(), VMSessionStatus::RECONNECT_COMPLETED);
        ASSERT_NE(reconnecting, codes.end());
        EXPECT_LT(reconnecting, completed);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), VMSessionStatus::RECONNECT_FAILED), 0);
        EXPECT_NE(std::find(completed, codes.end(), VMConstants::SESSION_STATUS), codes.end());

        // The facade must be the last owner when it replaces the session.
        session.reset();
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Connection Dropped, Reconnecting.\n"), std::string::npos) << out;
        // The reconnection marker has no line end of its own: the socket's state line follows on it.
        EXPECT_NE(out.find("**********2*************m_socketState="), std::string::npos) << out;
        if (std::string(fault) != "black_hole") {
            EXPECT_NE(out.find("Error: Socket Closed by peer reading header.\n"), std::string::npos) << out;
        }
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
    }
}

TEST_F(ReconnectAppliance, AReceiveThreadThatDiedIsStartedAgainByTheReconnection) {
    ApplianceProcess app(Json());
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    std::shared_ptr<ZELKSession> session = connect(lib, app, s);
    ASSERT_TRUE(session);
    // An exception that is not a transport error ends the receive thread.
    g_throwOn.store(VMConstants::SERVER_IMAGE_LIST_UPDATED);
    ASSERT_TRUE(app.send("server_image_space", "[1, 100, 50]"));
    ReceiveThread* receive = session->getReceiveThread();
    ASSERT_TRUE(Eventually([&] { return receive->isRunEnded() && !receive->isRunning(); }));
    ASSERT_TRUE(app.drop());
    ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED) ||
                                       HasCode(VMSessionStatus::RECONNECT_FAILED); }, 30000));
    EXPECT_TRUE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
    EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_FAILED));
    // It read the login answer and the drive list of the new connection.
    EXPECT_TRUE(receive->isRunning());
    EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
    session.reset();
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Receive Thread Error"), std::string::npos);
}

TEST_F(ReconnectAppliance, RefusedResumesAreRetriedUntilOneIsAccepted) {
    ApplianceProcess app(Json("\"refuse_reconnects\": 2"));
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(connect(lib, app, s));
    ASSERT_TRUE(app.drop());  // the session reference went with the temporary
    ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED); }, 30000));
    EXPECT_EQ(app.received("LoginMessage").size(), 2u);
    std::vector<Record> resumes;
    for (const Record& r : app.records())
        if (r.direction == "event" && r.name == "resume") resumes.push_back(r);
    ASSERT_EQ(resumes.size(), 3u);
    EXPECT_EQ(resumes[0].text("refused"), "true");
    EXPECT_EQ(resumes[2].text("refused"), "false");
    EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_FAILED));
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}

TEST_F(ReconnectAppliance, AttemptsEndWithTheAttemptTimeout) {
    struct {
        const char* name;
        std::string settings;
    } cases[] = {
        {"refused", "\"refuse_all\": true"},
        // The one-time password never crosses in clear text.
        {"plain text offered", "\"plain_reconnect\": true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ApplianceProcess app(Json(c.settings));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port(), 12);
        testing::internal::CaptureStdout();
        std::shared_ptr<ZELKSession> session = connect(lib, app, s);
        ASSERT_TRUE(session);
        ASSERT_TRUE(app.drop());
        ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_FAILED); }, 30000));
        // One attempt every 5 s for 12 s: three of them (fewer when an attempt
        // itself takes long on a loaded machine).
        size_t attempts = 0;
        for (const Record& r : app.records())
            if (r.direction == "event" && r.name == "resume") ++attempts;
        EXPECT_GE(attempts, 1u);
        EXPECT_LE(attempts, 4u);
        EXPECT_EQ(app.received("LoginMessage").size(), 1u);
        EXPECT_FALSE(session->isReconnecting());
        EXPECT_FALSE(session->isReconnectAvailable());
        // The failed reconnection ends the session (through a stop).
        EXPECT_TRUE(Eventually([&] {
            return lib.isSessionRunning() == 0 && lib.getConnectionStatus() == VMConstants::VMAPI_DISCONNECTED;
        }));
        session.reset();
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(ReconnectAppliance, ARefusedOneTimeLoginEndsTheReconnection) {
    ApplianceProcess app(Json("\"login_status\": [0, 2]"));
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    std::shared_ptr<ZELKSession> session = connect(lib, app, s);
    ASSERT_TRUE(session);
    ASSERT_TRUE(app.drop());
    ASSERT_TRUE(app.waitFor("LoginMessage", nullptr, 2, 30));
    ASSERT_TRUE(Eventually([&] { return session->getCancelReconnect() && !session->isReconnecting(); }));
    EXPECT_EQ(session->getSessionStatusCode(-1), 2);
    EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
    session.reset();
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}

TEST_F(ReconnectAppliance, AMissingDriveListEndsTheReconnectionAfterTheConnectTimeout) {
    ApplianceProcess app(Json("\"answer_drive_list\": false"));
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    std::shared_ptr<ZELKSession> session = connect(lib, app, s);
    ASSERT_TRUE(session);
    ASSERT_TRUE(app.drop());
    ASSERT_TRUE(app.waitFor("GetVDiskInfo", nullptr, 1, 30));
    const int64_t asked = tw::Clock::nowMs();
    ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_FAILED); }, 30000));
    EXPECT_GE(tw::Clock::nowMs() - asked, 200 * 1000);
    EXPECT_FALSE(session->isReconnecting());
    session.reset();
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}

TEST_F(ReconnectAppliance, DisconnectDuringEachPhaseOfAReconnection) {
    struct {
        const char* name;
        std::string settings;
        std::function<bool(ApplianceProcess&, RP_VMAPI_LIB&)> reach;
    } cases[] = {
        {"between attempts", "\"refuse_all\": true",
         [](ApplianceProcess& app, RP_VMAPI_LIB&) { return app.waitFor("resume", nullptr, 1, 30, "event"); }},
        {"after the login, before the drive list", "\"answer_drive_list\": false",
         [](ApplianceProcess& app, RP_VMAPI_LIB&) { return app.waitFor("GetVDiskInfo", nullptr, 1, 30); }},
        {"waiting for the connect semaphore", "",
         [](ApplianceProcess&, RP_VMAPI_LIB& lib) {
             // The reconnection is held back by the semaphore the test holds.
             return lib.acquireConnectSemaphore(0) == ASemaphore::WAIT_OBTAINED;
         }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ApplianceProcess app(Json(c.settings));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port());
        testing::internal::CaptureStdout();
        std::shared_ptr<ZELKSession> session = connect(lib, app, s);
        ASSERT_TRUE(session);
        const bool holdsSemaphore = std::string(c.name) == "waiting for the connect semaphore";
        if (holdsSemaphore) {
            ASSERT_TRUE(c.reach(app, lib));
        }
        ASSERT_TRUE(app.drop());
        if (holdsSemaphore) {
            // Long past the silence that starts the reconnection.
            tw::Clock::sleepMs(60000);
        } else {
            ASSERT_TRUE(c.reach(app, lib));
        }
        session.reset();
        std::thread release;
        if (holdsSemaphore)
            release = std::thread([&] {
                tw::Clock::sleepMs(20000);
                lib.releaseConnectSemaphore();
            });
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        if (release.joinable()) release.join();
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        EXPECT_EQ(lib.isSessionRunning(), 0);
        if (holdsSemaphore) {
            EXPECT_EQ(app.received("LoginMessage").size(), 1u);
        }
        testing::internal::GetCapturedStdout();
    }
}

namespace {

// Every 4-byte word of block b of device d reads (d << 24 | b): a block from
// the wrong place or the wrong medium shows.
std::string Signed(int device, int blocks, int blockSize) {
    std::string image(size_t(blocks) * size_t(blockSize), '\0');
    for (int b = 0; b < blocks; ++b)
        for (int w = 0; w < blockSize / 4; ++w) {
            const uint32_t v = uint32_t(device) << 24 | uint32_t(b);
            char* p = &image[size_t(b) * size_t(blockSize) + size_t(w) * 4];
            p[0] = char(v >> 24);
            p[1] = char(v >> 16);
            p[2] = char(v >> 8);
            p[3] = char(v);
        }
    return image;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The appliance's read_hex: data as hex and the client's status.
std::pair<std::string, int> ReadHex(ApplianceProcess& app, int index, int start, int count) {
    const std::string answer = app.command("{\"op\": \"read_hex\", \"args\": [" + std::to_string(index) + ", " +
                                               std::to_string(start) + ", " + std::to_string(count) + "]}",
                                           60000);
    return {JsonRaw(answer, "data"), JsonInt(answer, "status")};
}

int MapPath(RP_VMAPI_LIB& lib, const std::string& path, bool writable) {
    const std::wstring wide(path.begin(), path.end());
    std::unique_ptr<VMLocalDrive> drive(lib.getLocalDriveObject(wide.c_str(), true));
    if (!drive) return VMConstants::API_ERROR;
    lib.setLocalDriveReadOnly(drive->getDriveId(), writable ? 0 : 1);
    return lib.mapDrive(drive->getDriveId());
}

}  // namespace

TEST_F(ReconnectAppliance, AnInterruptedReadCompletesAfterTheReconnection) {
    // Ten times faster only: megabytes cross the controller here, and a slow
    // moment of the test's own must not read as the server's silence.
    ClockScale slower(0.1);
    constexpr int kStickBlocks = 8192;
    constexpr int kCdBlocks = 64;
    for (const char* fault : {"drop", "fin", "black_hole"}) {
        SCOPED_TRACE(fault);
        SetUp();
        twtest::TempDir dir;
        std::string stick = Signed(1, kStickBlocks, 512);
        const std::string cd = Signed(2, kCdBlocks, 2048);
        twtest::writeFile(dir.file("stick.img"), stick);
        twtest::writeFile(dir.file("cd.iso"), cd);
        ApplianceProcess app(Json("\"drives\": [[1, 0], [2, 0]]"));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port());
        testing::internal::CaptureStdout();
        {
            std::shared_ptr<ZELKSession> session = connect(lib, app, s);
            ASSERT_TRUE(session);
        }
        ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
        ASSERT_TRUE(Eventually([&] {
            std::shared_ptr<VMDriveList> list = lib.driveListRef();
            return list && list->getNumberOfRemoteDrives() == 2;
        }));
        ASSERT_EQ(MapPath(lib, dir.file("stick.img"), true), VMConstants::API_SUCCESS);
        ASSERT_EQ(MapPath(lib, dir.file("cd.iso"), false), VMConstants::API_SUCCESS);
        ASSERT_TRUE(app.waitFor("VDiskRequest2"));
        ASSERT_TRUE(app.waitFor("VDiskRequest"));

        // An acknowledged write before the drop.
        const std::string written = app.command("{\"op\": \"write_pattern\", \"args\": [0, 100, 4, 171]}", 60000);
        ASSERT_EQ(JsonInt(written, "result"), 0) << written;
        stick.replace(100 * 512, 4 * 512, std::string(4 * 512, char(171)));

        // A long read, one block per answer, cut off part way.
        ASSERT_TRUE(app.send("read_request", "[0, 0, 2048, 1]"));
        ASSERT_TRUE(app.waitFor("ReadResponse", nullptr, 20, 30));
        ASSERT_TRUE(app.command(std::string("{\"op\": \"") + fault + "\"}").find("\"ok\": true") != std::string::npos);
        ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED); }, 30000));

        // The same server drives, mapped again on the new connection (the
        // requests may still be on their way when 105 is reported).
        ASSERT_TRUE(app.waitFor("VDiskRequest2", nullptr, 2, 30));
        ASSERT_TRUE(app.waitFor("VDiskRequest", nullptr, 2, 30));
        std::vector<Record> rs = app.records();
        int newConn = -1;
        for (const Record& r : rs)
            if (r.direction == "in" && r.name == "LoginMessage") newConn = r.conn;
        ASSERT_GT(newConn, 1);
        std::vector<int> remapped;
        for (const Record& r : rs)
            if (r.conn == newConn && r.direction == "in" && (r.name == "VDiskRequest2" || r.name == "VDiskRequest"))
                remapped.push_back(r.param);
        std::sort(remapped.begin(), remapped.end());
        EXPECT_EQ(remapped, (std::vector<int>{0, 1}));

        // The server asks again: every block comes back from its own place,
        // with the write made before the drop.
        std::pair<std::string, int> whole = ReadHex(app, 0, 0, 2048);
        EXPECT_EQ(whole.second, 0);
        EXPECT_TRUE(whole.first == Hex(stick.substr(0, 2048 * 512))) << "stick blocks differ";
        std::pair<std::string, int> disc = ReadHex(app, 1, 0, kCdBlocks);
        EXPECT_EQ(disc.second, 0);
        EXPECT_TRUE(disc.first == Hex(cd)) << "cd blocks differ";

        // Nothing of the old read crossed to the new connection.
        rs = app.records();
        int firstRequest = -1;
        for (size_t i = 0; i < rs.size() && firstRequest < 0; ++i)
            if (rs[i].conn == newConn && rs[i].direction == "out" && rs[i].name == "ReadRequest") firstRequest = int(i);
        for (int i = 0; i < firstRequest; ++i)
            EXPECT_FALSE(rs[size_t(i)].conn == newConn && rs[size_t(i)].name == "ReadResponse") << i;

        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        const std::string out = testing::internal::GetCapturedStdout();
        size_t mappings = 0;
        for (size_t at = 0; (at = out.find("to Remote Device[0] as Read/Write.", at)) != std::string::npos; ++at)
            ++mappings;
        EXPECT_EQ(mappings, 2u) << out;
        // Acknowledged writes are on the medium.
        std::ifstream in(dir.file("stick.img"), std::ios::binary);
        std::string onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(onDisk == stick);
    }
}

namespace {

// An image file of signed blocks, kept for the comparisons.
struct SignedImage {
    std::string path;
    std::string bytes;
    int blockSize;
};

// Block 0 stays empty: without a boot sector the whole image is what the
// server is offered.
SignedImage MakeImage(twtest::TempDir& dir, const std::string& name, int device, int blocks, int blockSize = 512) {
    SignedImage image{dir.file(name), Signed(device, blocks, blockSize), blockSize};
    image.bytes.replace(0, size_t(blockSize), std::string(size_t(blockSize), '\0'));
    twtest::writeFile(image.path, image.bytes);
    return image;
}

// Reads the first and the last blocks of the server drive and compares them
// with the image file.
void ExpectServes(ApplianceProcess& app, int index, const SignedImage& image, int count = 64) {
    const int blocks = int(image.bytes.size()) / image.blockSize;
    for (int start : {0, blocks - count}) {
        SCOPED_TRACE(testing::Message() << "drive " << index << " from block " << start);
        std::pair<std::string, int> got = ReadHex(app, index, start, count);
        EXPECT_EQ(got.second, 0);
        EXPECT_TRUE(got.first == Hex(image.bytes.substr(size_t(start) * size_t(image.blockSize),
                                                        size_t(count) * size_t(image.blockSize))))
            << "blocks differ";
    }
}

// The server drives the map requests of that connection named.
std::vector<int> MappedOn(ApplianceProcess& app, int conn) {
    std::vector<int> out;
    for (const Record& r : app.records())
        if (r.conn == conn && r.direction == "in" && (r.name == "VDiskRequest2" || r.name == "VDiskRequest"))
            out.push_back(r.param);
    return out;
}

int LastLoginConnection(ApplianceProcess& app) {
    int conn = -1;
    for (const Record& r : app.received("LoginMessage")) conn = r.conn;
    return conn;
}

bool WaitRemoteDrives(RP_VMAPI_LIB& lib, int count) {
    return Eventually([&] {
        std::shared_ptr<VMDriveList> list = lib.driveListRef();
        return list && list->getNumberOfRemoteDrives() == count;
    });
}

}  // namespace

TEST_F(ReconnectAppliance, DrivesThatChangedPlaceAcrossTheDropAreAllMappedAgain) {
    ClockScale slower(0.1);
    twtest::TempDir dir;
    const SignedImage floppy = MakeImage(dir, "floppy.img", 1, 2880);
    const SignedImage first = MakeImage(dir, "first.img", 2, 8192);
    const SignedImage second = MakeImage(dir, "second.img", 3, 8192);
    // Floppy, removable, removable before the drop; the floppy drive comes
    // last after it.
    ApplianceProcess app(Json("\"drives\": [[4, 0], [1, 0], [1, 0]], \"resume_drives\": [[1, 0], [1, 0], [4, 0]]"));
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = Settings(app.port());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(connect(lib, app, s));
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    ASSERT_TRUE(WaitRemoteDrives(lib, 3));
    for (const SignedImage* image : {&floppy, &first, &second})
        ASSERT_EQ(MapPath(lib, image->path, false), VMConstants::API_SUCCESS) << image->path;
    ASSERT_TRUE(app.waitFor("VDiskRequest2", nullptr, 3));
    EXPECT_EQ(MappedOn(app, 1), (std::vector<int>{0, 1, 2}));
    ExpectServes(app, 0, floppy);

    ASSERT_TRUE(app.drop());
    ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED) ||
                                       HasCode(VMSessionStatus::RECONNECT_FAILED); }, 60000));
    EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_FAILED));
    ASSERT_TRUE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
    ASSERT_TRUE(app.waitFor("VDiskRequest2", nullptr, 6, 30));
    const int conn = LastLoginConnection(app);
    ASSERT_GT(conn, 1);
    // The floppy on the floppy drive; the first stick keeps its removable
    // drive, the second takes the one left.
    std::vector<int> remapped = MappedOn(app, conn);
    std::sort(remapped.begin(), remapped.end());
    EXPECT_EQ(remapped, (std::vector<int>{0, 1, 2}));
    ExpectServes(app, 2, floppy);
    ExpectServes(app, 1, first);
    ExpectServes(app, 0, second);
    EXPECT_EQ(lib.isSessionRunning(), 1);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}

TEST_F(ReconnectAppliance, ADriveWithoutAPlaceAfterTheDropEndsTheSession) {
    for (bool withCallback : {true, false}) {
        SCOPED_TRACE(withCallback ? "callback" : "callback-less");
        SetUp();
        twtest::TempDir dir;
        const SignedImage floppy = MakeImage(dir, "floppy.img", 1, 2880);
        const SignedImage stick = MakeImage(dir, "stick.img", 2, 8192);
        // The removable drive is a CD/DVD drive after the drop.
        ApplianceProcess app(Json("\"drives\": [[4, 0], [1, 0]], \"resume_drives\": [[4, 0], [2, 0]]"));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port());
        testing::internal::CaptureStdout();
        ASSERT_EQ(lib.connect(&s, withCallback ? &StatusCallback : nullptr), VMConstants::API_SUCCESS);
        ReceiveThread* receive = nullptr;
        SendThread* send = nullptr;
        ReconnectThread* watch = nullptr;
        {
            std::shared_ptr<ZELKSession> session = lib.sessionRef();
            ASSERT_TRUE(session);
            ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value() && session->getSessionId() != -1; }));
            ASSERT_TRUE(Eventually([&] { return session->getReconnectThread() != nullptr; }));
            receive = session->getReceiveThread();
            send = session->getSendThread();
            watch = session->getReconnectThread();
        }
        ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
        ASSERT_TRUE(WaitRemoteDrives(lib, 2));
        ASSERT_EQ(MapPath(lib, floppy.path, false), VMConstants::API_SUCCESS);
        ASSERT_EQ(MapPath(lib, stick.path, true), VMConstants::API_SUCCESS);
        ASSERT_TRUE(app.waitFor("VDiskRequest2", nullptr, 2));
        ExpectServes(app, 1, stick);

        ASSERT_TRUE(app.drop());
        // The new connection's drive list cannot take the stick: the session
        // ends, by itself, in both modes.
        std::atomic<bool> ended{false};
        std::thread waiter([&] {
            lib.waitWhileSessionRunning();
            ended = true;
        });
        EXPECT_TRUE(Eventually([&] { return ended.load(); }, 60000));
        if (!ended.load()) lib.disconnect();
        waiter.join();
        EXPECT_EQ(lib.isSessionRunning(), 0);
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        const int conn = LastLoginConnection(app);
        EXPECT_GT(conn, 1);
        // Nothing was offered on the new connection, and the server was told
        // the session is over.
        EXPECT_TRUE(MappedOn(app, conn).empty());
        Record close;
        EXPECT_TRUE(app.waitFor("SessionClose", &close));
        EXPECT_EQ(close.conn, conn);
        EXPECT_FALSE(receive->isRunning());
        EXPECT_FALSE(send->isRunning());
        EXPECT_FALSE(watch->isRunning());
        {
            std::shared_ptr<VMDriveList> list = lib.driveListRef();
            ASSERT_TRUE(list);
            for (int i = 0; i < list->getNumberOfLocalDrives(); ++i) {
                VMLocalDrive* ld = list->getLocalDriveAt(i);
                ASSERT_TRUE(ld);
                EXPECT_EQ(ld->getMappedTo(), -1) << i;
                EXPECT_EQ(ld->getFileHandle(), VMIO::INVALID_HANDLE) << i;
                list->releaseLocalDrive(ld);
            }
        }
        if (withCallback) {
            // The failure is told, then the end; never a completion.
            std::vector<int> statuses = Statuses();
            EXPECT_NE(std::find(statuses.begin(), statuses.end(), VMSessionStatus::RECONNECT_FAILED), statuses.end());
            EXPECT_EQ(std::find(statuses.begin(), statuses.end(), VMSessionStatus::RECONNECT_COMPLETED),
                      statuses.end());
            std::vector<int> codes = Codes();
            codes.erase(std::remove(codes.begin(), codes.end(), VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE),
                        codes.end());
            EXPECT_FALSE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
            ASSERT_FALSE(codes.empty());
            EXPECT_EQ(codes.back(), VMConstants::SESSION_CLOSED);
        }
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}

namespace {

// TLS, reconnection and the clear-text reconnect offered (0x0E08).
std::string ClearTextJson(const std::string& more) {
    return "{\"factory\": \"reconnect:ReconnectingAppliance\", \"heartbeat_interval\": 0.2, \"capabilities\": 3592, "
           "\"drives\": [[1, 0]]" +
           (more.empty() ? std::string() : ", " + more) + "}";
}

int CountEvents(ApplianceProcess& app, const std::string& name) {
    int n = 0;
    for (const Record& r : app.records())
        if (r.direction == "event" && r.name == name) ++n;
    return n;
}

// Every drive-list request answered and the answers merged: a list the
// server built before it saw a map request would mark that drive idle again.
bool DriveListsSettled(ApplianceProcess& app, RP_VMAPI_LIB& lib) {
    return Eventually([&] {
        const size_t asked = app.received("GetVDiskInfo").size();
        size_t answered = 0;
        for (const Record& r : app.records())
            if (r.direction == "out" && r.name == "VDiskInfo") ++answered;
        std::shared_ptr<ZELKSession> session = lib.sessionRef();
        return session && asked == answered && session->getDriveListUpdates() >= answered;
    });
}

}  // namespace

TEST_F(ReconnectAppliance, AClearTextReconnectHandsOnAWorkingSession) {
    struct {
        const char* name;
        std::string settings;
    } servers[] = {
        {"resumed reply repeats 0x800", ""},
        {"resumed reply without 0x800", "\"resume_capabilities\": 1544"},
    };
    for (const auto& server : servers) {
        for (bool withCallback : {true, false}) {
            SCOPED_TRACE(testing::Message() << server.name << (withCallback ? ", callback" : ", callback-less"));
            SetUp();
            twtest::TempDir dir;
            const SignedImage stick = MakeImage(dir, "stick.img", 1, 8192);
            ApplianceProcess app(ClearTextJson(server.settings));
            RP_VMAPI_LIB lib;
            VMConnectionInfo s = Settings(app.port());
            s.setSecureVMedia(1);
            testing::internal::CaptureStdout();
            ASSERT_EQ(lib.connect(&s, withCallback ? &AppCallback : nullptr), VMConstants::API_SUCCESS);
            // Reconnected with the one-time pair before connect returned.
            EXPECT_EQ(CountEvents(app, "resume"), 1);
            EXPECT_EQ(app.received("LoginMessage").size(), 2u);
            EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
            // The session is usable: drive list, map, read.
            ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
            ASSERT_TRUE(WaitRemoteDrives(lib, 1));
            // The reconnection asked for the list too.
            ASSERT_TRUE(DriveListsSettled(app, lib));
            ASSERT_EQ(MapPath(lib, stick.path, false), VMConstants::API_SUCCESS);
            ASSERT_TRUE(app.waitFor("VDiskRequest2"));
            ExpectServes(app, 0, stick);
            EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
            testing::internal::GetCapturedStdout();
        }
    }
}

TEST_F(ReconnectAppliance, AClearTextReconnectWithoutAOneTimePairFailsTheConnect) {
    for (bool withCallback : {true, false}) {
        SCOPED_TRACE(withCallback ? "callback" : "callback-less");
        SetUp();
        ApplianceProcess app(ClearTextJson("\"refuse_otp\": true"));
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = Settings(app.port());
        s.setSecureVMedia(1);
        testing::internal::CaptureStdout();
        EXPECT_EQ(lib.connect(&s, withCallback ? &AppCallback : nullptr), VMConstants::API_ERROR);
        // Nothing is left running behind the failed connect.
        EXPECT_EQ(lib.isSessionRunning(), 0);
        EXPECT_EQ(lib.getConnectionStatus(), VMConstants::VMAPI_DISCONNECTED);
        EXPECT_EQ(CountEvents(app, "resume"), 0);
        if (withCallback) {
            EXPECT_TRUE(HasCode(VMConstants::SESSION_CLOSED));
        }
        EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
    }
}
