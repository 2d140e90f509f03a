#pragma once
#include <condition_variable>
#include <mutex>

// A semaphore whose count is 0 or 1: a signal when built taken (default), a
// lock when built free. Waits return WAIT_OBTAINED, WAIT_TIMEOUT or WAIT_FAILED.
class ASemaphore {
public:
    static constexpr int WAIT_OBTAINED = 0;
    static constexpr int WAIT_TIMEOUT = 1;
    static constexpr int WAIT_FAILED = 11;

    ASemaphore();                       // taken: the first wait blocks
    explicit ASemaphore(bool unlocked);  // true: free, the first wait passes
    ~ASemaphore();
    ASemaphore(const ASemaphore&) = delete;
    ASemaphore& operator=(const ASemaphore&) = delete;

    int wait();
    int timedWait(int seconds);
    // Milliseconds of library time (see tw::Clock).
    int timedWaitMs(long long ms);
    // Raises the count to one; releasing a free semaphore changes nothing.
    // Returns false when the semaphore was already free or is closed.
    bool release();
    // Later waits fail at once; blocked waiters wake and fail.
    void close();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count;
    bool m_closed = false;
};
