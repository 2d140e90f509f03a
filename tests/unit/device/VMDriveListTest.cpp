#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>

#include "DeviceTestSupport.h"
#include "api/VMConstants.h"
#include "device/VMDriveList.h"
#include "fakes/FakeDevicePlatform.h"
#include "platform/Clock.h"

using devtest::TempDir;
using devtest::W;

namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_lastCode{0};
void countCallback(int code) {
    g_calls++;
    g_lastCode = code;
}

VMLocalDrive* localAt(const std::wstring& path) {
    auto* d = new VMLocalDrive();
    d->setPath(path.c_str());
    return d;
}

VMRemoteDrive remote(int id, int type, int status = VMRemoteDrive::REMOTE_DRIVE_IDLE, int mappedTo = -1) {
    VMRemoteDrive r;
    r.setDriveId(id);
    r.setRemoteDriveType(type);
    r.setStatus(status);
    if (mappedTo != -1) {
        r.setMappedTo(mappedTo);
        r.setStatus(status);
    }
    return r;
}

void setRemotes(VMDriveList& list, const std::vector<VMRemoteDrive>& drives) {
    std::vector<VMRemoteDrive*> ptrs;
    for (const auto& d : drives) ptrs.push_back(const_cast<VMRemoteDrive*>(&d));
    list.updateRemoteDriveList(ptrs);
}

bool fdOpen(VMIO::Handle h) { return fcntl(static_cast<int>(h), F_GETFD) != -1; }

}  // namespace

TEST(VMDriveList, IdsArePerListAndNeverReused) {
    VMDriveList list;
    list.registerCallback(countCallback);
    g_calls = 0;
    EXPECT_EQ(list.addLocalDrive(localAt(L"/a.img")), 1);
    EXPECT_EQ(list.addLocalDrive(localAt(L"/b.img")), 2);
    EXPECT_EQ(g_calls.load(), 2);
    EXPECT_EQ(g_lastCode.load(), VMConstants::DRIVE_LIST_UPDATE);

    // Same path: the listed id is handed out, nothing is added or announced.
    std::unique_ptr<VMLocalDrive> dup(localAt(L"/b.img"));
    EXPECT_EQ(list.addLocalDrive(dup.get()), 2);
    EXPECT_EQ(dup->getDriveId(), 2);
    EXPECT_EQ(list.getNumberOfLocalDrives(), 2);
    EXPECT_EQ(g_calls.load(), 2);

    list.removeLocalDrive(list.getLocalDriveByID(1));
    EXPECT_EQ(list.addLocalDrive(localAt(L"/c.img")), 3);
    EXPECT_EQ(list.getLocalDriveAt(0)->getDriveId(), 2);
    EXPECT_EQ(list.getLocalDriveByPath(L"/c.img")->getDriveId(), 3);
    EXPECT_EQ(list.getLocalDriveByPath(L"/C.img"), nullptr);  // exact, case-sensitive
    EXPECT_EQ(list.getLocalDriveByID(1), nullptr);
    EXPECT_EQ(list.getLocalDriveAt(2), nullptr);
    EXPECT_EQ(list.getLocalDriveAt(-1), nullptr);
    list.removeLocalDriveAtIndex(5);
    EXPECT_EQ(g_calls.load(), 4);
    list.removeLocalDriveAtIndex(0);
    EXPECT_EQ(list.getNumberOfLocalDrives(), 1);
    EXPECT_EQ(list.addLocalDrive(nullptr), -1);
}

