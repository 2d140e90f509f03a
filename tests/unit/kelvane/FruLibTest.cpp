#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frulib.h"

namespace {

std::vector<uint8_t> encode(FruDoc* doc) {
    uint8_t* image = nullptr;
    size_t len = 0;
    EXPECT_EQ(frulib_make_doc(doc, &image, &len), 0);
    EXPECT_EQ(image, doc->image);
    return std::vector<uint8_t>(image, image + len);
}

void setText(FruDoc* doc, int id, const std::string& s) {
    ASSERT_EQ(frulib_set_frudata(doc, id, s.data(), s.size()), 0);
}

// Every area (and the header) must sum to 0 modulo 256 and the area lengths
// must chain the offsets.
void expectConsistent(const std::vector<uint8_t>& img) {
    ASSERT_GE(img.size(), 8u);
    unsigned sum = 0;
    for (int i = 0; i < 8; ++i) sum += img[i];
    EXPECT_EQ(sum % 256, 0u) << "header";
    for (int a = 2; a <= 4; ++a) {
        size_t start = size_t(img[a]) * 8;
        ASSERT_LT(start + 1, img.size());
        size_t len = size_t(img[start + 1]) * 8;
        ASSERT_LE(start + len, img.size());
        unsigned s = 0;
        for (size_t i = start; i < start + len; ++i) s += img[i];
        EXPECT_EQ(s % 256, 0u) << "area at header byte " << a;
        if (a < 4) EXPECT_EQ(size_t(img[a + 1]) * 8, start + len);
        else EXPECT_EQ(start + len, img.size());
    }
}

}  // namespace

TEST(FruLib, EmptyDocumentEncodesToTheReferenceImage) {
    FruDocPtr doc(frulib_create_doc(2048));
    const std::vector<uint8_t> expected = {
        0x01, 0x00, 0x01, 0x03, 0x06, 0x00, 0x00, 0xF5, 0x01, 0x02, 0x00, 0xC0, 0xC0, 0xC0,
        0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFC, 0x01, 0x03, 0x00, 0x00,
        0x00, 0x00, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0xBB, 0x01, 0x03, 0x00, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0,
        0xC0, 0xC0, 0xC0, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x3B};
    EXPECT_EQ(encode(doc.get()), expected);
}

TEST(FruLib, TextsAreTypeLengthCodedAndSumsHold) {
    FruDocPtr doc(frulib_create_doc(2048));
    setText(doc.get(), FRU_BOARD_MANUFACTURER, "Acmex");
    setText(doc.get(), FRU_BOARD_MANUFACTURER, "Orrin");  // the second value wins
    setText(doc.get(), FRU_CHASSIS_SERIAL_NUMBER, "CS-0001");
    setText(doc.get(), FRU_PRODUCT_NAME, std::string(63, 'N'));
    const uint8_t type = 0x17, date[3] = {1, 2, 3};
    frulib_set_frudata(doc.get(), FRU_CHASSIS_TYPE, &type, 1);
    frulib_set_frudata(doc.get(), FRU_BOARD_MFG_DATE, date, 3);
    auto img = encode(doc.get());
    expectConsistent(img);
    EXPECT_EQ(img.size() % 8, 0u);

    size_t board = size_t(img[3]) * 8;
    EXPECT_EQ(img[board + 3], 1);
    EXPECT_EQ(img[board + 5], 3);
    EXPECT_EQ(img[board + 6], 0xC5);
    EXPECT_EQ(std::string(img.begin() + long(board) + 7, img.begin() + long(board) + 12), "Orrin");
    size_t chassis = size_t(img[2]) * 8;
    EXPECT_EQ(img[chassis + 2], 0x17);
    EXPECT_EQ(img[chassis + 4], 0xC7);
    size_t product = size_t(img[4]) * 8;
    EXPECT_EQ(img[product + 4], 0xC0 | 63);
}

TEST(FruLib, OneCharacterTextNeverLooksLikeTheEndMarker) {
    FruDocPtr doc(frulib_create_doc(2048));
    setText(doc.get(), FRU_CHASSIS_PART_NUMBER, "A");
    auto img = encode(doc.get());
    const uint8_t chassisTexts[] = {0xC2, 'A', 0x00, 0xC0, 0xC0, 0xC1};
    EXPECT_EQ(0, std::memcmp(&img[8 + 3], chassisTexts, sizeof chassisTexts));
    expectConsistent(img);

    FruDocPtr back(frulib_open_doc_from_memory(img.data(), img.size()));
    ASSERT_EQ(frulib_parse_doc(back.get()), 0);
    EXPECT_EQ(back->chassisPartNumber, "A");
}

