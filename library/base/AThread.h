#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "base/ASemaphore.h"

// Base of every worker thread. Owners call stopThread() then join() before
// deleting the object; the destructor neither stops nor joins.
class AThread {
public:
    AThread();
    virtual ~AThread();
    AThread(const AThread&) = delete;
    AThread& operator=(const AThread&) = delete;

    // Creates the thread once; later calls do nothing. The argument is unused.
    virtual void start(int unused = 0);
    virtual void run() = 0;
    // Asks run() to return and releases a paused thread.
    virtual void stopThread();

    bool isRunning() const { return m_running.load(); }
    bool isStopRequested() const { return m_stop.load(); }
    bool isSuspendRequested() const { return m_suspendThread.load(); }
    bool isSuspended() const { return m_suspended.load(); }

    // Called by another thread: takes the pause semaphore and asks for a pause.
    // A stop requested before or meanwhile leaves the thread unpaused.
    void suspendThread();
    // The same, waiting at most timeoutMs (library time) for the semaphore;
    // false when no pause was asked for (timeout, or stopped).
    bool trySuspendThread(int64_t timeoutMs);
    // Called by the thread itself at a safe point: blocks while a pauser holds
    // the pause semaphore.
    void waitIfSuspended();
    // Starts a never-started thread; otherwise ends a pause.
    void resume();
    // Starts the thread again when its run() has returned without a stop
    // being asked for (it ended on an error); nothing while it runs. False
    // when stopped or when no thread could be created.
    bool restart();
    // Waits for the thread to end; safe to call twice or on a thread that was
    // never created. Never call it from the thread itself.
    void join();
    // True while called on this object's own thread.
    bool isCurrentThread() const;
    // The thread was created (start succeeded at least once).
    bool wasStarted() const { return m_joinable.load() || m_hasThreadId.load(); }

    // The object this thread works for (set by its owner before start), and
    // the owner of the thread the caller runs on: null on a thread that is
    // not an AThread's or whose object has no owner.
    void setOwner(void* owner) { m_owner.store(owner); }
    static void* callingOwner();

protected:
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_suspendThread{false};
    std::atomic<bool> m_suspended{false};
    ASemaphore m_pause{true};

private:
    static void* entry(void* self);
    // Creates the thread; m_lifeMutex held.
    bool create();
    // Start, restart and join: one at a time (m_thread changes on a restart).
    std::mutex m_lifeMutex;
    pthread_t m_thread{};
    pthread_attr_t m_attr{};
    std::atomic<bool> m_joinable{false};
    std::atomic<bool> m_started{false};
    std::atomic<pthread_t> m_threadId{};
    std::atomic<bool> m_hasThreadId{false};
    // The id belongs to a live thread of this object (ids are reused once a
    // thread has ended).
    std::atomic<bool> m_threadIdLive{false};
    std::atomic<void*> m_owner{nullptr};
};
