#include "Kelvane.h"

#include <strings.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "Gzip.h"
#include "KelvaneClock.h"
#include "SkuBin.h"
#include "XmlDocument.h"
#include "frulib.h"

namespace kv {

namespace {

constexpr const char* SKU_XML = "SKU.xml";
constexpr const char* MYSKU_XML = "mysku.xml";
constexpr const char* MYSKU_GZ = "mysku.xml.gz";
constexpr std::time_t FRU_EPOCH = 820454400;  // 1996-01-01 00:00:00 UTC
constexpr size_t FRU_AREA = 2048;

// atoi's reading (leading space, sign, digits; 0 when none) without its
// undefined behaviour on overflow.
long long leadingInt(const char* s) {
    long long v = std::strtoll(s, nullptr, 10);
    const long long limit = LLONG_MAX / 1000;
    return v > limit ? limit : (v < -limit ? -limit : v);
}

bool resolve(XmlElement* e, const std::vector<std::string_view>& parts, size_t i,
             XmlElement** out) {
    if (e->name() != parts[i]) return false;
    if (i + 1 == parts.size()) {
        *out = e;
        return true;
    }
    for (const auto& child : e->children()) {
        if (resolve(child.get(), parts, i + 1, out)) return true;
    }
    return false;
}

struct KeyDef {
    const char* key;
    const char* KelvaneContext::*field;
};

// Tried in this order, so PSN wins over PN for "PSN=...".
const KeyDef KEYS[] = {
    {"MainMAC", &KelvaneContext::mainMac}, {"ShareMAC", &KelvaneContext::shareMac},
    {"CSN", &KelvaneContext::csn},         {"BSN", &KelvaneContext::bsn},
    {"PSN", &KelvaneContext::psn},         {"ASSET", &KelvaneContext::asset},
    {"PN", &KelvaneContext::pn},           {"RU", &KelvaneContext::ru},
    {"NU", &KelvaneContext::nu},           {"PB", &KelvaneContext::pb},
    {"WS", &KelvaneContext::ws},
};

enum ArgResult { ARGS_NONE, ARGS_WORK, ARGS_HELP };

ArgResult parseArguments(int argc, char** argv, KelvaneContext& ctx) {
    bool work = false;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        bool matched = false;
        for (const KeyDef& k : KEYS) {
            size_t n = std::strlen(k.key);
            if (std::strncmp(arg, k.key, n) != 0) continue;
            // One character after the key is skipped, whatever it is; an
            // argument that is only the key has an empty value.
            ctx.*k.field = arg[n] ? arg + n + 1 : arg + n;
            matched = true;
            break;
        }
        if (!matched && std::strncmp(arg, "help", 4) == 0) return ARGS_HELP;
        work = work || matched;
    }
    return work ? ARGS_WORK : ARGS_NONE;
}

struct FruSource {
    int id;
    const char* element;
    const char* KelvaneContext::*override;
};

const FruSource FRU_TEXTS_BEFORE_DATE[] = {
    {FRU_CHASSIS_PART_NUMBER, "ChassisPartNumber", nullptr},
    {FRU_CHASSIS_SERIAL_NUMBER, "ChassisSerialNumber", &KelvaneContext::csn},
};

const FruSource FRU_TEXTS_AFTER_DATE[] = {
    {FRU_BOARD_MANUFACTURER, "BoardManufacturerName", nullptr},
    {FRU_BOARD_PRODUCT_NAME, "BoardProductName", nullptr},
    {FRU_BOARD_SERIAL_NUMBER, "BoardSerialNumber", &KelvaneContext::bsn},
    {FRU_BOARD_PART_NUMBER, "BoardPartNumber", nullptr},
    {FRU_BOARD_EXTRA, "BoardExtra", nullptr},
    {FRU_PRODUCT_MANUFACTURER, "ProductManufacturerName", nullptr},
    {FRU_PRODUCT_NAME, "ProductName", &KelvaneContext::pn},
    {FRU_PRODUCT_SERIAL_NUMBER, "ProductSerialNumber", &KelvaneContext::psn},
    {FRU_PRODUCT_PART_NUMBER, "ProductPartNumber", nullptr},
    {FRU_PRODUCT_VERSION, "ProductVersion", nullptr},
    {FRU_PRODUCT_ASSET_TAG, "AssetTag", &KelvaneContext::asset},
};

// Sets one FRU text from its override or its element. A missing or empty
// element leaves the field empty. 0, or 2 for a text no type/length byte holds.
int setFruText(FruDoc* doc, const FruSource& s, XmlElement* root, const KelvaneContext& ctx) {
    const char* value = s.override ? ctx.*s.override : nullptr;
    if (!value) {
        std::string path = std::string("/QMSKU/FRU/") + s.element;
        value = get_xmlval(root, path.c_str());
    }
    if (!value) return 0;
    size_t len = std::strlen(value);
    if (len > FRU_MAX_TEXT) {
        std::printf("Error! %s is longer than %zu characters\n", s.element, FRU_MAX_TEXT);
        return 2;
    }
    frulib_set_frudata(doc, s.id, value, len);
    return 0;
}

int buildFru(KelvaneContext& ctx, XmlElement* root, FruDoc* doc) {
    const char* type = get_xmlval(root, "/QMSKU/FRU/ChassisType");
    uint8_t chassisType = type ? static_cast<uint8_t>(std::strtoul(type, nullptr, 16)) : 0;
    frulib_set_frudata(doc, FRU_CHASSIS_TYPE, &chassisType, 1);
    for (const FruSource& s : FRU_TEXTS_BEFORE_DATE) {
        if (int rc = setFruText(doc, s, root, ctx)) return rc;
    }
    uint32_t minutes = get_frutime();
    const uint8_t date[3] = {static_cast<uint8_t>(minutes), static_cast<uint8_t>(minutes >> 8),
                             static_cast<uint8_t>(minutes >> 16)};
    frulib_set_frudata(doc, FRU_BOARD_MFG_DATE, date, 3);
    for (const FruSource& s : FRU_TEXTS_AFTER_DATE) {
        if (int rc = setFruText(doc, s, root, ctx)) return rc;
    }
    uint8_t* image = nullptr;
    size_t length = 0;
    if (frulib_make_doc(doc, &image, &length) != 0) {
        std::printf("Error! Can't build the FRU image\n");
        return 2;
    }
    ctx.fruImage.assign(image, image + length);
    return 0;
}

// Characters an XML 1.0 document can hold.
bool isXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// True when the text is UTF-8 made only of characters an XML 1.0 document
// can hold; anything else would leave a document no parser reads.
bool isXmlText(const char* text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t c = *p;
        int more = 0;
        if (c < 0x80) more = 0;
        else if ((c & 0xE0) == 0xC0) { c &= 0x1F; more = 1; }
        else if ((c & 0xF0) == 0xE0) { c &= 0x0F; more = 2; }
        else if ((c & 0xF8) == 0xF0) { c &= 0x07; more = 3; }
        else return false;
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
            c = (c << 6) | (*p & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[more]) return false;  // overlong
        if (!isXmlChar(c)) return false;
    }
    return true;
}

