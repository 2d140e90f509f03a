// The facade's drive operations against the fake appliance: which server
// drive mapDrive picks and when it refuses, and that probing or opening a
// slow device never holds up the drives already being served.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ApplianceProcess.h"
#include "SessionTestSupport.h"
#include "api/VMRemoteDrive.h"
#include "device/VMDriveList.h"
#include "device/VMLocalDrive.h"
#include "facade/FacadeTestSupport.h"
#include "facade/RP_VMAPI_LIB.h"
#include "fakes/FakeDevicePlatform.h"
#include "session/ZELKSession.h"
#include "support/TempDir.h"
#include "support/Eventually.h"
#include "session/FacadeSettings.h"

using namespace sessiontest;

namespace {

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Drive events of the application callback, with the thread they came on
// and the drive list's last local action at that moment.
struct Event {
    int code;
    std::thread::id thread;
    int lastLocalAction;
};
std::mutex g_eventsMutex;
std::vector<Event> g_events;
void RecordEvent(int code) {
    int action = -1;
    if (RP_VMAPI_LIB* lib = g_lib.load())
        if (std::shared_ptr<VMDriveList> list = lib->driveListRef()) action = list->getLastLocalAction();
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    g_events.push_back({code, std::this_thread::get_id(), action});
}
std::vector<Event> EventsOn(std::thread::id thread) {
    std::lock_guard<std::mutex> lock(g_eventsMutex);
    std::vector<Event> out;
    for (const Event& e : g_events)
        if (e.thread == thread && e.code == VMConstants::DRIVE_LIST_UPDATE) out.push_back(e);
    return out;
}

// A connected facade (callback mode) that has the appliance's drive list.
void ConnectAndList(RP_VMAPI_LIB& lib, VMConnectionInfo& s, int drives) {
    {
        std::lock_guard<std::mutex> lock(g_eventsMutex);
        g_events.clear();
    }
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, &RecordEvent), VMConstants::API_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
    ASSERT_EQ(lib.requestRemoteDriveList(), VMConstants::API_SUCCESS);
    const bool listed = Eventually([&] {
        std::unique_ptr<VMDriveList> copy(lib.getDriveList());
        return copy && copy->getNumberOfRemoteDrives() == drives;
    });
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(listed);
}

// (data, status) of a ReadRequest the appliance sends; status -1: none came.
std::pair<std::string, int> ReadBlocks(ApplianceProcess& app, int id, int start, int count) {
    return facadetest::ReadBlocks(app, id, start, count, 20);
}

}  // namespace

class FacadeDrives : public testing::Test {
protected:
    ClockScale scale{0.25};
};

