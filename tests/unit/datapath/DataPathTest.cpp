// The data path on an in-memory connection: map requests, served reads and
// writes, their refusals, the read answer's bytes, and serving while another
// thread unmaps and maps again.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/VMRemoteDrive.h"
#include "device/LinuxVMIOPlatform.h"
#include "device/VMIO.h"
#include "protocol/ClientStatusMessage.h"
#include "protocol/ReadResponse.h"
#include "session/ReadAnswer.h"
#include "session/SessionRig.h"

using namespace sessiontest;

namespace {

Bytes readRequest(int index, uint32_t start, uint32_t count, uint32_t max) {
    Bytes body;
    PutU32(body, start);
    PutU32(body, count);
    PutU32(body, max);
    return Packet("ZELK", 0x8300, index, body);
}

Bytes writeRequest(int index, uint32_t start, uint32_t count, const std::string& data) {
    Bytes body;
    PutU32(body, start);
    PutU32(body, count);
    body.insert(body.end(), data.begin(), data.end());
    return Packet("ZELK", 0x8310, index, body);
}

uint32_t u32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

std::string pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + size_t(seed) * 7 + i / 512) & 0xFF);
    return s;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// A session with a floppy, a removable and a CD drive listed, and images of
// each kind in a temporary folder.
struct DataRig : Rig {
    twtest::TempDir dir;
    std::string floppy = dir.file("floppy.img");
    std::string stick = dir.file("stick.img");
    std::string iso = dir.file("disc.iso");
    std::string floppyData = std::string(512, '\0') + pattern(2879 * 512, 1);
    std::string isoData = std::string(2048, '\0') + pattern(63 * 2048, 2);

    // listed false: the test delivers the server's drive list itself.
    explicit DataRig(bool listed = true) {
        twtest::writeFile(floppy, floppyData);
        twtest::writeFile(stick, std::string(512, '\0') + pattern(8191 * 512, 3));
        twtest::writeFile(iso, isoData);
        if (!listed) return;
        std::vector<VMRemoteDrive*> list;
        VMRemoteDrive f, r, c;
        f.setDriveId(0);
        f.setRemoteDriveType(VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY);
        r.setDriveId(1);
        r.setRemoteDriveType(VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE);
        c.setDriveId(2);
        c.setRemoteDriveType(VMRemoteDrive::REMOTE_DRIVE_IS_CD);
        for (VMRemoteDrive* d : {&f, &r, &c}) {
            d->setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
            list.push_back(d);
        }
        drives.updateRemoteDriveList(list);
    }

    // Adds the image and maps it to the remote drive with the real request.
    VMLocalDrive* map(const std::string& path, int remoteId, int readOnly) {
        auto* ld = new VMLocalDrive(wide(path).c_str());
        ld = drives.getLocalDriveByID(drives.addLocalDrive(ld));
        VMRemoteDrive* rd = drives.getRemoteDriveByID(remoteId);
        const int type = ld->getLocalDriveType();
        const bool cd = type == VMLocalDrive::LOCAL_DRIVE_IS_CD_IMAGE;
        const int r = cd ? session->sendMapRequest(rd, ld, readOnly) : session->sendMapRequest2(ld, rd, readOnly);
        EXPECT_EQ(r, 0) << path;
        return ld;
    }

    // The read responses and status sent for one request (other packets,
    // such as another thread's map requests, are left out).
    std::vector<Sent> answer(const Bytes& request) {
        const size_t before = sent().size();
        deliver(request);
        std::vector<Sent> all = sent();
        std::vector<Sent> out;
        for (size_t i = before; i < all.size(); ++i)
            if (all[i].type == 0x0300 || all[i].type == 0x0410) out.push_back(all[i]);
        return out;
    }
    static std::string dataOf(const std::vector<Sent>& packets) {
        std::string out;
        for (const Sent& s : packets)
            if (s.type == 0x0300) out.append(s.body.begin() + 8, s.body.end());
        return out;
    }
    static int statusOf(const std::vector<Sent>& packets) {
        if (packets.empty() || packets.back().type != 0x0410) return -100;
        return int(u32(packets.back().body, 0));
    }
};

