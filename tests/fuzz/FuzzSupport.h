#pragma once
// Small helpers shared by the libFuzzer targets.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace twfuzz {

// A broken invariant: libFuzzer reports the abort as a crash and keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// The code under test talks to the user on standard output; libFuzzer reports
// on standard error, which stays.
inline void silenceStdout() {
    if (!std::freopen("/dev/null", "w", stdout)) fail("cannot silence stdout");
}

}  // namespace twfuzz