TEST(FruLib, RefusesWhatTheFormatCannotHold) {
    FruDocPtr doc(frulib_create_doc(2048));
    setText(doc.get(), FRU_PRODUCT_ASSET_TAG, std::string(64, 'x'));
    uint8_t* image = nullptr;
    size_t len = 0;
    EXPECT_EQ(frulib_make_doc(doc.get(), &image, &len), -1);
    EXPECT_EQ(image, nullptr);

    FruDocPtr small(frulib_create_doc(64));  // the empty image needs 72
    EXPECT_EQ(frulib_make_doc(small.get(), &image, &len), -1);
}

TEST(FruLib, SetterIdsAndNullValues) {
    FruDocPtr doc(frulib_create_doc(2048));
    const char* v = "x";
    EXPECT_EQ(frulib_set_frudata(doc.get(), 0, v, 1), -1);
    EXPECT_EQ(frulib_set_frudata(doc.get(), 21, v, 1), -1);
    setText(doc.get(), FRU_PRODUCT_VERSION, "V2");
    EXPECT_EQ(frulib_set_frudata(doc.get(), FRU_PRODUCT_VERSION, nullptr, 5), 0);
    EXPECT_EQ(doc->productVersion, "V2");
    // The date takes at most three bytes; a short value zeroes the rest.
    const uint8_t d[1] = {9};
    frulib_set_frudata(doc.get(), FRU_BOARD_MFG_DATE, d, 1);
    EXPECT_EQ(doc->boardMfgDate[0], 9);
    EXPECT_EQ(doc->boardMfgDate[1], 0);
    EXPECT_EQ(doc->boardMfgDate[2], 0);
}

