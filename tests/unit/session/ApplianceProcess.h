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

#include "support/LineChild.h"
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
        const std::string script = std::string(TW_SOURCE_DIR) + "/tests/unit/session/appliance_ctl.py";
        m_child.start({"python3", script, settingsJson});
        const std::string first = readLine(20000);
        if (first.rfind("LISTENING ", 0) == 0) m_port = std::stoi(first.substr(10));
        if (m_port <= 0) ADD_FAILURE() << "appliance did not start: " << first;
    }
    ~ApplianceProcess() {
        m_child.say("{\"op\": \"quit\"}");
        m_child.stop(5000);
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
    void writeLine(const std::string& line) { m_child.say(line); }
    std::string readLine(int timeoutMs) { return m_child.hear(timeoutMs); }

    twtest::LineChild m_child;
    int m_port = -1;
};

}  // namespace sessiontest
