// The remap after a reconnection's drive list: every mapped drive is opened
// and offered again, on the server drive it had.
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

TEST_F(RemapDrives, ADriveThatCannotBeOpenedFailsTheRemapButNotTheOthers) {
    Rig rig;
    rig.deliver(Rig::vdiskInfo({1, 1}));
    VMLocalDrive* gone = map(rig, {"gone.img", 512 * 8192, 0});
    VMLocalDrive* kept = map(rig, {"kept.img", 512 * 8192, 1});
    ASSERT_TRUE(gone && kept);
    std::remove(dir.file("gone.img").c_str());
    CallbackLog::clear();
    const size_t before = rig.sent().size();
    testing::internal::CaptureStdout();
    Reconnected(rig, {1, 1});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(MapRequestsSince(rig, before), (std::map<int, int>{{1, 0x0211}}));
    EXPECT_EQ(gone->getMappedTo(), -1);
    EXPECT_EQ(gone->getFileHandle(), VMIO::INVALID_HANDLE);
    EXPECT_EQ(kept->getMappedTo(), 1);
    EXPECT_EQ(rig.session->getNumMaps(), 1);
    // Reported as failed, never as completed.
    EXPECT_EQ(CallbackLog::get(0), std::vector<int>{VMConstants::SESSION_STATUS});
    EXPECT_FALSE(rig.session->isReconnecting());
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