// The real files, with every positioned read recorded; the bytes from
// failFrom on cannot be read (a read that reaches them stops short of them,
// the next one fails, as on a disk with a bad spot).
class RecordingPlatform : public LinuxVMIOPlatform {
public:
    std::atomic<uint64_t> failFrom{UINT64_MAX};

    ssize_t readAt(intptr_t handle, void* buf, size_t count, uint64_t offset) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reads.push_back(count);
        }
        const uint64_t bad = failFrom.load();
        if (offset >= bad) {
            errno = EIO;
            return -1;
        }
        return LinuxVMIOPlatform::readAt(handle, buf, size_t(std::min<uint64_t>(count, bad - offset)), offset);
    }
    std::vector<size_t> takeReads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_reads, {});
    }

private:
    std::mutex m_mutex;
    std::vector<size_t> m_reads;
};

class UsePlatform {
public:
    explicit UsePlatform(VMIOPlatform& p) : m_old(VMIO::setPlatform(&p)) {}
    ~UsePlatform() { VMIO::setPlatform(m_old); }
    UsePlatform(const UsePlatform&) = delete;
    UsePlatform& operator=(const UsePlatform&) = delete;

private:
    VMIOPlatform* m_old;
};

}  // namespace

Bytes tocRequest(int index) { return Packet("ZELK", 0x8320, index, {0, 0, 0, 0}); }

// Reads, writes and table-of-contents requests naming the CD id, the floppy
// id and ids the list does not have. Each must reach the drive its id names:
// the data served is that medium's, a write lands on the floppy only, and
// nothing is left unanswered.
void checkRequestsById(DataRig& rig, int cd, bool cdMapped, int floppy, const std::vector<int>& absent) {
    const std::string two = pattern(2 * 512, 11);
    struct Case {
        std::string what;
        Bytes request;
        int status;
        std::string data;  // served bytes (reads)
        uint32_t writeAt;  // floppy block a served write lands at
    };
    std::vector<Case> cases = {
        {"read CD", readRequest(cd, 1, 3, 16), cdMapped ? 0 : 7, cdMapped ? rig.isoData.substr(2048, 3 * 2048) : "", 0},
        {"read floppy", readRequest(floppy, 3, 2, 16), 0, rig.floppyData.substr(3 * 512, 2 * 512), 0},
        {"write CD", writeRequest(cd, 0, 1, std::string(2048, 'x')), 7, "", 0},
        {"write floppy", writeRequest(floppy, 5, 2, two), 0, "", 5},
    };
    for (int id : absent) {
        cases.push_back({"read absent " + std::to_string(id), readRequest(id, 0, 1, 16), 7, "", 0});
        cases.push_back({"write absent " + std::to_string(id), writeRequest(id, 0, 1, two.substr(0, 512)), 7, "", 0});
    }
    std::string expect = rig.floppyData;
    for (const Case& c : cases) {
        std::vector<Sent> a = rig.answer(c.request);
        EXPECT_EQ(DataRig::statusOf(a), c.status) << c.what;
        // Compared whole but not printed: the media are large.
        EXPECT_TRUE(DataRig::dataOf(a) == c.data) << c.what << ": other bytes served";
        if (c.status == 0 && c.writeAt != 0) expect.replace(size_t(c.writeAt) * 512, two.size(), two);
    }
    EXPECT_TRUE(twtest::readFile(rig.floppy) == expect) << "floppy image";
    EXPECT_TRUE(twtest::readFile(rig.iso) == rig.isoData) << "ISO image";
    // Every table-of-contents request is answered, for the id it named.
    std::vector<int> ids = {cd, floppy};
    ids.insert(ids.end(), absent.begin(), absent.end());
    for (int id : ids) {
        const size_t before = rig.sent().size();
        rig.deliver(tocRequest(id));
        std::vector<Sent> all = rig.sent();
        ASSERT_EQ(all.size(), before + 1) << "TOC " << id;
        EXPECT_EQ(all.back().type, 0x0320) << "TOC " << id;
        EXPECT_EQ(all.back().param, id) << "TOC " << id;
    }
}

