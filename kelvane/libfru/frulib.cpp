#include "frulib.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t TL_TEXT = 0xC0;  // type 11b: 8-bit ASCII + Latin 1
constexpr uint8_t END_OF_FIELDS = 0xC1;

size_t roundUp8(size_t n) { return (n + 7) & ~size_t(7); }

// Bytes a text takes in the image.
size_t encodedSize(const FruText& t) {
    if (!t || t->empty()) return 1;
    if (t->size() == 1) return 3;  // padded, see frulib_set_frustr
    return 1 + t->size();
}

bool fitsTypeLength(const FruText& t) { return !t || t->size() <= FRU_MAX_TEXT; }

// Length of an area holding `fixed` leading bytes and the given texts.
template <typename... T>
size_t areaSize(size_t fixed, const T&... texts) {
    size_t through = fixed + (encodedSize(texts) + ... + 0) + 1;  // + end marker
    return roundUp8(through) + 8;
}

void setText(FruText& field, const void* value, size_t length) {
    const char* s = static_cast<const char*>(value);
    // The field is a NUL-terminated copy: an embedded NUL ends it.
    field = std::string(s, strnlen(s, length));
}

void resetArea(FruDoc* doc) {
    std::memset(doc->image, 0, doc->capacity);
    if (doc->capacity > 0) doc->image[0] = 1;
}

// Reads the fields of an area while checking every byte against the buffer.
class AreaReader {
public:
    AreaReader(const FruDoc* doc, size_t start) : m_doc(doc), m_pos(start) {}

    bool byte(uint8_t* out) {
        if (m_pos >= m_doc->capacity) return false;
        *out = m_doc->image[m_pos++];
        return true;
    }
    bool skip(size_t n) {
        if (n > m_doc->capacity - std::min(m_pos, m_doc->capacity)) return false;
        m_pos += n;
        return true;
    }
    bool text(FruText* out) {
        uint8_t tl = 0;
        if (!byte(&tl)) return false;
        size_t len = tl & 0x3F;
        if (len > m_doc->capacity - m_pos) return false;
        m_pos += frulib_get_frustr(tl, m_doc->image + m_pos, out) - 1;
        return true;
    }

private:
    const FruDoc* m_doc;
    size_t m_pos;
};

int parseFailed() {
    std::printf("Error to parse FRU\n");
    return -1;
}

const char* show(const FruText& t) { return t ? t->c_str() : ""; }

}  // namespace

FruDoc* frulib_create_doc(size_t capacity) {
    auto doc = std::make_unique<FruDoc>();
    doc->area = std::make_unique<uint8_t[]>(capacity > 0 ? capacity : 1);
    doc->image = doc->area.get();
    doc->capacity = capacity;
    resetArea(doc.get());
    return doc.release();
}

FruDoc* frulib_open_doc(const char* fileName) {
    FruDoc* doc = frulib_create_doc(FRU_DEFAULT_AREA);
    std::FILE* f = std::fopen(fileName, "rb");
    if (!f) {
        std::printf("open file error\n");
        return doc;
    }
    size_t got = std::fread(doc->image, 1, doc->capacity, f);
    std::fclose(f);
    (void)got;  // a short file leaves the rest of the area as it was
    return doc;
}

FruDoc* frulib_open_doc_from_memory(const uint8_t* bytes, size_t length) {
    FruDoc* doc = frulib_create_doc(FRU_DEFAULT_AREA);
    if (bytes && length > 0) {
        std::memcpy(doc->image, bytes, std::min(length, doc->capacity));
    }
    return doc;
}

void frulib_free_doc(FruDoc* doc) { delete doc; }