TEST_F(FacadeDrives, MapDriveTable) {
    twtest::TempDir dir;
    const std::string floppy = dir.file("floppy.img");
    const std::string iso = dir.file("disc.iso");
    const std::string empty = dir.file("empty.img");
    twtest::writeFile(floppy, std::string(1474560, '\0'));
    twtest::writeFile(iso, std::string(2048 * 32, 'i'));
    twtest::writeFile(empty, "");
    const int kNone = -1;
    struct Case {
        const char* what;
        std::string drives;  // the appliance's list, as JSON
        int listed;          // drives of a type the client knows
        int minor;           // ZELK 1.minor
        int style;
        std::string path;
        bool twice;          // mapped once before (the second call is checked)
        int result;
        int remoteId;        // the server drive mapped, or kNone
        int mapAsFloppy;
    } cases[] = {
        {"floppy to a floppy drive past an unknown type", "[[9, 0], [1, 0], [4, 0]]", 2, 14,
         VMConnectionInfo::VM_STYLE_MOSKA, floppy, false, VMConstants::API_SUCCESS, 2, 1},
        {"floppy to a removable drive when no floppy drive is free", "[[2, 0], [1, 0]]", 2, 14,
         VMConnectionInfo::VM_STYLE_MOSKA, floppy, false, VMConstants::API_SUCCESS, 1, 0},
        {"older RDOC server: a floppy wants a removable drive", "[[4, 0], [1, 0]]", 2, 1, VMConnectionInfo::VM_STYLE_RDOC,
         floppy, false, VMConstants::API_SUCCESS, 1, 0},
        {"RDOC above 1.1: a floppy wants a floppy drive", "[[4, 0], [1, 0]]", 2, 14, VMConnectionInfo::VM_STYLE_RDOC,
         floppy, false, VMConstants::API_SUCCESS, 0, 1},
        {"ISO to the CD drive by its id", "[[4, 0], [9, 0], [2, 0]]", 2, 14, VMConnectionInfo::VM_STYLE_MOSKA, iso, false,
         VMConstants::API_SUCCESS, 2, 0},
        {"no matching drive", "[[4, 0], [1, 0]]", 2, 14, VMConnectionInfo::VM_STYLE_MOSKA, iso, false,
         VMConstants::API_ERROR, kNone, 0},
        {"no idle drive", "[[2, 2]]", 1, 14, VMConnectionInfo::VM_STYLE_MOSKA, iso, false, VMConstants::API_ERROR, kNone,
         0},
        {"already mapped", "[[2, 0], [2, 0]]", 2, 14, VMConnectionInfo::VM_STYLE_MOSKA, iso, true, VMConstants::API_ERROR,
         kNone, 0},
        {"no blocks: a drive error", "[[4, 0], [1, 0]]", 2, 14, VMConnectionInfo::VM_STYLE_MOSKA, empty, false,
         VMConstants::API_ERROR, kNone, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ApplianceProcess app("{\"drives\": " + c.drives + ", \"zelk_minor\": " + std::to_string(c.minor) + "}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s = FacadeSettings(app.port(), c.style);
        ConnectAndList(lib, s, c.listed);
        std::unique_ptr<VMLocalDrive> ld(lib.getLocalDriveObject(Wide(c.path).c_str(), true));
        ASSERT_TRUE(ld);
        testing::internal::CaptureStdout();
        if (c.twice) {
            ASSERT_EQ(lib.mapDrive(ld->getDriveId()), VMConstants::API_SUCCESS);
            ASSERT_TRUE(app.waitFor("VDiskRequest"));
        }
        {
            std::lock_guard<std::mutex> lock(g_eventsMutex);
            g_events.clear();
        }
        const size_t requestsBefore = app.received("VDiskRequest").size() + app.received("VDiskRequest2").size();
        EXPECT_EQ(lib.mapDrive(ld->getDriveId()), c.result);
        testing::internal::GetCapturedStdout();
        if (c.remoteId != kNone) {
            ASSERT_TRUE(app.waitFor(c.path == iso ? "VDiskRequest" : "VDiskRequest2"));
            std::vector<Record> r = app.received(c.path == iso ? "VDiskRequest" : "VDiskRequest2");
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].param, c.remoteId);
        } else {
            // Nothing more asked of the server (a heartbeat round trip
            // shows the client's packets so far have arrived).
            ASSERT_TRUE(app.send("heartbeat"));
            ASSERT_TRUE(app.waitFor("Heartbeat"));
            EXPECT_EQ(app.received("VDiskRequest").size() + app.received("VDiskRequest2").size(), requestsBefore);
        }
        std::unique_ptr<VMDriveList> copy(lib.getDriveList());
        ASSERT_TRUE(copy);
        VMLocalDrive* listedDrive = copy->getLocalDriveByID(ld->getDriveId());
        ASSERT_NE(listedDrive, nullptr);
        if (c.remoteId != kNone) {
            EXPECT_EQ(listedDrive->getMappedTo(), c.remoteId);
            EXPECT_EQ(listedDrive->getMapAsFloppy(), c.mapAsFloppy);
        } else if (!c.twice) {
            EXPECT_EQ(listedDrive->getMappedTo(), -1);
        }
        // A drive error is told to the application once, as a drive-list
        // event on the caller's thread that carries DRIVE_ERROR.
        const std::vector<Event> mine = EventsOn(std::this_thread::get_id());
        if (c.path == empty) {
            ASSERT_EQ(mine.size(), 1u);
            EXPECT_EQ(mine[0].lastLocalAction, VMDriveList::DRIVE_ERROR);
        } else {
            EXPECT_TRUE(mine.empty());
        }
        testing::internal::CaptureStdout();
        lib.disconnect();
        testing::internal::GetCapturedStdout();
    }
}

