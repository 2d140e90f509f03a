#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "PacketTestUtil.h"
#include "protocol/DeviceConfigurationOption.h"
#include "protocol/DeviceStatus.h"
#include "protocol/Disconnect.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginResponse.h"
#include "protocol/OTPResponse.h"
#include "protocol/PacketReceiver.h"
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

template <typename T>
const T& As(const std::unique_ptr<ZELKPacket>& p) {
    const T* t = dynamic_cast<const T*>(p.get());
    if (t == nullptr) throw std::runtime_error("wrong class: " + (p ? p->getName() : std::string("null")));
    return *t;
}

// One 268-byte image record.
std::vector<uint8_t> ImageRecord(uint16_t index, uint16_t vdisk, uint32_t blocks, uint32_t flags, uint8_t type,
                                 uint8_t format, uint8_t store, const std::string& name, bool terminate = true) {
    std::vector<uint8_t> r = {uint8_t(index >> 8), uint8_t(index), uint8_t(vdisk >> 8), uint8_t(vdisk),
                              uint8_t(blocks >> 24), uint8_t(blocks >> 16), uint8_t(blocks >> 8), uint8_t(blocks),
                              uint8_t(flags >> 24), uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags),
                              type, format, store};
    r.resize(268, terminate ? 0 : 'x');
    for (size_t i = 0; i < name.size() && 15 + i < r.size(); ++i) r[15 + i] = uint8_t(name[i]);
    return r;
}

// Parses bytes with the receiver's class for the type; the body is handed
// over in an allocation of exactly its size so that any over-read shows.
std::unique_ptr<ZELKPacket> ParseExact(const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> h(packet.begin(), packet.begin() + 12);
    int type = h[8] << 8 | h[9];
    // A header-only packet of an unknown type under the same magic sets the
    // receiver's magic flag, as reading this packet's header would.
    std::string magic(h.begin(), h.begin() + 4);
    MemoryStream probe(Packet(magic.c_str(), 0x0999, 0, {}));
    PacketReceiver receiver;
    EXPECT_EQ(receiver.receive(&probe), nullptr);
    std::unique_ptr<ZELKPacket> p = receiver.createPacket(type);
    if (!p) return nullptr;
    size_t n = packet.size() - 12;
    std::unique_ptr<uint8_t[]> body(new uint8_t[n]);
    std::copy(packet.begin() + 12, packet.end(), body.get());
    if (!p->parse(h.data(), body.get(), int(packet.size()))) return nullptr;
    return p;
}

struct GoodCase {
    const char* what;
    std::vector<uint8_t> bytes;
    std::function<void(const std::unique_ptr<ZELKPacket>&)> check;
};

