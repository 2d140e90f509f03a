#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "PacketTestUtil.h"
#include "protocol/ClientStatusMessage.h"
#include "protocol/GetVDiskInfo.h"
#include "protocol/Heartbeat.h"
#include "protocol/LoginCertificateMessage.h"
#include "protocol/LoginMessage.h"
#include "protocol/OTPRequest.h"
#include "protocol/PreemptResponse.h"
#include "protocol/RandomLoginMessage.h"
#include "protocol/ReadResponse.h"
#include "protocol/ServerImageDelete.h"
#include "protocol/SessionClose.h"
#include "protocol/SessionIdRequest.h"
#include "protocol/SessionRequest.h"
#include "protocol/SessionRequestEx.h"
#include "protocol/VDiskAlternateTocData.h"
#include "protocol/VDiskRelease.h"
#include "protocol/VDiskRequest.h"
#include "protocol/VDiskRequest2.h"

namespace {

std::vector<uint8_t> Random32() {
    std::vector<uint8_t> r;
    for (int i = 0; i < 32; ++i) r.push_back(uint8_t(0xA0 + i));
    return r;
}

const std::string kToc = "00 12 01 01 00 14 01 00 00 00 00 00 00 14 AA 00 00 11 76 E0";

// Expected 0x0100 login: 153 bytes with the given body patches.
std::vector<uint8_t> FixedLogin(const std::string& user, const std::string& auth, const std::vector<uint8_t>& rip,
                                uint8_t port, uint8_t channel, uint8_t preempt) {
    std::vector<uint8_t> p = Hex("5A 45 4C 4B 00 00 00 99 01 00 00 00");
    p.resize(153, 0);
    p[12] = uint8_t(user.size());
    std::copy(user.begin(), user.end(), p.begin() + 13);
    std::copy(auth.begin(), auth.end(), p.begin() + 109);
    std::copy(rip.begin(), rip.end(), p.begin() + 141);
    p[149] = port;
    p[150] = channel;
    p[152] = preempt;
    return p;
}

struct SentCase {
    const char* what;
    std::function<std::unique_ptr<ZELKPacket>()> make;
    std::string name;
    std::vector<uint8_t> bytes;
};

std::vector<SentCase> SentCases() {
    const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const std::vector<uint8_t> rip = Hex("01 23 45 67 89 AB CD EF");
    return {
        {"session request, first connection",
         [] {
             auto p = std::make_unique<SessionRequest>();
             auto r = Random32();
             p->setCapabilities(0x060D);
             p->setRandom(r.data(), 32);
             return p;
         },
         "Session Request",
         Cat(Cat(Hex("54 55 56 4F 00 00 00 44 01 00 01 03 02 01 0E 00 00 00 06 0D 20"), Random32()),
             Hex("00 00 00 00 B4 00 00 00 00 00 00 00 00 00 00"))},
        {"session request extended, resumed session",
         [] {
             auto p = std::make_unique<SessionRequestEx>();
             auto r = Random32();
             p->setCapabilities(0x0604);
             p->setVersion(1, 13);
             p->setRandom(r.data(), 32);
             p->setSessionId(0x12345678);
             return p;
         },
         "Session Request Extended",
         Cat(Cat(Hex("54 55 56 4F 00 00 00 44 01 01 00 00 02 01 0D 00 00 00 06 04 20"), Random32()),
             Hex("00 00 00 00 00 00 14 12 34 56 78 00 00 00 00"))},
        {"session id request, method 1", [] { return std::make_unique<SessionIdRequest>(1); }, "Session Id Request",
         Hex("54 55 56 4F 00 00 00 0C 01 02 00 00")},
        {"session id request, other methods", [] { return std::make_unique<SessionIdRequest>(0); },
         "Session Id Request", Hex("54 55 56 4F 00 00 00 10 01 02 00 00 00 00 00 01")},
        {"otp request", [] { return std::make_unique<OTPRequest>(); }, "OTP Request",
         Cat(Hex("54 55 56 4F 00 00 00 30 01 03 00 00 00 00 00 00 02"), std::vector<uint8_t>(31, 0))},
        {"session close without id", [] { return std::make_unique<SessionClose>(0xFFFFFFFFu); }, "Session Close",
         Hex("54 55 56 4F 00 00 00 10 01 FF 00 00 FF FF FF FF")},
        {"login 0x0104",
         [] {
             auto p = std::make_unique<LoginMessage>(114);
             p->setCredentials("admin", "secret");
             return p;
         },
         "Login Request",
         Cat(Cat(Hex("5A 45 4C 4B 00 00 00 4B 01 04 00 00 00 05 00 40 00 06 00 45"), std::vector<uint8_t>(44, 0)),
             Bytes("adminsecret"))},
        {"login 0x0104 with appliance id, 40-byte password whole",
         [forty] {
             auto p = std::make_unique<LoginMessage>(200);
             p->setCredentials("u", forty.c_str());
             p->setRipId("01234567-89abcdef");
             p->setAppliance(0x1234, 7);
             p->setPreempt(true);
             return p;
         },
         "Login Request",
         Cat(Cat(Cat(Cat(Hex("5A 45 4C 4B 00 00 00 69 01 04 00 00 00 01 00 40 00 28 00 41"),
                         std::vector<uint8_t>(32, 0)),
                     Hex("01 23 45 67 89 AB CD EF 34 07 00 01")),
                 Bytes("u")),
             Bytes(forty))},
        {"login 0x0100, password cut to 32 bytes",
         [forty] {
             auto p = std::make_unique<LoginMessage>(113);
             p->setCredentials("admin", forty.c_str());
             return p;
         },
         "Login Request", FixedLogin("admin", forty.substr(0, 32), std::vector<uint8_t>(8, 0), 0, 0, 0)},
        {"login 0x0100 with appliance id and preempt",
         [] {
             auto p = std::make_unique<LoginMessage>(113);
             p->setCredentials("root", "pw");
             p->setRipId("-0123456789ABCDEF");
             p->setAppliance(0x105, 0x203);
             p->setPreempt(true);
             return p;
         },
         "Login Request", FixedLogin("root", "pw", rip, 0x05, 0x03, 1)},
        {"certificate login", [] { return std::make_unique<LoginCertificateMessage>(); }, "Certificate Login",
         Hex("5A 45 4C 4B 00 00 00 0C 01 01 00 00")},
        {"random login",
         [] { return std::make_unique<RandomLoginMessage>(0x11223344u, 0x55667788u, true); },
         "Random Number Login", Hex("5A 45 4C 4B 00 00 00 16 01 02 00 00 11 22 33 44 55 66 77 88 00 01")},
        {"preempt accepted", [] { return std::make_unique<PreemptResponse>(true); }, "PreemptResponse",
         Hex("5A 45 4C 4B 00 00 00 0D 01 20 00 00 34")},
        {"preempt refused", [] { return std::make_unique<PreemptResponse>(false); }, "PreemptResponse",
         Hex("5A 45 4C 4B 00 00 00 0D 01 20 00 00 00")},
        {"get vdisk info", [] { return std::make_unique<GetVDiskInfo>(); }, "Get VDisk Info",
         Hex("5A 45 4C 4B 00 00 00 0C 02 00 FF FF")},
        {"map cd with toc",
         [] {
             auto p = std::make_unique<VDiskRequest>(0);
             auto toc = Hex(kToc);
             p->setBlockSize(2048);
             p->setBlockCount(0x1000);
             p->setReadOnly(true);
             p->setData(int(toc.size()), toc.data());
             return p;
         },
         "Map Request", Cat(Hex("5A 45 4C 4B 00 00 00 2C 02 10 00 00 00 00 08 00 00 00 10 00 01 FF 00 14"), Hex(kToc))},
        {"map cd, negative data length keeps nothing",
         [] {
             auto p = std::make_unique<VDiskRequest>(2);
             uint8_t b = 1;
             p->setBlockSize(2048);
             p->setData(-5, &b);
             return p;
         },
         "Map Request", Hex("5A 45 4C 4B 00 00 00 18 02 10 00 02 00 00 08 00 00 00 00 00 01 FF 00 00")},
        {"map floppy 2880 blocks, writable",
         [] {
             auto p = std::make_unique<VDiskRequest2>(1);
             p->setBlockSize(512);
             p->setBlockCount(2880);
             p->setReadOnly(false);
             p->setGeometry(80, 2, 18);
             return p;
         },
         "Map Request", Hex("5A 45 4C 4B 00 00 00 1A 02 11 00 01 00 00 02 00 00 00 0B 40 00 FF 00 50 02 12")},
        {"map removable 200 blocks, read-only",
         [] {
             auto p = std::make_unique<VDiskRequest2>(3);
             p->setBlockSize(512);
             p->setBlockCount(200);
             p->setReadOnly(true);
             return p;
         },
         "Map Request", Hex("5A 45 4C 4B 00 00 00 1A 02 11 00 03 00 00 02 00 00 00 00 C8 01 C8 00 00 00 00")},
        {"release", [] { return std::make_unique<VDiskRelease>(3); }, "Disk Release",
         Hex("5A 45 4C 4B 00 00 00 0C 02 20 00 03")},
        {"read response",
         [] {
             auto p = std::make_unique<ReadResponse>(1);
             auto d = Hex("AA BB CC DD");
             p->setBlockValue(1);
             p->setData(1, d.data(), int(d.size()));
             return p;
         },
         "Read Response", Hex("5A 45 4C 4B 00 00 00 18 03 00 00 01 00 00 00 01 00 00 00 01 AA BB CC DD")},
        {"alternate toc data",
         [] {
             auto p = std::make_unique<VDiskAlternateTocData>(2);
             auto t = Hex("01 02 03");
             p->setTocData(int(t.size()), t.data());
             return p;
         },
         "VDisk Alternate TOC Data",
         Hex("5A 45 4C 4B 00 00 00 1B 03 20 00 02 00 00 00 00 00 00 00 00 00 00 00 03 01 02 03")},
        {"heartbeat", [] { return std::make_unique<Heartbeat>(false); }, "Heartbeat",
         Hex("5A 45 4C 4B 00 00 00 0C 04 00 00 00")},
        {"flagged heartbeat", [] { return std::make_unique<Heartbeat>(true); }, "Heartbeat",
         Hex("54 55 56 4F 00 00 00 0C 04 00 00 00")},
        {"client status partial write", [] { return std::make_unique<ClientStatusMessage>(1, -1); }, "Client Status",
         Hex("5A 45 4C 4B 00 00 00 10 04 10 00 01 FF FF FF FF")},
        {"server image delete", [] { return std::make_unique<ServerImageDelete>(5); }, "ServerImageDelete",
         Hex("5A 45 4C 4B 00 00 00 0C 05 50 00 05")},
    };
}

TEST(SentPacketTest, EveryPacketMatchesItsGoldenBytes) {
    for (const SentCase& c : SentCases()) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ZELKPacket> p = c.make();
        EXPECT_EQ(p->getName(), c.name);
        ASSERT_EQ(size_t(p->getLength()), c.bytes.size());
        EXPECT_EQ(ToHex(p->serialize()), ToHex(c.bytes));
    }
}

