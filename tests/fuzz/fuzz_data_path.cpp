// The request processor's block reads and writes over a mapped in-memory
// image, through a running session (receive and send threads) on an
// in-memory connection. Each answer is checked against a model of the image:
// a request is either refused (status 7, no data, nothing written) or served
// exactly (the model's bytes, status 0); the medium is never read or written
// outside the view the server was offered, and a read-only mapping or a CD
// is never written.
//
// Input: a 14-byte set-up, then requests of 15 bytes each.
//   set-up: [0] flags: bits 0-1 the medium (0 floppy image, 1 removable image
//           served whole, 2 removable image served as a floppy view of its
//           first partition, 3 CD image), bit 2 mapped read-only, bit 3
//           remote ids 0/2/5 instead of 0/1/2 (position and id differ),
//           bit 4 an attached remote drive whose local drive is gone, bit 5
//           one mapped to a negative id other than -1, bit 6 block 0 is a BPB
//           (else, bit 7 clear: an MBR; set: zeros);
//           [1-4] image blocks (LE); [5] partition type, [6-9] its start
//           (LE), [10-13] its length (LE; also the BPB's geometry).
//   request: [0] bit 0 write; bits 1-2 the write's data (0 exact, 1 short,
//           2 longer, 3 none); bits 3-4 the size of a read answer's pieces
//           (0 the library's, 1 4 KiB, 2 one block, 3 16 KiB + 100);
//           [1-2] device index, a drive id (BE), [3-6] start block,
//           [7-10] block count, [11-14] maximum blocks per answer (read) or
//           the data length change (write), all BE.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../unit/session/SessionTestSupport.h"
#include "FuzzSupport.h"
#include "MemoryDiskPlatform.h"
#include "api/VMRemoteDrive.h"
#include "api/VMServerImageList.h"
#include "device/VMDriveList.h"
#include "device/VMIO.h"
#include "device/VMLocalDrive.h"
#include "platform/Clock.h"
#include "session/RequestProcessor.h"
#include "session/ZELKSession.h"

namespace {

using Bytes = std::vector<uint8_t>;

twfuzz::MemoryDiskPlatform* g_disk = nullptr;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void putBe32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

struct Packet {
    int type;
    int param;
    Bytes body;
};

Bytes frame(const char* magic, int type, int param, const Bytes& body) {
    const uint32_t length = uint32_t(12 + body.size());
    Bytes p(magic, magic + 4);
    putBe32(p, length);
    p.insert(p.end(), {uint8_t(type >> 8), uint8_t(type), uint8_t(param >> 8), uint8_t(param)});
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// The connection: the test feeds what the session reads; what it writes is
// cut into packets as it arrives.
class Connection : public ByteStream {
public:
    int write(const char* data, int length) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || length <= 0) return -1;
        m_out.insert(m_out.end(), data, data + length);
        size_t at = 0;
        while (m_out.size() - at >= 12) {
            const uint32_t len = be32(&m_out[at + 4]);
            if (len < 12) twfuzz::fail("the client wrote a packet shorter than its header");
            if (m_out.size() - at < len) break;
            Packet p{m_out[at + 8] << 8 | m_out[at + 9], m_out[at + 10] << 8 | m_out[at + 11],
                     Bytes(m_out.begin() + long(at + 12), m_out.begin() + long(at + len))};
            m_packets.push_back(std::move(p));
            at += len;
        }
        m_out.erase(m_out.begin(), m_out.begin() + long(at));
        m_changed.notify_all();
        return length;
    }
    int readFully(char* buffer, int count) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_closed || m_in.size() - m_inPos >= size_t(count); });
        if (m_in.size() - m_inPos < size_t(count)) return -1;
        std::memcpy(buffer, m_in.data() + m_inPos, size_t(count));
        m_inPos += size_t(count);
        return count;
    }
    void feed(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_inPos == m_in.size()) m_in.clear(), m_inPos = 0;
        m_in.insert(m_in.end(), bytes.begin(), bytes.end());
        m_changed.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    // Everything the client sent up to its answer to the next heartbeat.
    std::vector<Packet> untilHeartbeat() {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto found = [&] {
            for (const Packet& p : m_packets)
                if (p.type == 0x0400) return true;
            return false;
        };
        // Long enough for a stalled machine; a hang is still caught before
        // the run's 60 s per input.
        if (!m_changed.wait_for(lock, std::chrono::seconds(50), found)) twfuzz::fail("no answer to a heartbeat");
        std::vector<Packet> out;
        while (m_packets.front().type != 0x0400) {
            out.push_back(std::move(m_packets.front()));
            m_packets.pop_front();
        }
        m_packets.pop_front();
        return out;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Bytes m_in;
    size_t m_inPos = 0;
    Bytes m_out;
    std::deque<Packet> m_packets;
    bool m_closed = false;
};

