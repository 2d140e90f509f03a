#include "session/ReadAnswer.h"

#include <cstring>
#include <mutex>
#include <utility>

namespace {

// A few buffers are enough: the receive thread builds one answer while the
// send thread writes the one before.
constexpr size_t kPoolLimit = 4;
// Larger buffers are not kept, so a single huge read does not pin memory.
constexpr size_t kKeepLimit = 4u * 1024u * 1024u;

std::mutex& poolMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::vector<uint8_t>>& pool() {
    static std::vector<std::vector<uint8_t>> p;
    return p;
}

}  // namespace

ReadAnswer::ReadAnswer() : ZELKPacket(0x0300, HEADER_SIZE) {
    std::lock_guard<std::mutex> lock(poolMutex());
    if (!pool().empty()) {
        m_wire = std::move(pool().back());
        pool().pop_back();
    }
}

ReadAnswer::~ReadAnswer() {
    if (m_wire.capacity() == 0 || m_wire.capacity() > kKeepLimit) return;
    std::lock_guard<std::mutex> lock(poolMutex());
    if (pool().size() < kPoolLimit) pool().push_back(std::move(m_wire));
}

uint8_t* ReadAnswer::reserve(size_t bytes) {
    // resize never shrinks capacity, so a reused buffer costs no allocation.
    if (m_wire.size() < bytes) m_wire.resize(bytes);
    return m_wire.data();
}

void ReadAnswer::setUsed(size_t bytes) {
    if (bytes < size_t(HEADER_SIZE)) bytes = HEADER_SIZE;
    reserve(bytes);
    m_length = int(bytes);
}

void ReadAnswer::writeHeader(uint8_t* header) {
    if (m_wire.size() < size_t(HEADER_SIZE)) {
        std::memset(header, 0, HEADER_SIZE);
        return;
    }
    std::memcpy(header, m_wire.data(), HEADER_SIZE);
}

void ReadAnswer::writeBody(uint8_t* body) {
    if (m_length > HEADER_SIZE) std::memcpy(body, m_wire.data() + HEADER_SIZE, size_t(m_length - HEADER_SIZE));
}

size_t ReadAnswer::pooledBuffers() {
    std::lock_guard<std::mutex> lock(poolMutex());
    return pool().size();
}
