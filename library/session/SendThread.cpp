#include "session/SendThread.h"

#include "base/ByteStream.h"
#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "protocol/ZELKPacket.h"
#include "session/ReadAnswer.h"
#include "session/ZELKSession.h"

namespace {

// What a write on the caller's thread left: the packet, where its unwritten
// bytes start, and the stream they belong to (on any other they are dropped).
class UnsentRest : public ZELKPacket {
public:
    UnsentRest(std::unique_ptr<ZELKPacket> packet, const uint8_t* rest, int length, uint64_t streamId)
        : ZELKPacket(packet->getType(), length), m_packet(std::move(packet)), m_rest(rest), m_streamId(streamId) {}
    std::string getName() const override { return m_packet->getName(); }
    // Never serialized: written from the packet's own bytes.
    void writeHeader(uint8_t*) override {}
    void writeBody(uint8_t*) override {}
    const char* rest() const { return reinterpret_cast<const char*>(m_rest); }
    uint64_t streamId() const { return m_streamId; }

private:
    std::unique_ptr<ZELKPacket> m_packet;
    const uint8_t* m_rest;
    uint64_t m_streamId;
};

// The packet's own wire bytes when it has them (a read answer), else null.
const uint8_t* wireOf(const ZELKPacket& packet) {
    const auto* answer = dynamic_cast<const ReadAnswer*>(&packet);
    return answer != nullptr ? answer->wire() : nullptr;
}

size_t wireLength(const ZELKPacket& packet) {
    const int length = packet.getLength();
    return length < ZELKPacket::HEADER_SIZE ? 0 : size_t(length);
}

}  // namespace

SendThread::SendThread(ZELKSession* session) : m_session(session) {
    LogMessage("%s Entered %p.\n", "SendThread::SendThread:", static_cast<void*>(session));
    LogMessage("%s Created.\n", "SendThread::SendThread:");
}

SendThread::~SendThread() {
    LogMessage("%s Entered.\n", "SendThread::~SendThread:");
    // The owner has stopped and joined the thread; packets left are freed.
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_queue.clear();
}

void SendThread::send(ZELKPacket* packet) {
    if (packet == nullptr) {
        LogMessage("%s Ignoring NULL packet.\n", "SendThread::send:");
        return;
    }
    queue(std::unique_ptr<ZELKPacket>(packet));
}

void SendThread::queue(std::unique_ptr<ZELKPacket> packet) {
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_queue.push_back(std::move(packet));
        m_allSent.store(false);
        m_wakePending = true;
    }
    m_wake.notify_one();
}

void SendThread::sendNow(ZELKPacket* packet) {
    std::unique_ptr<ZELKPacket> owned(packet);
    if (!owned) return;
    const uint8_t* wire = wireOf(*owned);
    const int length = owned->getLength();
    bool claimed = false;
    if (wire != nullptr && length >= ZELKPacket::HEADER_SIZE) {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        claimed = m_queue.empty() && !m_writing && m_running.load() && !m_stop.load() && !m_suspendThread.load();
        if (claimed) {
            m_writing = true;
            m_allSent.store(false);
        }
    }
    if (!claimed) {
        queue(std::move(owned));
        return;
    }
    LogMessage("%s Sending packet (0x%.4x) length=%i.\n", "SendThread::sendNow:", unsigned(owned->getType()),
               length);
    std::shared_ptr<ByteStream> stream = m_session->getStream();
    std::unique_ptr<ZELKPacket> left;
    bool leftIsRest = false;
    // A pause asked for meanwhile (a reconnection) leaves the packet to the
    // queue, untouched, as does a missing transport; it then ranks as queued
    // now, like a packet sent by another thread meanwhile.
    if (!stream || m_suspendThread.load()) {
        left = std::move(owned);
    } else {
        const int done = stream->writeSome(reinterpret_cast<const char*>(wire), length);
        m_session->setLastSendTime(ZELKSession::nowSeconds());
        if (done >= 0 && done < length) {
            // The transport may hold a part of what it was given: the rest
            // goes next, alone, from the same bytes, on this connection only.
            left = std::make_unique<UnsentRest>(std::move(owned), wire + done, length - done, stream->streamId());
            leftIsRest = true;
        } else {
            LogMessage("%s Socket Write %sCompleted for: 0X%x\n", "SendThread::sendNow:", done > 0 ? "" : " NOT ",
                       unsigned(owned->getType()));
        }
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_writing = false;
        if (leftIsRest)
            m_queue.push_front(std::move(left));
        else if (left)
            m_queue.push_back(std::move(left));
        if (m_queue.empty()) {
            m_allSent.store(true);
            m_drained.notify_all();
        } else {
            m_wakePending = true;
            wake = true;
        }
    }
    // An idle thread is woken only when there is something for it.
    if (wake) m_wake.notify_one();
}

void SendThread::stopThread() {
    if (m_stop.load()) return;
    LogMessage("%s Stopping\n", "SendThread::stopThread:");
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stop.store(true);
        m_wakePending = true;
    }
    m_wake.notify_one();
    m_suspendThread.store(false);
    m_pause.release();
}

size_t SendThread::queuedCount() {
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_queue.size();
}

size_t SendThread::discardQueued() {
    std::deque<std::unique_ptr<ZELKPacket>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        dropped.swap(m_queue);
        if (!m_writing) m_drained.notify_all();
    }
    return dropped.size();
}

bool SendThread::waitAllSent(int64_t ms) {
    std::unique_lock<std::mutex> lock(m_queueMutex);
    return m_drained.wait_for(lock, tw::Clock::toReal(ms), [this] { return m_queue.empty() && !m_writing; });
}