TEST(FruLib, AreaEndPadsToTheNextBlockPlusOne) {
    // End marker as the 21st and as the 24th byte: both give 32-byte areas.
    for (size_t marker : {21u, 24u}) {
        std::vector<uint8_t> img(64, 0xEE);
        img[0] = 1;
        uint8_t* end = frulib_set_area_end(img.data(), img.data() + marker - 1, &img[1], 0);
        EXPECT_EQ(end, img.data() + 32) << marker;
        EXPECT_EQ(img[marker - 1], 0xC1);
        EXPECT_EQ(img[1], 4);
        unsigned s = 0;
        for (int i = 0; i < 32; ++i) s += img[i];
        EXPECT_EQ(s % 256, 0u);
        for (size_t i = marker; i < 31; ++i) EXPECT_EQ(img[i], 0) << i;
    }
    const uint8_t bytes[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(frulib_zerochecksum(bytes, 3), 0xFA);
    EXPECT_EQ(frulib_zerochecksum(bytes, 0), 0);
}

TEST(FruLib, DecodesWhatItEncodes) {
    FruDocPtr doc(frulib_create_doc(2048));
    struct { int id; const char* text; FruText FruDoc::*field; } cases[] = {
        {FRU_CHASSIS_PART_NUMBER, "CP-1", &FruDoc::chassisPartNumber},
        {FRU_CHASSIS_SERIAL_NUMBER, "CS-2", &FruDoc::chassisSerialNumber},
        {FRU_CHASSIS_EXTRA, "CX", &FruDoc::chassisExtra},
        {FRU_BOARD_MANUFACTURER, "Orrin Works", &FruDoc::boardManufacturer},
        {FRU_BOARD_PRODUCT_NAME, "Mainboard", &FruDoc::boardProductName},
        {FRU_BOARD_SERIAL_NUMBER, "BS-3", &FruDoc::boardSerialNumber},
        {FRU_BOARD_PART_NUMBER, "BP-4", &FruDoc::boardPartNumber},
        {FRU_BOARD_FRU_FILE_ID, "bf", &FruDoc::boardFruFileId},
        {FRU_BOARD_EXTRA, "Rev C", &FruDoc::boardExtra},
        {FRU_PRODUCT_MANUFACTURER, "Orrin", &FruDoc::productManufacturer},
        {FRU_PRODUCT_NAME, "Box", &FruDoc::productName},
        {FRU_PRODUCT_PART_NUMBER, "PP-5", &FruDoc::productPartNumber},
        {FRU_PRODUCT_VERSION, "7", &FruDoc::productVersion},
        {FRU_PRODUCT_SERIAL_NUMBER, "PS-6", &FruDoc::productSerialNumber},
        {FRU_PRODUCT_ASSET_TAG, "Asset 8", &FruDoc::productAssetTag},
        {FRU_PRODUCT_FRU_FILE_ID, "pf", &FruDoc::productFruFileId},
    };
    for (const auto& c : cases) setText(doc.get(), c.id, c.text);
    const uint8_t type = 0x11, lang = 25, date[3] = {0xAB, 0xCD, 0x0E};
    frulib_set_frudata(doc.get(), FRU_CHASSIS_TYPE, &type, 1);
    frulib_set_frudata(doc.get(), FRU_BOARD_LANGUAGE, &lang, 1);
    frulib_set_frudata(doc.get(), FRU_PRODUCT_LANGUAGE, &lang, 1);
    frulib_set_frudata(doc.get(), FRU_BOARD_MFG_DATE, date, 3);
    auto img = encode(doc.get());
    expectConsistent(img);

    FruDocPtr back(frulib_open_doc_from_memory(img.data(), img.size()));
    ASSERT_EQ(frulib_parse_doc(back.get()), 0);
    for (const auto& c : cases) EXPECT_EQ((*back).*c.field, c.text) << c.id;
    EXPECT_EQ(back->chassisType, 0x11);
    EXPECT_EQ(back->boardLanguage, 25);
    EXPECT_EQ(back->productLanguage, 25);
    EXPECT_EQ(0, std::memcmp(back->boardMfgDate, date, 3));
}

TEST(FruLib, DecoderStaysInsideItsBuffer) {
    struct Case { const char* what; std::vector<uint8_t> image; };
    std::vector<uint8_t> farProduct(2048, 0);
    farProduct[0] = 1;
    farProduct[4] = 255;  // byte 2040: the texts would run past the end
    for (size_t i = 2040 + 3; i < 2048; ++i) farProduct[i] = 0xFF;
    std::vector<uint8_t> farChassis(2048, 0);
    farChassis[0] = 1;
    farChassis[2] = 255;
    farChassis[2040 + 3] = 0xC0 | 63;  // a 63-byte text with 4 bytes left
    std::vector<uint8_t> emptyInternal = {1, 1, 1, 0, 0, 0, 0, 0xFD};
    emptyInternal.resize(16, 0);
    Case cases[] = {{"product area at the last block", farProduct},
                    {"chassis text past the end", farChassis},
                    {"empty internal-use area", emptyInternal}};
    for (const Case& c : cases) {
        FruDocPtr doc(frulib_open_doc_from_memory(c.image.data(), c.image.size()));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(frulib_parse_doc(doc.get()), -1) << c.what;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error to parse FRU\n") << c.what;
    }
}

TEST(FruLib, InternalUseDataRoundTrips) {
    FruDocPtr doc(frulib_create_doc(2048));
    doc->internalUse = {0xDE, 0xAD, 0xBE, 0xEF};
    auto img = encode(doc.get());
    EXPECT_EQ(img[1], 1);
    EXPECT_EQ(img[2], 2);  // 8 + version + 4 bytes, rounded up to 16
    expectConsistent(img);
    FruDocPtr back(frulib_open_doc_from_memory(img.data(), img.size()));
    ASSERT_EQ(frulib_parse_doc(back.get()), 0);
    // The decoder keeps everything up to the chassis area, padding included.
    ASSERT_EQ(back->internalUse.size(), 7u);
    EXPECT_EQ(back->internalUse[3], 0xEF);
}

TEST(FruLib, LoadersAndPrinters) {
    ::testing::internal::CaptureStdout();
    FruDocPtr missing(frulib_open_doc("/nonexistent/fru.bin"));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "open file error\n");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->image[0], 1);
    EXPECT_EQ(missing->capacity, 2048u);

    FruDocPtr doc(frulib_create_doc(2048));
    setText(doc.get(), FRU_BOARD_PART_NUMBER, "BP-9");
    encode(doc.get());
    ::testing::internal::CaptureStdout();
    frulib_print(doc.get());
    std::string text = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);
    EXPECT_NE(text.find("FRU Chassis Info           = 0\n"), std::string::npos);
    EXPECT_NE(text.find("FRU Board Product Number   = BP-9\n"), std::string::npos);
    EXPECT_NE(text.find("FRU Product FRU ID         = \n"), std::string::npos);

    ::testing::internal::CaptureStdout();
    frulib_print_raw(doc.get());
    std::string raw = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(raw.substr(0, 49), " 01 00 01 03 07 00 00 f4 01 02 00 c0 c0 c0 c1 00\n");
    EXPECT_EQ(raw.size(), 12 * 49 + 1u);
    EXPECT_EQ(raw.back(), '\n');
}
