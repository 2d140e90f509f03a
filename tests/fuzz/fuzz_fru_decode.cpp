// The FRU decoder on an image of exactly the input's size (so that reading
// past the image is caught), then print and encode what it decoded. Texts
// that decode must survive an encode and a second decode.
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "frulib.h"

namespace {

FruText FruDoc::*const kTexts[] = {
    &FruDoc::chassisPartNumber,   &FruDoc::chassisSerialNumber, &FruDoc::chassisExtra,
    &FruDoc::boardManufacturer,   &FruDoc::boardProductName,    &FruDoc::boardSerialNumber,
    &FruDoc::boardPartNumber,     &FruDoc::boardFruFileId,      &FruDoc::boardExtra,
    &FruDoc::productManufacturer, &FruDoc::productName,         &FruDoc::productPartNumber,
    &FruDoc::productVersion,      &FruDoc::productSerialNumber, &FruDoc::productAssetTag,
    &FruDoc::productFruFileId,
};

bool sameText(const FruText& a, const FruText& b) {
    // The encoder writes none and empty alike.
    const bool ea = !a || a->empty(), eb = !b || b->empty();
    if (ea || eb) return ea && eb;
    return *a == *b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FruDocPtr doc(frulib_create_doc(size));
    if (size) std::memcpy(doc->image, data, size);
    if (frulib_parse_doc(doc.get()) != 0) return 0;
    frulib_print(doc.get());
    frulib_print_raw(doc.get());
    for (FruText FruDoc::*t : kTexts) {
        twfuzz::check(!(doc.get()->*t) || (doc.get()->*t)->size() <= FRU_MAX_TEXT,
                      "decoded text longer than a type/length byte holds");
    }

    // Encode the decoded fields into a fresh area and decode them again.
    FruDocPtr copy(frulib_create_doc(FRU_DEFAULT_AREA));
    for (FruText FruDoc::*t : kTexts) copy.get()->*t = doc.get()->*t;
    copy->chassisType = doc->chassisType;
    copy->boardLanguage = doc->boardLanguage;
    copy->productLanguage = doc->productLanguage;
    std::memcpy(copy->boardMfgDate, doc->boardMfgDate, 3);
    uint8_t* image = nullptr;
    size_t length = 0;
    twfuzz::check(frulib_make_doc(copy.get(), &image, &length) == 0,
                  "decoded fields do not encode");
    twfuzz::check(length % 8 == 0 && length <= copy->capacity, "bad image length");
    twfuzz::check(frulib_zerochecksum(image, 8) == 0, "bad header checksum");

    FruDocPtr back(frulib_create_doc(length));
    std::memcpy(back->image, image, length);
    twfuzz::check(frulib_parse_doc(back.get()) == 0, "an encoded image does not decode");
    for (FruText FruDoc::*t : kTexts) {
        twfuzz::check(sameText(back.get()->*t, doc.get()->*t), "a text changed on the way");
    }
    twfuzz::check(back->chassisType == doc->chassisType && back->boardLanguage == doc->boardLanguage &&
                      back->productLanguage == doc->productLanguage &&
                      std::memcmp(back->boardMfgDate, doc->boardMfgDate, 3) == 0,
                  "a byte field changed on the way");
    return 0;
}
