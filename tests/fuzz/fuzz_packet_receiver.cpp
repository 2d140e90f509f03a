// The packet receiver over a stream of packets, in both login-filter states.
// Input: one flag byte (bit 0: a login is pending at the start; bit 1: a new
// login is pending again after every packet; bit 2: bodies over 64 bytes are
// too long to keep, else over the receiver's own limit), then the stream.
// Packets are received until the stream ends or the framing fails. A body
// too long to keep is consumed without growing the body buffer, and only a
// write, without its data, comes of it.
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "MemoryStream.h"
#include "PacketChecks.h"
#include "protocol/Heartbeat.h"
#include "protocol/PacketReceiver.h"
#include "protocol/VDiskWrite.h"

namespace {

bool passesLoginFilter(int type) {
    return type == 0x8100 || type == 0x8200 || type == 0x0400 || type == 0x8400;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool loginAtStart = data[0] & 1;
    const bool loginAlways = data[0] & 2;
    twfuzz::MemoryStream stream(data + 1, size - 1);
    // One receiver for all inputs: its body buffer, once grown, stays grown
    // (as in a session), which spares a 16 MiB allocation per input.
    static PacketReceiver& receiver = *new PacketReceiver();
    receiver.setExpectingLogin(loginAtStart);
    const uint32_t limit = data[0] & 4 ? 64 : PacketReceiver::MAX_BODY_LENGTH;
    receiver.setBodyLimit(limit);
    for (int i = 0; i < 10000; ++i) {
        const size_t at = stream.position();
        uint8_t header[ZELKPacket::HEADER_SIZE] = {};
        if (size - 1 - at >= sizeof header) std::memcpy(header, data + 1 + at, sizeof header);
        const bool expecting = receiver.isExpectingLogin();
        const int wireType = (header[8] << 8) | header[9];
        const uint32_t wireLength =
            (uint32_t(header[4]) << 24) | (header[5] << 16) | (header[6] << 8) | header[7];
        const bool tooLong = wireLength >= ZELKPacket::HEADER_SIZE && wireLength - ZELKPacket::HEADER_SIZE > limit;
        const int capacityBefore = receiver.getBodyCapacity();
        std::unique_ptr<ZELKPacket> packet;
        try {
            packet = receiver.receive(&stream);
        } catch (const char* message) {
            twfuzz::check(message && *message, "an empty error");
            break;
        }
        twfuzz::check(stream.position() == at + wireLength, "a packet not consumed whole");
        twfuzz::check(receiver.getBodyCapacity() >= PacketReceiver::INITIAL_BODY_CAPACITY &&
                          uint32_t(receiver.getBodyCapacity()) <= ZELKPacket::MAX_PACKET_LENGTH,
                      "body capacity");
        if (packet) {
            twfuzz::check(!expecting || passesLoginFilter(wireType), "a packet passed the login filter");
            if (wireType == 0x8100) twfuzz::check(!receiver.isExpectingLogin(), "login still pending");
            if (auto* h = dynamic_cast<Heartbeat*>(packet.get())) {
                twfuzz::check(h->isTuvo() && receiver.lastWasTuvo(), "a heartbeat without the TUVO magic");
            }
            if (tooLong) {
                auto* w = dynamic_cast<VDiskWrite*>(packet.get());
                twfuzz::check(w != nullptr && w->getDataLength() == 0, "a packet kept from a body too long");
            } else {
                twfuzz::checkReceivedPacket(*packet, header, wireLength - ZELKPacket::HEADER_SIZE);
            }
        }
        if (tooLong) twfuzz::check(receiver.getBodyCapacity() == capacityBefore, "a body too long was kept");
        if (loginAlways) receiver.setExpectingLogin(true);
        if (stream.atEnd()) break;
    }
    return 0;
}
