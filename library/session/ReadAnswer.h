#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ZELKPacket.h"

// The whole answer to one block read, already in wire form: every
// ReadResponse packet followed by the ClientStatusMessage. The handler reads
// the medium straight into the data areas and fills the headers in after,
// so the send thread writes the answer with one write and one wake-up, and
// its bytes are exactly those of the separate packets.
//
// Buffers are reused: a finished answer gives its storage back to a small
// process-wide pool.
class ReadAnswer : public ZELKPacket {
public:
    static constexpr int RESPONSE_HEADER = 20;  // ZELK header + block value + block count
    static constexpr int STATUS_SIZE = 16;      // ClientStatusMessage

    ReadAnswer();
    ~ReadAnswer() override;

    std::string getName() const override { return "Read Response"; }
    void writeHeader(uint8_t* header) override;
    void writeBody(uint8_t* body) override;

    // Makes room for bytes of wire data (contents undefined); may throw bad_alloc.
    uint8_t* reserve(size_t bytes);
    uint8_t* data() { return m_wire.data(); }
    // The wire length actually used; at least a header.
    void setUsed(size_t bytes);
    size_t used() const { return size_t(m_length); }
    // The whole packet as it goes on the wire (getLength() bytes), or null
    // when nothing was filled in; the send thread writes it without a copy.
    const uint8_t* wire() const { return m_wire.size() >= size_t(m_length) ? m_wire.data() : nullptr; }

    // Buffers kept for reuse (tests).
    static size_t pooledBuffers();

private:
    std::vector<uint8_t> m_wire;
};