void SendThread::takeBatch() {
    // The buffer grows only for a single packet larger than it; packets that
    // would not fit beside the ones taken wait for the next batch.
    size_t capacity = m_buffer.size();
    size_t staged = 0;
    size_t total = 0;
    while (!m_queue.empty() && m_batch.size() < MAX_BATCH_PACKETS) {
        const ZELKPacket& next = *m_queue.front();
        if (dynamic_cast<const UnsentRest*>(&next) != nullptr) {
            // Goes alone: its write must continue on exactly these bytes.
            if (m_batch.empty()) {
                m_batch.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
            return;
        }
        const size_t length = wireLength(next);
        const bool direct = wireOf(next) != nullptr;
        if (!m_batch.empty()) {
            if (total + length > MAX_BATCH_BYTES) break;
            if (!direct && staged + length > capacity) break;
        } else if (!direct && length > capacity) {
            capacity = length;
        }
        if (!direct) staged += length;
        total += length;
        m_batch.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
    }
}

bool SendThread::writeBatch() {
    if (const auto* rest = m_batch.empty() ? nullptr : dynamic_cast<const UnsentRest*>(m_batch[0].get())) {
        std::shared_ptr<ByteStream> stream = m_session->getStream();
        if (!stream || stream->streamId() != rest->streamId()) {
            LogMessage("%s dropping the rest of a packet (0x%.4x) of another connection.\n", "SendThread::run:",
                       unsigned(rest->getType()));
            return false;
        }
        const int written = stream->write(rest->rest(), rest->getLength());
        LogMessage("%s Socket Write %sCompleted for: 0X%x\n", "SendThread::run:", written > 0 ? "" : " NOT ",
                   unsigned(rest->getType()));
        m_session->setLastSendTime(ZELKSession::nowSeconds());
        return true;
    }
    size_t staged = 0;
    for (const auto& packet : m_batch)
        if (wireOf(*packet) == nullptr) staged += wireLength(*packet);
    if (staged > m_buffer.size()) {
        LogMessage("%s Allocating send buffer: %i\n", "SendThread::run:", int(staged));
        m_buffer.assign(staged, 0);
        m_bufferSize.store(m_buffer.size());
    }
    m_segments.clear();
    size_t at = 0;
    bool lastStaged = false;
    for (const auto& packet : m_batch) {
        const int length = packet->getLength();
        LogMessage("%s Sending packet (0x%.4x) length=%i.\n", "SendThread::run:", unsigned(packet->getType()),
                   length);
        if (length < ZELKPacket::HEADER_SIZE) continue;
        if (const uint8_t* wire = wireOf(*packet)) {
            m_segments.push_back({reinterpret_cast<const char*>(wire), length});
            lastStaged = false;
            continue;
        }
        uint8_t* out = m_buffer.data() + at;
        try {
            packet->writeHeader(out);
            packet->writeBody(out + ZELKPacket::HEADER_SIZE);
        } catch (...) {
            // Only this packet is lost; the thread and the packets after it go on.
            LogMessage("%s dropping packet (0x%.4x) that could not be built.\n", "SendThread::run:",
                       unsigned(packet->getType()));
            lastStaged = false;
            continue;
        }
        if (lastStaged)
            m_segments.back().length += length;
        else
            m_segments.push_back({reinterpret_cast<const char*>(out), length});
        lastStaged = true;
        at += size_t(length);
    }
    if (m_segments.empty()) return false;
    // Re-read for every batch: a reconnection may have replaced the socket.
    std::shared_ptr<ByteStream> stream = m_session->getStream();
    if (!stream) {
        LogMessage("%s: Send Error: Socket is NULL when trying to write", "SendThread::run:");
        return false;
    }
    const int written = m_segments.size() == 1
                            ? stream->write(m_segments[0].data, m_segments[0].length)
                            : stream->writeSegments(m_segments.data(), int(m_segments.size()));
    for (const auto& packet : m_batch)
        LogMessage("%s Socket Write %sCompleted for: 0X%x\n", "SendThread::run:", written > 0 ? "" : " NOT ",
                   unsigned(packet->getType()));
    m_session->setLastSendTime(ZELKSession::nowSeconds());
    return true;
}

void SendThread::run() {
    LogMessage("%s called: queue (%x), size(%i)\n", "SendThread::run:", 0u, int(queuedCount()));
    m_buffer.assign(size_t(INITIAL_BUFFER_SIZE), 0);
    m_bufferSize.store(m_buffer.size());
    for (;;) {
        if (m_suspendThread.load()) {
            LogMessage("%s Pausing thread.\n", "SendThread::run:");
            waitIfSuspended();
        }
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            // m_writing here: a caller of sendNow is writing; its wake-up follows.
            if (m_queue.empty() || m_writing) {
                // Stopped with nothing left to write: done. Otherwise wait a
                // bounded time, then look at the pause request again.
                if (m_stop.load() && m_queue.empty() && !m_writing) break;
                m_wake.wait_for(lock, tw::Clock::toReal(WAKE_WAIT_MS), [this] { return m_wakePending; });
                m_wakePending = false;
                continue;
            }
            takeBatch();
            m_writing = true;
        }
        const bool sent = writeBatch();
        // Freed outside the queue lock (a read answer gives its buffer back).
        m_batch.clear();
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_writing = false;
        // Only a write empties the queue for the "all sent" report; a packet
        // dropped for want of a transport does not.
        if (sent && m_queue.empty()) m_allSent.store(true);
        if (m_queue.empty()) m_drained.notify_all();
    }
    m_buffer = std::vector<uint8_t>();
    {
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_drained.notify_all();
    }
    m_running.store(false);
    LogMessage("%s Stopped\n", "SendThread::run:");
}
