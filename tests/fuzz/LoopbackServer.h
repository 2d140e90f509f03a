#pragma once
// A one-connection-at-a-time TCP server on 127.0.0.1 (ephemeral port) that
// plays a script to every client: optionally read the proxy request and send
// the proxy reply, read the session request, send the reply, end its side and
// wait for the client to close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "FuzzSupport.h"

namespace twfuzz {

class LoopbackServer {
public:
    struct Script {
        bool proxy = false;
        std::vector<uint8_t> proxyReply;
        std::vector<uint8_t> reply;
    };

    LoopbackServer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(m_listen, 8) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            fail("loopback listener");
        }
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~LoopbackServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return m_port; }
    void setScript(Script script) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script = std::move(script);
    }

private:
    static bool waitReadable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }
    // Reads up to n bytes within a bounded time; false at end of stream.
    static bool readSome(int fd, size_t n) {
        char buf[256];
        while (n > 0) {
            if (!waitReadable(fd, 2000)) return false;
            ssize_t got = ::recv(fd, buf, std::min(n, sizeof buf), 0);
            if (got <= 0) return false;
            n -= size_t(got);
        }
        return true;
    }
    static void sendAll(int fd, const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += size_t(n);
        }
    }
    void serve(int fd) {
        Script s;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            s = m_script;
        }
        bool ok = true;
        if (s.proxy) {
            ok = readSome(fd, 23);
            if (ok) sendAll(fd, s.proxyReply);
            // A short reply ends the conversation, or both sides would wait.
            ok = ok && s.proxyReply.size() >= 17;
        }
        if (ok && readSome(fd, 68)) sendAll(fd, s.reply);
        ::shutdown(fd, SHUT_WR);
        // Until the client closes (a TLS attempt sends a little first).
        char buf[4096];
        for (int i = 0; i < 100 && waitReadable(fd, 2000); ++i) {
            if (::recv(fd, buf, sizeof buf, 0) <= 0) break;
        }
        ::close(fd);
    }
    void run() {
        while (!m_stop) {
            if (!waitReadable(m_listen, 50)) continue;
            int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) serve(fd);
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    Script m_script;
    std::thread m_thread;
};

}  // namespace twfuzz
