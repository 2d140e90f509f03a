#include "protocol/SetupWatchdog.h"

#include "platform/Clock.h"
#include "tls/ASocket.h"

SetupWatchdog::SetupWatchdog(ASocket* socket, int64_t limitMs, std::function<bool()> busy) {
    if (socket == nullptr) return;
    m_thread = std::thread([this, socket, limitMs, busy = std::move(busy)] {
        std::unique_lock<std::mutex> lock(m_mutex);
        do {
            if (m_done.wait_for(lock, tw::Clock::toReal(limitMs), [this] { return m_finished; })) return;
        } while (busy && busy());
        m_expired = true;
        socket->close();
    });
}

SetupWatchdog::~SetupWatchdog() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    if (m_thread.joinable()) m_thread.join();
}
