#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Kelvane.h"
#include "KelvaneClock.h"
#include "ScratchDir.h"
#include "XmlDocument.h"
#include "frulib.h"

namespace {

constexpr std::time_t FIXED_TIME = 1790000000;  // 2026-09-21 14:13:20 UTC
std::time_t fixedTime() { return FIXED_TIME; }

std::string exampleSku() {
    return twtest::readFile(std::string(TW_SOURCE_DIR) + "/examples/sku/SKU.xml");
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
}

// The example without the line holding `<element>`.
std::string exampleWithout(const std::string& element) {
    std::string s = exampleSku();
    size_t p = s.find("<" + element + ">");
    if (p == std::string::npos) p = s.find("<" + element + " ");
    size_t b = s.rfind('\n', p) + 1;
    s.erase(b, s.find('\n', p) + 1 - b);
    return s;
}

std::string gunzip(const std::vector<uint8_t>& gz) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    std::string out(1 << 20, '\0');
    z.next_in = const_cast<Bytef*>(gz.data());
    z.avail_in = static_cast<uInt>(gz.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

uint32_t u24(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
}

struct Entries {
    std::vector<uint8_t> fru, gz;
};
Entries entriesOf(const std::vector<uint8_t>& bin) {
    Entries e;
    if (bin.size() < 256) return e;
    e.fru.assign(bin.begin() + u24(bin, 216), bin.begin() + u24(bin, 216) + u24(bin, 219));
    e.gz.assign(bin.begin() + u24(bin, 248), bin.begin() + u24(bin, 248) + u24(bin, 251));
    return e;
}

class KelvaneRun : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        kv::KelvaneClock::setSource(&fixedTime);
    }
    void TearDown() override {
        kv::KelvaneClock::setSource(nullptr);
        ScratchDir::TearDown();
    }

    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "kelvane");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        int rc = kv::kelvane_main(static_cast<int>(args.size()), argv.data());
        m_out = ::testing::internal::GetCapturedStdout();
        return rc;
    }
    bool printed(const std::string& s) const { return m_out.find(s) != std::string::npos; }

    std::string m_out;
};

const std::vector<std::string> ONLY_SKU = {"SKU.xml"};
const std::vector<std::string> ONLY_BIN = {"SKU.BIN", "SKU.xml"};

}  // namespace

