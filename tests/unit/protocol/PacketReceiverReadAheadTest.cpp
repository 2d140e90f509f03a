// The receiver over a stream that reads ahead: packets split across buffer
// fills, several packets in one read, the login filter, a new connection.
#include <gtest/gtest.h>

#include <algorithm>

#include "PacketTestUtil.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginResponse.h"
#include "protocol/PacketReceiver.h"
#include "protocol/ReadRequest.h"
#include "protocol/VDiskWrite.h"

namespace {

// Hands out up to `chunk` bytes per call (more only when a call needs more).
class ChunkedStream : public ByteStream {
public:
    ChunkedStream(std::vector<uint8_t> data, size_t chunk) : m_data(std::move(data)), m_chunk(chunk) {}
    int write(const char*, int length) override { return length; }
    int readFully(char* buffer, int count) override {
        ++fullReads;
        return copy(buffer, size_t(count), size_t(count)) == count ? count : -1;
    }
    int readSome(char* buffer, int minimum, int capacity) override {
        ++someReads;
        EXPECT_LE(minimum, capacity);
        const size_t want = std::max(size_t(minimum), std::min(m_chunk, size_t(capacity)));
        const int got = copy(buffer, size_t(minimum), want);
        return got >= minimum ? got : -1;
    }
    size_t position() const { return m_pos; }
    int someReads = 0;
    int fullReads = 0;

private:
    // At least `minimum` (else all that is left, as a failing read), at most `most`.
    int copy(char* buffer, size_t minimum, size_t most) {
        const size_t n = std::min(most, m_data.size() - m_pos);
        std::memcpy(buffer, m_data.data() + m_pos, n);
        m_pos += n;
        return n < minimum ? -1 : int(n);
    }
    std::vector<uint8_t> m_data;
    size_t m_chunk;
    size_t m_pos = 0;
};

// A write whose data bytes all carry its number, so a shifted packet shows.
std::vector<uint8_t> NumberedWrite(uint8_t n, size_t dataBytes) {
    std::vector<uint8_t> body(8 + dataBytes, n);
    return Packet("ZELK", 0x8310, n, body);
}

void ExpectWrite(std::unique_ptr<ZELKPacket> p, uint8_t n, size_t dataBytes) {
    auto* w = dynamic_cast<VDiskWrite*>(p.get());
    ASSERT_NE(w, nullptr) << "packet " << int(n);
    EXPECT_EQ(w->getDeviceIndex(), n);
    ASSERT_EQ(size_t(w->getDataLength()), dataBytes) << "packet " << int(n);
    EXPECT_TRUE(std::all_of(w->getData(), w->getData() + dataBytes, [n](uint8_t b) { return b == n; }))
        << "packet " << int(n);
}

TEST(PacketReceiverReadAhead, EveryPacketWholeWhateverTheReadSizes) {
    // Small packets, one that straddles the end of a buffer fill, one larger
    // than the buffer (read straight into place), and small ones after it.
    std::vector<size_t> sizes = {0, 12, 100, 3000};
    for (int i = 0; i < 30; ++i) sizes.push_back(2500);  // crosses 64 KiB
    sizes.push_back(PacketReceiver::READ_BUFFER_SIZE + 5000);
    sizes.push_back(7);
    sizes.push_back(PacketReceiver::READ_BUFFER_SIZE - 20);
    sizes.push_back(1);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < sizes.size(); ++i) bytes = Cat(bytes, NumberedWrite(uint8_t(i + 1), sizes[i]));

    for (size_t chunk : {size_t(1), size_t(13), size_t(4096), size_t(65536), size_t(1) << 24}) {
        SCOPED_TRACE(chunk);
        ChunkedStream s(bytes, chunk);
        PacketReceiver r;
        for (size_t i = 0; i < sizes.size(); ++i) ExpectWrite(r.receive(&s), uint8_t(i + 1), sizes[i]);
        EXPECT_EQ(s.position(), bytes.size());
        EXPECT_EQ(r.bufferedBytes(), 0u);
    }
}

TEST(PacketReceiverReadAhead, SeveralPacketsComeInOneRead) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 20; ++i)
        bytes = Cat(bytes, Packet("ZELK", 0x8300, 0, Hex("00 00 00 10 00 00 00 20 00 00 00 10")));
    ChunkedStream s(bytes, 1 << 20);
    PacketReceiver r;
    for (int i = 0; i < 20; ++i) ASSERT_NE(dynamic_cast<ReadRequest*>(r.receive(&s).get()), nullptr);
    EXPECT_EQ(s.someReads, 1);
    EXPECT_EQ(s.fullReads, 0);
}

TEST(PacketReceiverReadAhead, LoginFilterAppliesToBufferedPackets) {
    std::vector<uint8_t> bytes = NumberedWrite(1, 4);                            // dropped
    bytes = Cat(bytes, Hex("54 55 56 4F 00 00 00 0C 04 00 00 00"));              // heartbeat passes
    bytes = Cat(bytes, Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00"));     // login response
    bytes = Cat(bytes, NumberedWrite(2, 4));                                     // passes now
    ChunkedStream s(bytes, 1 << 20);
    PacketReceiver r;
    r.setExpectingLogin(true);
    EXPECT_EQ(r.receive(&s), nullptr);
    EXPECT_NE(dynamic_cast<Heartbeat*>(r.receive(&s).get()), nullptr);
    EXPECT_NE(dynamic_cast<LoginResponse*>(r.receive(&s).get()), nullptr);
    EXPECT_FALSE(r.isExpectingLogin());
    ExpectWrite(r.receive(&s), 2, 4);
    EXPECT_EQ(s.someReads, 1);
}

TEST(PacketReceiverReadAhead, BytesReadAheadOfOneStreamAreNeverServedForAnother) {
    ChunkedStream old(Cat(NumberedWrite(1, 4), NumberedWrite(2, 4)), 1 << 20);
    ChunkedStream fresh(NumberedWrite(3, 4), 1 << 20);
    PacketReceiver r;
    ExpectWrite(r.receive(&old), 1, 4);
    EXPECT_GT(r.bufferedBytes(), 0u);
    ExpectWrite(r.receive(&fresh), 3, 4);
    EXPECT_EQ(r.bufferedBytes(), 0u);
}

TEST(PacketReceiverReadAhead, AFramingErrorConsumesOnlyItsHeader) {
    // As without read-ahead: the bad header is gone, the next packet follows.
    ChunkedStream s(Cat(Header("ZELX", 12, 0x8100, 0), NumberedWrite(1, 4)), 1 << 20);
    PacketReceiver r;
    EXPECT_THROW(r.receive(&s), const char*);
    ExpectWrite(r.receive(&s), 1, 4);
}

}  // namespace
