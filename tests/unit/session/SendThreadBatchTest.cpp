// The send thread's batches (packets queued together leave in one gathered
// write, in order, a read answer without a copy, within the batch bounds)
// and the write on the caller's thread when the send thread is idle.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "SessionRig.h"
#include "session/ReadAnswer.h"

using namespace sessiontest;

namespace {

class NumberedPacket : public ZELKPacket {
public:
    NumberedPacket(int param, int length) : ZELKPacket(0x0999, length), m_param(param) {}
    std::string getName() const override { return "Numbered"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, uint16_t(m_param)); }
    void writeBody(uint8_t* body) override { std::memset(body, m_param, size_t(m_length - HEADER_SIZE)); }

private:
    int m_param;
};

Bytes WireOf(ZELKPacket&& p) {
    Bytes b(size_t(p.getLength()));
    p.writeHeader(b.data());
    p.writeBody(b.data() + ZELKPacket::HEADER_SIZE);
    return b;
}

// Remembers every write call: its pieces, its thread and the bytes.
// writeSome takes at most `takeAtOnce` bytes (all when negative).
class RecordingStream : public ByteStream {
public:
    struct Call {
        std::vector<const char*> pieces;
        std::thread::id thread;
        bool some = false;
    };
    int write(const char* data, int length) override {
        const ByteSegment one{data, length};
        return writeSegments(&one, 1);
    }
    int writeSegments(const ByteSegment* segments, int count) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Call call;
        call.thread = std::this_thread::get_id();
        for (int i = 0; i < count; ++i) {
            call.pieces.push_back(segments[i].data);
            m_bytes.insert(m_bytes.end(), segments[i].data, segments[i].data + segments[i].length);
        }
        m_calls.push_back(call);
        return 1;
    }
    int writeSome(const char* data, int length) override {
        const int n = takeAtOnce < 0 ? length : std::min(length, takeAtOnce);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({{data}, std::this_thread::get_id(), true});
            m_bytes.insert(m_bytes.end(), data, data + n);
        }
        if (duringWriteSome) duringWriteSome();
        return n;
    }
    int takeAtOnce = -1;
    std::function<void()> duringWriteSome;
    int readFully(char*, int) override { return -1; }
    std::vector<Call> calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    Bytes bytes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }

private:
    std::mutex m_mutex;
    std::vector<Call> m_calls;
    Bytes m_bytes;
};

struct BatchRig {
    Rig rig{3, false};
    std::shared_ptr<RecordingStream> stream = std::make_shared<RecordingStream>();
    BatchRig() { rig.session->setStreamForTesting(stream, [] {}); }
    SendThread* send() { return rig.session->getSendThread(); }
    void runUntilSent() {
        send()->start();
        ASSERT_TRUE(send()->waitAllSent(1000000));
    }
};

std::unique_ptr<ReadAnswer> Answer(size_t bytes) {
    auto answer = std::make_unique<ReadAnswer>();
    uint8_t* wire = answer->reserve(bytes);
    for (size_t i = 0; i < bytes; ++i) wire[i] = uint8_t(i * 7);
    answer->setUsed(bytes);
    return answer;
}

Bytes WireOf(const ReadAnswer& a) { return Bytes(a.wire(), a.wire() + a.used()); }

TEST(SendThreadBatch, PacketsQueuedTogetherLeaveInOneWriteInOrder) {
    BatchRig b;
    auto answer = Answer(20 + 4096 + 16);
    const size_t answerBytes = answer->used();
    const uint8_t* answerWire = answer->wire();
    ASSERT_NE(answerWire, nullptr);

    b.send()->send(new NumberedPacket(1, 12));
    b.send()->send(new NumberedPacket(2, 40));
    b.send()->send(answer.release());
    b.send()->send(new NumberedPacket(3, 30));
    b.runUntilSent();

    Bytes expected = WireOf(NumberedPacket(1, 12));
    const Bytes second = WireOf(NumberedPacket(2, 40));
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), answerWire, answerWire + answerBytes);
    const Bytes third = WireOf(NumberedPacket(3, 30));
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(b.stream->bytes(), expected);
    const auto calls = b.stream->calls();
    ASSERT_EQ(calls.size(), 1u);
    // The two small ones share one piece; the answer goes from its own buffer.
    ASSERT_EQ(calls[0].pieces.size(), 3u);
    EXPECT_EQ(calls[0].pieces[1], reinterpret_cast<const char*>(answerWire));
}

class UnbuildablePacket : public ZELKPacket {
public:
    UnbuildablePacket() : ZELKPacket(0x0998, 24) {}
    std::string getName() const override { return "Unbuildable"; }
    void writeHeader(uint8_t* header) override { writeHeaderWithParam(header, 0); }
    void writeBody(uint8_t*) override { throw "field out of range"; }
};