int frulib_set_frudata(FruDoc* doc, int id, const void* value, size_t length) {
    if (id < FRU_CHASSIS_TYPE || id > FRU_PRODUCT_FRU_FILE_ID) return -1;
    if (!doc || !value) return 0;
    const uint8_t* b = static_cast<const uint8_t*>(value);
    switch (id) {
        case FRU_CHASSIS_TYPE: if (length > 0) doc->chassisType = b[0]; break;
        case FRU_BOARD_LANGUAGE: if (length > 0) doc->boardLanguage = b[0]; break;
        case FRU_PRODUCT_LANGUAGE: if (length > 0) doc->productLanguage = b[0]; break;
        case FRU_BOARD_MFG_DATE:
            // Only what was given is copied; the rest of the date is zero.
            std::memset(doc->boardMfgDate, 0, 3);
            std::memcpy(doc->boardMfgDate, b, std::min<size_t>(length, 3));
            break;
        case FRU_CHASSIS_PART_NUMBER: setText(doc->chassisPartNumber, value, length); break;
        case FRU_CHASSIS_SERIAL_NUMBER: setText(doc->chassisSerialNumber, value, length); break;
        case FRU_CHASSIS_EXTRA: setText(doc->chassisExtra, value, length); break;
        case FRU_BOARD_MANUFACTURER: setText(doc->boardManufacturer, value, length); break;
        case FRU_BOARD_PRODUCT_NAME: setText(doc->boardProductName, value, length); break;
        case FRU_BOARD_SERIAL_NUMBER: setText(doc->boardSerialNumber, value, length); break;
        case FRU_BOARD_PART_NUMBER: setText(doc->boardPartNumber, value, length); break;
        case FRU_BOARD_FRU_FILE_ID: setText(doc->boardFruFileId, value, length); break;
        case FRU_BOARD_EXTRA: setText(doc->boardExtra, value, length); break;
        case FRU_PRODUCT_MANUFACTURER: setText(doc->productManufacturer, value, length); break;
        case FRU_PRODUCT_NAME: setText(doc->productName, value, length); break;
        case FRU_PRODUCT_PART_NUMBER: setText(doc->productPartNumber, value, length); break;
        case FRU_PRODUCT_SERIAL_NUMBER: setText(doc->productSerialNumber, value, length); break;
        case FRU_PRODUCT_VERSION: setText(doc->productVersion, value, length); break;
        case FRU_PRODUCT_ASSET_TAG: setText(doc->productAssetTag, value, length); break;
        case FRU_PRODUCT_FRU_FILE_ID: setText(doc->productFruFileId, value, length); break;
    }
    return 0;
}

uint8_t frulib_zerochecksum(const uint8_t* bytes, size_t count) {
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>((256 - (sum % 256)) % 256);
}

uint8_t* frulib_set_fruchr(uint8_t* pos, const uint8_t* bytes, size_t count) {
    std::memcpy(pos, bytes, count);
    return pos + count;
}

uint8_t* frulib_set_frustr(uint8_t* pos, const FruText& text) {
    if (!text || text->empty()) {
        *pos++ = TL_TEXT;
        return pos;
    }
    if (text->size() == 1) {
        // C1 is the end-of-fields marker, so a one-byte text is stored as two
        // bytes with a trailing NUL; decoders read it back as the one character.
        *pos++ = TL_TEXT | 2;
        *pos++ = static_cast<uint8_t>((*text)[0]);
        *pos++ = 0;
        return pos;
    }
    *pos++ = static_cast<uint8_t>(TL_TEXT | (text->size() & 0x3F));
    return frulib_set_fruchr(pos, reinterpret_cast<const uint8_t*>(text->data()), text->size());
}

uint8_t* frulib_set_area_end(uint8_t* imageStart, uint8_t* pos, uint8_t* lengthByte,
                             size_t areaOffset) {
    uint8_t* areaStart = imageStart + areaOffset * 8;
    *pos++ = END_OF_FIELDS;
    size_t len = roundUp8(static_cast<size_t>(pos - areaStart)) + 8;
    std::memset(pos, 0, static_cast<size_t>(areaStart + len - pos));
    *lengthByte = static_cast<uint8_t>(len / 8);
    areaStart[len - 1] = frulib_zerochecksum(areaStart, len);
    return areaStart + len;
}