TEST(DataPath, RequestsReachTheDriveTheirIdNamesPastAnUnknownType) {
    DataRig rig(false);
    // Entry 0 has a type the client does not know: the CD is id 1, the floppy id 2.
    rig.deliver(Rig::vdiskInfo({9, 2, 4}));
    ASSERT_EQ(rig.drives.getNumberOfRemoteDrives(), 2);
    rig.map(rig.iso, 1, 0);
    rig.map(rig.floppy, 2, 0);
    checkRequestsById(rig, 1, true, 2, {0, 3});
}

TEST(DataPath, RequestsReachTheDriveTheirIdNamesAfterAMerge) {
    DataRig rig(false);
    rig.deliver(Rig::vdiskInfo({2, 4}));
    VMLocalDrive* cd = rig.map(rig.iso, 0, 0);
    rig.map(rig.floppy, 1, 0);
    // The server drops the CD: the floppy keeps id 1 (still attached) but
    // is first in the list.
    rig.deliver(Packet("ZELK", 0x8200, 0, {0, 2, 0, 0, 0, 0, 4, 1, 0, 0}));
    ASSERT_EQ(rig.drives.getNumberOfRemoteDrives(), 1);
    EXPECT_EQ(cd->getMappedTo(), -1);
    checkRequestsById(rig, 0, false, 1, {2});
}

TEST(DataPath, MapRequestsCarryTheViewAndOpenReadOnlyWhenAsked) {
    DataRig rig;
    VMLocalDrive* f = rig.map(rig.floppy, 0, 1);
    VMLocalDrive* c = rig.map(rig.iso, 2, 0);
    std::vector<Sent> s = rig.sent();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].type, 0x0211);
    EXPECT_EQ(u32(s[0].body, 0), 512u);
    EXPECT_EQ(u32(s[0].body, 4), 2880u);
    EXPECT_EQ(s[0].body[8], 1);
    EXPECT_EQ(s[1].type, 0x0210);
    EXPECT_EQ(u32(s[1].body, 4), 64u);  // a CD image: the whole file
    EXPECT_EQ(s[1].body[8], 1);         // a CD is always read-only
    uint8_t toc[20];
    ZELKSession::GetFixedToc(toc);
    ASSERT_EQ(s[1].body.size(), 12u + 20u);
    EXPECT_EQ(std::memcmp(s[1].body.data() + 12, toc, 20), 0);
    EXPECT_EQ(rig.session->getNumMaps(), 2);
    // A second mapping of a mapped drive is refused and sends nothing.
    VMRemoteDrive* r = rig.drives.getRemoteDriveByID(1);
    EXPECT_EQ(rig.session->sendMapRequest2(f, r, 1), -1);
    EXPECT_EQ(rig.sent().size(), 2u);
    // A medium that cannot be opened is not offered.
    auto* gone = new VMLocalDrive(wide(rig.dir.file("missing.img")).c_str());
    gone = rig.drives.getLocalDriveByID(rig.drives.addLocalDrive(gone));
    EXPECT_EQ(rig.session->sendMapRequest2(gone, r, 1), -1);
    EXPECT_EQ(gone->getMappedTo(), -1);
    EXPECT_EQ(rig.session->getNumMaps(), 2);
    // Unmapping closes the handle and releases the server drive once.
    rig.session->unmapLocalDrive(c, 1);
    rig.session->unmapLocalDrive(c, 1);
    EXPECT_EQ(c->getFileHandle(), VMIO::INVALID_HANDLE);
    EXPECT_EQ(rig.sentOfType(0x0220), 1u);
    EXPECT_EQ(rig.session->getNumMaps(), 1);
}

