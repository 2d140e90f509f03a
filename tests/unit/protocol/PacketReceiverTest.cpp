#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "PacketTestUtil.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginResponse.h"
#include "protocol/PacketReceiver.h"
#include "protocol/VDiskInfo.h"
#include "protocol/VDiskRelease.h"
#include "protocol/VDiskWrite.h"

namespace {

std::string ThrownBy(PacketReceiver& r, MemoryStream& s) {
    try {
        r.receive(&s);
    } catch (const char* e) {
        return e;
    }
    return "(nothing thrown)";
}

std::vector<uint8_t> Write(size_t dataBytes) {
    return Packet("ZELK", 0x8310, 0, std::vector<uint8_t>(8 + dataBytes, 0x5A));
}

TEST(PacketReceiverTest, BodyBufferGrowsToTheLargestBodyAndIsReused) {
    PacketReceiver r;
    MemoryStream s;
    s.append(Write(1024 - 8));  // total 1036: body exactly 1024
    s.append(Write(5000 - 20));  // total 5000
    s.append(Write(100));
    EXPECT_NE(r.receive(&s), nullptr);
    EXPECT_EQ(r.getBodyCapacity(), 1024);
    auto big = r.receive(&s);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(static_cast<VDiskWrite&>(*big).getDataLength(), 5000 - 20);
    EXPECT_EQ(r.getBodyCapacity(), 4988);
    auto small = r.receive(&s);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(static_cast<VDiskWrite&>(*small).getDataLength(), 100);
    EXPECT_EQ(r.getBodyCapacity(), 4988);
    EXPECT_EQ(s.remaining(), 0u);
}

TEST(PacketReceiverTest, WhileLoginIsPendingOnlyLoginDrivesAndHeartbeatsPass) {
    PacketReceiver r;
    r.setExpectingLogin(true);
    MemoryStream s;
    s.append(Write(4));                                            // dropped
    s.append(Hex("54 55 56 4F 00 00 00 0C 04 00 00 00"));          // heartbeat passes
    s.append(Packet("ZELK", 0x8200, 0, Hex("00 00")));             // drive list passes
    s.append(Packet("TUVO", 0x8102, 0, Hex("00 00 00 01 00 10")));  // session id: dropped
    s.append(Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00"));  // login response clears the filter
    s.append(Write(4));
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_NE(dynamic_cast<Heartbeat*>(r.receive(&s).get()), nullptr);
    EXPECT_NE(dynamic_cast<VDiskInfo*>(r.receive(&s).get()), nullptr);
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_TRUE(r.isExpectingLogin());
    EXPECT_NE(dynamic_cast<LoginResponse*>(r.receive(&s).get()), nullptr);
    EXPECT_FALSE(r.isExpectingLogin());
    EXPECT_NE(dynamic_cast<VDiskWrite*>(r.receive(&s).get()), nullptr);
}

TEST(PacketReceiverTest, MagicDecidesSessionLayerTypes) {
    PacketReceiver r;
    MemoryStream s;
    s.append(Hex("5A 45 4C 4B 00 00 00 0C 04 00 00 00"));  // heartbeat under ZELK: unknown
    s.append(Packet("ZELK", 0x8102, 0, Hex("00 00 00 01")));  // session id under ZELK: unknown
    s.append(Hex("54 55 56 4F 00 00 00 0C 84 00 00 00"));
    s.append(Hex("5A 45 4C 4B 00 00 00 0C 82 40 01 02"));
    s.append(Packet("ZELK", 0x7777, 0, Hex("01 02 03")));  // unknown: consumed
    s.append(Hex("5A 45 4C 4B 00 00 00 0C 82 40 00 01"));
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_EQ(r.receive(&s), nullptr);
    auto hb = r.receive(&s);
    ASSERT_NE(dynamic_cast<Heartbeat*>(hb.get()), nullptr);
    EXPECT_TRUE(static_cast<Heartbeat&>(*hb).isTuvo());
    EXPECT_TRUE(r.lastWasTuvo());
    auto release = r.receive(&s);
    ASSERT_NE(dynamic_cast<VDiskRelease*>(release.get()), nullptr);
    EXPECT_EQ(static_cast<VDiskRelease&>(*release).getDeviceIndex(), 0x0102);
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_NE(r.receive(&s), nullptr);  // still in step after the unknown type
}

TEST(PacketReceiverTest, FramingErrorsAreThrownAndNeverReadPastTheData) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    // A long body is read to be skipped: without it the peer has gone.
    const std::string tooLong = "Socket Closed by peer reading payload.";
    const std::string tooShort = "Error, packet length below header size";
    std::vector<Case> cases = {
        {"length 0", Header("ZELK", 0, 0x8100, 0), tooShort},
        {"length 11", Header("ZELK", 11, 0x8100, 0), tooShort},
        {"length 0x7FFFFFFF", Header("ZELK", 0x7FFFFFFF, 0x8310, 0), tooLong},
        {"length 0x80000000", Header("ZELK", 0x80000000u, 0x8310, 0), tooLong},
        {"length 0xFFFFFFFF", Header("ZELK", 0xFFFFFFFFu, 0x8310, 0), tooLong},
        {"one past the limit", Header("ZELK", ZELKPacket::MAX_PACKET_LENGTH + 1, 0x8310, 0), tooLong},
        {"bad magic", Header("ZELX", 12, 0x8100, 0), "Bad magic string while reading ZELK packet."},
        {"zero magic", Header("\0\0\0\0", 12, 0x8100, 0), "Bad magic string while reading ZELK packet."},
        {"cut in the header", Hex("5A 45 4C 4B 00 00"), "Socket Closed by peer reading header."},
        {"cut in the body", Cat(Header("ZELK", 24, 0x8300, 0), Hex("00 00 00 01")),
         "Socket Closed by peer reading payload."},
        {"nothing at all", {}, "Socket Closed by peer reading header."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PacketReceiver r;
        MemoryStream s(c.bytes);
        EXPECT_EQ(ThrownBy(r, s), c.error);
        EXPECT_EQ(r.getBodyCapacity(), PacketReceiver::INITIAL_BODY_CAPACITY);
    }
}

// A packet whose body is generated as it is read: every 12 bytes of it
// would pass for a server release header. Then the packets after it.
class LongPacketStream : public ByteStream {
public:
    LongPacketStream(std::vector<uint8_t> head, uint64_t filler, std::vector<uint8_t> tail)
        : m_head(std::move(head)), m_filler(filler), m_tail(std::move(tail)) {
        const std::vector<uint8_t> release = Hex("5A 45 4C 4B 00 00 00 0C 82 40 00 01");
        m_pattern.resize(kChunk + release.size());
        for (size_t i = 0; i < m_pattern.size(); ++i) m_pattern[i] = release[i % release.size()];
    }
    int write(const char*, int length) override { return length; }
    int readFully(char* buffer, int count) override { return readSome(buffer, count, count) == count ? count : -1; }
    int readSome(char* buffer, int minimum, int capacity) override {
        largestRead = std::max(largestRead, capacity);
        const uint64_t total = m_head.size() + m_filler + m_tail.size();
        if (total - m_pos < uint64_t(minimum)) return -1;
        const int n = int(std::min<uint64_t>(uint64_t(capacity), total - m_pos));
        for (int done = 0; done < n;) {
            const uint64_t at = m_pos + uint64_t(done);
            int piece;
            if (at < m_head.size()) {
                piece = int(std::min<uint64_t>(uint64_t(n - done), m_head.size() - at));
                std::memcpy(buffer + done, m_head.data() + at, size_t(piece));
            } else if (at < m_head.size() + m_filler) {
                const uint64_t f = at - m_head.size();
                piece = int(std::min<uint64_t>({uint64_t(n - done), m_filler - f, kChunk}));
                std::memcpy(buffer + done, m_pattern.data() + f % 12, size_t(piece));
            } else {
                const uint64_t t = at - m_head.size() - m_filler;
                piece = int(std::min<uint64_t>(uint64_t(n - done), m_tail.size() - t));
                std::memcpy(buffer + done, m_tail.data() + t, size_t(piece));
            }
            done += piece;
        }
        m_pos += uint64_t(n);
        return n;
    }
    uint64_t remaining() const { return m_head.size() + m_filler + m_tail.size() - m_pos; }

    int largestRead = 0;

private:
    static constexpr uint64_t kChunk = 1 << 16;
    std::vector<uint8_t> m_head;
    uint64_t m_filler;
    std::vector<uint8_t> m_tail;
    std::vector<uint8_t> m_pattern;
    uint64_t m_pos = 0;
};

// A body too long to keep is read and dropped in bounded pieces, never taken
// for headers; a write comes without its data (so that it is refused), any
// other packet is dropped, and the next packet is read in step.
TEST(PacketReceiverTest, BodiesOverTheLimitAreSkippedInStep) {
    struct Case {
        const char* what;
        uint32_t length;
        uint16_t type;
    } cases[] = {
        {"write one byte over", ZELKPacket::MAX_PACKET_LENGTH + 1, 0x8310},
        {"drive list one byte over", ZELKPacket::MAX_PACKET_LENGTH + 1, 0x8200},
        {"write of 0x7FFFFFFF", 0x7FFFFFFF, 0x8310},
        {"unknown type of 0xFFFFFFFF", 0xFFFFFFFFu, 0x7777},
    };
    const std::vector<uint8_t> login = Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PacketReceiver r;
        // start 5, count 3, then the generated rest of the body.
        const std::vector<uint8_t> head = Cat(Header("ZELK", c.length, c.type, 2), Hex("00 00 00 05 00 00 00 03"));
        LongPacketStream s(head, uint64_t(c.length) - head.size(), login);
        std::unique_ptr<ZELKPacket> first;
        ASSERT_NO_THROW(first = r.receive(&s));
        if (c.type == 0x8310) {
            auto* write = dynamic_cast<VDiskWrite*>(first.get());
            ASSERT_NE(write, nullptr);
            EXPECT_EQ(write->getDeviceIndex(), 2);
            EXPECT_EQ(write->getStartBlock(), 5u);
            EXPECT_EQ(write->getBlockCount(), 3u);
            EXPECT_EQ(write->getDataLength(), 0);
        } else {
            EXPECT_EQ(first, nullptr);
        }
        EXPECT_NE(dynamic_cast<LoginResponse*>(r.receive(&s).get()), nullptr);
        EXPECT_EQ(s.remaining(), 0u);
        EXPECT_EQ(r.getBodyCapacity(), PacketReceiver::INITIAL_BODY_CAPACITY);
        EXPECT_LE(s.largestRead, PacketReceiver::READ_BUFFER_SIZE);
    }
}

TEST(PacketReceiverTest, ReceiverStaysUsableAfterAFramingError) {
    PacketReceiver r;
    MemoryStream bad(Header("ZELK", 5, 0x8100, 0));
    EXPECT_EQ(ThrownBy(r, bad), "Error, packet length below header size");
    MemoryStream good(Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00"));
    EXPECT_NE(r.receive(&good), nullptr);
}

TEST(PacketReceiverTest, HeldReceiverReadsNothingAndPausesInsteadOfSpinning) {
    PacketReceiver r;
    MemoryStream s(Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00"));
    r.setHold(true);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(s.reads, 0);

    r.setHold(false);
    EXPECT_NE(r.receive(&s), nullptr);
}

TEST(PacketReceiverTest, NullStreamGivesNull) {
    PacketReceiver r;
    EXPECT_EQ(r.receive(nullptr), nullptr);
    r.stop();
    EXPECT_FALSE(r.isRunning());
    r.stop();  // a second stop does not block
}

}  // namespace
