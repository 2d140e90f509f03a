#include "platform/Clock.h"

#include <atomic>
#include <thread>

namespace tw {
namespace {
std::atomic<double> g_scale{1.0};
}

int64_t Clock::nowMs() {
    auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
    return static_cast<int64_t>(static_cast<double>(real) / 1000.0 / g_scale.load());
}

std::chrono::nanoseconds Clock::toReal(int64_t ms) {
    if (ms <= 0) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(ms) * 1e6 * g_scale.load()));
}

void Clock::sleepMs(int64_t ms) { std::this_thread::sleep_for(toReal(ms)); }

void Clock::setScale(double scale) {
    if (scale > 0) g_scale.store(scale);
}

double Clock::scale() { return g_scale.load(); }

}  // namespace tw