std::vector<GoodCase> GoodCases() {
    return {
        {"tuvo heartbeat", Hex("54 55 56 4F 00 00 00 0C 04 00 00 00"),
         [](auto& p) { EXPECT_TRUE(As<Heartbeat>(p).isTuvo()); }},
        {"tuvo heartbeat 0x8400", Hex("54 55 56 4F 00 00 00 0C 84 00 00 00"),
         [](auto& p) {
             EXPECT_TRUE(As<Heartbeat>(p).isTuvo());
             EXPECT_EQ(p->getName(), "Heartbeat");
         }},
        {"session id response length 16: default timeout", Hex("54 55 56 4F 00 00 00 10 81 02 00 00 00 00 01 02"),
         [](auto& p) {
             EXPECT_EQ(As<SessionIdResponse>(p).getSessionId(), 0x102u);
             EXPECT_EQ(As<SessionIdResponse>(p).getTimeout(), 60);
         }},
        {"session id response length 18", Hex("54 55 56 4F 00 00 00 12 81 02 00 00 DE AD BE EF 00 5A"),
         [](auto& p) {
             EXPECT_EQ(As<SessionIdResponse>(p).getSessionId(), 0xDEADBEEFu);
             EXPECT_EQ(As<SessionIdResponse>(p).getTimeout(), 90);
         }},
        {"otp response, user only", Cat(Hex("54 55 56 4F 00 00 00 11 81 03 05 00"), Bytes("abcde")),
         [](auto& p) {
             EXPECT_STREQ(As<OTPResponse>(p).getUser(), "abcde");
             EXPECT_EQ(As<OTPResponse>(p).getPassword(), nullptr);
         }},
        {"otp response, both", Cat(Hex("54 55 56 4F 00 00 00 11 81 03 03 02"), Bytes("abcde")),
         [](auto& p) {
             EXPECT_STREQ(As<OTPResponse>(p).getUser(), "abc");
             EXPECT_STREQ(As<OTPResponse>(p).getPassword(), "de");
         }},
        {"login response success", Hex("5A 45 4C 4B 00 00 00 0F 81 00 00 00 00 00 00"),
         [](auto& p) {
             EXPECT_EQ(As<LoginResponse>(p).getStatus(), 0);
             EXPECT_EQ(As<LoginResponse>(p).getUserName(), nullptr);
         }},
        {"login response with holder's name", Cat(Hex("5A 45 4C 4B 00 00 00 12 81 00 00 00 06 01 03"), Bytes("bob")),
         [](auto& p) {
             EXPECT_EQ(As<LoginResponse>(p).getStatus(), 6);
             EXPECT_EQ(As<LoginResponse>(p).getSecondByte(), 1);
             EXPECT_STREQ(As<LoginResponse>(p).getUserName(), "bob");
         }},
        {"disconnect, preempt allowed", Hex("5A 45 4C 4B 00 00 00 10 81 10 00 00 01 80 05 00"),
         [](auto& p) {
             const auto& d = As<Disconnect>(p);
             EXPECT_EQ(d.getReason(), 1);
             EXPECT_TRUE(d.canPreempt());
             EXPECT_EQ(d.getTimeout(), 5);
             EXPECT_EQ(d.getMessage(), nullptr);
         }},
        {"disconnect with message", Cat(Hex("5A 45 4C 4B 00 00 00 13 81 10 00 00 04 00 00 03"), Bytes("ann")),
         [](auto& p) {
             EXPECT_EQ(As<Disconnect>(p).getReason(), 4);
             EXPECT_FALSE(As<Disconnect>(p).canPreempt());
             EXPECT_STREQ(As<Disconnect>(p).getMessage(), "ann");
         }},
        {"vdisk info, three drives",
         Hex("5A 45 4C 4B 00 00 00 1A 82 00 00 00 00 03 02 00 00 00 04 00 00 00 01 01 12 34"),
         [](auto& p) {
             const auto& v = As<VDiskInfo>(p);
             ASSERT_EQ(v.getCount(), 3);
             EXPECT_EQ(v.getEntry(0).type, 2);
             EXPECT_EQ(v.getEntry(1).type, 4);
             EXPECT_EQ(v.getEntry(2).type, 1);
             EXPECT_EQ(v.getEntry(2).status, 1);
             EXPECT_EQ(v.getEntry(2).value, 0x1234);
         }},
        {"vdisk info under TUVO magic", Hex("54 55 56 4F 00 00 00 12 82 00 00 00 00 01 02 00 00 00"),
         [](auto& p) { EXPECT_EQ(As<VDiskInfo>(p).getCount(), 1); }},
        {"server release", Hex("5A 45 4C 4B 00 00 00 0C 82 40 00 05"),
         [](auto& p) {
             EXPECT_EQ(As<VDiskRelease>(p).getDeviceIndex(), 5);
             EXPECT_EQ(p->getType(), 0x8240);
         }},
        {"set device count", Hex("5A 45 4C 4B 00 00 00 10 82 41 00 00 01 02 03 04"),
         [](auto& p) { EXPECT_EQ(p->getName(), "SetDeviceCountResponse"); }},
        {"read request", Hex("5A 45 4C 4B 00 00 00 18 83 00 00 01 00 00 00 10 00 00 00 02 00 00 00 40"),
         [](auto& p) {
             const auto& r = As<ReadRequest>(p);
             EXPECT_EQ(r.getDeviceIndex(), 1);
             EXPECT_EQ(r.getStartBlock(), 16u);
             EXPECT_EQ(r.getBlockCount(), 2u);
             EXPECT_EQ(r.getMaxBlocks(), 64u);
         }},
        {"vdisk write", Hex("5A 45 4C 4B 00 00 00 18 83 10 00 02 00 00 00 0A 00 00 00 01 DE AD BE EF"),
         [](auto& p) {
             const auto& w = As<VDiskWrite>(p);
             EXPECT_EQ(w.getDeviceIndex(), 2);
             EXPECT_EQ(w.getStartBlock(), 10u);
             EXPECT_EQ(w.getBlockCount(), 1u);
             ASSERT_EQ(w.getDataLength(), 4);
             EXPECT_EQ(w.getData()[3], 0xEF);
         }},
        {"vdisk write of length 20 has no data", Hex("5A 45 4C 4B 00 00 00 14 83 10 00 00 00 00 00 00 00 00 00 01"),
         [](auto& p) {
             EXPECT_EQ(As<VDiskWrite>(p).getDataLength(), 0);
             EXPECT_EQ(As<VDiskWrite>(p).getData(), nullptr);
         }},
        {"alternate toc request", Hex("5A 45 4C 4B 00 00 00 0F 83 20 00 03 01 02 05"),
         [](auto& p) {
             const auto& t = As<VDiskGetAlternateTocData>(p);
             EXPECT_EQ(t.getDeviceIndex(), 3);
             EXPECT_EQ(t.getMsf(), 1);
             EXPECT_EQ(t.getFormat(), 2);
             EXPECT_EQ(t.getTrack(), 5);
         }},
        {"device status", Hex("5A 45 4C 4B 00 00 00 10 84 10 00 01 00 00 00 05"),
         [](auto& p) {
             EXPECT_EQ(As<DeviceStatus>(p).getDeviceIndex(), 1);
             EXPECT_EQ(As<DeviceStatus>(p).getStatus(), 5u);
         }},
        {"configuration option, 1-byte value", Hex("5A 45 4C 4B 00 00 00 15 84 30 00 00 00 00 00 01 00 00 00 01 01"),
         [](auto& p) {
             EXPECT_EQ(As<DeviceConfigurationOption>(p).getOptionId(), 1u);
             EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 1u);
         }},
        {"configuration option, 2-byte value",
         Hex("5A 45 4C 4B 00 00 00 16 84 30 00 00 00 00 00 02 00 00 00 02 12 34"),
         [](auto& p) { EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 0x1234u); }},
        {"configuration option, 4-byte value",
         Hex("5A 45 4C 4B 00 00 00 18 84 30 00 00 00 00 00 02 00 00 00 04 12 34 56 78"),
         [](auto& p) { EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 0x12345678u); }},
        {"configuration option, size 3 keeps 0",
         Hex("5A 45 4C 4B 00 00 00 17 84 30 00 00 00 00 00 01 00 00 00 03 01 02 03"),
         [](auto& p) { EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 0u); }},
        {"server image list, one record",
         Packet("ZELK", 0x8500, 1, ImageRecord(7, 2, 2880, 0x201, 1, 0, 3, "boot.img")),
         [](auto& p) {
             const auto& s = As<ServerImageInfoResponse>(p);
             ASSERT_EQ(s.getNumberOfImages(), 1);
             VMServerImage* i = s.getImageAt(0);
             EXPECT_EQ(i->getIndex(), 7);
             EXPECT_EQ(i->getVDisk(), 2);
             EXPECT_EQ(i->getSizeInBlocks(), 2880);
             EXPECT_EQ(i->getFlags(), 0x201);
             EXPECT_EQ(i->getType(), 1);
             EXPECT_EQ(i->getStore(), 3);
             EXPECT_STREQ(i->getName(), "boot.img");
             EXPECT_EQ(s.getImages().size(), 1u);
         }},
        {"server image list, count 0", Packet("ZELK", 0x8500, 0, ImageRecord(1, 0, 1, 0, 0, 0, 0, "x")),
         [](auto& p) { EXPECT_EQ(As<ServerImageInfoResponse>(p).getNumberOfImages(), 0); }},
        {"server image space", Hex("5A 45 4C 4B 00 00 00 14 85 30 00 02 01 00 00 00 00 00 10 00"),
         [](auto& p) {
             const auto& s = As<ServerImageSpaceResponse>(p);
             EXPECT_EQ(s.getStoreId(), 2);
             EXPECT_EQ(s.getTotalSpace(), 16777216u);
             EXPECT_EQ(s.getFreeSpace(), 4096u);
         }},
        {"server image create", Hex("5A 45 4C 4B 00 00 00 0D 85 40 00 04 02"),
         [](auto& p) {
             EXPECT_EQ(As<ServerImageCreateResponse>(p).getImageIndex(), 4);
             EXPECT_EQ(As<ServerImageCreateResponse>(p).getStatus(), 2);
         }},
        {"server image data", Hex("5A 45 4C 4B 00 00 00 0D 85 70 00 09 00"),
         [](auto& p) { EXPECT_EQ(As<ServerImageDataResponse>(p).getImageIndex(), 9); }},
    };
}

