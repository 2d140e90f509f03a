#pragma once
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/VMConstants.h"
#include "base/ByteStream.h"
#include "device/VMDriveList.h"
#include "platform/Clock.h"
#include "session/SessionHost.h"

namespace sessiontest {

using Bytes = std::vector<uint8_t>;

// A server packet: 12-byte header (magic, length, type, parameter) and body.
inline Bytes Packet(const char* magic, int type, int param, const Bytes& body = {}) {
    const uint32_t length = uint32_t(12 + body.size());
    Bytes p(length, 0);
    for (int i = 0; i < 4; ++i) p[size_t(i)] = uint8_t(magic[i]);
    for (int i = 0; i < 4; ++i) p[size_t(4 + i)] = uint8_t(length >> (24 - 8 * i));
    p[8] = uint8_t(type >> 8);
    p[9] = uint8_t(type);
    p[10] = uint8_t(param >> 8);
    p[11] = uint8_t(param);
    for (size_t i = 0; i < body.size(); ++i) p[12 + i] = body[i];
    return p;
}

inline void PutU32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

// One packet the client wrote.
struct Sent {
    std::string magic;
    int type = 0;
    int param = 0;
    Bytes body;
};

// Both ends of a connection in memory: the client writes into it, the test
// feeds what the client reads. close() ends every read, like a shutdown.
class PipeStream : public ByteStream {
public:
    int write(const char* data, int length) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return -1;
        m_out.insert(m_out.end(), data, data + length);
        m_largestWrite = std::max(m_largestWrite, length);
        m_changed.notify_all();
        return length;
    }
    // The most bytes one write carried.
    int largestWrite() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_largestWrite;
    }
    int readFully(char* buffer, int count) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_closed || m_in.size() >= size_t(count); });
        if (m_in.size() < size_t(count)) return -1;
        for (int i = 0; i < count; ++i) {
            buffer[i] = char(m_in.front());
            m_in.pop_front();
        }
        return count;
    }
    void feed(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_in.insert(m_in.end(), bytes.begin(), bytes.end());
        m_changed.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    // Every whole packet written so far.
    std::vector<Sent> sent() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return parse();
    }
    // Waits (real time) until pred holds for the packets written.
    template <typename Pred>
    bool waitSent(Pred pred, int ms = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(parse()); });
    }
    size_t countType(int type) {
        size_t n = 0;
        for (const Sent& s : sent())
            if (s.type == type) ++n;
        return n;
    }

private:
    int m_largestWrite = 0;
    std::vector<Sent> parse() const {
        std::vector<Sent> out;
        size_t at = 0;
        while (at + 12 <= m_out.size()) {
            const uint32_t len = uint32_t(m_out[at + 4]) << 24 | uint32_t(m_out[at + 5]) << 16 |
                                 uint32_t(m_out[at + 6]) << 8 | m_out[at + 7];
            if (len < 12 || at + len > m_out.size()) break;
            Sent s;
            s.magic.assign(reinterpret_cast<const char*>(&m_out[at]), 4);
            s.type = m_out[at + 8] << 8 | m_out[at + 9];
            s.param = m_out[at + 10] << 8 | m_out[at + 11];
            s.body.assign(m_out.begin() + long(at + 12), m_out.begin() + long(at + len));
            out.push_back(std::move(s));
            at += len;
        }
        return out;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<uint8_t> m_in;
    Bytes m_out;
    bool m_closed = false;
};

// The facade's side of a session, as far as the session uses it.
class FakeHost : public SessionHost {
public:
    std::atomic<int> status{VMConstants::VMAPI_CONNECTED};
    std::atomic<int> statusChanges{0};
    std::atomic<int> semaphoreReleases{0};

    int getConnectionStatus() override { return status.load(); }
    void setConnectionStatus(int s) override {
        status.store(s);
        statusChanges.fetch_add(1);
    }
    int acquireConnectSemaphore(int64_t timeoutMs) override { return m_sem.timedWaitMs(timeoutMs); }
    void releaseConnectSemaphore() override {
        semaphoreReleases.fetch_add(1);
        m_sem.release();
    }
    VMDriveList* getDriveList() override { return nullptr; }
    int unmapDrive(int) override { return VMConstants::API_ERROR; }

private:
    ASemaphore m_sem{true};
};

// Runs library time faster for one test, and back to real time after.
class ClockScale {
public:
    explicit ClockScale(double scale) { tw::Clock::setScale(scale); }
    ~ClockScale() { tw::Clock::setScale(1.0); }
};

// Records the codes a plain-function callback receives (one per slot).
class CallbackLog {
public:
    static std::vector<int>& codes(int slot) {
        static std::vector<int> s[4];
        return s[slot];
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    template <int Slot>
    static void record(int code) {
        std::lock_guard<std::mutex> lock(mutex());
        codes(Slot).push_back(code);
    }
    static std::vector<int> get(int slot) {
        std::lock_guard<std::mutex> lock(mutex());
        return codes(slot);
    }
    static void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        for (int i = 0; i < 4; ++i) codes(i).clear();
    }
};

}  // namespace sessiontest