size_t frulib_get_frustr(uint8_t typeLength, const uint8_t* pos, FruText* out) {
    size_t len = typeLength & 0x3F;
    *out = std::string(reinterpret_cast<const char*>(pos),
                       strnlen(reinterpret_cast<const char*>(pos), len));
    return len + 1;
}

int frulib_make_doc(FruDoc* doc, uint8_t** image, size_t* length) {
    const FruDoc& d = *doc;
    for (const FruText* t : {&d.chassisPartNumber, &d.chassisSerialNumber, &d.chassisExtra,
                             &d.boardManufacturer, &d.boardProductName, &d.boardSerialNumber,
                             &d.boardPartNumber, &d.boardFruFileId, &d.boardExtra,
                             &d.productManufacturer, &d.productName, &d.productPartNumber,
                             &d.productVersion, &d.productSerialNumber, &d.productAssetTag,
                             &d.productFruFileId}) {
        if (!fitsTypeLength(*t)) return -1;
    }
    const FruText noText;
    size_t chassisStart = d.internalUse.empty() ? 8 : roundUp8(8 + 1 + d.internalUse.size());
    size_t chassisLen = areaSize(3, d.chassisPartNumber, d.chassisSerialNumber, d.chassisExtra);
    size_t boardLen = areaSize(6, d.boardManufacturer, d.boardProductName, d.boardSerialNumber,
                               d.boardPartNumber, d.boardFruFileId, d.boardExtra);
    size_t productLen = areaSize(3, d.productManufacturer, d.productName, d.productPartNumber,
                                 d.productVersion, d.productSerialNumber, d.productAssetTag,
                                 d.productFruFileId, noText);
    size_t total = chassisStart + chassisLen + boardLen + productLen;
    // Area offsets are single bytes in 8-byte units.
    if (total > d.capacity || (total - productLen) / 8 > 255) return -1;

    resetArea(doc);
    uint8_t* img = doc->image;
    uint8_t* p = img + 8;
    if (!d.internalUse.empty()) {
        img[1] = 1;
        *p++ = 1;
        p = frulib_set_fruchr(p, d.internalUse.data(), d.internalUse.size());
    }
    img[2] = static_cast<uint8_t>(chassisStart / 8);
    p = img + chassisStart;

    *p++ = 1;
    uint8_t* lenByte = p++;
    *p++ = d.chassisType;
    p = frulib_set_frustr(p, d.chassisPartNumber);
    p = frulib_set_frustr(p, d.chassisSerialNumber);
    p = frulib_set_frustr(p, d.chassisExtra);
    p = frulib_set_area_end(img, p, lenByte, img[2]);
    img[3] = static_cast<uint8_t>((p - img) / 8);

    *p++ = 1;
    lenByte = p++;
    *p++ = d.boardLanguage;
    p = frulib_set_fruchr(p, d.boardMfgDate, 3);
    for (const FruText* t : {&d.boardManufacturer, &d.boardProductName, &d.boardSerialNumber,
                             &d.boardPartNumber, &d.boardFruFileId, &d.boardExtra}) {
        p = frulib_set_frustr(p, *t);
    }
    p = frulib_set_area_end(img, p, lenByte, img[3]);
    img[4] = static_cast<uint8_t>((p - img) / 8);

    *p++ = 1;
    lenByte = p++;
    *p++ = d.productLanguage;
    for (const FruText* t : {&d.productManufacturer, &d.productName, &d.productPartNumber,
                             &d.productVersion, &d.productSerialNumber, &d.productAssetTag,
                             &d.productFruFileId, &noText}) {
        p = frulib_set_frustr(p, *t);
    }
    p = frulib_set_area_end(img, p, lenByte, img[4]);

    img[7] = frulib_zerochecksum(img, 8);
    *image = img;
    *length = static_cast<size_t>(p - img);
    return 0;
}