TEST(SentPacketTest, ApplianceIdDashMayStandAnywhere) {
    const auto expected = Hex("01 23 45 67 89 AB CD EF");
    for (const char* text : {"0123456789ABCDEF", "-0123456789ABCDEF", "0123456789ABCDEF-", "01234-56789abcdef",
                             "0123456789ABCDE-F"}) {
        SCOPED_TRACE(text);
        LoginMessage m(114);
        m.setCredentials("a", "b");
        m.setRipId(text);
        auto bytes = m.serialize();
        EXPECT_EQ(ToHex(std::vector<uint8_t>(bytes.begin() + 52, bytes.begin() + 60)), ToHex(expected));
    }
}

TEST(SentPacketTest, BadApplianceIdsAreRefusedOnTheCallersThread) {
    struct Bad {
        const char* text;
        std::string error;
    };
    for (const Bad& b : {Bad{"0123456789ABCDEG", "RIP ID contains non-hex characters"},
                         Bad{"0123-4567-89ABCDEF", "RIP ID contains non-hex characters"},
                         Bad{"0123456789ABCDE", "RIP ID must be 16 hex digits"},
                         Bad{"0123456789ABCDEF01", "RIP ID must be 16 hex digits"},
                         Bad{"-", "RIP ID must be 16 hex digits"}}) {
        SCOPED_TRACE(b.text);
        LoginMessage m(114);
        try {
            m.setRipId(b.text);
            ADD_FAILURE() << "accepted";
        } catch (const char* e) {
            EXPECT_EQ(std::string(e), b.error);
        }
    }
}

