#pragma once
#include <chrono>
#include <functional>
#include <thread>

// Polls a condition until it holds or about realMs have passed; the bound is
// generous because a loaded machine delays the threads under test.
inline bool Eventually(const std::function<bool()>& pred, int realMs = 30000) {
    for (int i = 0; i < realMs / 5; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}
