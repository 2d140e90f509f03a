#pragma once
#include <gtest/gtest.h>

#include <memory>

#include "SessionTestSupport.h"
#include "api/VMConnectionInfo.h"
#include "api/VMServerImageList.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "protocol/PacketReceiver.h"
#include "session/RequestProcessor.h"
#include "session/SendThread.h"
#include "session/ZELKSession.h"
#include "support/TempDir.h"

namespace sessiontest {

// A session on an in-memory connection, its facade side faked. The send
// thread runs, so what the handlers send can be read back from the pipe.
struct Rig {
    FakeHost host;
    VMDriveList drives;
    VMServerImageList images;
    std::shared_ptr<PipeStream> pipe = std::make_shared<PipeStream>();
    std::unique_ptr<ZELKSession> session;

    explicit Rig(int vmStyle = 3, bool startSend = true) {
        CallbackLog::clear();
        session = std::make_unique<ZELKSession>(&host, &drives, &images);
        std::shared_ptr<PipeStream> p = pipe;
        session->setStreamForTesting(pipe, [p] { p->close(); });
        session->setVMStyle(vmStyle);
        session->registerSessionCallback(&CallbackLog::record<0>);
        session->registerDriveCallback(&CallbackLog::record<1>);
        session->registerServerImageCallback(&CallbackLog::record<2>);
        if (startSend) session->getSendThread()->start();
    }
    ~Rig() { session.reset(); }

    // Parses the bytes as the receive thread does and hands the packet over.
    void deliver(const Bytes& bytes) {
        PipeStream in;
        in.feed(bytes);
        PacketReceiver receiver;
        std::unique_ptr<ZELKPacket> packet = receiver.receive(&in);
        ASSERT_TRUE(packet) << "packet not parsed";
        session->getRequestProcessor()->process(packet.get());
    }
    // What the client sent, once everything queued is written.
    std::vector<Sent> sent() {
        session->getSendThread()->waitAllSent(1000000);
        return pipe->sent();
    }
    size_t sentOfType(int type) {
        size_t n = 0;
        for (const Sent& s : sent())
            if (s.type == type) ++n;
        return n;
    }
    // A VDiskInfo answer listing these entry types (status 0).
    static Bytes vdiskInfo(const std::vector<int>& types) {
        Bytes body = {uint8_t(types.size() >> 8), uint8_t(types.size())};
        for (int t : types) body.insert(body.end(), {uint8_t(t), 0, 0, 0});
        return Packet("ZELK", 0x8200, 0, body);
    }
    // Maps an image file to the remote drive with this id, as a map request
    // would leave the pair: handle open, both sides linked, drive attached.
    VMLocalDrive* mapImage(const std::string& path, int remoteId) {
        auto* ld = new VMLocalDrive(std::wstring(path.begin(), path.end()).c_str());
        const int id = drives.addLocalDrive(ld);
        ld = drives.getLocalDriveByID(id);
        VMRemoteDrive* rd = drives.getRemoteDriveByID(remoteId);
        if (ld == nullptr || rd == nullptr) {
            ADD_FAILURE() << "no drives to map";
            return nullptr;
        }
        ld->setFileHandle(VMIO::OpenFile(ld->getPath(), false));
        ld->setMappedTo(remoteId);
        rd->setMappedTo(ld->getDriveId());
        rd->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
        session->incrementNumMaps();
        return ld;
    }
};

}  // namespace sessiontest
