#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

#include <openssl/types.h>

#include "tls/CertificateCallbackInterface.h"
#include "tls/CertificatePrompt.h"

#include <atomic>
#include <mutex>

namespace tlstest {

// Certificates made once per test run by make_certs.sh (see there for names).
const std::string& certDir();
std::string cert(const std::string& name);  // full path of a file in certDir()

// A fresh directory under /tmp, removed with its contents when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::vector<std::string> files() const;  // names of the regular files
private:
    std::string m_path;
};

// Runs a shell command; its standard output, without the last newline.
std::string run(const std::string& command);

// A child process serving one peer on 127.0.0.1; killed when destroyed.
class Peer {
public:
    // openssl s_server with these extra arguments (-accept is added).
    static Peer sServer(const std::string& args);
    // tls_peer.py MODE CERT KEY [ARG]; cert "-" for a plain peer.
    static Peer python(const std::string& mode, const std::string& certName,
                       const std::string& keyName, int arg = 0);
    Peer(Peer&& other) noexcept;
    ~Peer();
    int port() const { return m_port; }

private:
    Peer() = default;
    pid_t m_pid = -1;
    int m_port = 0;
};

int freePort();

// A plain listening socket on 127.0.0.1 in this process.
class Listener {
public:
    explicit Listener(int backlog = 8);
    ~Listener();
    int port() const { return m_port; }
    // An accepted connection (-1 after timeoutMs without one); caller closes it.
    int accept(int timeoutMs = 5000);
private:
    int m_fd = -1;
    int m_port = 0;
};

// Everything the peer sends until it closes (or timeoutMs passes).
std::string readAll(int fd, int timeoutMs = 5000);

X509* loadCert(const std::string& path);       // new reference or null
EVP_PKEY* loadKey(const std::string& path);    // new reference or null
// DER chain and size list (leaf first, closing 0) from PEM files.
void derChain(const std::vector<std::string>& pemFiles, std::vector<unsigned char>& bytes,
              std::vector<int>& sizes);

// Answers every prompt with a fixed answer and remembers what it was shown.
class ScriptedSession : public CertificateCallbackInterface {
public:
    explicit ScriptedSession(int answer) : m_answer(answer) {}
    void CallbackCertificateSave(CertificatePrompt* prompt) override;
    int calls() const { return m_calls.load(); }
    CertificatePrompt last() const;

private:
    int m_answer;
    std::atomic<int> m_calls{0};
    mutable std::mutex m_mutex;
    CertificatePrompt m_last{};
};

}  // namespace tlstest
