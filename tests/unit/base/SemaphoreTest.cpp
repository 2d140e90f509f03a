#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/ASemaphore.h"
#include "platform/Clock.h"

namespace {

// Scales library time down for the timed waits and restores it afterwards.
class FastClock {
public:
    explicit FastClock(double scale) : m_before(tw::Clock::scale()) { tw::Clock::setScale(scale); }
    ~FastClock() { tw::Clock::setScale(m_before); }

private:
    double m_before;
};

// Waits (bounded) until pred holds.
template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 5000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

TEST(ASemaphore, NeverCountsPastOne) {
    ASemaphore s(true);
    EXPECT_FALSE(s.release());
    EXPECT_EQ(s.timedWaitMs(0), ASemaphore::WAIT_OBTAINED);
    EXPECT_EQ(s.timedWaitMs(20), ASemaphore::WAIT_TIMEOUT);
}

TEST(ASemaphore, TwoReleasesThenTwoWaitsTheSecondTimesOut) {
    ASemaphore s;
    EXPECT_TRUE(s.release());
    EXPECT_FALSE(s.release());
    EXPECT_EQ(s.timedWaitMs(0), ASemaphore::WAIT_OBTAINED);
    EXPECT_EQ(s.timedWaitMs(10), ASemaphore::WAIT_TIMEOUT);
}

TEST(ASemaphore, UnlockedPassesOnceThenBlocks) {
    ASemaphore s(true);
    EXPECT_EQ(s.wait(), ASemaphore::WAIT_OBTAINED);
    std::atomic<int> got{-1};
    std::thread t([&] { got = s.wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(got.load(), -1);
    s.release();
    t.join();
    EXPECT_EQ(got.load(), ASemaphore::WAIT_OBTAINED);
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

TEST(ASemaphore, TimedWaitWaitsItsLibraryTime) {
    FastClock fast(0.02);  // one library second is 20 ms
    ASemaphore s;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.timedWait(1), ASemaphore::WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));

    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        s.release();
    });
    EXPECT_EQ(s.timedWait(500), ASemaphore::WAIT_OBTAINED);  // 10 s real: released long before
    t.join();
}

TEST(ASemaphore, ClosedFailsAndWakesWaiters) {
    ASemaphore s;
    std::atomic<int> got{-1};
    std::thread t([&] { got = s.wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    s.close();
    t.join();
    EXPECT_EQ(got.load(), ASemaphore::WAIT_FAILED);
    EXPECT_EQ(s.wait(), ASemaphore::WAIT_FAILED);
    EXPECT_EQ(s.timedWait(1), ASemaphore::WAIT_FAILED);
    EXPECT_FALSE(s.release());
}

std::atomic<int> g_usr1{0};
void onUsr1(int) { g_usr1.fetch_add(1); }

// A signal handled on the waiting thread neither ends the wait nor fails it.
TEST(ASemaphore, SignalsDoNotInterruptWaits) {
    struct sigaction sa {}, old {};
    sa.sa_handler = onUsr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    ASemaphore s;
    std::atomic<int> plain{-1}, timed{-1};
    std::atomic<pthread_t> plainId{}, timedId{};
    std::thread a([&] {
        plainId = pthread_self();
        plain = s.wait();
    });
    std::thread b([&] {
        timedId = pthread_self();
        timed = s.timedWait(30);
    });
    ASSERT_TRUE(eventually([&] { return plainId.load() != pthread_t{} && timedId.load() != pthread_t{}; }));
    g_usr1 = 0;
    for (int i = 0; i < 5; ++i) {
        pthread_kill(plainId.load(), SIGUSR1);
        pthread_kill(timedId.load(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Pending signals of one kind merge, so only "some were handled" is certain.
    EXPECT_TRUE(eventually([&] { return g_usr1.load() >= 1; }));
    EXPECT_EQ(plain.load(), -1);
    EXPECT_EQ(timed.load(), -1);
    s.release();
    ASSERT_TRUE(eventually([&] { return plain.load() != -1 || timed.load() != -1; }));
    s.release();
    a.join();
    b.join();
    EXPECT_EQ(plain.load(), ASemaphore::WAIT_OBTAINED);
    EXPECT_EQ(timed.load(), ASemaphore::WAIT_OBTAINED);
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