TEST(ReceivedPacketTest, EveryReceivedPacketParses) {
    for (const GoodCase& c : GoodCases()) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ZELKPacket> p = ParseExact(c.bytes);
        ASSERT_NE(p, nullptr);
        c.check(p);
    }
}

// Bodies that cannot hold their packet: dropped, or the declared part that
// is missing ignored, and nothing read past the body.
struct MalformedCase {
    const char* what;
    std::vector<uint8_t> bytes;
    std::function<void(const std::unique_ptr<ZELKPacket>&)> check;  // null: must be dropped
};

std::vector<MalformedCase> MalformedCases() {
    auto dropped = nullptr;
    return {
        {"session id response, 3 bytes", Packet("TUVO", 0x8102, 0, Hex("00 00 01")), dropped},
        {"session id response, length 17", Packet("TUVO", 0x8102, 0, Hex("00 00 00 07 01")),
         [](auto& p) {
             EXPECT_EQ(As<SessionIdResponse>(p).getSessionId(), 7u);
             EXPECT_EQ(As<SessionIdResponse>(p).getTimeout(), 60);
         }},
        {"otp lengths past the body", Packet("TUVO", 0x8103, 0x0503, Bytes("abcdefg")), dropped},
        {"otp 255/255 with no body", Packet("TUVO", 0x8103, 0xFFFF, {}), dropped},
        {"otp 0/0", Packet("TUVO", 0x8103, 0, {}),
         [](auto& p) {
             EXPECT_EQ(As<OTPResponse>(p).getUser(), nullptr);
             EXPECT_EQ(As<OTPResponse>(p).getPassword(), nullptr);
         }},
        {"login response, empty body", Packet("ZELK", 0x8100, 0, {}), dropped},
        {"login response, status only", Packet("ZELK", 0x8100, 0, Hex("02")),
         [](auto& p) {
             EXPECT_EQ(As<LoginResponse>(p).getStatus(), 2);
             EXPECT_EQ(As<LoginResponse>(p).getUserName(), nullptr);
         }},
        {"login response, name length 255 with 3 bytes", Packet("ZELK", 0x8100, 0, Hex("06 00 FF")),
         [](auto& p) {
             EXPECT_EQ(As<LoginResponse>(p).getStatus(), 6);
             EXPECT_EQ(As<LoginResponse>(p).getUserName(), nullptr);
         }},
        {"disconnect, empty body", Packet("ZELK", 0x8110, 0, {}), dropped},
        {"disconnect, message length 255", Packet("ZELK", 0x8110, 0, Hex("02 80 05 FF 41 42")),
         [](auto& p) {
             EXPECT_EQ(As<Disconnect>(p).getReason(), 2);
             EXPECT_EQ(As<Disconnect>(p).getMessage(), nullptr);
         }},
        {"disconnect, reason only", Packet("ZELK", 0x8110, 0, Hex("03")),
         [](auto& p) {
             EXPECT_EQ(As<Disconnect>(p).getReason(), 3);
             EXPECT_EQ(As<Disconnect>(p).getTimeout(), 0);
         }},
        {"vdisk info, no count", Packet("ZELK", 0x8200, 0, Hex("00")), dropped},
        {"vdisk info, count 65535 with no entries", Packet("ZELK", 0x8200, 0, Hex("FF FF")),
         [](auto& p) {
             EXPECT_EQ(As<VDiskInfo>(p).getCount(), 0);
             EXPECT_EQ(As<VDiskInfo>(p).getDeclaredCount(), 65535);
         }},
        {"vdisk info, partial last entry", Packet("ZELK", 0x8200, 0, Hex("00 02 02 00 00 00 04 00")),
         [](auto& p) { EXPECT_EQ(As<VDiskInfo>(p).getCount(), 1); }},
        {"read request, 11 bytes", Packet("ZELK", 0x8300, 0, std::vector<uint8_t>(11, 1)), dropped},
        {"vdisk write, 7 bytes", Packet("ZELK", 0x8310, 0, std::vector<uint8_t>(7, 1)), dropped},
        {"vdisk write, no data", Packet("ZELK", 0x8310, 0, std::vector<uint8_t>(8, 1)),
         [](auto& p) { EXPECT_EQ(As<VDiskWrite>(p).getDataLength(), 0); }},
        {"alternate toc request, 2 bytes", Packet("ZELK", 0x8320, 0, Hex("01 02")), dropped},
        {"device status, 3 bytes", Packet("ZELK", 0x8410, 0, Hex("00 00 01")), dropped},
        {"configuration option, 7 bytes", Packet("ZELK", 0x8430, 0, std::vector<uint8_t>(7, 0)), dropped},
        {"configuration option, value short of its size",
         Packet("ZELK", 0x8430, 0, Hex("00 00 00 01 00 00 00 04 01 02")),
         [](auto& p) { EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 0u); }},
        {"configuration option, size 0xFFFFFFFF", Packet("ZELK", 0x8430, 0, Hex("00 00 00 01 FF FF FF FF 01")),
         [](auto& p) { EXPECT_EQ(As<DeviceConfigurationOption>(p).getValue(), 0u); }},
        {"server images, count 0x7FFF with no records", Packet("ZELK", 0x8500, 0x7FFF, {}),
         [](auto& p) { EXPECT_EQ(As<ServerImageInfoResponse>(p).getNumberOfImages(), 0); }},
        {"server images, negative count", Packet("ZELK", 0x8500, 0xFFFF, ImageRecord(1, 0, 1, 0, 0, 0, 0, "a")),
         [](auto& p) { EXPECT_EQ(As<ServerImageInfoResponse>(p).getNumberOfImages(), 0); }},
        {"server images, count 2 with a record and a half",
         Packet("ZELK", 0x8500, 2,
                Cat(ImageRecord(1, 0, 1, 0, 0, 0, 0, "a"), std::vector<uint8_t>(100, 0))),
         [](auto& p) { EXPECT_EQ(As<ServerImageInfoResponse>(p).getNumberOfImages(), 1); }},
        {"server images, name without NUL", Packet("ZELK", 0x8500, 1, ImageRecord(1, 0, 1, 0, 0, 0, 0, "n", false)),
         [](auto& p) {
             EXPECT_EQ(std::string(As<ServerImageInfoResponse>(p).getImageAt(0)->getName()).size(), 253u);
         }},
        {"server image space, 7 bytes", Packet("ZELK", 0x8530, 0, std::vector<uint8_t>(7, 0)), dropped},
        {"server image create, empty", Packet("ZELK", 0x8540, 0, {}), dropped},
        {"server image data, empty", Packet("ZELK", 0x8570, 0, {}), dropped},
    };
}