// A command-line value read in the document's declared encoding, as the
// tree holds text (UTF-8, as expat gives it). False when the value is no
// text in that encoding, or holds a character no XML document can.
// Expat knows ISO-8859-1, US-ASCII, UTF-8 and UTF-16; a UTF-16 document is
// written back as UTF-8, and a command line cannot carry UTF-16, so the
// value is UTF-8 then.
bool valueAsTreeText(const char* value, const std::string& encoding, std::string* out) {
    const bool latin1 = strcasecmp(encoding.c_str(), "ISO-8859-1") == 0;
    const bool ascii = strcasecmp(encoding.c_str(), "US-ASCII") == 0;
    if (!latin1 && !ascii) {
        if (!isXmlText(value)) return false;
        *out = value;
        return true;
    }
    out->clear();
    for (const auto* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
        if (!isXmlChar(*p) || (ascii && *p >= 0x80)) return false;
        if (*p < 0x80) {
            *out += static_cast<char>(*p);
        } else {
            *out += static_cast<char>(0xC0 | (*p >> 6));
            *out += static_cast<char>(0x80 | (*p & 0x3F));
        }
    }
    return true;
}

struct WriteBack {
    const char* key;
    const char* KelvaneContext::*value;
    const char* path;
    const char* missing;
    bool mac;
};