TEST(SentPacketTest, LoginLimitsAreCheckedWhenCredentialsAreSet) {
    LoginMessage fixed(113);
    EXPECT_NO_THROW(fixed.setCredentials(std::string(95, 'u').c_str(), "p"));
    EXPECT_EQ(fixed.serialize()[12], 95);
    try {
        fixed.setCredentials(std::string(96, 'u').c_str(), "p");
        ADD_FAILURE() << "96-byte user accepted";
    } catch (const char* e) {
        EXPECT_STREQ(e, "Invalid username specified for login request.");
    }
    EXPECT_EQ(fixed.getUser().size(), 95u);  // unchanged after the refusal

    // 0x0104 keeps lengths and offsets in 16 bits: 64 + u + p must fit.
    LoginMessage variable(114);
    std::string user(100, 'u');
    EXPECT_NO_THROW(variable.setCredentials(user.c_str(), std::string(0xFFFF - 64 - 100, 'p').c_str()));
    EXPECT_EQ(variable.getLength(), 0xFFFF);
    auto bytes = variable.serialize();
    EXPECT_EQ(bytes[18] << 8 | bytes[19], 64 + 100);
    EXPECT_THROW(variable.setCredentials(user.c_str(), std::string(0xFFFF - 64 - 100 + 1, 'p').c_str()), const char*);
    EXPECT_THROW(variable.setCredentials(std::string(0xFFFF, 'u').c_str(), ""), const char*);
}

TEST(SentPacketTest, NullCredentialsGiveEmptyStrings) {
    LoginMessage m(114);
    m.setCredentials(nullptr, nullptr);
    EXPECT_EQ(ToHex(m.serialize()),
              ToHex(Cat(Hex("5A 45 4C 4B 00 00 00 40 01 04 00 00 00 00 00 40 00 00 00 40"),
                        std::vector<uint8_t>(44, 0))));
}

}  // namespace