TEST(ReceivedPacketTest, MalformedBodiesAreDroppedWithoutOverRead) {
    for (const MalformedCase& c : MalformedCases()) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ZELKPacket> p = ParseExact(c.bytes);
        if (!c.check) {
            EXPECT_EQ(p, nullptr);
        } else {
            ASSERT_NE(p, nullptr);
            c.check(p);
        }
    }
}

TEST(ReceivedPacketTest, ReparseDropsEarlierContents) {
    OTPResponse otp;
    auto first = Packet("TUVO", 0x8103, 0x0302, Bytes("abcde"));
    ASSERT_TRUE(otp.parse(first.data(), first.data() + 12, int(first.size())));
    auto second = Packet("TUVO", 0x8103, 0x0500, Bytes("vwxyz"));
    ASSERT_TRUE(otp.parse(second.data(), second.data() + 12, int(second.size())));
    EXPECT_STREQ(otp.getUser(), "vwxyz");
    EXPECT_EQ(otp.getPassword(), nullptr);
    auto bad = Packet("TUVO", 0x8103, 0x0909, Bytes("ab"));
    EXPECT_FALSE(otp.parse(bad.data(), bad.data() + 12, int(bad.size())));
    EXPECT_EQ(otp.getUser(), nullptr);

    ServerImageInfoResponse images;
    auto two = Packet("ZELK", 0x8500, 2, Cat(ImageRecord(1, 0, 1, 0, 0, 0, 0, "a"), ImageRecord(2, 0, 1, 0, 0, 0, 0, "b")));
    ASSERT_TRUE(images.parse(two.data(), two.data() + 12, int(two.size())));
    EXPECT_EQ(images.getNumberOfImages(), 2);
    auto one = Packet("ZELK", 0x8500, 1, ImageRecord(3, 0, 1, 0, 0, 0, 0, "c"));
    ASSERT_TRUE(images.parse(one.data(), one.data() + 12, int(one.size())));
    ASSERT_EQ(images.getNumberOfImages(), 1);
    EXPECT_STREQ(images.getImageAt(0)->getName(), "c");
}

}  // namespace

