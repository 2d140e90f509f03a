// kxrtdebug.cfg as the debug log reads it: the text is the file, looked up
// for the key the log uses and for a section and key taken from its first line.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/IniReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int a = tw::iniGetIntFromText(text, "DEBUG", "VirtualMedia", 0);
    const int b = tw::iniGetIntFromText(text, "DEBUG", "VirtualMedia", 77);
    // Only a key that is missing gives the default back.
    twfuzz::check(a == b || (a == 0 && b == 77), "the default leaked into a found value");

    const size_t eol = text.find('\n');
    const std::string first = text.substr(0, eol);
    const size_t bar = first.find('|');
    if (bar != std::string::npos) {
        (void)tw::iniGetIntFromText(text, first.substr(0, bar), first.substr(bar + 1), -1);
    }
    return 0;
}
