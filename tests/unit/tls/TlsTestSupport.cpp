#include "TlsTestSupport.h"
#include "support/LoopbackPort.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace tlstest {
namespace {

std::string makeTempDir() {
    char tmpl[] = "/tmp/tw_tls_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

void removeTree(const std::string& path) {
    if (path.rfind("/tmp/tw_tls_", 0) != 0) return;  // never anything else
    std::system(("rm -rf '" + path + "'").c_str());
}

// Runs the tests in a scratch directory: the socket appends its error logs
// to the current directory.
class ScratchCwd : public ::testing::Environment {
public:
    void SetUp() override {
        m_dir = makeTempDir();
        if (chdir(m_dir.c_str()) != 0) throw std::runtime_error("chdir failed");
    }
    void TearDown() override {
        if (chdir("/tmp") == 0) removeTree(m_dir);
        removeTree(certDirPath());
    }
    static std::string& certDirPath() {
        static std::string p;
        return p;
    }

private:
    std::string m_dir;
};

[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new ScratchCwd);

bool canConnect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

pid_t spawn(const std::string& command, int* stdinWrite, int* stdoutRead) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    *stdinWrite = in[1];
    *stdoutRead = out[0];
    return pid;
}

// Kept open for each peer so that s_server does not see end of input.
std::mutex g_pipesMutex;
std::vector<std::pair<pid_t, int>> g_pipes;

}  // namespace

const std::string& certDir() {
    static const std::string dir = [] {
        std::string d = makeTempDir();
        ScratchCwd::certDirPath() = d;
        const std::string script = std::string(TW_SOURCE_DIR) + "/tests/unit/tls/make_certs.sh";
        if (std::system(("sh '" + script + "' '" + d + "'").c_str()) != 0)
            throw std::runtime_error("make_certs.sh failed");
        return d;
    }();
    return dir;
}

std::string cert(const std::string& name) { return certDir() + "/" + name; }

TempDir::TempDir() : m_path(makeTempDir()) {}
TempDir::~TempDir() { removeTree(m_path); }

std::vector<std::string> TempDir::files() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(m_path.c_str())) {
        while (dirent* e = readdir(d)) {
            struct stat st;
            if (stat((m_path + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

int freePort() { return twtest::DeadPort(); }

Listener::Listener(int backlog) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    m_port = twtest::BindLoopback(m_fd);
    listen(m_fd, backlog);
}

Listener::~Listener() { ::close(m_fd); }

int Listener::accept(int timeoutMs) {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept(m_fd, nullptr, nullptr);
}

std::string readAll(int fd, int timeoutMs) {
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        char buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

Peer Peer::sServer(const std::string& args) {
    certDir();
    Peer p;
    p.m_port = freePort();
    int in = -1, out = -1;
    p.m_pid = spawn("cd '" + certDir() + "' && exec openssl s_server -accept 127.0.0.1:" +
                        std::to_string(p.m_port) + " " + args,
                    &in, &out);
    ::close(out);
    {
        std::lock_guard<std::mutex> lock(g_pipesMutex);
        g_pipes.emplace_back(p.m_pid, in);
    }
    for (int i = 0; i < 500 && !canConnect(p.m_port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return p;
}

Peer Peer::python(const std::string& mode, const std::string& certName,
                  const std::string& keyName, int arg) {
    certDir();
    Peer p;
    int in = -1, out = -1;
    const std::string script = std::string(TW_SOURCE_DIR) + "/tests/unit/tls/tls_peer.py";
    const std::string c = certName == "-" ? "-" : cert(certName);
    const std::string k = keyName == "-" ? "-" : cert(keyName);
    p.m_pid = spawn("exec python3 '" + script + "' " + mode + " '" + c + "' '" + k + "' " +
                        std::to_string(arg),
                    &in, &out);
    ::close(in);
    FILE* f = fdopen(out, "r");
    char line[64] = {0};
    if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        std::sscanf(line, "PORT %d", &p.m_port);
    if (f != nullptr) std::fclose(f);
    return p;
}

Peer::Peer(Peer&& other) noexcept : m_pid(other.m_pid), m_port(other.m_port) {
    other.m_pid = -1;
}

Peer::~Peer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status;
    waitpid(m_pid, &status, 0);
    std::lock_guard<std::mutex> lock(g_pipesMutex);
    for (auto it = g_pipes.begin(); it != g_pipes.end(); ++it) {
        if (it->first == m_pid) {
            ::close(it->second);
            g_pipes.erase(it);
            break;
        }
    }
}

X509* loadCert(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return nullptr;
    X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return x;
}

EVP_PKEY* loadKey(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return nullptr;
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return k;
}

void derChain(const std::vector<std::string>& pemFiles, std::vector<unsigned char>& bytes,
              std::vector<int>& sizes) {
    bytes.clear();
    sizes.clear();
    for (const std::string& file : pemFiles) {
        X509* x = loadCert(file);
        if (x == nullptr) throw std::runtime_error("cannot read " + file);
        unsigned char* der = nullptr;
        const int n = i2d_X509(x, &der);
        bytes.insert(bytes.end(), der, der + n);
        sizes.push_back(n);
        OPENSSL_free(der);
        X509_free(x);
    }
    sizes.push_back(0);
}

void ScriptedSession::CallbackCertificateSave(CertificatePrompt* prompt) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_last = *prompt;
    }
    m_calls.fetch_add(1);
    prompt->answer = m_answer;
}

CertificatePrompt ScriptedSession::last() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last;
}

}  // namespace tlstest
