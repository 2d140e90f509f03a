// A whole kelvane run in a scratch directory: the input's lines up to the
// first empty line are the KEY=VALUE arguments, the rest (when there is any)
// is SKU.xml, else the example document is used. A run that reports success
// must leave exactly a well-formed SKU.BIN; one that fails must leave none.
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Kelvane.h"
#include "KelvaneClock.h"
#include "XmlDocument.h"
#include "frulib.h"

namespace fs = std::filesystem;

namespace {

std::string g_dir;
std::string g_example;

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void removeScratch() {
    std::error_code ec;
    if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

// The document keeps a text without the white space around it.
std::string trimmed(const std::string& s) {
    const char* space = " \t\n\r\v";
    const size_t b = s.find_first_not_of(space);
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(space) - b + 1);
}

// A value as the document holds it: in an ISO-8859-1 document each byte is
// one character (kept as UTF-8 in the tree); otherwise the bytes are UTF-8
// already (a value US-ASCII cannot hold is refused).
std::string asDocumentText(const char* value, const std::string& encoding) {
    if (strcasecmp(encoding.c_str(), "ISO-8859-1") != 0) return value;
    std::string out;
    for (const auto* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
        if (*p < 0x80) {
            out += char(*p);
        } else {
            out += char(0xC0 | (*p >> 6));
            out += char(0x80 | (*p & 0x3F));
        }
    }
    return out;
}

uint32_t u24(const uint8_t* p) { return p[0] | (p[1] << 8) | (uint32_t(p[2]) << 16); }
uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

uint16_t sum16(const uint8_t* p, size_t n) {
    uint16_t s = 0;
    for (size_t i = 0; i < n; ++i) s = uint16_t(s + p[i]);
    return s;
}

std::string gunzip(const uint8_t* p, size_t n) {
    z_stream z{};
    twfuzz::check(inflateInit2(&z, 15 + 16) == Z_OK, "inflateInit2");
    std::string out;
    char buf[4096];
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = static_cast<uInt>(n);
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    inflateEnd(&z);
    twfuzz::check(rc == Z_STREAM_END && z.avail_in == 0, "the document entry is no gzip member");
    return out;
}

// The image a successful run wrote.
void checkSkuBin(const std::vector<const char*>& args, const std::string& encoding) {
    const std::string bin = readFile("SKU.BIN");
    const auto* b = reinterpret_cast<const uint8_t*>(bin.data());
    twfuzz::check(bin.size() >= 256 && bin.size() <= 32768 && bin.size() % 64 == 0,
                  "SKU.BIN size");
    twfuzz::check(std::memcmp(b, "TRESKOVA", 8) == 0 && b[8] == 3, "SKU.BIN magic or count");
    twfuzz::check(u24(b + 9) == bin.size(), "SKU.BIN total");
    twfuzz::check(u16(b + 14) == sum16(b, 14), "SKU.BIN header checksum");
    const uint8_t* fruEntry = b + 192;
    const uint8_t* gzEntry = b + 224;
    const uint32_t fruOff = u24(fruEntry + 24), fruLen = u24(fruEntry + 27);
    const uint32_t gzOff = u24(gzEntry + 24), gzLen = u24(gzEntry + 27);
    twfuzz::check(fruOff == 256 && fruOff + fruLen <= gzOff && gzOff % 64 == 0 &&
                      gzOff + gzLen <= bin.size(),
                  "SKU.BIN entry layout");
    twfuzz::check(u16(fruEntry + 30) == sum16(b + fruOff, fruLen), "FRU entry checksum");
    twfuzz::check(u16(gzEntry + 30) == sum16(b + gzOff, gzLen), "document entry checksum");

    FruDocPtr fru(frulib_create_doc(fruLen));
    std::memcpy(fru->image, b + fruOff, fruLen);
    twfuzz::check(frulib_parse_doc(fru.get()) == 0, "the FRU entry does not decode");

    kv::XmlDocument doc;
    twfuzz::check(doc.loadText(gunzip(b + gzOff, gzLen)) == kv::XmlDocument::LOADED,
                  "the compressed document does not parse");

    // The last value of each key given is in the document and the image.
    const char* csn = nullptr;
    const char* psn = nullptr;
    for (const char* a : args) {
        if (std::strncmp(a, "CSN", 3) == 0) csn = a[3] ? a + 4 : a + 3;
        if (std::strncmp(a, "PSN", 3) == 0) psn = a[3] ? a + 4 : a + 3;
    }
    if (csn) {
        const char* text = kv::get_xmlval(doc.root(), "/QMSKU/FRU/ChassisSerialNumber");
        twfuzz::check(std::string(text ? text : "") == trimmed(asDocumentText(csn, encoding)),
                      "CSN not written back");
        twfuzz::check(fru->chassisSerialNumber.value_or("") == csn, "CSN not in the FRU image");
    }
    if (psn) twfuzz::check(fru->productSerialNumber.value_or("") == psn, "PSN not in the FRU image");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::silenceStdout();
    g_example = readFile(std::string(TW_SOURCE_DIR) + "/examples/sku/SKU.xml");
    // A fixed name, and only relative paths while fuzzing: the texts the run
    // compares steer the fuzzer, and a random name would make the fixed run
    // of the tests differ from one time to the next. (Each fuzzer process
    // runs in a work directory of its own.)
    g_dir = (fs::current_path() / "kelvane-run").string();
    std::error_code ec;
    fs::remove_all(g_dir, ec);
    if (!fs::create_directory(g_dir, ec)) twfuzz::fail("scratch directory");
    if (chdir(g_dir.c_str()) != 0) twfuzz::fail("chdir");
    std::atexit(removeScratch);
    kv::KelvaneClock::setSource([] { return std::time_t(1700000000); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find("\n\n");
    const std::string argText = input.substr(0, split);
    const std::string xml = split == std::string::npos ? g_example : input.substr(split + 2);

    // Arguments are C strings: a NUL ends one like a line end does.
    std::vector<std::string> lines;
    std::string cur;
    for (char c : argText) {
        if (c == '\n' || c == '\0') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    lines.push_back(cur);
    std::vector<char*> argv;
    std::string prog = "kelvane";
    argv.push_back(prog.data());
    for (std::string& l : lines) argv.push_back(l.data());
    argv.push_back(nullptr);

    for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
    {
        std::ofstream f("SKU.xml", std::ios::binary);
        f << xml;
    }
    const int rc = kv::kelvane_main(static_cast<int>(argv.size()) - 1, argv.data());
    std::fflush(stdout);
    const bool haveBin = fs::exists("SKU.BIN");
    if (rc != 0) {
        twfuzz::check(!haveBin, "a failed run left SKU.BIN");
        return 0;
    }
    bool worked = false;
    for (const std::string& l : lines) {
        for (const char* k : {"MainMAC", "ShareMAC", "CSN", "BSN", "PSN", "ASSET", "PN", "RU", "NU",
                              "PB", "WS"}) {
            if (l.compare(0, std::strlen(k), k) == 0) worked = true;
        }
    }
    if (!haveBin) {
        // Success without an image only after "help".
        twfuzz::check(!worked || input.find("help") != std::string::npos, "success without SKU.BIN");
        return 0;
    }
    twfuzz::check(!fs::exists("mysku.xml") && !fs::exists("mysku.xml.gz"), "intermediate files left");
    std::vector<const char*> args;
    for (const std::string& l : lines) args.push_back(l.c_str());
    // The encoding the input document declares (the run succeeded, so it parses).
    kv::XmlDocument given;
    twfuzz::check(given.loadText(xml) == kv::XmlDocument::LOADED, "the input document does not parse");
    checkSkuBin(args, given.encoding());
    return 0;
}