const Bytes kHeartbeat = frame("TUVO", 0x0400, 0, {});

enum Medium { FLOPPY_IMAGE = 0, WHOLE_IMAGE = 1, FLOPPY_VIEW = 2, CD_IMAGE = 3 };

// Block 0 of the image as the set-up asks.
void makeBlockZero(const uint8_t* setup, Bytes& block) {
    block.assign(512, 0);
    const uint8_t flags = setup[0];
    if (flags & 0x40) {
        block[0] = 0xEB;
        block[11] = 0x00, block[12] = 0x02;  // 512 bytes per sector
        block[24] = setup[10], block[25] = setup[11];  // sectors per track
        block[26] = setup[12], block[27] = setup[13];  // heads
        putLe32(&block[32], le32(setup + 1));
    } else if (!(flags & 0x80)) {
        block[0] = 0xFA;
        uint8_t* e = &block[446];
        e[0] = 0x80;
        e[4] = setup[5];
        putLe32(e + 8, le32(setup + 6));
        putLe32(e + 12, le32(setup + 10));
        block[510] = 0x55, block[511] = 0xAA;
    }
}

struct Served {
    int index;        // position of the mapped drive in the remote list
    int remoteId;
    uint64_t lba;     // first medium block of the view
    uint64_t view;    // blocks offered
    uint64_t blockSize;
    bool writable;
};

void checkAccesses(const Served& s, bool writeAllowed) {
    const uint64_t from = s.lba * s.blockSize, to = (s.lba + s.view) * s.blockSize;
    for (const auto& a : g_disk->accesses) {
        if (a.offset < from || a.offset > to || a.count > to - a.offset)
            twfuzz::fail(a.write ? "a write outside the mapped view" : "a read outside the mapped view");
        if (a.write && !writeAllowed) twfuzz::fail("a write to the medium for a refused request");
    }
    g_disk->accesses.clear();
}

