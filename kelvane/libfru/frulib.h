#pragma once
// FRU document library: the fields of an IPMI FRU information record
// (common header, chassis, board and product info areas), their encoder
// into a binary image and the decoder back into fields.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Field ids of frulib_set_frudata.
enum FruFieldId {
    FRU_CHASSIS_TYPE = 1,
    FRU_CHASSIS_PART_NUMBER = 2,
    FRU_CHASSIS_SERIAL_NUMBER = 3,
    FRU_CHASSIS_EXTRA = 4,
    FRU_BOARD_LANGUAGE = 5,
    FRU_BOARD_MFG_DATE = 6,
    FRU_BOARD_MANUFACTURER = 7,
    FRU_BOARD_PRODUCT_NAME = 8,
    FRU_BOARD_SERIAL_NUMBER = 9,
    FRU_BOARD_PART_NUMBER = 10,
    FRU_BOARD_FRU_FILE_ID = 11,
    FRU_BOARD_EXTRA = 12,
    FRU_PRODUCT_LANGUAGE = 13,
    FRU_PRODUCT_MANUFACTURER = 14,
    FRU_PRODUCT_NAME = 15,
    FRU_PRODUCT_PART_NUMBER = 16,
    FRU_PRODUCT_SERIAL_NUMBER = 17,
    FRU_PRODUCT_VERSION = 18,
    FRU_PRODUCT_ASSET_TAG = 19,
    FRU_PRODUCT_FRU_FILE_ID = 20,
};

// Longest text one type/length byte can describe.
constexpr size_t FRU_MAX_TEXT = 63;
// Image area of the documents made by the loaders.
constexpr size_t FRU_DEFAULT_AREA = 2048;

using FruText = std::optional<std::string>;

struct FruDoc {
    uint8_t* image = nullptr;  // start of the image area (the common header)
    size_t capacity = 0;       // bytes in the image area
    std::vector<uint8_t> internalUse;  // filled by the decoder only

    uint8_t chassisType = 0;
    FruText chassisPartNumber, chassisSerialNumber, chassisExtra;

    uint8_t boardLanguage = 0;
    uint8_t boardMfgDate[3] = {0, 0, 0};
    FruText boardManufacturer, boardProductName, boardSerialNumber;
    FruText boardPartNumber, boardFruFileId, boardExtra;

    uint8_t productLanguage = 0;
    FruText productManufacturer, productName, productPartNumber;
    FruText productVersion, productSerialNumber, productAssetTag;
    FruText productFruFileId, productCustom;

    std::unique_ptr<uint8_t[]> area;  // owns what image points to
};

FruDoc* frulib_create_doc(size_t capacity);
FruDoc* frulib_open_doc(const char* fileName);
FruDoc* frulib_open_doc_from_memory(const uint8_t* bytes, size_t length);
void frulib_free_doc(FruDoc* doc);

// 0 on success (also for a null value, which changes nothing); -1 for an
// unknown id.
int frulib_set_frudata(FruDoc* doc, int id, const void* value, size_t length);

// Encodes into the document's own area. 0, or -1 when a text is longer than
// FRU_MAX_TEXT or the image would not fit the area (nothing is returned then).
int frulib_make_doc(FruDoc* doc, uint8_t** image, size_t* length);

// Decodes the area into the fields. 0, or -1 with "Error to parse FRU".
int frulib_parse_doc(FruDoc* doc);

void frulib_print(const FruDoc* doc);
void frulib_print_raw(const FruDoc* doc);

uint8_t frulib_zerochecksum(const uint8_t* bytes, size_t count);
uint8_t* frulib_set_fruchr(uint8_t* pos, const uint8_t* bytes, size_t count);
uint8_t* frulib_set_frustr(uint8_t* pos, const FruText& text);
uint8_t* frulib_set_area_end(uint8_t* imageStart, uint8_t* pos, uint8_t* lengthByte,
                             size_t areaOffset);
size_t frulib_get_frustr(uint8_t typeLength, const uint8_t* pos, FruText* out);

struct FruDocDeleter {
    void operator()(FruDoc* d) const { frulib_free_doc(d); }
};
using FruDocPtr = std::unique_ptr<FruDoc, FruDocDeleter>;
