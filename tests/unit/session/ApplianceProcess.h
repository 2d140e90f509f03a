#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace sessiontest {

// Pulls "key": value out of one JSON object line (first occurrence; enough
// for the flat records the controller prints).
inline std::string JsonRaw(const std::string& json, const std::string& key) {
    const std::string k = "\"" + key + "\": ";
    size_t at = json.find(k);
    if (at == std::string::npos) return "";
    at += k.size();
    if (json[at] == '"') {
        size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    size_t end = json.find_first_of(",}]", at);
    return json.substr(at, end - at);
}
inline int JsonInt(const std::string& json, const std::string& key, int fallback = -1) {
    const std::string v = JsonRaw(json, key);
    if (v.empty() || v == "null") return fallback;
    if (v == "true") return 1;
    if (v == "false") return 0;
    return std::stoi(v);
}

// One record of the appliance, as the controller prints it.
struct Record {
    std::string json;
    std::string direction;
    std::string name;
    int type = -1;
    int param = -1;
    int conn = -1;
    int field(const std::string& key) const { return JsonInt(json, key); }
    std::string text(const std::string& key) const { return JsonRaw(json, key); }
};

inline Record ToRecord(const std::string& json) {
    Record r;
    r.json = json;
    r.direction = JsonRaw(json, "direction");
    r.name = JsonRaw(json, "name");
    r.type = JsonInt(json, "type");
    r.param = JsonInt(json, "param");
    r.conn = JsonInt(json, "conn");
    return r;
}

// The fake appliance of tests/appliance in a child process, driven over
// pipes through tests/unit/session/appliance_ctl.py. Loopback only.
class ApplianceProcess {
public:
    explicit ApplianceProcess(const std::string& json = "{}") {
        // One self-signed certificate for every appliance of this process.
        static twtest::TempDir certs;
        std::string settingsJson = json;
        if (settingsJson.find("cert_dir") == std::string::npos && !settingsJson.empty() && settingsJson[0] == '{') {
            const bool empty = settingsJson.find_first_not_of(" {}") == std::string::npos;
            settingsJson.insert(1, "\"cert_dir\": \"" + certs.path() + "\"" + (empty ? "" : ", "));
        }
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string script = std::string(TW_SOURCE_DIR) + "/tests/unit/session/appliance_ctl.py";
        std::vector<char*> argv = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()),
                                   const_cast<char*>(settingsJson.c_str()), nullptr};
        if (posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_toChild = in[1];
        m_fromChild = out[0];
        const std::string first = readLine(20000);
        if (first.rfind("LISTENING ", 0) == 0) m_port = std::stoi(first.substr(10));
        if (m_port <= 0) ADD_FAILURE() << "appliance did not start: " << first;
    }
    ~ApplianceProcess() {
        if (m_toChild >= 0) {
            writeLine("{\"op\": \"quit\"}");
            close(m_toChild);
        }
        if (m_pid > 0) {
            for (int i = 0; i < 500; ++i) {
                if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                    m_pid = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (m_pid > 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
        if (m_fromChild >= 0) close(m_fromChild);
    }
    ApplianceProcess(const ApplianceProcess&) = delete;
    ApplianceProcess& operator=(const ApplianceProcess&) = delete;

    int port() const { return m_port; }

    // One command, one answer line.
    std::string command(const std::string& json, int timeoutMs = 30000) {
        writeLine(json);
        return readLine(timeoutMs);
    }
    // The count-th record of that name (and direction), waited for up to timeout seconds.
    bool waitFor(const std::string& name, Record* record = nullptr, int count = 1, double timeout = 10,
                 const std::string& direction = "in") {
        const std::string answer = command("{\"op\": \"wait_for\", \"name\": \"" + name + "\", \"count\": " +
                                               std::to_string(count) + ", \"timeout\": " + std::to_string(timeout) +
                                               ", \"direction\": \"" + direction + "\"}",
                                           int(timeout * 1000) + 20000);
        const bool ok = JsonRaw(answer, "ok") == "true";
        if (ok && record != nullptr) {
            size_t at = answer.find("\"record\": ");
            *record = ToRecord(answer.substr(at));
        }
        return ok;
    }
    std::vector<Record> records() {
        const std::string answer = command("{\"op\": \"records\"}");
        std::vector<Record> out;
        size_t at = 0;
        const std::string start = "{\"conn\": ";
        while ((at = answer.find(start, at)) != std::string::npos) {
            size_t next = answer.find(start, at + 1);
            out.push_back(ToRecord(answer.substr(at, next == std::string::npos ? std::string::npos : next - at)));
            at += start.size();
        }
        return out;
    }
    std::vector<Record> received(const std::string& name) {
        std::vector<Record> out;
        for (const Record& r : records())
            if (r.direction == "in" && r.name == name) out.push_back(r);
        return out;
    }
    // A packet built by appliance.wire.<builder>(args...), args as JSON.
    bool send(const std::string& builder, const std::string& argsJson = "[]") {
        const std::string answer =
            command("{\"op\": \"send\", \"builder\": \"" + builder + "\", \"args\": " + argsJson + "}");
        return JsonRaw(answer, "ok") == "true";
    }
    bool drop() { return JsonRaw(command("{\"op\": \"drop\"}"), "ok") == "true"; }

private:
    void writeLine(const std::string& line) {
        std::string l = line + "\n";
        size_t done = 0;
        while (done < l.size()) {
            ssize_t n = write(m_toChild, l.data() + done, l.size() - done);
            if (n <= 0) return;
            done += size_t(n);
        }
    }
    std::string readLine(int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_fromChild < 0) return "";
            pollfd p{m_fromChild, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) return "";
            char chunk[65536];
            ssize_t n = read(m_fromChild, chunk, sizeof chunk);
            if (n <= 0) return "";
            m_buffer.append(chunk, size_t(n));
        }
    }

    pid_t m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
    int m_port = -1;
    std::string m_buffer;
};

}  // namespace sessiontest
