#include "protocol/PacketReceiver.h"

#include <algorithm>
#include <cstring>

#include "base/DebugLog.h"
#include "platform/Clock.h"
#include "protocol/Disconnect.h"
#include "protocol/DeviceConfigurationOption.h"
#include "protocol/DeviceStatus.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginResponse.h"
#include "protocol/OTPResponse.h"
#include "protocol/PacketBytes.h"
#include "protocol/ReadRequest.h"
#include "protocol/ServerImageCreateResponse.h"
#include "protocol/ServerImageDataResponse.h"
#include "protocol/ServerImageInfoResponse.h"
#include "protocol/ServerImageSpaceResponse.h"
#include "protocol/SessionIdResponse.h"
#include "protocol/SetDeviceCountResponse.h"
#include "protocol/VDiskGetAlternateTocData.h"
#include "protocol/VDiskInfo.h"
#include "protocol/VDiskRelease.h"
#include "protocol/VDiskWrite.h"

namespace {
const char* const kReceive = "PacketReceiver::receive:";
}

PacketReceiver::PacketReceiver() : m_body(size_t(INITIAL_BODY_CAPACITY), 0) {}

PacketReceiver::~PacketReceiver() { m_semaphore.close(); }

void PacketReceiver::setHold(bool hold) {
    {
        std::lock_guard<std::mutex> lock(m_holdMutex);
        m_hold = hold;
    }
    m_holdChanged.notify_all();
}

void PacketReceiver::waitWhileHeld() {
    // A short pause so a caller that loops on null does not spin.
    std::unique_lock<std::mutex> lock(m_holdMutex);
    m_holdChanged.wait_for(lock, tw::Clock::toReal(HOLD_WAIT_MS), [this] { return !m_hold.load(); });
}

bool PacketReceiver::take(ByteStream* socket, uint8_t* out, int count) {
    size_t got = std::min(size_t(count), m_readEnd - m_readStart);
    if (got > 0) std::memcpy(out, m_readBuffer.data() + m_readStart, got);
    m_readStart += got;
    while (got < size_t(count)) {
        const int need = count - int(got);
        if (need >= READ_BUFFER_SIZE) return socket->readFully(reinterpret_cast<char*>(out + got), need) == need;
        if (m_readBuffer.empty()) m_readBuffer.resize(size_t(READ_BUFFER_SIZE));
        m_readStart = m_readEnd = 0;
        const int r = socket->readSome(reinterpret_cast<char*>(m_readBuffer.data()), need, READ_BUFFER_SIZE);
        if (r < need) return false;
        std::memcpy(out + got, m_readBuffer.data(), size_t(need));
        m_readStart = size_t(need);
        m_readEnd = size_t(r);
        got += size_t(need);
    }
    return true;
}

bool PacketReceiver::skip(ByteStream* socket, uint64_t count) {
    const uint64_t buffered = std::min<uint64_t>(count, m_readEnd - m_readStart);
    m_readStart += size_t(buffered);
    count -= buffered;
    if (count == 0) return true;
    if (m_readBuffer.empty()) m_readBuffer.resize(size_t(READ_BUFFER_SIZE));
    m_readStart = m_readEnd = 0;
    char* buffer = reinterpret_cast<char*>(m_readBuffer.data());
    while (count > 0) {
        const int need = int(std::min<uint64_t>(count, uint64_t(READ_BUFFER_SIZE)));
        const int r = socket->readSome(buffer, need, READ_BUFFER_SIZE);
        if (r < need) return false;
        count -= uint64_t(need);
        // Only the last read can reach past the packet: that is the next one's.
        m_readStart = size_t(need);
        m_readEnd = size_t(r);
    }
    return true;
}

std::unique_ptr<ZELKPacket> PacketReceiver::skipLongPacket(ByteStream* socket, int type, uint32_t length) {
    // The length is believed: the body is read and thrown away, a buffer at
    // a time, so the next header is read in step. Only a write carries this
    // much; it is handed on with its start and count but no data, which the
    // request processor refuses like any write short of its blocks.
    const uint32_t bodyLength = length - uint32_t(m_headerSize);
    LogMessage("%s packet (0x%x) of %u bytes is over the limit of %u: its body is skipped\n", kReceive,
               unsigned(type), length, m_bodyLimit + uint32_t(m_headerSize));
    uint8_t prefix[8] = {};
    const int kept = type == 0x8310 ? int(std::min<uint32_t>(sizeof prefix, bodyLength)) : 0;
    if (!take(socket, prefix, kept) || !skip(socket, uint64_t(bodyLength) - uint64_t(kept))) {
        m_semaphore.release();
        LogMessage("%s Socket Closed by peer reading payload.\n", kReceive);
        throw "Socket Closed by peer reading payload.";
    }
    std::unique_ptr<ZELKPacket> packet;
    if (kept > 0) {
        packet = createPacket(type);
        if (packet && !packet->parse(m_header, prefix, m_headerSize + kept)) packet.reset();
    }
    m_semaphore.release();
    return packet;
}

