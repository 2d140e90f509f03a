#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "base/AThread.h"

namespace {

template <typename Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 5000; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

// A worker that loops until stopped, pausing at its safe point when asked.
class Worker : public AThread {
public:
    std::atomic<int> entries{0};
    std::atomic<int> passes{0};
    std::atomic<bool> throwIt{false};

    void run() override {
        entries.fetch_add(1);
        if (throwIt) throw std::runtime_error("boom");
        while (!m_stop.load()) {
            if (m_suspendThread.load()) waitIfSuspended();
            passes.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

TEST(AThread, StartTwiceCreatesOneThread) {
    Worker w;
    EXPECT_FALSE(w.isRunning());
    w.start();
    w.start();
    EXPECT_TRUE(w.isRunning());
    ASSERT_TRUE(eventually([&] { return w.entries.load() == 1; }));
    w.stopThread();
    w.join();
    w.join();  // a second join is harmless
    EXPECT_EQ(w.entries.load(), 1);
}

TEST(AThread, JoinWithoutStartIsHarmless) {
    Worker w;
    w.join();
    EXPECT_FALSE(w.isRunning());
}

TEST(AThread, ThrowingRunEndsOnlyItsThread) {
    Worker w;
    w.throwIt = true;
    w.start();
    w.join();
    EXPECT_EQ(w.entries.load(), 1);
}

TEST(AThread, SuspendHoldsTheThreadUntilResume) {
    Worker w;
    w.start();
    w.suspendThread();
    EXPECT_TRUE(w.isSuspendRequested());
    ASSERT_TRUE(eventually([&] { return w.isSuspended(); }));
    const int held = w.passes.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.passes.load(), held);  // blocked at its safe point

    w.resume();
    ASSERT_TRUE(eventually([&] { return w.passes.load() > held + 2; }));
    EXPECT_FALSE(w.isSuspended());
    EXPECT_FALSE(w.isSuspendRequested());

    // The pause semaphore was given back: a second pause works the same way.
    w.suspendThread();
    ASSERT_TRUE(eventually([&] { return w.isSuspended(); }));
    w.resume();
    ASSERT_TRUE(eventually([&] { return !w.isSuspended(); }));
    w.stopThread();
    w.join();
}

TEST(AThread, StopReleasesASuspendedThread) {
    Worker w;
    w.start();
    w.suspendThread();
    ASSERT_TRUE(eventually([&] { return w.isSuspended(); }));
    w.stopThread();
    w.join();  // would hang if the paused thread were not released
    EXPECT_TRUE(w.isStopRequested());
    EXPECT_FALSE(w.isSuspendRequested());
    EXPECT_FALSE(w.isSuspended());
}

// Looks at the pause request before the stop, as the send thread does.
class PauseFirstWorker : public AThread {
public:
    std::atomic<int> entries{0};
    std::atomic<bool> failOnce{false};
    void run() override {
        entries.fetch_add(1);
        if (failOnce.exchange(false)) throw std::runtime_error("boom");
        for (;;) {
            if (m_suspendThread.load()) waitIfSuspended();
            if (m_stop.load()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

TEST(AThread, APauseAskedForAfterTheStopHoldsNothing) {
    for (bool bounded : {false, true}) {
        SCOPED_TRACE(bounded ? "trySuspendThread" : "suspendThread");
        PauseFirstWorker w;
        w.start();
        w.stopThread();
        if (bounded)
            EXPECT_FALSE(w.trySuspendThread(1000));
        else
            w.suspendThread();
        EXPECT_FALSE(w.isSuspendRequested());
        const bool ended = eventually([&] { return !w.isRunning(); });
        EXPECT_TRUE(ended);
        if (!ended) w.resume();  // lets the test end when it fails
        w.join();
    }
}

TEST(AThread, TrySuspendGivesUpOnAPauseHeldElsewhere) {
    PauseFirstWorker w;
    w.start();
    ASSERT_TRUE(w.trySuspendThread(1000));
    EXPECT_FALSE(w.trySuspendThread(20));
    w.resume();
    w.stopThread();
    w.join();
}

TEST(AThread, RestartStartsAThreadThatEndedOnAnError) {
    PauseFirstWorker w;
    w.failOnce = true;
    w.start();
    ASSERT_TRUE(eventually([&] { return !w.isRunning(); }));
    EXPECT_TRUE(w.restart());
    ASSERT_TRUE(eventually([&] { return w.entries.load() == 2; }));
    EXPECT_TRUE(w.isRunning());
    // Running: nothing new.
    EXPECT_TRUE(w.restart());
    EXPECT_EQ(w.entries.load(), 2);
    w.stopThread();
    w.join();
    // Stopped: never again.
    EXPECT_FALSE(w.restart());
    EXPECT_FALSE(w.isRunning());
    EXPECT_EQ(w.entries.load(), 2);
}

TEST(AThread, AnEndedThreadsIdIsNotAnotherThreads) {
    // The id of an ended thread is handed out again (here, most likely, to
    // the very next thread).
    for (int i = 0; i < 5; ++i) {
        Worker w;
        w.start();
        w.stopThread();
        w.join();
        bool claimed = true;
        std::thread([&] { claimed = w.isCurrentThread(); }).join();
        EXPECT_FALSE(claimed);
        EXPECT_TRUE(w.wasStarted());
    }
}

TEST(AThread, ResumeStartsANeverStartedThread) {
    Worker w;
    w.resume();
    EXPECT_TRUE(w.isRunning());
    ASSERT_TRUE(eventually([&] { return w.entries.load() == 1; }));
    w.stopThread();
    w.join();
}

}  // namespace
