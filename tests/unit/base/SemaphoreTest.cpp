#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/ASemaphore.h"

TEST(ASemaphore, NeverCountsPastOne) {
    ASemaphore s(true);
    EXPECT_FALSE(s.release());
    EXPECT_EQ(s.timedWaitMs(0), ASemaphore::WAIT_OBTAINED);
    EXPECT_EQ(s.timedWaitMs(20), ASemaphore::WAIT_TIMEOUT);
}

TEST(ASemaphore, SignalWakesWaiter) {
    ASemaphore s;
    std::atomic<int> got{-1};
    std::thread t([&] { got = s.wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(got.load(), -1);
    s.release();
    t.join();
    EXPECT_EQ(got.load(), ASemaphore::WAIT_OBTAINED);
}

TEST(ASemaphore, ClosedFails) {
    ASemaphore s;
    s.close();
    EXPECT_EQ(s.wait(), ASemaphore::WAIT_FAILED);
}
