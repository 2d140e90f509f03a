// The remap after a reconnection's drive list: every mapped drive is opened
// and offered again, on the server drive it had where that still suits it;
// a drive that finds no place ends the session.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "api/VMSessionStatus.h"
#include "session/SessionRig.h"

using namespace sessiontest;

namespace {

struct Image {
    const char* name;
    size_t bytes;
    int remoteId;
};

// Map requests (0x0210 and 0x0211) sent after `from`, by device index.
std::map<int, int> MapRequestsSince(Rig& rig, size_t from) {
    std::map<int, int> out;
    std::vector<Sent> sent = rig.sent();
    for (size_t i = from; i < sent.size(); ++i)
        if (sent[i].type == 0x0210 || sent[i].type == 0x0211) out[sent[i].param] = sent[i].type;
    return out;
}

// What the drive-list handler does on the answer after a reconnection login.
void Reconnected(Rig& rig, const std::vector<int>& types) {
    rig.host.status = VMConstants::VMAPI_RECONNECTING;
    rig.session->setReconnecting(1);
    rig.deliver(Rig::vdiskInfo(types));
}

}  // namespace

class RemapDrives : public testing::Test {
protected:
    ClockScale scale{0.01};
    twtest::TempDir dir;

    VMLocalDrive* map(Rig& rig, const Image& image) {
        twtest::writeFile(dir.file(image.name), std::string(image.bytes, 'x'));
        return rig.mapImage(dir.file(image.name), image.remoteId);
    }
};

TEST_F(RemapDrives, EveryDriveKeepsItsServerDrive) {
    Rig rig;
    const std::vector<int> types = {1, 1, 2};
    rig.deliver(Rig::vdiskInfo(types));
    // Mapped the other way round from the order a first-fit search would pick.
    VMLocalDrive* a = map(rig, {"a.img", 512 * 8192, 1});
    VMLocalDrive* b = map(rig, {"b.img", 512 * 8192, 0});
    VMLocalDrive* cd = map(rig, {"cd.iso", 2048 * 64, 2});
    ASSERT_TRUE(a && b && cd);
    const int aId = a->getDriveId(), bId = b->getDriveId(), cdId = cd->getDriveId();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        CallbackLog::clear();
        const size_t before = rig.sent().size();
        testing::internal::CaptureStdout();
        Reconnected(rig, types);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(MapRequestsSince(rig, before), (std::map<int, int>{{0, 0x0211}, {1, 0x0211}, {2, 0x0210}}));
        EXPECT_EQ(rig.drives.getLocalDriveByID(aId)->getMappedTo(), 1);
        EXPECT_EQ(rig.drives.getLocalDriveByID(bId)->getMappedTo(), 0);
        EXPECT_EQ(rig.drives.getLocalDriveByID(cdId)->getMappedTo(), 2);
        EXPECT_NE(rig.drives.getLocalDriveByID(aId)->getFileHandle(), VMIO::INVALID_HANDLE);
        EXPECT_EQ(rig.session->getNumMaps(), 3);
        EXPECT_NE(out.find("to Remote Device[1] as Read/Write."), std::string::npos) << out;
        EXPECT_EQ(CallbackLog::get(0),
                  (std::vector<int>{VMSessionStatus::RECONNECT_COMPLETED, VMConstants::SESSION_STATUS}));
        EXPECT_FALSE(rig.session->isReconnecting());
        EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_CONNECTED);
    }
}

TEST_F(RemapDrives, AFloppyOnARemovableDriveIsOfferedWhole) {
    Rig rig;
    rig.deliver(Rig::vdiskInfo({1}));
    VMLocalDrive* floppy = map(rig, {"floppy.img", 512 * 2880, 0});
    ASSERT_TRUE(floppy);
    ASSERT_EQ(floppy->getLocalDriveType(), VMLocalDrive::LOCAL_DRIVE_IS_FLOPPY_IMAGE);
    floppy->setMapAsFloppy(1);
    const size_t before = rig.sent().size();
    testing::internal::CaptureStdout();
    Reconnected(rig, {1});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(MapRequestsSince(rig, before), (std::map<int, int>{{0, 0x0211}}));
    EXPECT_EQ(floppy->getMappedTo(), 0);
    // As mapDrive would have it on a removable drive.
    EXPECT_EQ(floppy->getMapAsFloppy(), 0);
}

