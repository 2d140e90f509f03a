#pragma once
#include <chrono>
#include <cstdint>

namespace tw {

// The library's one source of time for sleeps, timed waits and "time since".
// Tests may speed every timing up by a scale factor (0.01 = a hundred times
// faster); the library's constants stay as they are.
class Clock {
public:
    // Milliseconds on a monotonic clock, in library time (real time / scale).
    static int64_t nowMs();
    // Sleeps for ms of library time.
    static void sleepMs(int64_t ms);
    // Real duration for ms of library time (for condition-variable waits).
    static std::chrono::nanoseconds toReal(int64_t ms);

    static void setScale(double scale);  // > 0; 1.0 is real time
    static double scale();
};

}  // namespace tw