int frulib_parse_doc(FruDoc* doc) {
    const uint8_t* h = doc->image;
    if (doc->capacity < 8) return parseFailed();
    if (h[1] != 0) {
        uint8_t next = 0;
        for (int i = 2; i <= 5 && next == 0; ++i) next = h[i];
        if (next != 0) {
            size_t from = size_t(h[1]) * 8 + 1;
            size_t to = size_t(next) * 8;
            if (to <= from || to > doc->capacity) return parseFailed();
            doc->internalUse.assign(h + from, h + to);
        }
    }
    if (h[2] != 0) {
        AreaReader r(doc, size_t(h[2]) * 8);
        if (!r.skip(2) || !r.byte(&doc->chassisType) || !r.text(&doc->chassisPartNumber) ||
            !r.text(&doc->chassisSerialNumber) || !r.text(&doc->chassisExtra)) {
            return parseFailed();
        }
    }
    if (h[3] != 0) {
        AreaReader r(doc, size_t(h[3]) * 8);
        bool ok = r.skip(2) && r.byte(&doc->boardLanguage);
        for (int i = 0; ok && i < 3; ++i) ok = r.byte(&doc->boardMfgDate[i]);
        for (FruText* t : {&doc->boardManufacturer, &doc->boardProductName,
                           &doc->boardSerialNumber, &doc->boardPartNumber,
                           &doc->boardFruFileId, &doc->boardExtra}) {
            ok = ok && r.text(t);
        }
        if (!ok) return parseFailed();
    }
    if (h[4] != 0) {
        AreaReader r(doc, size_t(h[4]) * 8);
        bool ok = r.skip(2) && r.byte(&doc->productLanguage);
        for (FruText* t : {&doc->productManufacturer, &doc->productName,
                           &doc->productPartNumber, &doc->productVersion,
                           &doc->productSerialNumber, &doc->productAssetTag,
                           &doc->productFruFileId}) {
            ok = ok && r.text(t);
        }
        if (!ok) return parseFailed();
    }
    return 0;
}

void frulib_print(const FruDoc* d) {
    std::printf("FRU Chassis Info           = %d\n", d->chassisType);
    std::printf("FRU Chassis Part Number    = %s\n", show(d->chassisPartNumber));
    std::printf("FRU Chassis Serial Number  = %s\n", show(d->chassisSerialNumber));
    std::printf("FRU Chassis Extra          = %s\n", show(d->chassisExtra));
    std::printf("FRU Board Language Code    = %d\n", d->boardLanguage);
    std::printf("FRU Board Maker            = %s\n", show(d->boardManufacturer));
    std::printf("FRU Board Product Name     = %s\n", show(d->boardProductName));
    std::printf("FRU Board Product Number   = %s\n", show(d->boardPartNumber));
    std::printf("FRU Board Serial Number    = %s\n", show(d->boardSerialNumber));
    std::printf("FRU Board FRU ID           = %s\n", show(d->boardFruFileId));
    std::printf("FRU Board Extra            = %s\n", show(d->boardExtra));
    std::printf("FRU Product Language Code  = %d\n", d->productLanguage);
    std::printf("FRU Product Maker          = %s\n", show(d->productManufacturer));
    std::printf("FRU Product Name           = %s\n", show(d->productName));
    std::printf("FRU Product Part Number    = %s\n", show(d->productPartNumber));
    std::printf("FRU Product Version        = %s\n", show(d->productVersion));
    std::printf("FRU Product Serial Number  = %s\n", show(d->productSerialNumber));
    std::printf("FRU Product Asset Tag      = %s\n", show(d->productAssetTag));
    std::printf("FRU Product FRU ID         = %s\n", show(d->productFruFileId));
}

void frulib_print_raw(const FruDoc* d) {
    size_t n = std::min<size_t>(192, d->capacity);
    for (size_t i = 0; i < n; ++i) {
        std::printf(" %02x", d->image[i]);
        if (i % 16 == 15 || i + 1 == n) std::printf("\n");
    }
    std::printf("\n");
}