const WriteBack WRITE_BACKS[] = {
    {"WS", &KelvaneContext::ws, "/QMSKU/Requirement/WriteSelection",
     "Error! Not found \"WriteSelection\" in SKU.xml", false},
    {"MainMAC", &KelvaneContext::mainMac, "/QMSKU/BoardInfo/Main/NIC/Interface1/MacAddr0",
     "Error! Not found Dedicated MAC Address in SKU.xml\n", true},
    {"ShareMAC", &KelvaneContext::shareMac, "/QMSKU/BoardInfo/Main/NIC/Interface2/MacAddr0",
     "Error! Not found Shared MAC Address in SKU.xml\n", true},
    {"CSN", &KelvaneContext::csn, "/QMSKU/FRU/ChassisSerialNumber/",
     "Error! Not found Chassis Serial Number in SKU.xml\n", false},
    {"BSN", &KelvaneContext::bsn, "/QMSKU/FRU/BoardSerialNumber",
     "Error! Not found Board Serial Number in SKU.xml\n", false},
    {"PSN", &KelvaneContext::psn, "/QMSKU/FRU/ProductSerialNumber",
     "Error! Not found Product Serial Number in SKU.xml\n", false},
    {"ASSET", &KelvaneContext::asset, "/QMSKU/FRU/AssetTag", "Error! Not found AssetTag in SKU.xml\n",
     false},
    {"PN", &KelvaneContext::pn, "/QMSKU/FRU/ProductName", "Error! Not found Product Name in SKU.xml\n",
     false},
    {"RU", &KelvaneContext::ru, "/QMSKU/OpenRackInfo/RMCUnit", "Error! Not found RMC Unit in SKU.xml\n",
     false},
    {"NU", &KelvaneContext::nu, "/QMSKU/OpenRackInfo/NodeUnit",
     "Error! Not found Node Unit in SKU.xml\n", false},
    {"PB", &KelvaneContext::pb, "/QMSKU/OpenRackInfo/PowerBank",
     "Error! Not found Power bank in SKU.xml\n", false},
};

int writeBack(const KelvaneContext& ctx, XmlElement* root, const std::string& encoding) {
    for (const WriteBack& w : WRITE_BACKS) {
        const char* value = ctx.*w.value;
        if (!value) continue;
        XmlElement* e = nullptr;
        get_xmlval(root, w.path, &e);
        if (!e) {
            std::fputs(w.missing, stdout);
            return 2;
        }
        if (w.mac) {
            if (std::strlen(value) < 12) {
                std::printf("Error! MAC Address %s is shorter than 12 characters\n", value);
                return 2;
            }
            value = sprintf_macaddr(value);
        }
        // Checked as written: the colons of a MAC can split a UTF-8 sequence.
        std::string text;
        if (!valueAsTreeText(value, encoding, &text)) {
            std::printf("Error! The value of %s cannot be written in this %s document\n", w.key, encoding.c_str());
            return 2;
        }
        e->setText(text);
    }
    return 0;
}

int printDocument(const XmlDocument& doc) {
    std::string text;
    try {
        text = doc.print();
    } catch (const std::bad_alloc&) {
        std::printf("Error! Can't create printer for xml");
        return -12;
    }
    // Truncating, not appending: a leftover must never end up in the image.
    std::FILE* f = std::fopen(MYSKU_XML, "wb");
    if (!f) {
        std::printf("Error! Can't create SKU.xml");
        return -12;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    std::printf("\n");
    if (!ok) {
        std::remove(MYSKU_XML);
        std::printf("Error! Can't create SKU.xml");
        return 1;
    }
    return 0;
}

int compressFailed() {
    std::remove(MYSKU_GZ);
    std::printf("Error! Can't compress mysku.xml.gz");
    return 1;
}

// gzip -q mysku.xml: mysku.xml.gz replaces mysku.xml.
int compressDocument() {
    struct stat st;
    if (stat(MYSKU_XML, &st) != 0) return compressFailed();
    std::string data;
    std::FILE* in = std::fopen(MYSKU_XML, "rb");
    if (!in) return compressFailed();
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) data.append(buf, n);
    bool readOk = std::ferror(in) == 0;
    std::fclose(in);
    if (!readOk) return compressFailed();

    std::time_t mtime = KelvaneClock::isFixed() ? KelvaneClock::now() : st.st_mtime;
    std::vector<uint8_t> gz;
    if (!gzip_member(data, MYSKU_XML, mtime, &gz)) return compressFailed();
    std::FILE* out = std::fopen(MYSKU_GZ, "wb");
    if (!out) return compressFailed();
    bool ok = std::fwrite(gz.data(), 1, gz.size(), out) == gz.size();
    ok = (std::fclose(out) == 0) && ok;
    if (!ok) return compressFailed();
    if (std::remove(MYSKU_XML) != 0) return compressFailed();
    return 0;
}

