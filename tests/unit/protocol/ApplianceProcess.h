#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Runs the fake appliance (tests/appliance) as a child process on loopback
// and reads what it recorded. The child ends when this object goes.
class ApplianceProcess {
public:
    explicit ApplianceProcess(std::vector<std::string> args) {
        m_log = CertDir() + "/records-" + std::to_string(getpid()) + "-" + std::to_string(++Counter()) + ".log";
        std::remove(m_log.c_str());
        std::vector<std::string> argv = {Python(), std::string(TW_SOURCE_DIR) + "/tests/appliance",
                                         "--cert-dir", CertDir(), "--log", m_log, "--stdin"};
        argv.insert(argv.end(), args.begin(), args.end());
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            std::vector<char*> cargv;
            for (auto& a : argv) cargv.push_back(a.data());
            cargv.push_back(nullptr);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (f && std::fgets(line, sizeof line, f)) {
            std::istringstream words(line);
            std::string word;
            words >> word >> m_port >> m_movedPort;
        }
        if (f) std::fclose(f);
    }
    ~ApplianceProcess() {
        if (m_stdin >= 0) close(m_stdin);
        if (m_pid > 0) {
            int status = 0;
            for (int i = 0; i < 100 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (waitpid(m_pid, &status, WNOHANG) == 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &status, 0);
            }
        }
        std::remove(m_log.c_str());
    }
    ApplianceProcess(const ApplianceProcess&) = delete;
    ApplianceProcess& operator=(const ApplianceProcess&) = delete;

    int port() const { return m_port; }
    int movedPort() const { return m_movedPort; }

    std::vector<std::string> lines() const {
        std::ifstream f(m_log);
        std::vector<std::string> out;
        for (std::string l; std::getline(f, l);) out.push_back(l);
        return out;
    }
    // Record lines that start with "<direction> <conn> <name> ".
    std::vector<std::string> records(const std::string& name, const std::string& direction = "in") const {
        std::vector<std::string> out;
        for (const auto& l : lines()) {
            std::istringstream w(l);
            std::string d, c, n;
            w >> d >> c >> n;
            if (d == direction && n == name) out.push_back(l);
        }
        return out;
    }
    // Waits (at most timeoutMs) until count records of that name exist.
    bool waitFor(const std::string& name, size_t count = 1, int timeoutMs = 10000,
                 const std::string& direction = "in") const {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (records(name, direction).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return records(name, direction).size() >= count;
    }

    // Folder of the self-signed certificate, shared by the tests of this process.
    static const std::string& CertDir() {
        static const std::string dir = [] {
            char tmpl[] = "/tmp/tw-appliance-XXXXXX";
            const char* d = mkdtemp(tmpl);
            return std::string(d ? d : "/tmp");
        }();
        return dir;
    }

private:
    // The system interpreter starts fastest; TW_PYTHON overrides it.
    static std::string Python() {
        if (const char* p = std::getenv("TW_PYTHON")) return p;
        if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
        return "python3";
    }
    static int& Counter() {
        static int n = 0;
        return n;
    }
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_port = 0;
    int m_movedPort = 0;
    std::string m_log;
};

// The value of "key=" in a record line, or "".
inline std::string Field(const std::string& line, const std::string& key) {
    std::istringstream w(line);
    for (std::string word; w >> word;)
        if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
    return "";
}