uint32_t statusOf(const Packet& p) {
    if (p.type != 0x0410 || p.body.size() != 4) twfuzz::fail("an answer that does not end with a client status");
    return be32(p.body.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::silenceStdout();
    // Library waits (the receive thread's pause after the connection closes
    // at the end of every input) take no real time.
    tw::Clock::setScale(0.0001);
    g_disk = new twfuzz::MemoryDiskPlatform();
    VMIO::setPlatform(g_disk);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kSetup = 14, kRequest = 15, kMaxRequests = 48;
    // Reads inside the view of more than this are cut to it, and no write
    // carries more: the time goes to many requests rather than to copying
    // (reads that leave the view are sent as they are).
    constexpr uint64_t kMaxData = 64u << 10;
    if (size < kSetup) return 0;
    const uint8_t flags = data[0];
    const Medium medium = Medium(flags & 3);
    const bool readOnly = flags & 4;

    // The medium.
    uint64_t blocks = le32(data + 1);
    if (medium == FLOPPY_IMAGE) blocks = blocks % VMIO::FLOPPY_MAX_BLOCKS + 1;
    else if (medium != CD_IMAGE && blocks <= VMIO::FLOPPY_MAX_BLOCKS) blocks += VMIO::FLOPPY_MAX_BLOCKS + 1;
    const uint64_t blockSize = medium == CD_IMAGE ? 2048 : 512;
    g_disk->path = medium == CD_IMAGE ? "/fuzz/disc.iso" : "/fuzz/disk.img";
    g_disk->pages.clear();
    g_disk->patterned = true;
    g_disk->declaredSize = blocks * blockSize;
    makeBlockZero(data, g_disk->disk);
    if (medium == CD_IMAGE) g_disk->disk.clear();
    g_disk->disk.resize(std::min<uint64_t>(g_disk->declaredSize, 512));
    g_disk->openFlags = 0;
    g_disk->writesRefused = 0;
    g_disk->logAccess = false;
    g_disk->accesses.clear();

    // The session, its drive lists and the mapping.
    sessiontest::FakeHost host;
    VMDriveList drives;
    VMServerImageList images;
    auto connection = std::make_shared<Connection>();
    auto session = std::make_unique<ZELKSession>(&host, &drives, &images);
    session->setStreamForTesting(connection, [connection] { connection->close(); });

    const int ids[3] = {0, flags & 8 ? 2 : 1, flags & 8 ? 5 : 2};
    const int types[3] = {VMRemoteDrive::REMOTE_DRIVE_IS_FLOPPY, VMRemoteDrive::REMOTE_DRIVE_IS_REMOVABLE,
                          VMRemoteDrive::REMOTE_DRIVE_IS_CD};
    {
        VMRemoteDrive remote[3];
        std::vector<VMRemoteDrive*> list;
        for (int i = 0; i < 3; ++i) {
            remote[i].setDriveId(ids[i]);
            remote[i].setRemoteDriveType(types[i]);
            remote[i].setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
            list.push_back(&remote[i]);
        }
        drives.updateRemoteDriveList(list);
    }
    Served served{};
    served.index = medium == CD_IMAGE ? 2 : medium == WHOLE_IMAGE ? 1 : 0;
    served.remoteId = ids[served.index];
    auto* fresh = new VMLocalDrive(std::wstring(g_disk->path.begin(), g_disk->path.end()).c_str());
    if (fresh->getLocalDriveType() == 0) {
        delete fresh;
        return 0;
    }
    VMLocalDrive* ld = drives.getLocalDriveByID(drives.addLocalDrive(fresh));
    VMRemoteDrive* rd = drives.getRemoteDriveByID(served.remoteId);
    if (ld == nullptr || rd == nullptr) twfuzz::fail("drive lists");
    // As the facade does for a floppy drive of the server.
    if (medium == FLOPPY_VIEW) ld->setMapAsFloppy(1);
    if (medium == WHOLE_IMAGE) ld->setMapAsFloppy(0);
    const int mapped = medium == CD_IMAGE ? session->sendMapRequest(rd, ld, readOnly ? 1 : 0)
                                          : session->sendMapRequest2(ld, rd, readOnly ? 1 : 0);
    if (mapped != 0) twfuzz::fail("the image could not be mapped");
    served.blockSize = ld->getBlockSize();
    served.lba = ld->getLBAStart();
    served.view = ld->getMapAsFloppy() ? ld->getBlocks() : ld->getNumberOfBlocks();
    served.writable = !readOnly && medium != CD_IMAGE;
    if (served.blockSize != blockSize) twfuzz::fail("block size of the image");
    // A partition wholly outside the image gives a view of no blocks (its
    // start may then lie anywhere); any block offered must be in the image.
    if (served.view > 0 && (served.lba + served.view) * served.blockSize > g_disk->size())
        twfuzz::fail("the offered view reaches past the image");
    drives.releaseLocalDrive(ld);
    drives.releaseRemoteDrive(rd);
    // Drives the server knows that are not served from here.
    for (int i = 0; i < 3; ++i) {
        if (i == served.index) continue;
        VMRemoteDrive* other = drives.getRemoteDriveByID(ids[i]);
        if ((flags & 0x10) && i == (served.index + 1) % 3) {
            other->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
            other->setMappedTo(77);
        } else if ((flags & 0x20) && i == (served.index + 2) % 3) {
            other->setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
            other->setMappedTo(-5);
        }
        drives.releaseRemoteDrive(other);
    }

    session->startForTesting();
    connection->feed(kHeartbeat);
    connection->untilHeartbeat();  // the map request
    twfuzz::MemoryImage model = *g_disk;
    g_disk->logAccess = true;

    uint64_t mix = 0x243F6A8885A308D3ull;
    for (size_t i = 0; i < size; ++i) mix = (mix ^ data[i]) * 0x100000001B3ull;
    const size_t requests = std::min((size - kSetup) / kRequest, kMaxRequests);
    for (size_t r = 0; r < requests; ++r) {
        const uint8_t* q = data + kSetup + r * kRequest;
        const bool isWrite = q[0] & 1;
        const int dataMode = (q[0] >> 1) & 3;
        // The device index of a request is a drive id, whatever the drive's
        // position in the list.
        const int wireId = q[1] << 8 | q[2];
        int index = -1;
        for (int i = 0; i < 3; ++i)
            if (ids[i] == wireId) index = i;
        const uint32_t start = be32(q + 3), last = be32(q + 11);
        const uint64_t bs = served.blockSize;
        uint32_t count = be32(q + 7);
        if (!isWrite && uint64_t(count) * bs > kMaxData && uint64_t(start) + count <= served.view)
            count = uint32_t(kMaxData / bs) - count % 8;
        const uint64_t pieceSizes[4] = {RequestProcessor::READ_PIECE_BYTES, 4096, 1, 16384 + 100};
        const uint64_t piece = pieceSizes[(q[0] >> 3) & 3];
        session->getRequestProcessor()->setReadPieceBytes(piece);
        const bool inView = count > 0 && uint64_t(start) + count <= served.view;
        Bytes body;
        putBe32(body, start);
        putBe32(body, count);
        Bytes writeData;
        if (isWrite) {
            const uint64_t want = std::min<uint64_t>(uint64_t(count) * bs, kMaxData);
            uint64_t length = want;
            if (dataMode == 1) length = want - std::min<uint64_t>(want, 1 + last % (want + 1));
            if (dataMode == 2) length = want + last % 4096;
            if (dataMode == 3) length = 0;
            // Bytes of a fixed random block, from a place this request picks.
            static const Bytes noise = [] {
                Bytes b(kMaxData + 8192);
                uint64_t x = 0x9E3779B97F4A7C15ull;
                for (uint8_t& c : b) c = uint8_t((x = x * 6364136223846793005ull + 1442695040888963407ull) >> 56);
                return b;
            }();
            const size_t from = size_t((mix + r * 977) % 4096);
            writeData.assign(noise.begin() + long(from), noise.begin() + long(from + length));
            body.insert(body.end(), writeData.begin(), writeData.end());
        } else {
            putBe32(body, last);
        }
        connection->feed(frame("ZELK", isWrite ? 0x8310 : 0x8300, wireId, body));
        connection->feed(kHeartbeat);
        const std::vector<Packet> answer = connection->untilHeartbeat();

        // What the model says.
        if (answer.empty()) twfuzz::fail("a request left without an answer");
        const Packet& status = answer.back();
        const uint32_t code = statusOf(status);
        if (status.param != wireId) twfuzz::fail("a status for another drive");
        if (index < 0) {
            if (code != 7 || answer.size() != 1) twfuzz::fail("a drive the server never listed not refused with status 7");
            checkAccesses(served, false);
            continue;
        }
        bool serve = index == served.index && inView;
        if (isWrite) serve = serve && served.writable && writeData.size() >= uint64_t(count) * bs;
        if (!serve) {
            if (code != 7 || answer.size() != 1) twfuzz::fail("a refused request not answered with status 7 alone");
            checkAccesses(served, false);
            continue;
        }
        if (code != 0) twfuzz::fail("a request inside the view not served");
        const uint64_t offset = (served.lba + start) * bs;
        if (isWrite) {
            if (answer.size() != 1) twfuzz::fail("data sent for a write");
            if (!model.write(offset, writeData.data(), size_t(uint64_t(count) * bs)))
                twfuzz::fail("model write outside the image");
            checkAccesses(served, true);
            continue;
        }
        // The read: packets of at most the maximum, and of at most what fits
        // in a piece beside the status (but one block at least), each
        // carrying the end position, with the model's bytes in order.
        const uint64_t fitting = piece > 36 ? (piece - 36) / bs : 0;
        const uint64_t per =
            std::max<uint64_t>(1, std::min<uint64_t>(last == 0 ? count : std::min<uint64_t>(count, last), fitting));
        if (answer.size() != (count + per - 1) / per + 1) twfuzz::fail("number of read answers");
        Bytes expect(size_t(uint64_t(count) * bs));
        model.read(offset, expect.data(), expect.size());
        size_t at = 0;
        for (size_t k = 0; k + 1 < answer.size(); ++k) {
            const Packet& p = answer[k];
            const uint64_t n = std::min<uint64_t>(per, count - k * per);
            if (p.type != 0x0300 || p.param != served.remoteId) twfuzz::fail("a read answer of another kind or drive");
            if (p.body.size() != 8 + n * bs) twfuzz::fail("read answer length");
            if (be32(p.body.data()) != uint32_t(served.lba + start + count)) twfuzz::fail("end position in an answer");
            if (be32(p.body.data() + 4) != n) twfuzz::fail("block count in an answer");
            if (std::memcmp(p.body.data() + 8, expect.data() + at, size_t(n * bs)) != 0)
                twfuzz::fail("read data differs from the image");
            at += size_t(n * bs);
        }
        checkAccesses(served, false);
    }
    if (g_disk->writesRefused != 0) twfuzz::fail("a write to a medium opened read-only");
    if (!g_disk->sameBytes(model)) twfuzz::fail("the image differs from the model");
    g_disk->logAccess = false;
    session.reset();
    return 0;
}
