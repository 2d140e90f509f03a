#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/ASemaphore.h"
#include "base/ByteStream.h"
#include "protocol/ZELKPacket.h"

// Reads one packet at a time from the transport: a 12-byte header, then the
// body, and builds the packet object for its magic and type. A stream that
// reads ahead fills a buffer here, so that small packets cost one read
// between them; what is buffered belongs to that stream object only.
class PacketReceiver {
public:
    static constexpr int INITIAL_BODY_CAPACITY = 1024;
    // Read-ahead buffer; a body at least this large is read straight into place.
    static constexpr int READ_BUFFER_SIZE = 64 * 1024;
    // How long receive() waits while held before it returns null.
    static constexpr int HOLD_WAIT_MS = 20;
    // Largest body kept; the body of a longer packet is read and thrown away.
    static constexpr uint32_t MAX_BODY_LENGTH = ZELKPacket::MAX_PACKET_LENGTH - ZELKPacket::HEADER_SIZE;

    PacketReceiver();
    virtual ~PacketReceiver();
    PacketReceiver(const PacketReceiver&) = delete;
    PacketReceiver& operator=(const PacketReceiver&) = delete;

    // The next packet, or null (held, no stream, refused, unknown or
    // malformed type, or too long; the bytes are consumed in the last four
    // cases). A write too long to keep comes without its data, so that it is
    // refused. Throws a C string on end of stream and framing errors.
    std::unique_ptr<ZELKPacket> receive(ByteStream* socket);
    // An empty packet object for the type (under the last header's magic), or null.
    std::unique_ptr<ZELKPacket> createPacket(int type);
    void stop();

    void setExpectingLogin(bool expecting) { m_expectingLogin = expecting; }
    bool isExpectingLogin() const { return m_expectingLogin; }
    void setHold(bool hold);
    bool isHeld() const { return m_hold; }
    bool isRunning() const { return m_running; }
    bool lastWasTuvo() const { return m_tuvo; }
    int getBodyCapacity() const { return m_bodyCapacity; }
    // Tests: a lower limit than MAX_BODY_LENGTH.
    void setBodyLimit(uint32_t limit) { m_bodyLimit = limit; }
    // Bytes read from the stream but not yet taken (tests).
    size_t bufferedBytes() const { return m_readEnd - m_readStart; }

private:
    void waitWhileHeld();
    // count bytes of the packet, from the buffer first; false when the stream failed.
    bool take(ByteStream* socket, uint8_t* out, int count);
    // Reads count bytes of the packet and drops them; false when the stream failed.
    bool skip(ByteStream* socket, uint64_t count);
    // The rest of a packet whose body is over the limit.
    std::unique_ptr<ZELKPacket> skipLongPacket(ByteStream* socket, int type, uint32_t length);

    uint8_t m_header[ZELKPacket::HEADER_SIZE] = {};
    std::vector<uint8_t> m_body;
    std::vector<uint8_t> m_readBuffer;
    size_t m_readStart = 0;
    size_t m_readEnd = 0;
    uint64_t m_readStream = 0;  // streamId() of the buffered bytes
    int m_bodyCapacity = INITIAL_BODY_CAPACITY;
    uint32_t m_bodyLimit = MAX_BODY_LENGTH;
    int m_headerSize = ZELKPacket::HEADER_SIZE;
    std::atomic<bool> m_tuvo{false};
    std::atomic<bool> m_expectingLogin{false};
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_hold{false};
    ASemaphore m_semaphore{true};
    std::mutex m_holdMutex;
    std::condition_variable m_holdChanged;
};
