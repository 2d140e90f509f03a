#include <gtest/gtest.h>

#include "SessionRig.h"
#include "api/VMSessionStatus.h"
#include "session/ServerImageManager.h"

using namespace sessiontest;

namespace {

Bytes LoginResponseBytes(int status, const std::string& name = "") {
    Bytes body = {uint8_t(status), 0, uint8_t(name.size())};
    body.insert(body.end(), name.begin(), name.end());
    return Packet("ZELK", 0x8100, 0, body);
}

Bytes DisconnectBytes(int reason, int preempt, int timeout, const std::string& text) {
    Bytes body = {uint8_t(reason), uint8_t(preempt), uint8_t(timeout), uint8_t(text.size())};
    body.insert(body.end(), text.begin(), text.end());
    return Packet("ZELK", 0x8110, 0, body);
}

Bytes DeviceStatusBytes(int index, uint32_t status) {
    Bytes body;
    PutU32(body, status);
    return Packet("ZELK", 0x8410, index, body);
}

const Bytes kTuvoHeartbeat = Packet("TUVO", 0x0400, 0);

}  // namespace

class ProcessorTest : public testing::Test {
protected:
    ClockScale scale{0.01};
};

TEST_F(ProcessorTest, PacketsPassOnlyInConnectedStates) {
    struct {
        int status;
        bool answered;
    } cases[] = {{VMConstants::VMAPI_DISCONNECTED, false}, {VMConstants::VMAPI_CONNECTING, true},
                 {VMConstants::VMAPI_CONNECTED, true},     {VMConstants::VMAPI_RECONNECTING, true},
                 {VMConstants::VMAPI_DISCONNECTING, false}};
    for (const auto& c : cases) {
        Rig rig;
        rig.host.status = c.status;
        rig.deliver(kTuvoHeartbeat);
        EXPECT_EQ(rig.sentOfType(0x0400), c.answered ? 1u : 0u) << c.status;
        EXPECT_EQ(rig.session->getLastReceiveTime() != 0, c.answered) << c.status;
    }
}