TEST(Vercmp, ValuesMajorAndMinorLikeAtoi) {
    struct Case { const char* a; const char* b; int result; };
    const Case cases[] = {
        {"0.16", "0.17", -1}, {"0.16", "0.16", 0}, {"0.16", "0.15", 0},
        {"0.16", "0.9", 0},   {"0.16", "1.2", -1}, {"0.16", "10.5", -1},
        {"10.5", "10.0", 0},  // both 1000: the minor part starts at ".5"
        {"0.16", "1", -1},    {"0.16", "", 0},     {"0.16", "x", 0},
        {"1", "0.16", 0},     {"0.16", "99999999999999999999", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(kv::vercmp(c.a, c.b), c.result) << c.a << " vs " << c.b;
}

TEST(SprintfMacaddr, ColonFormKeepsCaseAndStopsAtTwelve) {
    EXPECT_STREQ(kv::sprintf_macaddr("001122334455"), "00:11:22:33:44:55");
    EXPECT_STREQ(kv::sprintf_macaddr("aAbBcCdDeEfF99"), "aA:bB:cC:dD:eE:fF");
    EXPECT_STREQ(kv::sprintf_macaddr("00112"), "00:11:2");
    EXPECT_STREQ(kv::sprintf_macaddr(""), "");
}

TEST(GetFrutime, MinutesSince1996) {
    kv::KelvaneClock::setSource([] { return std::time_t(820454400 + 3600 + 59); });
    EXPECT_EQ(kv::get_frutime(), 60u);
    kv::KelvaneClock::setSource([] { return std::time_t(600); });
    EXPECT_EQ(kv::get_frutime(), 10u);  // a clock before 1996: its own minutes
    kv::KelvaneClock::setSource(nullptr);
    EXPECT_GT(kv::get_frutime(), 15000000u);
}

TEST_F(KelvaneRun, WholeRunMatchesGzipAndTheFruLibrary) {
    writeFile("SKU.xml", exampleSku());
    ASSERT_EQ(run({"CSN=C1234", "BSN=B5678", "PSN=P9012", "ASSET=A1", "PN=Widget",
                   "MainMAC=001122334455", "ShareMAC=aabbccddeeff", "WS=FRU_PRD_AREA", "RU=3",
                   "NU=4", "PB=5"}),
              0)
        << m_out;
    EXPECT_EQ(files(), ONLY_BIN);
    Entries e = entriesOf(readFile("SKU.BIN"));

    // The document comes back with every value written and in the printed layout.
    std::string expected = exampleSku();
    replaceAll(expected, "?>\n", "?>\n\n");
    replaceAll(expected, "-->\n", "-->\n\n");
    replaceAll(expected, "CSN-UNSET", "C1234");
    replaceAll(expected, "BSN-UNSET", "B5678");
    replaceAll(expected, "PSN-UNSET", "P9012");
    replaceAll(expected, "<AssetTag>Unassigned", "<AssetTag>A1");
    replaceAll(expected, "<ProductName>Harrowgate R120", "<ProductName>Widget");
    replaceAll(expected, "<WriteSelection>FRU_AREA", "<WriteSelection>FRU_PRD_AREA");
    size_t mac = expected.find("00:00:00:00:00:00");
    expected.replace(mac, 17, "00:11:22:33:44:55");
    expected.replace(expected.find("00:00:00:00:00:00"), 17, "aa:bb:cc:dd:ee:ff");
    replaceAll(expected, "<RMCUnit>0", "<RMCUnit>3");
    replaceAll(expected, "<NodeUnit>0", "<NodeUnit>4");
    replaceAll(expected, "<PowerBank>0", "<PowerBank>5");
    std::string doc = gunzip(e.gz);
    EXPECT_EQ(doc, expected);

    // Byte for byte what the gzip command makes of that file with that time.
    writeFile("mysku.xml", doc);
    struct utimbuf times = {FIXED_TIME, FIXED_TIME};
    ASSERT_EQ(utime("mysku.xml", &times), 0);
    ASSERT_EQ(std::system("gzip -q mysku.xml"), 0);
    EXPECT_EQ(readFile("mysku.xml.gz"), e.gz);

    FruDocPtr fru(frulib_open_doc_from_memory(e.fru.data(), e.fru.size()));
    ASSERT_EQ(frulib_parse_doc(fru.get()), 0);
    const uint32_t minutes = static_cast<uint32_t>((FIXED_TIME - 820454400) / 60);
    EXPECT_EQ(fru->boardMfgDate[0], minutes & 0xFF);
    EXPECT_EQ(fru->boardMfgDate[1], (minutes >> 8) & 0xFF);
    EXPECT_EQ(fru->boardMfgDate[2], (minutes >> 16) & 0xFF);
    EXPECT_EQ(fru->chassisType, 0x17);
    EXPECT_EQ(fru->chassisSerialNumber, "C1234");
    EXPECT_EQ(fru->chassisPartNumber, "HG-CH-1U-04");
    EXPECT_EQ(fru->boardSerialNumber, "B5678");
    EXPECT_EQ(fru->boardExtra, "Rev B");
    EXPECT_EQ(fru->productSerialNumber, "P9012");
    EXPECT_EQ(fru->productAssetTag, "A1");
    EXPECT_EQ(fru->productName, "Widget");
    EXPECT_EQ(fru->productVersion, "A1");

    EXPECT_TRUE(printed("              Board ID     : HG-2S1U\n"
                        "             Rand Code     : R7Q2X9\n"
                        "      Main MAC Address     : 00:11:22:33:44:55\n"
                        "     Share MAC Address     : aa:bb:cc:dd:ee:ff\n"
                        "\n"
                        " Chassis Serial Number *   : C1234\n"
                        " Board Serial Number *     : B5678\n"
                        " Product Serial Number *   : P9012\n"
                        " ASSET TAG *   : A1\n"
                        " Product Name *   : Widget\n"
                        " RMC Unit *   : 3\n"
                        " Node Unit *   : 4\n"
                        " Power Bank *   : 5\n"))
        << m_out;
    EXPECT_FALSE(printed("FRU_PRD_AREA"));
}

TEST_F(KelvaneRun, ArgumentsMatchByPrefixInTableOrder) {
    writeFile("SKU.xml", exampleSku());
    ASSERT_EQ(run({"PSN=123", "PNXabc", "MainMAC:001122334455", "BSN=first", "BSN=second",
                   "CSN", "unknown=1"}),
              0)
        << m_out;
    EXPECT_TRUE(printed(" Product Serial Number *   : 123\n")) << m_out;
    EXPECT_TRUE(printed(" Product Name *   : abc\n"));
    EXPECT_TRUE(printed("      Main MAC Address     : 00:11:22:33:44:55\n"));
    EXPECT_TRUE(printed(" Board Serial Number *     : second\n"));
    EXPECT_TRUE(printed(" Chassis Serial Number *   : \n"));  // only the key: empty value
    Entries e = entriesOf(readFile("SKU.BIN"));
    std::string doc = gunzip(e.gz);
    EXPECT_NE(doc.find("<ChassisSerialNumber/>"), std::string::npos);
    EXPECT_NE(doc.find("<ProductName>abc</ProductName>"), std::string::npos);
}

TEST_F(KelvaneRun, HelpEndsTheRunBeforeAnyFileIsRead) {
    writeFile("SKU.BIN", "old");
    EXPECT_EQ(run({"CSN=1", "help", "BSN=2"}), 0);
    EXPECT_TRUE(printed("\nUsage: kelvane [OPTION]\n"));
    EXPECT_TRUE(printed("                    UPDATE\n"));
    EXPECT_FALSE(printed("No Such File"));
    EXPECT_TRUE(files().empty());  // the old image is gone all the same
}

TEST_F(KelvaneRun, VersionGate) {
    struct Case { const char* required; int rc; };
    for (const Case& c : {Case{"0.17", 5}, Case{"1.0", 5}, Case{"0.16", 0}, Case{"0.15", 0},
                          Case{"", 0}}) {
        std::string sku = exampleSku();
        replaceAll(sku, "<Kelvane>0.16</Kelvane>", std::string("<Kelvane>") + c.required + "</Kelvane>");
        writeFile("SKU.xml", sku);
        EXPECT_EQ(run({"RU=1"}), c.rc) << c.required;
        bool refused = printed("Error! kelvane.exe Version 0.16 is old\n"
                               "Error! The SKU.xml requires kelvane.exe Version " +
                               std::string(c.required) + "\n");
        EXPECT_EQ(refused, c.rc == 5) << c.required << m_out;
        EXPECT_EQ(files(), c.rc ? ONLY_SKU : ONLY_BIN) << c.required;
    }
    writeFile("SKU.xml", exampleWithout("Kelvane"));  // no requirement at all
    EXPECT_EQ(run({"RU=1"}), 0) << m_out;
}

TEST_F(KelvaneRun, MissingWriteBackElementStopsBeforeAnyOutput) {
    struct Case { const char* arg; const char* element; const char* message; };
    const Case cases[] = {
        {"WS=FRU_AREA", "WriteSelection", "Error! Not found \"WriteSelection\" in SKU.xml"},
        {"MainMAC=001122334455", "Interface1", "Error! Not found Dedicated MAC Address in SKU.xml\n"},
        {"ShareMAC=001122334455", "Interface2", "Error! Not found Shared MAC Address in SKU.xml\n"},
        {"CSN=C1", "ChassisSerialNumber", "Error! Not found Chassis Serial Number in SKU.xml\n"},
        {"BSN=B1", "BoardSerialNumber", "Error! Not found Board Serial Number in SKU.xml\n"},
        {"PSN=P1", "ProductSerialNumber", "Error! Not found Product Serial Number in SKU.xml\n"},
        {"ASSET=A1", "AssetTag", "Error! Not found AssetTag in SKU.xml\n"},
        {"PN=N1", "ProductName", "Error! Not found Product Name in SKU.xml\n"},
        {"RU=1", "RMCUnit", "Error! Not found RMC Unit in SKU.xml\n"},
        {"NU=1", "NodeUnit", "Error! Not found Node Unit in SKU.xml\n"},
        {"PB=1", "PowerBank", "Error! Not found Power bank in SKU.xml\n"},
    };
    for (const Case& c : cases) {
        std::string sku = exampleWithout(c.element);
        if (std::string(c.element).rfind("Interface", 0) == 0) {
            // Drop the whole interface block, not only its first line.
            sku = exampleSku();
            size_t b = sku.find(std::string("<") + c.element);
            size_t e = sku.find(std::string("</") + c.element + ">") + 14;
            sku.erase(b, e - b);
        }
        writeFile("SKU.xml", sku);
        EXPECT_EQ(run({c.arg}), 2) << c.arg;
        // The message is the last thing printed.
        const std::string msg = c.message;
        EXPECT_EQ(m_out.substr(m_out.size() - std::min(m_out.size(), msg.size())), msg) << c.arg;
        EXPECT_EQ(files(), ONLY_SKU) << c.arg;
    }
}

TEST_F(KelvaneRun, MissingOrEmptyFruElementsGiveEmptyFields) {
    std::string sku = exampleWithout("ChassisType");
    replaceAll(sku, "<ProductVersion>A1</ProductVersion>", "<ProductVersion/>");
    replaceAll(sku, "<BoardExtra>Rev B</BoardExtra>", "");
    replaceAll(sku, "<RandCode>R7Q2X9</RandCode>", "");
    const std::string longId(40, 'I');  // well past 15 characters: kept whole
    replaceAll(sku, "<ID>HG-2S1U</ID>", "<ID>" + longId + "</ID>");
    writeFile("SKU.xml", sku);
    ASSERT_EQ(run({"RU=3"}), 0) << m_out;
    EXPECT_TRUE(printed("             Rand Code     : \n"));
    EXPECT_TRUE(printed("              Board ID     : " + longId + "\n"));
    Entries e = entriesOf(readFile("SKU.BIN"));
    FruDocPtr fru(frulib_open_doc_from_memory(e.fru.data(), e.fru.size()));
    ASSERT_EQ(frulib_parse_doc(fru.get()), 0);
    EXPECT_EQ(fru->chassisType, 0);
    EXPECT_EQ(fru->productVersion, "");
    EXPECT_EQ(fru->boardExtra, "");
    EXPECT_EQ(fru->productSerialNumber, "PSN-UNSET");  // the rest from the document
    EXPECT_NE(gunzip(e.gz).find("<RMCUnit>3</RMCUnit>"), std::string::npos);
}

TEST_F(KelvaneRun, RefusedValuesWriteNothing) {
    struct Case { std::vector<std::string> args; const char* message; };
    const Case cases[] = {
        {{"PSN=" + std::string(64, 'P')}, "Error! ProductSerialNumber is longer than 63 characters\n"},
        {{"ASSET=" + std::string(100, 'A')}, "Error! AssetTag is longer than 63 characters\n"},
        {{"MainMAC=00112233"}, "Error! MAC Address 00112233 is shorter than 12 characters\n"},
        {{"ShareMAC="}, "Error! MAC Address  is shorter than 12 characters\n"},
        // No XML document can hold these; written back they would break it.
        {{"CSN=a\x01" "b"}, "Error! The value of CSN cannot be written in this UTF-8 document\n"},
        {{"RU=\xff"}, "Error! The value of RU cannot be written in this UTF-8 document\n"},
        {{"PB=\xc3"}, "Error! The value of PB cannot be written in this UTF-8 document\n"},
        // Valid UTF-8 that the colon form cuts in two.
        {{"MainMAC=0\xc3\xa9" "123456789"},
         "Error! The value of MainMAC cannot be written in this UTF-8 document\n"},
    };
    for (const Case& c : cases) {
        writeFile("SKU.xml", exampleSku());
        EXPECT_EQ(run(c.args), 2) << c.args[0];
        EXPECT_TRUE(printed(c.message)) << m_out;
        EXPECT_EQ(files(), ONLY_SKU) << c.args[0];
    }
    std::string sku = exampleSku();
    replaceAll(sku, "HG-CH-1U-04", std::string(64, 'c'));
    writeFile("SKU.xml", sku);
    EXPECT_EQ(run({"RU=1"}), 2);
    EXPECT_TRUE(printed("Error! ChassisPartNumber is longer than 63 characters\n")) << m_out;

    writeFile("SKU.xml", exampleSku());
    EXPECT_EQ(run({"PSN=" + std::string(63, 'P')}), 0) << m_out;
    writeFile("SKU.xml", exampleSku());
    EXPECT_EQ(run({"PB=caf\xc3\xa9\t\r"}), 0) << m_out;
}

// A value is text in the document's declared encoding: refused only when
// that encoding (or XML) cannot hold it. The tree, and so the written
// document, holds it as the same characters.
TEST_F(KelvaneRun, ValuesAreTakenInTheDocumentsEncoding) {
    const std::string utf8Decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    struct Case {
        const char* declaration;  // replaces the example's; "" for none
        std::string arg;
        const char* stored;       // the product name read back (UTF-8), or null when refused
        const char* message;
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "PN=Caf\xe9", "Caf\xc3\xa9", nullptr},
        {"<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>", "PN=\xa9\xff", "\xc2\xa9\xc3\xbf", nullptr},
        {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "PN=a\x01",
         nullptr, "Error! The value of PN cannot be written in this ISO-8859-1 document\n"},
        {"<?xml version=\"1.0\" encoding=\"US-ASCII\"?>", "PN=Cafe", "Cafe", nullptr},
        {"<?xml version=\"1.0\" encoding=\"US-ASCII\"?>", "PN=Caf\xe9",
         nullptr, "Error! The value of PN cannot be written in this US-ASCII document\n"},
        {"", "PN=Caf\xc3\xa9", "Caf\xc3\xa9", nullptr},
        {"", "PN=Caf\xe9", nullptr, "Error! The value of PN cannot be written in this UTF-8 document\n"},
    };
    for (const Case& c : cases) {
        std::string sku = exampleSku();
        replaceAll(sku, utf8Decl, c.declaration);
        writeFile("SKU.xml", sku);
        const int rc = run({c.arg});
        SCOPED_TRACE(std::string(c.declaration) + " " + c.arg);
        if (c.stored == nullptr) {
            EXPECT_EQ(rc, 2);
            EXPECT_TRUE(printed(c.message)) << m_out;
            EXPECT_EQ(files(), ONLY_SKU);
            continue;
        }
        ASSERT_EQ(rc, 0) << m_out;
        Entries e = entriesOf(readFile("SKU.BIN"));
        kv::XmlDocument doc;
        ASSERT_EQ(doc.loadText(gunzip(e.gz)), kv::XmlDocument::LOADED);
        const char* name = kv::get_xmlval(doc.root(), "/QMSKU/FRU/ProductName");
        EXPECT_STREQ(name, c.stored);
        // The FRU image takes the value's bytes as given.
        FruDocPtr fru(frulib_open_doc_from_memory(e.fru.data(), e.fru.size()));
        ASSERT_EQ(frulib_parse_doc(fru.get()), 0);
        EXPECT_EQ(fru->productName, c.arg.substr(3));
    }
}

TEST_F(KelvaneRun, MissingOrBrokenDocument) {
    writeFile("SKU.BIN", "stale image");
    writeFile("mysku.xml.gz", "stale document");
    writeFile("mysku.xml", "stale");
    EXPECT_EQ(run({"RU=1"}), -2);
    EXPECT_TRUE(printed("SKU.xml: No Such File or Directory!\n"));
    EXPECT_TRUE(files().empty());

    writeFile("SKU.xml", "<QMSKU><FRU></QMSKU>");
    EXPECT_EQ(run({"RU=1"}), 2);
    EXPECT_TRUE(printed("Unable to parse SKU.xml!\n"));

    // A million nested elements: refused, not a crash.
    std::string deep;
    for (int i = 0; i < 1000000; ++i) deep += "<QMSKU>";
    for (int i = 0; i < 1000000; ++i) deep += "</QMSKU>";
    writeFile("SKU.xml", deep);
    m_out.clear();
    EXPECT_EQ(run({"RU=1"}), 2);
    EXPECT_TRUE(printed("Unable to parse SKU.xml!\n")) << m_out;
    EXPECT_EQ(files(), ONLY_SKU);
}

TEST_F(KelvaneRun, OutputFailuresAreReported) {
    struct Case { const char* blocked; int rc; const char* message; };
    const Case cases[] = {
        {"mysku.xml", -12, "Error! Can't create SKU.xml"},
        {"mysku.xml.gz", 1, "Error! Can't compress mysku.xml.gz"},
        {"SKU.BIN", 1, "Error! Can't create SKU.BIN"},
    };
    for (const Case& c : cases) {
        // A directory that is not empty survives the clean-up at start.
        std::filesystem::create_directories(std::string(c.blocked) + "/keep");
        writeFile("SKU.xml", exampleSku());
        EXPECT_EQ(run({"RU=1"}), c.rc) << c.blocked;
        EXPECT_TRUE(printed(c.message)) << c.blocked << ": " << m_out;
        EXPECT_FALSE(printed("Board ID")) << c.blocked;
        std::filesystem::remove_all(c.blocked);
    }
}

TEST_F(KelvaneRun, CompressionFailureRemovesPartialOutput) {
    writeFile("mysku.xml", "<QMSKU/>\n");
    std::filesystem::create_symlink("/dev/full", "mysku.xml.gz");
    kv::KelvaneContext ctx;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kv::gzip_skuxml(ctx), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error! Can't compress mysku.xml.gz");
    EXPECT_FALSE(std::filesystem::is_symlink("mysku.xml.gz"));
    EXPECT_TRUE(std::filesystem::exists("mysku.xml"));
    EXPECT_TRUE(ctx.compressed.empty());
}