void removeOldOutputs() {
    for (const char* f : {"SKU.BIN", "SKU.ZIP", MYSKU_XML, "mysku.xmz", MYSKU_GZ}) std::remove(f);
}

void summary(const KelvaneContext& ctx) {
    std::printf("              Board ID     : %s\n", ctx.boardId.c_str());
    std::printf("             Rand Code     : %s\n", ctx.randCode.c_str());
    if (ctx.mainMac) std::printf("      Main MAC Address     : %s\n", sprintf_macaddr(ctx.mainMac));
    if (ctx.shareMac) {
        std::printf("     Share MAC Address     : %s\n", sprintf_macaddr(ctx.shareMac));
    }
    std::printf("\n");
    if (ctx.csn) std::printf(" Chassis Serial Number *   : %s\n", ctx.csn);
    if (ctx.bsn) std::printf(" Board Serial Number *     : %s\n", ctx.bsn);
    if (ctx.psn) std::printf(" Product Serial Number *   : %s\n", ctx.psn);
    if (ctx.asset) std::printf(" ASSET TAG *   : %s\n", ctx.asset);
    if (ctx.pn) std::printf(" Product Name *   : %s\n", ctx.pn);
    if (ctx.ru) std::printf(" RMC Unit *   : %s\n", ctx.ru);
    if (ctx.nu) std::printf(" Node Unit *   : %s\n", ctx.nu);
    if (ctx.pb) std::printf(" Power Bank *   : %s\n", ctx.pb);
}

int run(int argc, char** argv) {
    KelvaneContext ctx;
    removeOldOutputs();
    version();
    ArgResult args = parseArguments(argc, argv, ctx);
    if (args == ARGS_HELP) {
        usage();
        return 0;
    }
    if (args == ARGS_NONE) {
        usage();
        return 6;
    }
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[SKUBIN_MAX_SIZE]());
    if (!image) return -12;
    int rc = handle_skuxml(ctx, image.get());
    if (rc != 0) return rc;
    summary(ctx);
    return 0;
}

}  // namespace

void version() {
    std::printf(
        "\nkelvane.exe Version %s\n\nkelvane.exe is used for TRESKOVA BMC firmware \n"
        "configuration under DOS/Linux. It helps production line \n"
        "to program FRU, MAC Address and Fan Policy into BMC.\n\n",
        KELVANE_VERSION);
}

void usage() {
    std::printf(
        "%s\n",
        "\nUsage: kelvane [OPTION]\nexample:\n"
        " kelvane  MainMAC=001122334455 ShareMAC=006677889910 BSN=1234567 CSN=246810\n"
        " kelvane  WS=FRU_PRD_AREA PSN=123456789A\n"
        " MainMAC     : Dedicated LAN MAC Address\n"
        " ShareMAC    : Shared LAN MAC Address\n"
        " CSN         : Chassis Serial Number\n"
        " BSN         : Board Serial Number\n"
        " PSN         : Product Serial Number\n"
        " ASSET       : Asset Tag\n"
        " WS          : Write Selection, set it empty for all\n"
        "               the available selection is:\n"
        "                    FRU_AREA\n"
        "                    FRU_CHS_AREA\n"
        "                    FRU_PRD_AREA\n"
        "                    FRU_BOARD_AREA\n"
        "                    FRU_PRD_CHS_AREA\n"
        "                    BMC_MAC_ADDRESS_AREA\n"
        "                    FAN_POLICY_AREA\n"
        "                    LOGO_AREA\n"
        "                    UPDATE");
}

