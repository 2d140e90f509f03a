// Tarnwick's option table over a command line: one argument per input line
// (a NUL also ends one). Every option the program looks up, and the port.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ArgumentParser.h"
#include "FuzzSupport.h"
#include "MOSKA.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1, "Tarnwick");
    args.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' || data[i] == '\0') args.emplace_back();
        else args.back() += char(data[i]);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    ArgumentParser options(int(args.size()), argv.data());
    const int n = options.getNumberOfKeys();
    twfuzz::check(n >= 0 && n <= ArgumentParser::MAX_KEYS, "key count");
    for (int i = -1; i <= n; ++i) {
        const char* key = options.getKeyAt(i);
        twfuzz::check((key != nullptr) == (i >= 0 && i < n), "a key outside the table");
        const char* value = options.getValueAt(i);
        if (value) twfuzz::check(key && value[0] != '-', "a value that is an option");
    }
    for (const char* name : {"a", "u", "p", "o", "f", "fw", "r", "rw", "c", "i", "v", "h"}) {
        const char* value = options.getValue(name);
        twfuzz::check(!value || options.hasKey(name), "a value without its key");
        const int port = MOSKA::portFromOption(value);
        twfuzz::check(port >= 0 && port <= 65535, "port out of range");
    }
    return 0;
}