TEST_F(RemapDrives, ADriveThatCannotBeOpenedEndsTheSession) {
    Rig rig;
    rig.session->startForTesting();
    rig.deliver(Rig::vdiskInfo({1, 1}));
    VMLocalDrive* gone = map(rig, {"gone.img", 512 * 8192, 0});
    VMLocalDrive* kept = map(rig, {"kept.img", 512 * 8192, 1});
    ASSERT_TRUE(gone && kept);
    std::remove(dir.file("gone.img").c_str());
    CallbackLog::clear();
    testing::internal::CaptureStdout();
    Reconnected(rig, {1, 1});
    testing::internal::GetCapturedStdout();
    // Reported as failed, never as completed, and the session is over: no
    // drive stays open, none is left mapped on either side.
    EXPECT_EQ(CallbackLog::get(0), (std::vector<int>{VMConstants::SESSION_STATUS, VMConstants::SESSION_CLOSED}));
    EXPECT_TRUE(rig.session->isStopped());
    EXPECT_FALSE(rig.session->isReconnecting());
    for (VMLocalDrive* ld : {gone, kept}) {
        EXPECT_EQ(ld->getMappedTo(), -1);
        EXPECT_EQ(ld->getFileHandle(), VMIO::INVALID_HANDLE);
    }
    for (int id : {0, 1}) EXPECT_EQ(rig.drives.getRemoteDriveByID(id)->getMappedTo(), -1) << id;
    EXPECT_EQ(rig.session->getNumMaps(), 0);
    EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_DISCONNECTED);
}

TEST_F(RemapDrives, EveryDriveIsPlacedWhenTheNewListCanHoldThem) {
    const Image floppy{"floppy.img", 512 * 2880, 0};
    const Image stick{"stick.img", 512 * 8192, 0};
    const Image cd{"cd.iso", 2048 * 64, 0};
    struct Case {
        const char* name;
        std::vector<int> before;
        std::vector<std::pair<Image, int>> mapped;  // image, server drive before
        std::vector<int> after;
        std::vector<int> expected;  // server drive after, per image (empty: none fit)
    } cases[] = {
        // The floppy goes to the floppy drive, wherever the server now lists
        // it; the stick still on a removable drive keeps it.
        {"floppy drive moved", {4, 1, 1}, {{floppy, 0}, {stick, 1}, {stick, 2}}, {1, 1, 4}, {2, 1, 0}},
        // A removable drive whose old place is still removable keeps it; the
        // others take what is left of their kind.
        {"cd moved", {1, 1, 2}, {{stick, 0}, {stick, 1}, {cd, 2}}, {2, 1, 1}, {2, 1, 0}},
        // No floppy drive any more: the floppy takes a removable one.
        {"floppy drive gone", {4, 1, 1}, {{floppy, 0}, {stick, 1}}, {1, 1, 2}, {0, 1}},
        {"fewer drives", {1, 1}, {{stick, 0}, {stick, 1}}, {1}, {}},
        {"type changed", {4, 1}, {{floppy, 0}, {stick, 1}}, {4, 2}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.session->startForTesting();
        rig.deliver(Rig::vdiskInfo(c.before));
        std::vector<VMLocalDrive*> drives;
        for (size_t i = 0; i < c.mapped.size(); ++i) {
            Image image = c.mapped[i].first;
            const std::string name = std::to_string(i) + image.name;
            image.name = name.c_str();
            image.remoteId = c.mapped[i].second;
            drives.push_back(map(rig, image));
            ASSERT_TRUE(drives.back());
        }
        CallbackLog::clear();
        const size_t before = rig.sent().size();
        testing::internal::CaptureStdout();
        Reconnected(rig, c.after);
        testing::internal::GetCapturedStdout();
        if (c.expected.empty()) {
            // Nothing is offered for the moment before the stop.
            EXPECT_TRUE(MapRequestsSince(rig, before).empty());
            EXPECT_EQ(CallbackLog::get(0), (std::vector<int>{VMConstants::SESSION_STATUS, VMConstants::SESSION_CLOSED}));
            EXPECT_TRUE(rig.session->isStopped());
            for (VMLocalDrive* ld : drives) EXPECT_EQ(ld->getFileHandle(), VMIO::INVALID_HANDLE);
            continue;
        }
        std::map<int, int> requests;
        for (size_t i = 0; i < drives.size(); ++i) {
            EXPECT_EQ(drives[i]->getMappedTo(), c.expected[i]) << i;
            EXPECT_NE(drives[i]->getFileHandle(), VMIO::INVALID_HANDLE) << i;
            requests[c.expected[i]] = drives[i]->getLocalDriveType() == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE ? 0x0210
                                                                                                              : 0x0211;
        }
        EXPECT_EQ(MapRequestsSince(rig, before), requests);
        EXPECT_EQ(CallbackLog::get(0),
                  (std::vector<int>{VMSessionStatus::RECONNECT_COMPLETED, VMConstants::SESSION_STATUS}));
        EXPECT_FALSE(rig.session->isStopped());
        EXPECT_EQ(rig.host.status.load(), VMConstants::VMAPI_CONNECTED);
    }
}

TEST_F(RemapDrives, AServerDriveNoLongerListedIsReplacedByAMatchingOne) {
    Rig rig;
    rig.deliver(Rig::vdiskInfo({2, 1}));
    VMLocalDrive* stick = map(rig, {"stick.img", 512 * 8192, 1});
    ASSERT_TRUE(stick);
    const size_t before = rig.sent().size();
    testing::internal::CaptureStdout();
    // The server now lists its removable drive first.
    Reconnected(rig, {1, 2});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(MapRequestsSince(rig, before), (std::map<int, int>{{0, 0x0211}}));
    EXPECT_EQ(stick->getMappedTo(), 0);
}
