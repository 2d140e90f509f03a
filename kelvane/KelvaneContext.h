#pragma once
// Everything one kelvane run collects on its way to SKU.BIN.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {

struct KelvaneContext {
    std::string randCode;  // /QMSKU/RandCode
    std::string boardId;   // /QMSKU/BoardInfo/Main/ID

    // Values from the command line (pointing into argv), null when not given.
    const char* ws = nullptr;
    const char* mainMac = nullptr;
    const char* shareMac = nullptr;
    const char* csn = nullptr;
    const char* bsn = nullptr;
    const char* psn = nullptr;
    const char* pn = nullptr;
    const char* asset = nullptr;
    const char* ru = nullptr;
    const char* nu = nullptr;
    const char* pb = nullptr;

    std::vector<uint8_t> fruImage;
    std::vector<uint8_t> compressed;  // contents of mysku.xml.gz
};

}  // namespace kv
