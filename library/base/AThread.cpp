#include "base/AThread.h"

#include <cxxabi.h>
#include <signal.h>

#include "base/DebugLog.h"

namespace {
// The owner of the AThread whose run() this thread executes.
thread_local void* t_owner = nullptr;
}  // namespace

AThread::AThread() { pthread_attr_init(&m_attr); }

void* AThread::callingOwner() { return t_owner; }

AThread::~AThread() {
    pthread_attr_destroy(&m_attr);
    m_running.store(false);
    m_pause.close();
}

void* AThread::entry(void* self) {
    auto* t = static_cast<AThread*>(self);
    t->m_threadId.store(pthread_self());
    t->m_hasThreadId.store(true);
    t->m_threadIdLive.store(true);
    t_owner = t->m_owner.load();
    try {
        t->run();
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind, not be swallowed
    } catch (...) {
        LogMessage("%s run() ended with an exception.\n", "AThread::entry:");
    }
    t->m_threadIdLive.store(false);
    t->m_running.store(false);
    return nullptr;
}

void AThread::start(int) {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    bool expected = false;
    if (!m_started.compare_exchange_strong(expected, true)) return;
    create();
}

bool AThread::create() {
    pthread_attr_setdetachstate(&m_attr, PTHREAD_CREATE_JOINABLE);
    // Running before the thread exists, so a run() that ends at once is not
    // marked running afterwards. The new thread inherits a mask without
    // SIGINT and SIGTERM: those belong to the application's signal handling.
    m_running.store(true);
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    const int rc = pthread_create(&m_thread, &m_attr, &AThread::entry, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc == 0) {
        m_joinable.store(true);
        return true;
    }
    m_running.store(false);
    LogMessage("%s thread creation failed.\n", "AThread::start:");
    return false;
}

bool AThread::restart() {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (m_stop.load()) return false;
    bool expected = false;
    if (m_started.compare_exchange_strong(expected, true)) return create();
    if (m_running.load()) return true;
    if (m_joinable.load()) {
        if (pthread_equal(pthread_self(), m_thread)) return false;
        // The old thread has left run(); this waits only for its exit.
        pthread_join(m_thread, nullptr);
        m_joinable.store(false);
    }
    LogMessage("%s starting an ended thread again.\n", "AThread::restart:");
    return create();
}

void AThread::stopThread() {
    m_stop.store(true);
    m_suspendThread.store(false);
    m_pause.release();
}

void AThread::suspendThread() {
    m_pause.wait();
    m_suspendThread.store(true);
    // stopThread clears the request and gives the semaphore back; one that
    // ran before the wait above must not be undone by it.
    if (m_stop.load()) {
        m_suspendThread.store(false);
        m_pause.release();
    }
}

bool AThread::trySuspendThread(int64_t timeoutMs) {
    if (m_pause.timedWaitMs(timeoutMs) != ASemaphore::WAIT_OBTAINED) return false;
    m_suspendThread.store(true);
    if (m_stop.load()) {
        m_suspendThread.store(false);
        m_pause.release();
        return false;
    }
    return true;
}

void AThread::waitIfSuspended() {
    m_suspended.store(true);
    if (m_pause.wait() == ASemaphore::WAIT_OBTAINED) m_pause.release();
    m_suspended.store(false);
}

void AThread::resume() {
    if (!m_started.load()) start(0);
    m_suspendThread.store(false);
    m_pause.release();
}

void AThread::join() {
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (!m_joinable.load() || pthread_equal(pthread_self(), m_thread)) return;
    m_joinable.store(false);
    pthread_join(m_thread, nullptr);
}

bool AThread::isCurrentThread() const {
    return m_threadIdLive.load() && pthread_equal(pthread_self(), m_threadId.load());
}
