// The drive-watch thread against fake block devices: which drives it checks
// and when it unmaps one.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "fakes/FakeDevicePlatform.h"
#include "session/SessionRig.h"
#include "session/WatchDriveThread.h"

using namespace sessiontest;

namespace {

// The facade side: hands out copies of the drive list and records unmaps.
class WatchHost : public FakeHost {
public:
    VMDriveList* list = nullptr;
    std::function<void()> afterCopy;
    std::mutex mutex;
    std::vector<int> unmapped;

    VMDriveList* getDriveList() override {
        auto* copy = new VMDriveList(list);
        if (afterCopy) afterCopy();
        return copy;
    }
    int unmapDrive(int remoteId) override {
        std::lock_guard<std::mutex> lock(mutex);
        unmapped.push_back(remoteId);
        return VMConstants::API_SUCCESS;
    }
    std::vector<int> unmaps() {
        std::lock_guard<std::mutex> lock(mutex);
        return unmapped;
    }
};

struct WatchRig {
    FakeDevicePlatform fake;
    ScopedPlatform use{fake};
    WatchHost host;
    VMDriveList drives;
    VMServerImageList images;
    std::unique_ptr<ZELKSession> session;
    twtest::TempDir dir;
    FakeDevicePlatform::Disk* usb = nullptr;

    WatchRig() {
        host.list = &drives;
        session = std::make_unique<ZELKSession>(&host, &drives, &images);
        usb = &fake.addDisk("/fake/sdb", 8, 16, 16 << 20);
        usb->usb = true;
        usb->removable = true;
        twtest::writeFile(dir.file("stick.img"), std::string(512 * 8192, 's'));
        twtest::writeFile(dir.file("cd.iso"), std::string(2048 * 16, 'c'));
        std::vector<VMRemoteDrive*> remote;
        for (int id = 0; id < 3; ++id) {
            auto* rd = new VMRemoteDrive();
            rd->setDriveId(id);
            rd->setRemoteDriveType(id == 2 ? VMRemoteDrive::REMOTE_DRIVE_IS_CD : VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE);
            rd->setMappedTo(-1);
            remote.push_back(rd);
        }
        drives.updateRemoteDriveList(remote);
        for (VMRemoteDrive* rd : remote) delete rd;
    }
    ~WatchRig() { session.reset(); }

    VMLocalDrive* map(const std::string& path, int remoteId) {
        auto* ld = new VMLocalDrive(std::wstring(path.begin(), path.end()).c_str());
        const int id = drives.addLocalDrive(ld);
        ld = drives.getLocalDriveByID(id);
        VMRemoteDrive* rd = drives.getRemoteDriveByID(remoteId);
        ld->setFileHandle(ld->isDrive() ? VMIO::OpenDevice(ld->getPath(), false, false)
                                        : VMIO::OpenFile(ld->getPath(), false));
        EXPECT_NE(ld->getFileHandle(), VMIO::INVALID_HANDLE) << path;
        ld->setMappedTo(remoteId);
        rd->setMappedTo(ld->getDriveId());
        rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
        return ld;
    }
};

}  // namespace

TEST(WatchDriveThread, OnlyAMappedDeviceWhoseMediumWentIsUnmapped) {
    struct {
        const char* name;
        bool mapDevice;
        bool mediumPresent;
        std::vector<int> unmapped;
    } cases[] = {
        {"medium present", true, true, {}},
        {"medium pulled", true, false, {0}},
        {"device not mapped", false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatchRig rig;
        VMLocalDrive* device = nullptr;
        if (c.mapDevice) {
            device = rig.map("/fake/sdb", 0);
            ASSERT_EQ(device->getLocalDriveType(), VMLocalDrive::LOCAL_DRIVE_IS_REMOVABLE);
        } else {
            rig.drives.addLocalDrive(new VMLocalDrive(L"/fake/sdb"));
        }
        // Images are never checked, whatever their medium does.
        rig.map(rig.dir.file("stick.img"), 1);
        rig.map(rig.dir.file("cd.iso"), 2);
        rig.usb->mediaPresent = c.mediumPresent;
        rig.fake.clearCdbLog();
        WatchDriveThread watch(&rig.host, rig.session.get());
        watch.checkDrives();
        EXPECT_EQ(rig.host.unmaps(), c.unmapped);
        // One medium check, on the device only.
        EXPECT_EQ(rig.fake.cdbs(0x00).size(), c.mapDevice ? 1u : 0u);
    }
}

TEST(WatchDriveThread, ADriveChangedSinceTheCopyIsLeftAlone) {
    WatchRig rig;
    VMLocalDrive* device = rig.map("/fake/sdb", 0);
    rig.usb->mediaPresent = false;
    // Between the copy and the check the drive is mapped anew elsewhere.
    rig.host.afterCopy = [&] {
        VMRemoteDrive* old = rig.drives.getRemoteDriveByID(0);
        VMRemoteDrive* now = rig.drives.getRemoteDriveByID(1);
        old->setMappedTo(-1);
        now->setMappedTo(device->getDriveId());
        device->setMappedTo(1);
    };
    WatchDriveThread watch(&rig.host, rig.session.get());
    watch.checkDrives();
    EXPECT_TRUE(rig.host.unmaps().empty());
    // The next pass sees the live mapping and acts on it.
    rig.host.afterCopy = nullptr;
    watch.checkDrives();
    EXPECT_EQ(rig.host.unmaps(), std::vector<int>{1});
}

TEST(WatchDriveThread, NothingIsCheckedWhileReconnecting) {
    WatchRig rig;
    rig.map("/fake/sdb", 0);
    rig.usb->mediaPresent = false;
    rig.session->setReconnecting(1);
    WatchDriveThread watch(&rig.host, rig.session.get());
    watch.checkDrives();
    EXPECT_TRUE(rig.host.unmaps().empty());
    rig.session->setReconnecting(0);
    rig.host.status = VMConstants::VMAPI_RECONNECTING;
    watch.checkDrives();
    EXPECT_TRUE(rig.host.unmaps().empty());
}

TEST(WatchDriveThread, TheFirstPassRunsAtOnceAndAStopEndsTheWait) {
    WatchRig rig;
    rig.map("/fake/sdb", 0);
    rig.usb->mediaPresent = false;
    WatchDriveThread watch(&rig.host, rig.session.get());
    watch.start();
    for (int i = 0; i < 5000 && rig.host.unmaps().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(rig.host.unmaps(), std::vector<int>{0});
    // The thread now waits 100 s; a stop cuts it short.
    watch.stopThread();
    watch.join();
    EXPECT_FALSE(watch.isRunning());
}

TEST(WatchDriveThread, ADeviceWithoutAMediumCheckIsNotUnmapped) {
    // No SCSI: the size decides; a size it cannot tell means "present".
    struct {
        const char* name;
        bool present;
        int sizeErrno;
        bool unmapped;
    } cases[] = {
        {"size known", true, 0, false},
        {"size 0", false, 0, true},
        {"size not supported", true, ENOTTY, false},
        {"no medium", true, ENOMEDIUM, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WatchRig rig;
        rig.usb->scsi = false;
        rig.map("/fake/sdb", 0);
        rig.usb->mediaPresent = c.present;
        rig.usb->sizeErrno = c.sizeErrno;
        WatchDriveThread watch(&rig.host, rig.session.get());
        watch.checkDrives();
        EXPECT_EQ(rig.host.unmaps().size(), c.unmapped ? 1u : 0u);
    }
}