TEST(DataPath, ReadAnswersAreTheSeparatePacketsInOneWrite) {
    DataRig rig;
    rig.map(rig.iso, 2, 1);
    struct Case {
        uint32_t start, count, max;
    } cases[] = {{0, 64, 16}, {3, 5, 2}, {10, 7, 0}, {63, 1, 1}, {0, 32, 32}, {1, 33, 100}};
    for (const Case& c : cases) {
        std::vector<Sent> a = rig.answer(readRequest(2, c.start, c.count, c.max));
        const uint32_t per = c.max == 0 ? c.count : std::min(c.count, c.max);
        ASSERT_EQ(a.size(), (c.count + per - 1) / per + 1) << c.start << "/" << c.count;
        for (size_t i = 0; i + 1 < a.size(); ++i) {
            EXPECT_EQ(a[i].type, 0x0300);
            EXPECT_EQ(a[i].param, 2);
            EXPECT_EQ(u32(a[i].body, 0), c.start + c.count);  // the end position, in every packet
            EXPECT_EQ(u32(a[i].body, 4), std::min(per, c.count - uint32_t(i) * per));
        }
        EXPECT_EQ(DataRig::statusOf(a), 0);
        EXPECT_EQ(DataRig::dataOf(a), rig.isoData.substr(size_t(c.start) * 2048, size_t(c.count) * 2048));
    }
    EXPECT_EQ(rig.drives.getLastRemoteAction(), VMDriveList::DRIVE_IO);
    EXPECT_LE(ReadAnswer::pooledBuffers(), 4u);
}

TEST(DataPath, RefusedReadsAnswerSevenWithoutData) {
    DataRig rig;
    rig.map(rig.floppy, 0, 1);
    struct Case {
        const char* what;
        int index;
        uint32_t start, count;
        int status;
    } cases[] = {
        {"idle drive", 1, 0, 1, 7},
        {"count 0", 0, 0, 0, 7},
        {"past the end", 0, 2879, 2, 7},
        {"start past the end", 0, 2880, 1, 7},
        {"wrapping start", 0, 0xFFFFFFFFu, 2, 7},
        {"no such drive", 9, 0, 1, 7},
        {"last block", 0, 2879, 1, 0},
    };
    for (const Case& c : cases) {
        std::vector<Sent> a = rig.answer(readRequest(c.index, c.start, c.count, 16));
        EXPECT_EQ(DataRig::statusOf(a), c.status) << c.what;
        if (c.status != 0) {
            EXPECT_EQ(DataRig::dataOf(a), "") << c.what;
        }
    }
    EXPECT_EQ(DataRig::dataOf(rig.answer(readRequest(0, 2879, 1, 16))), rig.floppyData.substr(2879 * 512));
}

TEST(DataPath, WritesLandInTheFileOnlyWhenAllowed) {
    DataRig rig;
    rig.map(rig.floppy, 0, 0);
    rig.map(rig.stick, 1, 1);
    rig.map(rig.iso, 2, 0);
    const std::string block = pattern(512, 9);
    const std::string big = pattern(160 * 512, 10);
    struct Case {
        const char* what;
        int index;
        uint32_t start, count;
        std::string data;
        int status;
    } cases[] = {
        {"one block", 0, 5, 1, block, 0},
        {"80 KiB at once", 0, 100, 160, big, 0},
        {"extra data is ignored", 0, 7, 1, block + "xyz", 0},
        {"last block", 0, 2879, 1, block, 0},
        {"past the end", 0, 2879, 2, block + block, 7},
        {"short data", 0, 10, 2, block, 7},
        {"no data", 0, 10, 1, "", 7},
        {"read-only mapping", 1, 0, 1, block, 7},
        {"CD", 2, 0, 4, std::string(2048 * 4, 'x'), 7},
        {"no such drive", 3, 0, 1, block, 7},
        // A body one byte over the packet limit is skipped, not kept.
        {"over the packet limit", 0, 5, 1, std::string(16 * 1024 * 1024 - 7, 'w'), 7},
    };
    std::string expect = rig.floppyData;
    for (const Case& c : cases) {
        EXPECT_EQ(DataRig::statusOf(rig.answer(writeRequest(c.index, c.start, c.count, c.data))), c.status)
            << c.what;
        if (c.status == 0)
            expect.replace(size_t(c.start) * 512, size_t(c.count) * 512, c.data.substr(0, size_t(c.count) * 512));
    }
    EXPECT_EQ(twtest::readFile(rig.floppy), expect);
    EXPECT_EQ(twtest::readFile(rig.iso), rig.isoData);
    EXPECT_EQ(twtest::readFile(rig.stick).size(), 8192u * 512u);
}