std::unique_ptr<ZELKPacket> PacketReceiver::receive(ByteStream* socket) {
    if (socket == nullptr) {
        LogMessage("%s called with NULL socket\n", kReceive);
        tw::Clock::sleepMs(HOLD_WAIT_MS);
        return nullptr;
    }
    if (m_hold) {
        waitWhileHeld();
        return nullptr;
    }
    if (socket->streamId() != m_readStream) {
        // Another connection: what was read ahead of the last one is not its.
        m_readStream = socket->streamId();
        m_readStart = m_readEnd = 0;
    }
    if (!take(socket, m_header, m_headerSize)) {
        m_semaphore.release();
        LogMessage("%s Socket Closed by peer reading header.\n", kReceive);
        throw "Socket Closed by peer reading header.";
    }
    m_tuvo = ZELKPacket::isTuvoMagic(m_header);
    if (!m_tuvo && !ZELKPacket::isZelkMagic(m_header)) {
        m_semaphore.release();
        LogMessage("%s Bad magic string while reading ZELK packet.\n", kReceive);
        throw "Bad magic string while reading ZELK packet.";
    }
    int type = ReadUInt16BE(8, m_header);
    uint32_t length = ReadUInt32BE(4, m_header);
    LogMessage("%s ZELK Packet (0x%x) length=%u\n", kReceive, unsigned(type), length);
    if (length < uint32_t(m_headerSize)) {
        m_semaphore.release();
        LogMessage("%s packet length %u below the header size\n", kReceive, length);
        throw "Error, packet length below header size";
    }
    if (length - uint32_t(m_headerSize) > m_bodyLimit) return skipLongPacket(socket, type, length);
    int bodyLength = int(length) - m_headerSize;
    if (bodyLength > m_bodyCapacity) {
        m_bodyCapacity = bodyLength;
        m_body.assign(size_t(bodyLength), 0);
    }
    if (bodyLength > 0 && !take(socket, m_body.data(), bodyLength)) {
        m_semaphore.release();
        LogMessage("%s Socket Closed by peer reading payload.\n", kReceive);
        throw "Socket Closed by peer reading payload.";
    }
    std::unique_ptr<ZELKPacket> packet = createPacket(type);
    if (packet && !packet->parse(m_header, m_body.data(), int(length))) {
        LogMessage("%s dropping malformed %s (0x%x) length=%u\n", kReceive, packet->getName().c_str(),
                   unsigned(type), length);
        packet.reset();
    }
    m_semaphore.release();
    return packet;
}

std::unique_ptr<ZELKPacket> PacketReceiver::createPacket(int type) {
    if (m_expectingLogin && type != 0x8100 && type != 0x8200 && type != 0x0400 && type != 0x8400) {
        LogMessage("\n\n%s Expecting 0x%x, but got (0x%x)\n\n\n", "PacketReceiver::createPacket:", 0x8100u,
                   unsigned(type));
        return nullptr;
    }
    if (m_tuvo) {
        switch (type) {
            case 0x0400:
            case 0x8400:
                return std::make_unique<Heartbeat>(true);
            case 0x8102:
                return std::make_unique<SessionIdResponse>();
            case 0x8103:
                return std::make_unique<OTPResponse>();
            default:
                break;
        }
    }
    switch (type) {
        case 0x8100:
            m_expectingLogin = false;
            return std::make_unique<LoginResponse>();
        case 0x8110:
            return std::make_unique<Disconnect>();
        case 0x8200:
            return std::make_unique<VDiskInfo>();
        case 0x8240:
            return std::make_unique<VDiskRelease>();
        case 0x8241:
            return std::make_unique<SetDeviceCountResponse>();
        case 0x8300:
            return std::make_unique<ReadRequest>();
        case 0x8310:
            return std::make_unique<VDiskWrite>();
        case 0x8320:
            return std::make_unique<VDiskGetAlternateTocData>();
        case 0x8410:
            return std::make_unique<DeviceStatus>();
        case 0x8430:
            return std::make_unique<DeviceConfigurationOption>();
        case 0x8500:
            return std::make_unique<ServerImageInfoResponse>();
        case 0x8530:
            return std::make_unique<ServerImageSpaceResponse>();
        case 0x8540:
            return std::make_unique<ServerImageCreateResponse>();
        case 0x8570:
            return std::make_unique<ServerImageDataResponse>();
        default:
            LogMessage("%s Unknown message type: (0x%x)\n", "PacketReceiver::createPacket:", unsigned(type));
            return nullptr;
    }
}

void PacketReceiver::stop() {
    m_running = false;
    LogMessage("%s called\n", "PacketReceiver::stop:");
    m_semaphore.release();
    m_semaphore.timedWaitMs(1000);
}