TEST_F(ProcessorTest, VDiskInfoTypesAndIds) {
    using RD = VMRemoteDrive;
    struct Case {
        std::vector<int> types;
        bool reversed;
        std::vector<std::pair<int, int>> expected;  // id, type
    } cases[] = {
        {{2, 9, 4}, false, {{0, RD::REMOTE_DRIVE_IS_CD}, {2, RD::REMOTE_DRIVE_IS_FLOPPY}}},
        {{1, 4, 2}, false,
         {{0, RD::REMOTE_DRIVE_IS_REMOVABLE}, {1, RD::REMOTE_DRIVE_IS_FLOPPY}, {2, RD::REMOTE_DRIVE_IS_CD}}},
        {{1, 4, 2}, true,
         {{0, RD::REMOTE_DRIVE_IS_FLOPPY}, {1, RD::REMOTE_DRIVE_IS_REMOVABLE}, {2, RD::REMOTE_DRIVE_IS_CD}}},
        {{0, 0}, false, {}},
    };
    for (const Case& c : cases) {
        Rig rig(VMConnectionInfo::VM_STYLE_RDOC);
        rig.session->setFloppyReversed(c.reversed);
        rig.deliver(Rig::vdiskInfo(c.types));
        ASSERT_EQ(rig.drives.getNumberOfRemoteDrives(), int(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) {
            VMRemoteDrive* rd = rig.drives.getRemoteDriveAt(int(i));
            EXPECT_EQ(rd->getDriveId(), c.expected[i].first);
            EXPECT_EQ(rd->getRemoteDriveType(), c.expected[i].second);
            EXPECT_EQ(rd->getMappedTo(), -1);
            rig.drives.releaseRemoteDrive(rd);
        }
        EXPECT_EQ(rig.session->getDriveListUpdates(), 1u);
    }
}

TEST_F(ProcessorTest, EmptyDriveListsAreAskedForAgainOnlyInSomeStyles) {
    struct {
        int style;
        int answers;
        size_t requests;
        uint64_t updates;
    } cases[] = {
        {VMConnectionInfo::VM_STYLE_DEFAULT, 21, 20, 1},  // 20 retries, then the empty list stands
        {VMConnectionInfo::VM_STYLE_MOSKA, 3, 3, 0},
        {VMConnectionInfo::VM_STYLE_RDOC, 1, 0, 1},
        {VMConnectionInfo::VM_STYLE_MOSKA_RDOC2, 2, 0, 2},
    };
    for (const auto& c : cases) {
        Rig rig(c.style);
        for (int i = 0; i < c.answers; ++i) rig.deliver(Rig::vdiskInfo({}));
        EXPECT_EQ(rig.sentOfType(0x0200), c.requests) << c.style;
        EXPECT_EQ(rig.session->getDriveListUpdates(), c.updates) << c.style;
    }
    // A list that reported a drive ends the retries for good.
    Rig rig(VMConnectionInfo::VM_STYLE_DEFAULT);
    rig.deliver(Rig::vdiskInfo({2}));
    rig.deliver(Rig::vdiskInfo({}));
    EXPECT_EQ(rig.sentOfType(0x0200), 0u);
    EXPECT_EQ(rig.session->getDriveListUpdates(), 2u);
}

TEST_F(ProcessorTest, LoginResponseByStyleStatusAndReconnection) {
    struct {
        int style;
        int status;
        bool reconnecting;
        bool asksForDrives;
        bool cancelsReconnect;
    } cases[] = {
        {VMConnectionInfo::VM_STYLE_DEFAULT, 0, false, true, false},
        {VMConnectionInfo::VM_STYLE_MOSKA, 0, false, false, false},
        {VMConnectionInfo::VM_STYLE_MOSKA, 0, true, true, false},
        {VMConnectionInfo::VM_STYLE_MOSKA_RDOC1, 0, true, true, false},
        {VMConnectionInfo::VM_STYLE_DEFAULT, 2, false, false, false},
        {VMConnectionInfo::VM_STYLE_DEFAULT, 2, true, false, true},
        {VMConnectionInfo::VM_STYLE_MOSKA, 100, true, false, true},
        // Left to the application on a first login; a one-time login after
        // a drop that is refused in any way ends the reconnection.
        {VMConnectionInfo::VM_STYLE_DEFAULT, 6, false, false, false},
        {VMConnectionInfo::VM_STYLE_DEFAULT, 6, true, false, true},
        {VMConnectionInfo::VM_STYLE_DEFAULT, 11, true, false, true},
    };
    for (const auto& c : cases) {
        Rig rig(c.style);
        rig.session->setReconnecting(c.reconnecting ? 1 : 0);
        rig.deliver(LoginResponseBytes(c.status, "holder"));
        SCOPED_TRACE(testing::Message() << "style " << c.style << " status " << c.status);
        EXPECT_EQ(rig.sentOfType(0x0200), c.asksForDrives ? 1u : 0u);
        EXPECT_EQ(rig.session->getCancelReconnect(), c.cancelsReconnect);
        EXPECT_EQ(CallbackLog::get(0), std::vector<int>{200});
        std::unique_ptr<VMSessionStatus> s = rig.session->copySessionStatus();
        ASSERT_TRUE(s);
        EXPECT_EQ(s->getStatus(), c.status);
        EXPECT_STREQ(s->getPreemptUser(), "holder");
        EXPECT_EQ(s->canPreempt(), 1);
        // The receive thread expects the login answer no longer.
        EXPECT_EQ(rig.session->isConnectDone(), c.status == 0);
    }
}

TEST_F(ProcessorTest, ThreadsOfALoginWaitForTheDriveList) {
    Rig rig(VMConnectionInfo::VM_STYLE_DEFAULT);
    rig.deliver(LoginResponseBytes(0));
    EXPECT_TRUE(rig.session->isWaitingForVDiskInfoResponse());
    EXPECT_EQ(rig.session->getWatchDriveThread(), nullptr);
    rig.deliver(Rig::vdiskInfo({2}));
    EXPECT_FALSE(rig.session->isWaitingForVDiskInfoResponse());
    EXPECT_NE(rig.session->getWatchDriveThread(), nullptr);
}

TEST_F(ProcessorTest, DriveListBeforeAnyLoginAnswer) {
    Rig rig(VMConnectionInfo::VM_STYLE_RDOC);
    ASSERT_FALSE(rig.session->hasSessionStatus());
    rig.deliver(Rig::vdiskInfo({2}));
    EXPECT_FALSE(rig.session->hasSessionStatus());
    EXPECT_EQ(rig.drives.getNumberOfRemoteDrives(), 1);
}

TEST_F(ProcessorTest, DisconnectRecordsTheReasonAndPrintsItInConsoleStyles) {
    const char* texts[] = {"Disconnected by Administrator\n",
                           "Disconnect due to Idle Session Timeout\n",
                           "Disconnect due to Appliance reboot pending\n",
                           "Disconnect due to VORNA upgrade pending\n",
                           "Disconnect due to preempted by local user\n",
                           "Disconnected by server\n",
                           "Disconnect due to KVM lock\n",
                           "Disconnected by server\n"};
    for (int style : {VMConnectionInfo::VM_STYLE_MOSKA, VMConnectionInfo::VM_STYLE_DEFAULT}) {
        for (int reason = 0; reason < 8; ++reason) {
            Rig rig(style);
            testing::internal::CaptureStdout();
            rig.deliver(DisconnectBytes(reason, reason == 4 ? 128 : 0, 9, "admin"));
            const std::string out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(out, style == VMConnectionInfo::VM_STYLE_MOSKA ? texts[reason] : "") << reason;
            std::unique_ptr<VMSessionStatus> s = rig.session->copySessionStatus();
            ASSERT_TRUE(s);
            EXPECT_EQ(s->getStatus(), VMSessionStatus::DISCONNECT_REQUESTED);
            EXPECT_EQ(s->getDisconnectReason(), reason);
            EXPECT_EQ(s->getDisconnectTimeout(), 9);
            EXPECT_STREQ(s->getPreemptUser(), "admin");
            EXPECT_EQ(s->canPreempt(), reason == 4 ? 1 : 0);
            EXPECT_EQ(CallbackLog::get(0), std::vector<int>{200});
            // Nothing stops or closes.
            EXPECT_TRUE(rig.session->getSendThread()->isRunning());
        }
    }
}

TEST_F(ProcessorTest, SessionIdAndOneTimeCredentials) {
    Rig rig;
    rig.session->setReconnectCheckTimeout(30);
    Bytes body;
    PutU32(body, 77);
    body.insert(body.end(), {0, 40});
    rig.deliver(Packet("TUVO", 0x8102, 0, body));
    EXPECT_EQ(rig.session->getSessionId(), 77);
    EXPECT_EQ(rig.session->getReconnectCheckTimeout(), 20);
    body = {};
    PutU32(body, 78);
    body.insert(body.end(), {0, 0});
    rig.deliver(Packet("TUVO", 0x8102, 0, body));
    EXPECT_EQ(rig.session->getSessionId(), 78);
    EXPECT_EQ(rig.session->getReconnectCheckTimeout(), 20);

    Bytes otp = Packet("TUVO", 0x8103, 0, {'u', 's', 'r', 'p', 'w'});
    otp[10] = 3;
    otp[11] = 2;
    rig.deliver(otp);
    EXPECT_EQ(rig.session->getOTPUser().value_or("-"), "usr");
    EXPECT_EQ(rig.session->getOTPPassword().value_or("-"), "pw");
    otp = Packet("TUVO", 0x8103, 0, {'x'});
    otp[10] = 1;
    otp[11] = 0;
    rig.deliver(otp);
    EXPECT_EQ(rig.session->getOTPUser().value_or("-"), "x");
    EXPECT_FALSE(rig.session->getOTPPassword().has_value());
}

TEST_F(ProcessorTest, DeviceStatusUnmapsOnlyForItsErrorCodes) {
    twtest::TempDir dir;
    twtest::writeFile(dir.file("cd.iso"), std::string(2048 * 4, 'x'));
    struct {
        uint32_t status;
        bool unmaps;
    } cases[] = {{0, false}, {1, false}, {2, false}, {3, false}, {4, false},
                 {5, true},  {6, true},  {7, true},  {8, true},  {42, true}};
    for (const auto& c : cases) {
        Rig rig;
        rig.deliver(Rig::vdiskInfo({2}));
        VMLocalDrive* ld = rig.mapImage(dir.file("cd.iso"), 0);
        ASSERT_NE(ld, nullptr);
        rig.drives.setLastLocalAction(0);
        CallbackLog::clear();
        rig.deliver(DeviceStatusBytes(0, c.status));
        EXPECT_EQ(rig.drives.getLastLocalAction(), c.unmaps ? VMDriveList::DRIVE_ERROR : 0) << c.status;
        EXPECT_EQ(ld->getLastError(), c.unmaps ? int(c.status) : 0) << c.status;
        EXPECT_EQ(CallbackLog::get(1), std::vector<int>{400}) << c.status;
        bool unmap = false;
        RequestProcessor::deviceStatusText(c.status, &unmap);
        if (c.status != 0) {
            EXPECT_EQ(unmap, c.unmaps);
        }
    }
}

TEST_F(ProcessorTest, ServerReleaseOfAMappedDrive) {
    twtest::TempDir dir;
    twtest::writeFile(dir.file("a.iso"), std::string(2048 * 4, 'a'));
    twtest::writeFile(dir.file("b.iso"), std::string(2048 * 4, 'b'));
    {
        // Application styles: the client releases, answers 0 and reports the change.
        Rig rig(VMConnectionInfo::VM_STYLE_DEFAULT);
        rig.deliver(Rig::vdiskInfo({2, 2}));
        VMLocalDrive* ld = rig.mapImage(dir.file("a.iso"), 1);
        CallbackLog::clear();
        rig.deliver(Packet("ZELK", 0x8240, 1));
        std::vector<Sent> sent = rig.sent();
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[sent.size() - 2].type, 0x0220);
        EXPECT_EQ(sent[sent.size() - 2].param, 1);
        EXPECT_EQ(sent.back().type, 0x0410);
        EXPECT_EQ(sent.back().param, 1);
        EXPECT_EQ(sent.back().body, (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(ld->getMappedTo(), -1);
        EXPECT_EQ(ld->getFileHandle(), VMIO::INVALID_HANDLE);
        EXPECT_EQ(CallbackLog::get(1), std::vector<int>{400});
        // Not mapped any more: refused with 7, nothing released.
        rig.deliver(Packet("ZELK", 0x8240, 1));
        sent = rig.sent();
        EXPECT_EQ(sent.back().type, 0x0410);
        EXPECT_EQ(sent.back().body, (Bytes{0, 0, 0, 7}));
        EXPECT_EQ(rig.sentOfType(0x0220), 1u);
        // A drive the server never listed: no answer at all.
        const size_t before = rig.sent().size();
        rig.deliver(Packet("ZELK", 0x8240, 9));
        EXPECT_EQ(rig.sent().size(), before);
    }
    {
        // Console styles: the path is printed, and the last release ends the session.
        Rig rig(VMConnectionInfo::VM_STYLE_MOSKA);
        rig.deliver(Rig::vdiskInfo({2, 2}));
        rig.mapImage(dir.file("a.iso"), 0);
        rig.mapImage(dir.file("b.iso"), 1);
        testing::internal::CaptureStdout();
        rig.deliver(Packet("ZELK", 0x8240, 1));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n" + dir.file("b.iso") + " Released.\n");
        testing::internal::CaptureStdout();
        rig.deliver(Packet("ZELK", 0x8240, 0));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "\n" + dir.file("a.iso") + " Released.\n\nAll Virtual Media Released.\nTerminating.\n");
        EXPECT_EQ(rig.sentOfType(0x0220), 2u);
        EXPECT_EQ(rig.sentOfType(0x0410), 0u);
    }
}

TEST_F(ProcessorTest, DeviceConfigurationReadOnlyAppliesToEveryDrive) {
    Rig rig(VMConnectionInfo::VM_STYLE_RDOC);
    rig.deliver(Rig::vdiskInfo({2, 4}));
    Bytes body;
    PutU32(body, 1);
    PutU32(body, 1);
    body.push_back(1);
    rig.deliver(Packet("ZELK", 0x8430, 1, body));
    EXPECT_TRUE(rig.session->isReadOnlySession());
    for (int i = 0; i < 2; ++i) {
        VMRemoteDrive* rd = rig.drives.getRemoteDriveAt(i);
        EXPECT_EQ(rd->isRemoteReadOnly(), 1);
        rig.drives.releaseRemoteDrive(rd);
    }
    // Later lists inherit it.
    rig.deliver(Rig::vdiskInfo({1}));
    VMRemoteDrive* rd = rig.drives.getRemoteDriveAt(0);
    EXPECT_EQ(rd->isRemoteReadOnly(), 1);
    rig.drives.releaseRemoteDrive(rd);
}

TEST_F(ProcessorTest, ServerImageSpaceIsKeptIn64Bits) {
    Rig rig;
    Bytes body;
    PutU32(body, 16777216);
    PutU32(body, 2);
    rig.deliver(Packet("ZELK", 0x8530, 3, body));
    EXPECT_EQ(rig.images.getStoreId(), 3);
    EXPECT_EQ(rig.images.getStoreSize(), 8589934592ull);
    EXPECT_EQ(rig.images.getFreeSpace(), 1024ull);
    EXPECT_EQ(CallbackLog::get(2), std::vector<int>{700});
}

TEST_F(ProcessorTest, ServerImageCreateAnswers) {
    const char* texts[] = {"", "Upload Failed\n", "Upload Failed, Insufficient space\n",
                           "Upload Failed, Duplicate Name\n", "Upload Failed, Invalid Parameter\n", ""};
    for (int style : {VMConnectionInfo::VM_STYLE_MOSKA_RDOC1, VMConnectionInfo::VM_STYLE_RDOC}) {
        for (int status = 0; status < 6; ++status) {
            Rig rig(style);
            testing::internal::CaptureStdout();
            rig.deliver(Packet("ZELK", 0x8540, 12, {uint8_t(status)}));
            EXPECT_EQ(testing::internal::GetCapturedStdout(),
                      style == VMConnectionInfo::VM_STYLE_MOSKA_RDOC1 ? texts[status] : "");
            ServerImageManager* m = rig.session->getServerImageManager();
            EXPECT_EQ(m->getStatus(), status);
            EXPECT_EQ(m->getImageIndex(), 12);
            EXPECT_EQ(m->getAnswerKind(), ServerImageManager::SERVER_IMAGE_CREATE_RESPONSE);
            EXPECT_EQ(m->getAnswerSemaphore().timedWaitMs(0), ASemaphore::WAIT_OBTAINED);
            EXPECT_EQ(rig.sentOfType(0x0550), 0u);
        }
    }
    // The image made for a cancelled request is deleted again.
    Rig rig;
    rig.session->getServerImageManager()->cancel();
    rig.deliver(Packet("ZELK", 0x8540, 5, {0}));
    std::vector<Sent> sent = rig.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 0x0550);
    EXPECT_EQ(sent[0].param, 5);
    // Data answers are recorded the same way.
    rig.deliver(Packet("ZELK", 0x8570, 6, {1}));
    EXPECT_EQ(rig.session->getServerImageManager()->getAnswerKind(), ServerImageManager::SERVER_IMAGE_DATA_RESPONSE);
    EXPECT_EQ(rig.session->getServerImageManager()->getImageIndex(), 6);
}

TEST_F(ProcessorTest, HeartbeatAndDeviceCountAnswers) {
    Rig rig;
    rig.deliver(kTuvoHeartbeat);
    rig.deliver(Packet("TUVO", 0x8400, 0));
    EXPECT_EQ(rig.sentOfType(0x0400), 2u);
    rig.deliver(Packet("ZELK", 0x8241, 0));
    EXPECT_EQ(CallbackLog::get(1), std::vector<int>{400});
}
