#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class ASocket;

// Bounds one blocking step of the session set-up: when the step has not
// finished within the limit, the socket is closed from this helper's own
// thread, which makes a blocked read or handshake on it return.
class SetupWatchdog {
public:
    // limitMs in library milliseconds (see tw::Clock). While busy() says so
    // (someone is answering a prompt with its own time limit), the limit
    // starts again instead of expiring.
    SetupWatchdog(ASocket* socket, int64_t limitMs, std::function<bool()> busy = {});
    ~SetupWatchdog();
    SetupWatchdog(const SetupWatchdog&) = delete;
    SetupWatchdog& operator=(const SetupWatchdog&) = delete;

    bool expired() const { return m_expired; }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::atomic<bool> m_expired{false};
    std::thread m_thread;
};