namespace {

// Opens of one fake device wait while the gate is closed, as a hanging
// device's would (bounded, so a failing test still ends).
class GatedPlatform : public FakeDevicePlatform {
public:
    std::string gatedPath;
    intptr_t openNode(const std::string& path, int flags) override {
        if (path == gatedPath) {
            std::unique_lock<std::mutex> lock(m_gateMutex);
            ++m_waiting;
            m_gateChanged.notify_all();
            m_gateChanged.wait_for(lock, std::chrono::seconds(60), [&] { return m_open; });
            --m_waiting;
        }
        return FakeDevicePlatform::openNode(path, flags);
    }
    void setOpen(bool open) {
        std::lock_guard<std::mutex> lock(m_gateMutex);
        m_open = open;
        m_gateChanged.notify_all();
    }
    // True once an open is waiting at the closed gate.
    bool waitForBlockedOpen() {
        std::unique_lock<std::mutex> lock(m_gateMutex);
        return m_gateChanged.wait_for(lock, std::chrono::seconds(20), [&] { return m_waiting > 0; });
    }

private:
    std::mutex m_gateMutex;
    std::condition_variable m_gateChanged;
    bool m_open = true;
    int m_waiting = 0;
};

}  // namespace

TEST_F(FacadeDrives, AHangingDeviceDoesNotStallTheServedDrives) {
    twtest::TempDir dir;
    const std::string iso = dir.file("disc.iso");
    std::string isoData;
    for (int i = 0; i < 2048 * 16; ++i) isoData.push_back(char(i * 7 + i / 2048));
    twtest::writeFile(iso, isoData);
    GatedPlatform fake;
    fake.gatedPath = "/fake/stick";
    fake.addDisk(fake.gatedPath, 8, 16, 8 << 20).usb = true;
    ScopedPlatform use(fake);

    ApplianceProcess app("{\"drives\": [[2, 0], [1, 0]]}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_MOSKA);
    ConnectAndList(lib, s, 2);
    std::unique_ptr<VMLocalDrive> cd(lib.getLocalDriveObject(Wide(iso).c_str(), true));
    std::unique_ptr<VMLocalDrive> stick(lib.getLocalDriveObject(L"/fake/stick", true));
    ASSERT_TRUE(cd && stick);
    ASSERT_EQ(stick->getLocalDriveType(), VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE);
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.mapDrive(cd->getDriveId()), VMConstants::API_SUCCESS);

    // Each call that probes the stick hangs in its open; meanwhile the CD is
    // read in full.
    const std::function<void()> calls[] = {
        [&] { std::unique_ptr<VMLocalDrive> again(lib.getLocalDriveObject(L"/fake/stick", false)); },
        [&] { EXPECT_EQ(lib.mapDrive(stick->getDriveId()), VMConstants::API_SUCCESS); },
    };
    for (const auto& call : calls) {
        fake.setOpen(false);
        std::thread hung(call);
        ASSERT_TRUE(fake.waitForBlockedOpen());
        const std::pair<std::string, int> read = ReadBlocks(app, 0, 2, 4);
        EXPECT_EQ(read.second, 0);
        EXPECT_EQ(read.first, isoData.substr(2 * 2048, 4 * 2048));
        fake.setOpen(true);
        hung.join();
    }
    ASSERT_TRUE(app.waitFor("VDiskRequest2"));
    EXPECT_EQ(app.received("VDiskRequest2")[0].param, 1);
    lib.disconnect();
    testing::internal::GetCapturedStdout();
}