TEST(DataPath, ResponseDataIsCutIntoWholeBlockPackets) {
    DataRig rig;
    VMLocalDrive* ld = rig.map(rig.floppy, 0, 1);
    VMRemoteDrive* rd = rig.drives.getRemoteDriveByID(0);
    const std::string data = pattern(0x8000 + 100, 4);
    struct Case {
        int bytes, max;
        std::vector<uint32_t> blocks;
    } cases[] = {{0x8000, 16, {16, 16, 16, 16}}, {0x8000, 0, {64}}, {0x8000 + 100, 64, {64}}, {100, 4, {}},
                 {3 * 512, 2, {2, 1}}};
    for (const Case& c : cases) {
        const size_t before = rig.sent().size();
        rig.session->sendResponseData(ld, c.bytes, c.max, rd, 77, reinterpret_cast<const uint8_t*>(data.data()));
        std::vector<Sent> s = rig.sent();
        std::vector<uint32_t> got;
        for (size_t i = before; i < s.size(); ++i) {
            EXPECT_EQ(u32(s[i].body, 0), 77u);
            got.push_back(u32(s[i].body, 4));
            EXPECT_EQ(s[i].body.size(), 8 + got.back() * 512);
        }
        EXPECT_EQ(got, c.blocks) << c.bytes << "/" << c.max;
    }
}