const char* sprintf_macaddr(const char* text) {
    static char buf[18];
    size_t o = 0;
    for (size_t i = 0; i < 12 && text[i]; ++i) {
        if (i > 0 && i % 2 == 0) buf[o++] = ':';
        buf[o++] = text[i];
    }
    buf[o] = '\0';
    return buf;
}

const char* get_xmlval(XmlElement* element, const char* path, XmlElement** found) {
    if (found) *found = nullptr;
    if (!element || !path) return nullptr;
    std::vector<std::string_view> parts;
    std::string_view p(path);
    while (!p.empty()) {
        size_t slash = p.find('/');
        std::string_view part = p.substr(0, slash);
        if (!part.empty()) parts.push_back(part);
        p = slash == std::string_view::npos ? std::string_view() : p.substr(slash + 1);
    }
    XmlElement* e = nullptr;
    if (parts.empty() || !resolve(element, parts, 0, &e)) return nullptr;
    if (found) *found = e;
    return e->text();
}

int vercmp(const char* a, const char* b) {
    auto value = [](const char* v) {
        // The minor part starts at the third character; shorter texts have none.
        long long minor = std::strlen(v) >= 2 ? leadingInt(v + 2) : 0;
        return 100 * leadingInt(v) + minor;
    };
    return value(a) < value(b) ? -1 : 0;
}

uint32_t get_frutime() {
    std::time_t now = KelvaneClock::now();
    if (now > FRU_EPOCH) return static_cast<uint32_t>((now - FRU_EPOCH) / 60);
    return static_cast<uint32_t>(now / 60);
}

int gzip_skuxml(KelvaneContext& ctx) {
    if (int rc = compressDocument()) return rc;
    struct stat st;
    if (stat(MYSKU_GZ, &st) != 0) {
        std::printf("Error! No such file or directory!");
        return -1;
    }
    ctx.compressed.assign(static_cast<size_t>(st.st_size), 0);
    std::FILE* f = std::fopen(MYSKU_GZ, "rb");
    if (!f) {
        std::printf("Can't open %s\n", MYSKU_GZ);
        return 1;
    }
    size_t got = std::fread(ctx.compressed.data(), 1, ctx.compressed.size(), f);
    std::fclose(f);
    if (got != ctx.compressed.size()) {
        std::printf("Can't open %s\n", MYSKU_GZ);
        return 1;
    }
    std::remove(MYSKU_GZ);
    return 0;
}

int handle_skuxml(KelvaneContext& ctx, uint8_t* image) {
    XmlDocument doc;
    XmlDocument::LoadResult loaded = doc.loadFile(SKU_XML);
    if (loaded == XmlDocument::CANNOT_OPEN) {
        std::printf("%s: No Such File or Directory!\n", SKU_XML);
        return -2;
    }
    if (loaded != XmlDocument::LOADED || !doc.root()) {
        std::printf("Unable to parse %s!\n", SKU_XML);
        return 2;
    }
    XmlElement* root = doc.root();

    // A document that names no requirement can be handled by any version.
    const char* required = get_xmlval(root, "/QMSKU/Requirement/Kelvane");
    if (required && vercmp(KELVANE_VERSION, required) < 0) {
        std::printf("Error! kelvane.exe Version %s is old\n", KELVANE_VERSION);
        std::printf("Error! The SKU.xml requires kelvane.exe Version %s\n", required);
        return 5;
    }
    const char* rand = get_xmlval(root, "/QMSKU/RandCode");
    const char* board = get_xmlval(root, "/QMSKU/BoardInfo/Main/ID");
    ctx.randCode = rand ? rand : "";
    ctx.boardId = board ? board : "";

    FruDocPtr fru(frulib_create_doc(FRU_AREA));
    if (int rc = buildFru(ctx, root, fru.get())) return rc;
    if (int rc = writeBack(ctx, root, doc.encoding())) return rc;
    if (int rc = printDocument(doc)) return rc;
    if (int rc = gzip_skuxml(ctx)) return rc;
    return generate_skubin(ctx, image);
}

int kelvane_main(int argc, char** argv) {
    int rc;
    try {
        rc = run(argc, argv);
    } catch (const std::bad_alloc&) {
        rc = -12;
    }
    std::fflush(stdout);
    return rc;
}

}  // namespace kv