TEST(VMDriveList, AddingTheSamePathFromManyThreadsListsItOnce) {
    VMDriveList list;
    std::vector<std::unique_ptr<VMLocalDrive>> rejected(8);
    std::vector<std::thread> threads;
    std::vector<int> ids(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            auto* d = localAt(L"/same.img");
            ids[i] = list.addLocalDrive(d);
            if (list.getLocalDriveAt(0) != d) rejected[i].reset(d);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(list.getNumberOfLocalDrives(), 1);
    for (int id : ids) EXPECT_EQ(id, 1);
}

TEST(VMDriveList, HoldAndRelease) {
    VMDriveList list;
    list.addLocalDrive(localAt(L"/a.img"));
    list.addLocalDrive(localAt(L"/b.img"));
    VMLocalDrive* held = list.getLocalDriveAt(0, 5);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(list.getLocalDriveAt(1, 5), nullptr);      // already locked
    EXPECT_EQ(list.getLocalDriveByPath(L"/b.img", 0), nullptr);

    // A plain lookup waits for the holder.
    std::atomic<bool> done{false};
    std::thread t([&] {
        list.getLocalDriveByID(2);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    VMLocalDrive* copy = held;
    EXPECT_TRUE(list.releaseLocalDrive(held));
    EXPECT_EQ(held, nullptr);
    t.join();
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(list.releaseLocalDrive(copy));
    VMLocalDrive* none = nullptr;
    EXPECT_FALSE(list.releaseLocalDrive(none));

    // A hold-mode lookup that finds nothing leaves the side unlocked.
    EXPECT_EQ(list.getLocalDriveByID(99, 1), nullptr);
    VMLocalDrive* again = list.getLocalDriveByID(2, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(list.releaseLocalDrive(again));

    setRemotes(list, {remote(0, 4), remote(1, 2)});
    VMRemoteDrive* r = list.getRemoteDriveByID(1, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(list.getRemoteDriveAt(0, 1), nullptr);
    EXPECT_TRUE(list.releaseRemoteDrive(r));
    VMRemoteDrive* r0 = list.getRemoteDriveAt(0, 1);
    ASSERT_NE(r0, nullptr);
    EXPECT_NE(list.getLocalDriveAt(0), nullptr);  // the other side is not locked by it
    EXPECT_TRUE(list.releaseRemoteDrive(r0));
}

// A side locked by a slow operation: a hold-mode lookup gives up after its timeout.
TEST(VMDriveList, HoldTimesOut) {
    FakeDevicePlatform fake;
    ScopedPlatform use(fake);
    auto& disk = fake.addDisk("/fake/sdb", 8, 16, 1 << 20);
    std::mutex m;
    std::condition_variable cv;
    bool closing = false, letGo = false;
    disk.onClose = [&] {
        std::unique_lock<std::mutex> l(m);
        closing = true;
        cv.notify_all();
        cv.wait_for(l, std::chrono::seconds(10), [&] { return letGo; });
    };
    VMDriveList list;
    VMLocalDrive* d = localAt(L"/fake/sdb");
    list.addLocalDrive(d);
    list.addLocalDrive(localAt(L"/x.img"));
    d->setFileHandle(VMIO::OpenDevice(L"/fake/sdb", false));
    std::thread remover([&] { list.removeLocalDriveAtIndex(0); });
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::seconds(10), [&] { return closing; }));
    }
    const double scale = tw::Clock::scale();
    tw::Clock::setScale(0.01);
    EXPECT_EQ(list.getLocalDriveAt(1, 1), nullptr);  // deadlocked for drive 1
    tw::Clock::setScale(scale);
    {
        std::lock_guard<std::mutex> l(m);
        letGo = true;
    }
    cv.notify_all();
    remover.join();
    EXPECT_EQ(list.getNumberOfLocalDrives(), 1);
    EXPECT_EQ(fake.openHandles(), 0);  // the removed drive's handle was closed
}

TEST(VMDriveList, MatchingRemoteDrive) {
    const int F = 4, R = 1, C = 2, IDLE = 0, BUSY = 1;
    struct Row {
        const char* what;
        int localType;
        std::vector<VMRemoteDrive> remotes;
        int expected;  // index, -1 none
    } rows[] = {
        {"floppy: mapped floppy skipped for a free removable", 4, {remote(0, F, IDLE, 2), remote(1, R)}, 1},
        {"floppy prefers a floppy drive", 4, {remote(0, R), remote(1, F)}, 1},
        {"floppy image to removable", 6, {remote(0, R)}, 0},
        {"floppy image to floppy", 6, {remote(0, C), remote(1, F)}, 1},
        {"busy CD", 2, {remote(0, C, BUSY)}, -1},
        {"CD image", 5, {remote(0, F), remote(1, C)}, 1},
        {"type 3 never matches", 3, {remote(0, R), remote(1, C), remote(2, F)}, -1},
        {"removable image", 7, {remote(0, F), remote(1, R)}, 1},
        {"removable not to floppy", 1, {remote(0, F)}, -1},
        {"removable skips busy", 1, {remote(0, R, BUSY), remote(1, R)}, 1},
        {"unknown type", 0, {remote(0, R)}, -1},
        {"broken drive", 1, {remote(0, R, VMRemoteDrive::REMOTE_DRIVE_BROKEN)}, -1},
    };
    for (const Row& r : rows) {
        VMDriveList list;
        setRemotes(list, r.remotes);
        SCOPED_TRACE(r.what);
        VMRemoteDrive* plain = list.getMatchingRemoteDrive(r.localType);
        VMRemoteDrive* held = list.getMatchingRemoteDrive(r.localType, 1);
        EXPECT_EQ(plain, held);
        if (r.expected < 0) {
            EXPECT_EQ(held, nullptr);
            VMRemoteDrive* first = list.getRemoteDriveAt(0, 1);
            EXPECT_NE(first, nullptr);  // left unlocked
            EXPECT_TRUE(list.releaseRemoteDrive(first));
        } else {
            EXPECT_EQ(list.getRemoteDriveAt(r.expected, 1), nullptr);  // the side is held
            EXPECT_EQ(held->getDriveId(), r.expected);
            EXPECT_TRUE(list.releaseRemoteDrive(held));
        }
    }
}

TEST(VMDriveList, MergeOfTheServerList) {
    TempDir tmp;
    const std::string img = devtest::sizedFile(tmp, "m.img", 1474560);
    VMDriveList list;
    list.registerCallback(countCallback);
    EXPECT_EQ(list.isRemoteListReceived(), 0);
    setRemotes(list, {remote(1, 4), remote(2, 1)});
    VMRemoteDrive* vanishing = list.getRemoteDriveByID(1);
    vanishing->setMappedTo(1);

    VMLocalDrive* local = localAt(W(img));
    list.addLocalDrive(local);
    const VMIO::Handle fd = VMIO::OpenDrive(true, W(img).c_str(), 1, true);
    ASSERT_NE(fd, VMIO::INVALID_HANDLE);
    local->setFileHandle(fd);
    local->setLocked(1);
    local->setMappedTo(1);

    g_calls = 0;
    setRemotes(list, {remote(2, 4, VMRemoteDrive::REMOTE_DRIVE_ATTACHED), remote(3, 2)});
    EXPECT_EQ(g_calls.load(), 1);
    EXPECT_EQ(g_lastCode.load(), VMConstants::DRIVE_LIST_UPDATE);
    EXPECT_EQ(list.getLastRemoteAction(), 400);
    EXPECT_EQ(list.isRemoteListReceived(), 1);
    ASSERT_EQ(list.getNumberOfRemoteDrives(), 2);
    EXPECT_EQ(list.getRemoteDriveAt(0)->getDriveId(), 2);
    EXPECT_EQ(list.getRemoteDriveAt(0)->getStatus(), VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    EXPECT_EQ(list.getRemoteDriveAt(0)->getRemoteDriveType(), 4);
    EXPECT_EQ(list.getRemoteDriveAt(1)->getDriveId(), 3);
    // The local drive mapped to the vanished one is closed and unmapped.
    EXPECT_FALSE(fdOpen(fd));
    EXPECT_EQ(local->getMappedTo(), -1);
    EXPECT_EQ(local->getFileHandle(), VMIO::INVALID_HANDLE);
    EXPECT_EQ(local->isLocked(), 0);
    // The vanished drive is unlisted but still alive for whoever pointed at it.
    EXPECT_EQ(vanishing->getDriveId(), 1);
    EXPECT_EQ(list.getRemoteDriveByID(1), nullptr);
}

// A list answered before the server saw a map request still says "idle" for
// the drive: the mapping stands, and only a drive nobody here maps follows
// the list.
TEST(VMDriveList, AListThatCrossedAMapKeepsTheDriveAttached) {
    VMDriveList list;
    setRemotes(list, {remote(1, 2), remote(2, 1)});
    list.getRemoteDriveByID(1)->setMappedTo(7);
    list.getRemoteDriveByID(2)->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);  // another client's
    setRemotes(list, {remote(1, 2), remote(2, 1)});
    EXPECT_EQ(list.getRemoteDriveByID(1)->getStatus(), VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    EXPECT_EQ(list.getRemoteDriveByID(1)->getMappedTo(), 7);
    EXPECT_EQ(list.getRemoteDriveByID(1)->isMappedLocally(), 1);
    EXPECT_EQ(list.getRemoteDriveByID(2)->getStatus(), VMRemoteDrive::REMOTE_DRIVE_IDLE);
    // Other states the server reports still count.
    setRemotes(list, {remote(1, 2, VMRemoteDrive::REMOTE_DRIVE_BROKEN), remote(2, 1)});
    EXPECT_EQ(list.getRemoteDriveByID(1)->getStatus(), VMRemoteDrive::REMOTE_DRIVE_BROKEN);
}

TEST(VMDriveList, MergeEndsTheHoldOnAnUnmappedLocalDrive) {
    VMDriveList list;
    setRemotes(list, {remote(7, 1)});
    list.getRemoteDriveByID(7)->setMappedTo(1);
    list.addLocalDrive(localAt(L"/h.img"));
    VMLocalDrive* held = list.getLocalDriveByID(1, 5);
    ASSERT_NE(held, nullptr);
    held->setMappedTo(7);
    setRemotes(list, {});
    EXPECT_EQ(held->getMappedTo(), -1);
    EXPECT_FALSE(list.releaseLocalDrive(held));       // no longer held
    EXPECT_NE(list.getLocalDriveAt(0, 1), nullptr);   // and the side is free again
}

TEST(VMDriveList, RemovingAMappedDriveClosesItsHandle) {
    TempDir tmp;
    const std::string img = devtest::sizedFile(tmp, "r.img", 4096);
    VMDriveList list;
    VMLocalDrive* d = localAt(W(img));
    list.addLocalDrive(d);
    const VMIO::Handle fd = VMIO::OpenFile(W(img).c_str(), true);
    d->setFileHandle(fd);
    {
        // A copy shares the handle number: removing from it must not close it.
        VMDriveList copy(&list);
        copy.removeLocalDrive(copy.getLocalDriveAt(0));
        EXPECT_EQ(copy.getNumberOfLocalDrives(), 0);
        EXPECT_TRUE(fdOpen(fd));
    }
    list.removeLocalDrive(d);
    EXPECT_FALSE(fdOpen(fd));
    EXPECT_EQ(list.getNumberOfLocalDrives(), 0);
}

TEST(VMDriveList, CopiesAreDeepAndLockless) {
    auto list = std::make_unique<VMDriveList>();
    list->addLocalDrive(localAt(L"/a.img"));
    list->addLocalDrive(localAt(L"/b.img"));
    setRemotes(*list, {remote(0, 2), remote(1, 4)});
    list->setLastLocalAction(VMDriveList::DRIVE_ADDED);

    VMDriveList byPointer(list.get());
    VMDriveList byRef(*list);
    VMDriveList assigned;
    assigned.addLocalDrive(localAt(L"/old.img"));
    assigned = *list;
    assigned = assigned;
    list.reset();
    for (VMDriveList* c : {&byPointer, &byRef, &assigned}) {
        EXPECT_EQ(c->getNumberOfLocalDrives(), 2);
        EXPECT_EQ(c->getNumberOfRemoteDrives(), 2);
        EXPECT_EQ(c->getLastLocalAction(), VMDriveList::DRIVE_ADDED);
        EXPECT_STREQ(c->getLocalDriveAt(1)->getPath(), L"/b.img");
        EXPECT_EQ(c->addLocalDrive(localAt(L"/c.img")), 3);  // the id counter came along
    }
    // Without locks a hold-mode lookup is plain: nothing is held.
    VMLocalDrive* a = byPointer.getLocalDriveAt(0, 5);
    VMLocalDrive* b = byPointer.getLocalDriveAt(1, 5);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_FALSE(byPointer.releaseLocalDrive(a));
    EXPECT_NE(byPointer.getMatchingRemoteDrive(5, 5), nullptr);
}
