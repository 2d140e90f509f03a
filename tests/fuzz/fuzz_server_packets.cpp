// Each server-to-client packet class on (header, body). Input: one byte
// choosing the class, the 12-byte header, then the body, copied into a
// buffer of exactly its size so that any read past it is caught. The same
// object parses a second, shorter body next: nothing of the first may remain.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "PacketChecks.h"
#include "protocol/DeviceStatus.h"
#include "protocol/Heartbeat.h"
#include "protocol/ReadRequest.h"
#include "protocol/ServerImageCreateResponse.h"
#include "protocol/ServerImageDataResponse.h"
#include "protocol/ServerImageSpaceResponse.h"
#include "protocol/SetDeviceCountResponse.h"
#include "protocol/VDiskGetAlternateTocData.h"
#include "protocol/VDiskRelease.h"

namespace {

using Factory = std::function<std::unique_ptr<ZELKPacket>()>;

template <typename T>
Factory make() {
    return [] { return std::make_unique<T>(); };
}

const std::vector<Factory>& factories() {
    static const std::vector<Factory> all = {
        [] { return std::make_unique<Heartbeat>(true); },
        make<SessionIdResponse>(),
        make<OTPResponse>(),
        make<LoginResponse>(),
        make<Disconnect>(),
        make<VDiskInfo>(),
        make<VDiskRelease>(),
        make<SetDeviceCountResponse>(),
        make<ReadRequest>(),
        make<VDiskWrite>(),
        make<VDiskGetAlternateTocData>(),
        make<DeviceStatus>(),
        make<DeviceConfigurationOption>(),
        make<ServerImageInfoResponse>(),
        make<ServerImageSpaceResponse>(),
        make<ServerImageCreateResponse>(),
        make<ServerImageDataResponse>(),
    };
    return all;
}

void parseExact(ZELKPacket& packet, const uint8_t* header, const uint8_t* body, size_t n) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(exact.get(), body, n);
    if (packet.parse(header, exact.get(), int(ZELKPacket::HEADER_SIZE + n))) {
        twfuzz::checkReceivedPacket(packet, header, n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + ZELKPacket::HEADER_SIZE) return 0;
    const auto& all = factories();
    std::unique_ptr<ZELKPacket> packet = all[data[0] % all.size()]();
    uint8_t header[ZELKPacket::HEADER_SIZE];
    std::memcpy(header, data + 1, sizeof header);
    const uint8_t* body = data + 1 + sizeof header;
    const size_t n = size - 1 - sizeof header;
    parseExact(*packet, header, body, n);
    (void)packet->getName();
    // A reused object: the second parse sees only half the body.
    parseExact(*packet, header, body, n / 2);
    return 0;
}
