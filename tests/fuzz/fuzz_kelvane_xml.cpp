// SKU.xml as kelvane handles it: parse, every lookup and write-back of a run,
// print. What is printed must parse again and print the same.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "Kelvane.h"
#include "XmlDocument.h"

namespace {

const char* const kReadPaths[] = {
    "/QMSKU/Requirement/Kelvane",       "/QMSKU/RandCode",
    "/QMSKU/BoardInfo/Main/ID",         "/QMSKU/FRU/ChassisType",
    "/QMSKU/FRU/ChassisPartNumber",     "/QMSKU/FRU/ChassisSerialNumber",
    "/QMSKU/FRU/BoardManufacturerName", "/QMSKU/FRU/BoardProductName",
    "/QMSKU/FRU/BoardSerialNumber",     "/QMSKU/FRU/BoardPartNumber",
    "/QMSKU/FRU/BoardExtra",            "/QMSKU/FRU/ProductManufacturerName",
    "/QMSKU/FRU/ProductName",           "/QMSKU/FRU/ProductSerialNumber",
    "/QMSKU/FRU/ProductPartNumber",     "/QMSKU/FRU/ProductVersion",
    "/QMSKU/FRU/AssetTag",
};

const char* const kWritePaths[] = {
    "/QMSKU/Requirement/WriteSelection",
    "/QMSKU/BoardInfo/Main/NIC/Interface1/MacAddr0",
    "/QMSKU/BoardInfo/Main/NIC/Interface2/MacAddr0",
    "/QMSKU/FRU/ChassisSerialNumber/",
    "/QMSKU/OpenRackInfo/PowerBank",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv::XmlDocument doc;
    if (doc.loadText(std::string(reinterpret_cast<const char*>(data), size)) !=
        kv::XmlDocument::LOADED) {
        twfuzz::check(doc.root() == nullptr, "a failed load left a tree");
        return 0;
    }
    kv::XmlElement* root = doc.root();
    twfuzz::check(root != nullptr, "loaded without a root");
    for (const char* path : kReadPaths) {
        kv::XmlElement* found = nullptr;
        const char* text = kv::get_xmlval(root, path, &found);
        twfuzz::check(!text || found, "text without an element");
        if (text) twfuzz::check(found->text() == text, "text of another element");
    }
    if (const char* required = kv::get_xmlval(root, "/QMSKU/Requirement/Kelvane")) {
        (void)kv::vercmp(kv::KELVANE_VERSION, required);
    }
    for (const char* path : kWritePaths) {
        kv::XmlElement* found = nullptr;
        kv::get_xmlval(root, path, &found);
        if (found) found->setText("00:11:22:33:44:55");
    }

    const std::string printed = doc.print();
    kv::XmlDocument again;
    twfuzz::check(again.loadText(printed) == kv::XmlDocument::LOADED,
                  "the printed document does not parse");
    twfuzz::check(again.print() == printed, "printing the printed document changed it");
    return 0;
}
