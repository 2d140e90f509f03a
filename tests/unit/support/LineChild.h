#pragma once
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace twtest {

// A child process spoken to in lines over its standard input and output.
// Every wait is bounded; the child is killed if it outstays its stop.
class LineChild {
public:
    LineChild() = default;
    ~LineChild() { stop(10000); }
    LineChild(const LineChild&) = delete;
    LineChild& operator=(const LineChild&) = delete;

    // args[0] is looked up in PATH.
    bool start(const std::vector<std::string>& args) {
        int in[2], out[2];
        if (pipe(in) != 0) return false;
        if (pipe(out) != 0) {
            close(in[0]);
            close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_to = in[1];
        m_from = out[0];
        return m_pid > 0;
    }

    bool say(const std::string& line) {
        if (m_to < 0) return false;
        const std::string l = line + "\n";
        size_t done = 0;
        while (done < l.size()) {
            const ssize_t n = write(m_to, l.data() + done, l.size() - done);
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }

    // The next line, or "" after timeoutMs or once the child's output ended.
    std::string hear(int64_t timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_from < 0) return "";
            pollfd p{m_from, POLLIN, 0};
            if (poll(&p, 1, int(std::min<int64_t>(left.count(), 1000))) < 0) return "";
            if (!(p.revents & (POLLIN | POLLHUP))) continue;
            char chunk[65536];
            const ssize_t n = read(m_from, chunk, sizeof chunk);
            if (n <= 0) return "";
            m_buffer.append(chunk, size_t(n));
        }
    }

    // Closes the child's input, gives it waitMs to end, then kills it.
    void stop(int waitMs) {
        if (m_to >= 0) close(m_to);
        m_to = -1;
        if (m_pid > 0) {
            bool ended = false;
            for (int i = 0; i <= waitMs / 10 && !ended; ++i) {
                ended = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
                if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!ended) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
            m_pid = -1;
        }
        if (m_from >= 0) close(m_from);
        m_from = -1;
    }

private:
    pid_t m_pid = -1;
    int m_to = -1;
    int m_from = -1;
    std::string m_buffer;
};

}  // namespace twtest