// The receive thread serves reads while another thread unmaps and maps the
// drive: every answer is whole and right, or refused.
TEST(DataPath, ServingWhileAnotherThreadRemaps) {
    DataRig rig;
    VMLocalDrive* ld = rig.map(rig.floppy, 0, 1);
    std::atomic<bool> done{false};
    std::thread remapper([&] {
        for (int i = 0; i < 30 && !done.load(); ++i) {
            rig.session->unmapLocalDrive(ld, 1);
            VMRemoteDrive* rd = rig.drives.getRemoteDriveByID(0);
            EXPECT_EQ(rig.session->sendMapRequest2(ld, rd, 1), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int served = 0;
    for (int i = 0; i < 200; ++i) {
        const uint32_t start = uint32_t(i * 13 % 2800);
        std::vector<Sent> a = rig.answer(readRequest(0, start, 8, 4));
        const int status = DataRig::statusOf(a);
        ASSERT_TRUE(status == 0 || status == 7) << status;
        if (status == 0) {
            ++served;
            EXPECT_EQ(DataRig::dataOf(a), rig.floppyData.substr(size_t(start) * 512, 8 * 512));
        }
    }
    done.store(true);
    remapper.join();
    EXPECT_GT(served, 0);
}

TEST(DataPath, ImageReadsFillAWholePacketAtOnceAndABadSpotLosesNoMore) {
    RecordingPlatform platform;
    UsePlatform use(platform);
    DataRig rig;
    rig.map(rig.iso, 2, 1);
    platform.takeReads();
    struct Case {
        uint32_t start, count, max;
        uint64_t failFrom;
        std::vector<size_t> reads;
        uint32_t blocksSent;
        int status;
    } cases[] = {
        {0, 32, 32, UINT64_MAX, {65536}, 32, 0},
        {1, 40, 0, UINT64_MAX, {81920}, 40, 0},
        {0, 64, 16, UINT64_MAX, {32768, 32768, 32768, 32768}, 64, 0},
        {3, 5, 2, UINT64_MAX, {4096, 4096, 2048}, 5, 0},
        // Unreadable from block 20 on: what reads of 32 KiB get before the
        // bad spot is still sent.
        {0, 32, 32, 20 * 2048, {65536, 24576, 32768, 32768, 24576}, 16, 2},
        {0, 32, 32, 0, {65536, 32768}, 0, 2},
    };
    for (const Case& c : cases) {
        platform.failFrom.store(c.failFrom);
        std::vector<Sent> a = rig.answer(readRequest(2, c.start, c.count, c.max));
        EXPECT_EQ(platform.takeReads(), c.reads) << c.start << "/" << c.count << "/" << c.failFrom;
        EXPECT_EQ(DataRig::dataOf(a), rig.isoData.substr(size_t(c.start) * 2048, size_t(c.blocksSent) * 2048))
            << c.start << "/" << c.count << "/" << c.failFrom;
        EXPECT_EQ(DataRig::statusOf(a), c.status);
    }
}

// Reads of any size are served whole, in pieces of bounded size: no write of
// the answer is larger than a piece, every packet keeps to the server's
// maximum (or, without one, to a piece), and every one tells the end position.
TEST(DataPath, ReadsOfAnySizeAreServedInPiecesOfBoundedSize) {
    DataRig rig;
    const std::string big = rig.dir.file("big.img");
    const std::string bigData = std::string(512, '\0') + pattern(49151 * 512, 5);  // 24 MiB
    twtest::writeFile(big, bigData);
    rig.map(big, 1, 1);
    VMRemoteDrive* rd = rig.drives.getRemoteDriveByID(1);
    struct Case {
        uint32_t start, count, max;
    } cases[] = {{1, 32769, 64}, {0, 49152, 0}, {100, 20000, 100000}};
    const uint64_t pieceBlocks = (RequestProcessor::READ_PIECE_BYTES - 36) / 512;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "/" + std::to_string(c.count) + "/" + std::to_string(c.max));
        const uint64_t readBefore = rd->getReadBytes();
        std::vector<Sent> a = rig.answer(readRequest(1, c.start, c.count, c.max));
        ASSERT_EQ(DataRig::statusOf(a), 0);
        const uint64_t per = std::min<uint64_t>(c.max == 0 ? c.count : c.max, pieceBlocks);
        uint64_t blocks = 0;
        for (size_t i = 0; i + 1 < a.size(); ++i) {
            EXPECT_EQ(u32(a[i].body, 0), c.start + c.count);
            EXPECT_EQ(u32(a[i].body, 4), std::min<uint64_t>(per, c.count - blocks));
            blocks += u32(a[i].body, 4);
        }
        EXPECT_EQ(blocks, c.count);
        EXPECT_TRUE(DataRig::dataOf(a) == bigData.substr(size_t(c.start) * 512, size_t(c.count) * 512))
            << "other bytes served";
        EXPECT_EQ(rd->getReadBytes() - readBefore, uint64_t(c.count) * 512);
        EXPECT_LE(uint64_t(rig.pipe->largestWrite()), RequestProcessor::READ_PIECE_BYTES);
    }
}

// A read in several pieces that fails midway: the blocks read before the
// failure are sent, then status 2; all of its packets tell the position the
// read was to reach.
TEST(DataPath, AReadInPiecesThatFailsMidwaySendsWhatItRead) {
    RecordingPlatform platform;
    UsePlatform use(platform);
    DataRig rig;
    rig.map(rig.iso, 2, 1);
    // Pieces of one packet of at most 2 blocks.
    rig.session->getRequestProcessor()->setReadPieceBytes(8192);
    struct Case {
        uint32_t start, count, max;
        uint64_t failFrom;
        std::vector<uint32_t> packets;
        int status;
    } cases[] = {
        {0, 7, 2, UINT64_MAX, {2, 2, 2, 1}, 0},
        {0, 7, 0, UINT64_MAX, {3, 3, 1}, 0},
        {0, 32, 2, 9 * 2048, {2, 2, 2, 2}, 2},
        {4, 8, 2, 4 * 2048, {}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.start) + "/" + std::to_string(c.count) + "/" + std::to_string(c.failFrom));
        platform.failFrom.store(c.failFrom);
        std::vector<Sent> a = rig.answer(readRequest(2, c.start, c.count, c.max));
        std::vector<uint32_t> packets;
        for (size_t i = 0; i + 1 < a.size(); ++i) {
            EXPECT_EQ(u32(a[i].body, 0), c.start + c.count);
            packets.push_back(u32(a[i].body, 4));
        }
        EXPECT_EQ(packets, c.packets);
        uint32_t sent = 0;
        for (uint32_t n : packets) sent += n;
        EXPECT_EQ(DataRig::dataOf(a), rig.isoData.substr(size_t(c.start) * 2048, size_t(sent) * 2048));
        EXPECT_EQ(DataRig::statusOf(a), c.status);
    }
}
