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

class ZELKPacket;
class ZELKSession;

// Writes every packet the session sends, one at a time and in the order
// queued, to the session's current transport. send() may be called from any
// thread. After stopThread the packets still queued are written (or, without
// a transport, dropped) before run() returns.
class SendThread : public AThread {
public:
    static constexpr int INITIAL_BUFFER_SIZE = 1024;
    // How long an idle run() sleeps between looks at its flags.
    static constexpr int64_t WAKE_WAIT_MS = 1000;

    explicit SendThread(ZELKSession* session);
    ~SendThread() override;

    // Takes ownership; a null packet is ignored.
    void send(ZELKPacket* packet);
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
    bool writeOne(ZELKPacket& packet);

    ZELKSession* m_session;
    std::mutex m_queueMutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<std::unique_ptr<ZELKPacket>> m_queue;
    std::atomic<bool> m_allSent{true};
    bool m_wakePending = false;
    bool m_writing = false;
    std::vector<uint8_t> m_buffer;
    std::atomic<size_t> m_bufferSize{0};
};
