#pragma once
// kelvane's one source of the current time (the FRU manufacturing date and
// the time in the gzip header), so that tests can pin it.
#include <ctime>

namespace kv {

class KelvaneClock {
public:
    using Source = std::time_t (*)();

    static std::time_t now();
    // True while a test has pinned the clock.
    static bool isFixed();
    // nullptr goes back to the system clock.
    static void setSource(Source source);
};

}  // namespace kv