TEST(SendThreadBatch, APacketThatCannotBeBuiltIsDroppedAlone) {
    BatchRig b;
    b.send()->send(new NumberedPacket(1, 12));
    b.send()->send(new UnbuildablePacket);
    b.send()->send(new NumberedPacket(2, 20));
    b.send()->start();
    // A thread stopped by the bad packet leaves the queue full: bounded wait.
    ASSERT_TRUE(b.send()->waitAllSent(10000));
    // The thread goes on with what is queued later.
    b.send()->send(new NumberedPacket(3, 16));
    ASSERT_TRUE(b.send()->waitAllSent(10000));
    Bytes expected;
    for (const Bytes& one : {WireOf(NumberedPacket(1, 12)), WireOf(NumberedPacket(2, 20)), WireOf(NumberedPacket(3, 16))})
        expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(b.stream->bytes(), expected);
}

TEST(SendThreadBatch, ABatchStaysWithinItsBounds) {
    BatchRig b;
    constexpr int kPackets = 100;
    for (int i = 0; i < kPackets; ++i) b.send()->send(new NumberedPacket(i, 12));
    // Larger than the first buffer: goes alone, the buffer grows to it.
    b.send()->send(new NumberedPacket(200, SendThread::INITIAL_BUFFER_SIZE + 100));
    b.runUntilSent();
    Bytes expected;
    for (int i = 0; i < kPackets; ++i) {
        const Bytes one = WireOf(NumberedPacket(i, 12));
        expected.insert(expected.end(), one.begin(), one.end());
    }
    const Bytes big = WireOf(NumberedPacket(200, SendThread::INITIAL_BUFFER_SIZE + 100));
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(b.stream->bytes(), expected);
    // 64 packets, the other 36, then the large one.
    EXPECT_EQ(b.stream->calls().size(), 3u);
    EXPECT_EQ(b.send()->bufferSize(), size_t(SendThread::INITIAL_BUFFER_SIZE + 100));
}

TEST(SendNow, AnIdleThreadLetsTheCallerWrite) {
    BatchRig b;
    b.runUntilSent();
    auto answer = Answer(20 + 2048 + 16);
    const Bytes expected = WireOf(*answer);
    b.send()->sendNow(answer.release());
    ASSERT_TRUE(b.send()->waitAllSent(1000000));
    EXPECT_TRUE(b.send()->isAllSent());
    EXPECT_EQ(b.stream->bytes(), expected);
    const auto calls = b.stream->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].some);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
}

TEST(SendNow, WhatTheTransportDidNotTakeGoesNextFromTheSameBytes) {
    BatchRig b;
    b.runUntilSent();
    b.stream->takeAtOnce = 100;
    auto answer = Answer(20 + 4096 + 16);
    const Bytes expected = WireOf(*answer);
    const char* rest = reinterpret_cast<const char*>(answer->wire()) + 100;
    // Sent while the rest is pending: it must follow the rest, not cut in.
    b.stream->duringWriteSome = [&] { b.send()->send(new NumberedPacket(9, 20)); };
    b.send()->sendNow(answer.release());
    ASSERT_TRUE(b.send()->waitAllSent(1000000));
    Bytes all = expected;
    const Bytes after = WireOf(NumberedPacket(9, 20));
    all.insert(all.end(), after.begin(), after.end());
    EXPECT_EQ(b.stream->bytes(), all);
    const auto calls = b.stream->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].pieces, std::vector<const char*>{rest});
    EXPECT_NE(calls[1].thread, std::this_thread::get_id());
}

TEST(SendNow, TheRestIsNeverWrittenOnAnotherConnection) {
    BatchRig b;
    b.runUntilSent();
    auto fresh = std::make_shared<RecordingStream>();
    b.stream->takeAtOnce = 100;
    // A reconnection replaces the stream while the answer is half out.
    b.stream->duringWriteSome = [&] { b.rig.session->setStreamForTesting(fresh, [] {}); };
    b.send()->sendNow(Answer(20 + 4096 + 16).release());
    ASSERT_TRUE(b.send()->waitAllSent(1000000));
    b.send()->send(new NumberedPacket(5, 12));
    ASSERT_TRUE(b.send()->waitAllSent(1000000));
    EXPECT_EQ(b.stream->bytes().size(), 100u);
    EXPECT_EQ(fresh->bytes(), WireOf(NumberedPacket(5, 12)));
}

TEST(SendNow, ABusyOrStoppedThreadQueuesInstead) {
    BatchRig b;  // not started: nothing may be written from here
    auto answer = Answer(20 + 512 + 16);
    const Bytes expected = WireOf(*answer);
    b.send()->send(new NumberedPacket(1, 12));
    b.send()->sendNow(answer.release());
    EXPECT_EQ(b.send()->queuedCount(), 2u);
    EXPECT_TRUE(b.stream->calls().empty());
    b.runUntilSent();
    Bytes all = WireOf(NumberedPacket(1, 12));
    all.insert(all.end(), expected.begin(), expected.end());
    EXPECT_EQ(b.stream->bytes(), all);
    for (const auto& call : b.stream->calls()) EXPECT_NE(call.thread, std::this_thread::get_id());
}

}  // namespace
