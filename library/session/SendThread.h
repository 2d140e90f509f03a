#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/AThread.h"
#include "base/ByteStream.h"

class ZELKPacket;
class ZELKSession;

// Writes every packet the session sends, in the order queued, to the
// session's current transport. Packets queued together leave together: one
// gathered write per batch. send() may be called from any thread. After
// stopThread the packets still queued are written (or, without a transport,
// dropped) before run() returns.
class SendThread : public AThread {
public:
    static constexpr int INITIAL_BUFFER_SIZE = 1024;
    // Bounds of one batch (a first packet larger than that goes alone).
    static constexpr size_t MAX_BATCH_PACKETS = 64;
    static constexpr size_t MAX_BATCH_BYTES = size_t(1) << 20;
    // How long an idle run() sleeps between looks at its flags.
    static constexpr int64_t WAKE_WAIT_MS = 1000;

    explicit SendThread(ZELKSession* session);
    ~SendThread() override;

    // Takes ownership; a null packet is ignored.
    void send(ZELKPacket* packet);
    // As send, but a packet with wire bytes of its own (a read answer) is
    // written on the calling thread when the thread runs and nothing is
    // queued or being written: it saves waking this thread. Only what the
    // transport takes without waiting is written so; the rest is queued first.
    void sendNow(ZELKPacket* packet);
    void run() override;
    void stopThread() override;

    // True when every packet queued so far has left the queue through a write.
    bool isAllSent() const { return m_allSent.load(); }
    // Waits up to ms (library time) until the queue is empty and no write is
    // under way; true when so.
    bool waitAllSent(int64_t ms);
    size_t queuedCount();
    // Drops every packet still queued (they belong to a connection that is
    // gone); returns how many.
    size_t discardQueued();
    // Size of the reusable send buffer (it only grows).
    size_t bufferSize() const { return m_bufferSize.load(); }

private:
    // Moves packets from the front of the queue into m_batch (queue lock held).
    void takeBatch();
    // Writes m_batch; false when nothing could be written (no transport).
    bool writeBatch();
    void queue(std::unique_ptr<ZELKPacket> packet);

    ZELKSession* m_session;
    std::mutex m_queueMutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<std::unique_ptr<ZELKPacket>> m_queue;
    std::atomic<bool> m_allSent{true};
    bool m_wakePending = false;
    bool m_writing = false;
    // Only the thread itself uses these: the batch, the buffer the packets
    // without wire bytes of their own are serialized into, and the pieces.
    std::vector<std::unique_ptr<ZELKPacket>> m_batch;
    std::vector<uint8_t> m_buffer;
    std::vector<ByteSegment> m_segments;
    std::atomic<size_t> m_bufferSize{0};
};
