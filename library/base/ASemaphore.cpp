#include "base/ASemaphore.h"

#include <chrono>

#include "base/DebugLog.h"
#include "platform/Clock.h"

ASemaphore::ASemaphore() : m_count(0) {}

ASemaphore::ASemaphore(bool unlocked) : m_count(unlocked ? 1 : 0) {
    if (unlocked) LogMessage("%s Constructor with no locking\n", "ASemaphore::ASemaphore");
}

ASemaphore::~ASemaphore() { close(); }

int ASemaphore::wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait(lock, [this] { return m_closed || m_count > 0; });
    if (m_closed) return WAIT_FAILED;
    m_count = 0;
    return WAIT_OBTAINED;
}

int ASemaphore::timedWait(int seconds) { return timedWaitMs(static_cast<long long>(seconds) * 1000); }

int ASemaphore::timedWaitMs(long long ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    // steady_clock: a change of the wall clock neither shortens nor stretches the wait.
    const auto deadline = std::chrono::steady_clock::now() + tw::Clock::toReal(ms);
    if (!m_cv.wait_until(lock, deadline, [this] { return m_closed || m_count > 0; }))
        return WAIT_TIMEOUT;
    if (m_closed) return WAIT_FAILED;
    m_count = 0;
    return WAIT_OBTAINED;
}

bool ASemaphore::release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed || m_count > 0) return false;
        m_count = 1;
    }
    m_cv.notify_one();
    return true;
}

void ASemaphore::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_cv.notify_all();
}