namespace {

// Every received type, both magics, every body length up to a bit past one
// image record, a few header parameters, pseudo-random contents: parsing may
// drop the packet but never reads outside the body (AddressSanitizer watches).
TEST(ReceivedPacketTest, NoBodyMakesAParserReadOutsideIt) {
    const int types[] = {0x0400, 0x8400, 0x8102, 0x8103, 0x8100, 0x8110, 0x8200, 0x8240, 0x8241,
                         0x8300, 0x8310, 0x8320, 0x8410, 0x8430, 0x8500, 0x8530, 0x8540, 0x8570};
    const uint16_t params[] = {0, 1, 0x0505, 0x7FFF, 0xFFFF};
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return uint8_t(seed >> 16);
    };
    int parsed = 0;
    for (const char* magic : {"ZELK", "TUVO"}) {
        for (int type : types) {
            for (uint16_t param : params) {
                for (size_t n = 0; n <= 280; ++n) {
                    std::vector<uint8_t> body(n);
                    for (auto& b : body) b = next();
                    if (ParseExact(Packet(magic, uint16_t(type), param, body))) ++parsed;
                }
            }
        }
    }
    EXPECT_GT(parsed, 0);
}

TEST(ReceivedPacketTest, RandomStreamsEndInAThrowOrNullNeverAnOverRead) {
    uint32_t seed = 777;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return uint8_t(seed >> 16);
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes;
        while (bytes.size() < 600) {
            // Mostly well-framed headers with random types, lengths and bodies.
            uint16_t type = uint16_t(0x8000 | (next() << 4) | (next() & 0xF));
            if (next() & 1) type = uint16_t(0x8100 + (next() % 0x480));
            size_t n = next() % 64;
            std::vector<uint8_t> body(n);
            for (auto& b : body) b = next();
            auto p = Packet(next() & 1 ? "ZELK" : "TUVO", type, uint16_t(next() << 8 | next()), body);
            if (next() % 16 == 0) p[7] = next();  // now and then a length that lies
            bytes.insert(bytes.end(), p.begin(), p.end());
        }
        PacketReceiver receiver;
        receiver.setExpectingLogin(next() & 1);
        MemoryStream stream(bytes);
        try {
            for (int i = 0; i < 100 && stream.remaining() > 0; ++i) receiver.receive(&stream);
        } catch (const char*) {
        }
    }
}

}  // namespace
