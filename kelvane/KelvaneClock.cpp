#include "KelvaneClock.h"

#include <atomic>

namespace kv {

namespace {
std::atomic<KelvaneClock::Source> g_source{nullptr};
}

std::time_t KelvaneClock::now() {
    Source s = g_source.load();
    return s ? s() : std::time(nullptr);
}

bool KelvaneClock::isFixed() { return g_source.load() != nullptr; }

void KelvaneClock::setSource(Source source) { g_source.store(source); }

}  // namespace kv
