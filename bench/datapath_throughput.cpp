// Throughput of the data path: a loopback peer plays the managed server and
// reads a large sparse ISO image in 64 KiB requests, one at a time, from
//   - the real client (the library through its facade, in a child process),
//   - a baseline: a minimal server that only preads and sends the bytes,
// each over plain TCP and over TLS (the baseline uses the cipher the client
// negotiated). Prints MB/s, the ratio client/baseline, the client's CPU time
// per GiB and its peak memory.
//
// Usage: bench_datapath_throughput [--size-mib N] [--max-blocks N] [--runs N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/VMConnectionInfo.h"
#include "api/VMConstants.h"
#include "device/VMLocalDrive.h"
#include "facade/RP_VMAPI_LIB.h"
#include "platform/WideText.h"

namespace {

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kRequestBlocks = 32;  // 64 KiB

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

std::vector<uint8_t> packet(const char* magic, uint16_t type, uint16_t param, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> p(12 + body.size());
    std::memcpy(p.data(), magic, 4);
    put32(&p[4], uint32_t(p.size()));
    put16(&p[8], type);
    put16(&p[10], param);
    std::copy(body.begin(), body.end(), p.begin() + 12);
    return p;
}

// One side of a connection, plain or TLS.
class Conn {
public:
    explicit Conn(int fd) : m_fd(fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Conn() {
        if (m_ssl) SSL_free(m_ssl);
        if (m_fd >= 0) ::close(m_fd);
    }
    void startTls(SSL_CTX* ctx, bool server) {
        m_ssl = SSL_new(ctx);
        SSL_set_fd(m_ssl, m_fd);
        if ((server ? SSL_accept(m_ssl) : SSL_connect(m_ssl)) != 1) {
            ERR_print_errors_fp(stderr);
            throw std::runtime_error("TLS handshake failed");
        }
    }
    SSL* ssl() const { return m_ssl; }
    bool readExact(uint8_t* p, size_t n) {
        while (n > 0) {
            const long r = m_ssl ? SSL_read(m_ssl, p, int(std::min<size_t>(n, 1 << 30))) : ::recv(m_fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= size_t(r);
        }
        return true;
    }
    void writeAll(const uint8_t* p, size_t n) {
        while (n > 0) {
            const long r = m_ssl ? SSL_write(m_ssl, p, int(std::min<size_t>(n, 1 << 30))) : ::send(m_fd, p, n, MSG_NOSIGNAL);
            if (r <= 0) throw std::runtime_error("write failed");
            p += r;
            n -= size_t(r);
        }
    }
    void writeAll(const std::vector<uint8_t>& v) { writeAll(v.data(), v.size()); }
    // One packet: header fields and body.
    bool readPacket(uint16_t* type, uint16_t* param, std::vector<uint8_t>* body) {
        uint8_t h[12];
        if (!readExact(h, 12)) return false;
        const uint32_t length = be32(h + 4);
        if (length < 12 || length > (64u << 20)) throw std::runtime_error("bad packet length");
        *type = be16(h + 8);
        *param = be16(h + 10);
        body->resize(length - 12);
        return readExact(body->data(), body->size());
    }

private:
    int m_fd;
    SSL* m_ssl = nullptr;
};

struct TlsKeys {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
};

TlsKeys makeSelfSigned() {
    TlsKeys k;
    k.key = EVP_RSA_gen(2048);
    k.cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(k.cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(k.cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(k.cert), 86400);
    X509_set_pubkey(k.cert, k.key);
    X509_NAME* name = X509_get_subject_name(k.cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(k.cert, name);
    X509_sign(k.cert, k.key, EVP_sha256());
    return k;
}

struct PeerResult {
    double seconds = 0;
    double firstAnswerMs = 0;
    uint64_t bytes = 0;
    std::string tls;
    bool ok = false;
};

// The managed server: session set-up, login, drive list, then the reads.
PeerResult runPeer(int listener, bool tls, SSL_CTX* serverCtx, uint64_t totalBlocks, uint32_t maxBlocks) {
    PeerResult result;
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return result;
    Conn c(fd);
    uint8_t req[68];
    if (!c.readExact(req, 68)) return result;
    std::vector<uint8_t> reply(68, 0);
    std::memcpy(reply.data(), "TUVO", 4);
    put32(&reply[4], 68);
    put16(&reply[8], 0x8100);
    put16(&reply[10], 0x0103);
    reply[12] = 1;
    reply[13] = 14;
    put32(&reply[14], tls ? 0x8 : 0x1);
    reply[20] = 32;
    for (int i = 0; i < 32; ++i) reply[21 + i] = uint8_t(0x40 + i);
    put16(&reply[54], 20);
    put16(&reply[56], 120);
    c.writeAll(reply);
    if (tls) {
        c.startTls(serverCtx, true);
        result.tls = std::string(SSL_get_version(c.ssl())) + " " + SSL_get_cipher_name(c.ssl());
    }
    uint16_t type = 0, param = 0;
    std::vector<uint8_t> body;
    bool mapped = false;
    while (!mapped) {
        if (!c.readPacket(&type, &param, &body)) return result;
        if (type >= 0x0100 && type <= 0x0105) {  // any form of login
            c.writeAll(packet("ZELK", 0x8100, 0, {0, 0, 0}));
        } else if (type == 0x0200) {
            c.writeAll(packet("ZELK", 0x8200, 0, {0, 1, 2, 0, 0, 0}));
        } else if (type == 0x0210) {
            mapped = true;
        }
    }
    // One read request and its whole answer; the data bytes it carried.
    auto readBlocks = [&](uint64_t block, uint64_t* bytes) {
        std::vector<uint8_t> r(12);
        put32(&r[0], uint32_t(block));
        put32(&r[4], kRequestBlocks);
        put32(&r[8], maxBlocks);
        c.writeAll(packet("ZELK", 0x8300, 0, r));
        for (;;) {
            if (!c.readPacket(&type, &param, &body)) return false;
            if (type == 0x0300 && body.size() >= 8) *bytes += body.size() - 8;
            if (type == 0x0410) {
                if (body.size() < 4 || be32(body.data()) != 0) {
                    std::fprintf(stderr, "read at %llu answered %u\n", static_cast<unsigned long long>(block),
                                 body.size() >= 4 ? be32(body.data()) : 0xFFFFFFFFu);
                    return false;
                }
                return true;
            }
        }
    };
    // The first read is answered only once the session has finished setting
    // up (the client lets a new drive list settle first): timed on its own,
    // so the throughput is that of the data path.
    const auto mapTime = std::chrono::steady_clock::now();
    uint64_t firstBytes = 0;
    if (!readBlocks(0, &firstBytes)) return result;
    const auto start = std::chrono::steady_clock::now();
    result.firstAnswerMs = std::chrono::duration<double, std::milli>(start - mapTime).count();
    for (uint64_t block = 0; block < totalBlocks; block += kRequestBlocks)
        if (!readBlocks(block, &result.bytes)) return result;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.ok = result.bytes == totalBlocks * kBlock;
    return result;
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The baseline: answers the peer with preads, nothing else.
int runBaseline(int port, bool tls, const std::string& version, const std::string& cipher, const char* iso) {
    const int image = ::open(iso, O_RDONLY | O_CLOEXEC);
    const int fd = connectTo(port);
    if (image < 0 || fd < 0) return 1;
    Conn c(fd);
    std::vector<uint8_t> req(68, 0);
    std::memcpy(req.data(), "TUVO", 4);
    put32(&req[4], 68);
    put16(&req[8], 0x0100);
    c.writeAll(req);
    uint8_t reply[68];
    if (!c.readExact(reply, 68)) return 1;
    SSL_CTX* ctx = nullptr;
    if (tls) {
        ctx = SSL_CTX_new(TLS_client_method());
        const int v = version == "TLSv1.3" ? TLS1_3_VERSION : TLS1_2_VERSION;
        SSL_CTX_set_min_proto_version(ctx, v);
        SSL_CTX_set_max_proto_version(ctx, v);
        if (v == TLS1_3_VERSION)
            SSL_CTX_set_ciphersuites(ctx, cipher.c_str());
        else
            SSL_CTX_set_cipher_list(ctx, cipher.c_str());
        c.startTls(ctx, false);
    }
    c.writeAll(packet("ZELK", 0x0100, 0, std::vector<uint8_t>(141, 0)));
    uint16_t type = 0, param = 0;
    std::vector<uint8_t> body;
    if (!c.readPacket(&type, &param, &body)) return 1;
    c.writeAll(packet("ZELK", 0x0200, 0xFFFF, {}));
    if (!c.readPacket(&type, &param, &body)) return 1;
    std::vector<uint8_t> map(12 + 20, 0);
    c.writeAll(packet("ZELK", 0x0210, 0, map));
    std::vector<uint8_t> out;
    while (c.readPacket(&type, &param, &body)) {
        if (type != 0x8300 || body.size() < 12) continue;
        const uint32_t start = be32(&body[0]);
        const uint32_t count = be32(&body[4]);
        uint32_t max = be32(&body[8]);
        if (max == 0 || max > count) max = count;
        const uint32_t packets = (count + max - 1) / max;
        out.resize(size_t(count) * kBlock + packets * 20 + 16);
        size_t at = 0;
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = std::min(max, count - done);
            const ssize_t got = ::pread(image, &out[at + 20], size_t(n) * kBlock, off_t(start + done) * kBlock);
            if (got != ssize_t(n) * kBlock) return 1;
            std::memcpy(&out[at], "ZELK", 4);
            put32(&out[at + 4], 20 + n * kBlock);
            put16(&out[at + 8], 0x0300);
            put16(&out[at + 10], param);
            put32(&out[at + 12], start + count);
            put32(&out[at + 16], n);
            at += 20 + size_t(n) * kBlock;
            done += n;
        }
        std::memcpy(&out[at], "ZELK", 4);
        put32(&out[at + 4], 16);
        put16(&out[at + 8], 0x0410);
        put16(&out[at + 10], param);
        put32(&out[at + 12], 0);
        c.writeAll(out.data(), at + 16);
    }
    if (ctx) SSL_CTX_free(ctx);
    ::close(image);
    return 0;
}

// The real client: maps the image and serves until told to stop.
int runClient(int port, const char* iso, const char* certDir, int stopFd) {
    VMConnectionInfo settings;
    settings.setIpAddress("127.0.0.1");
    settings.setPort(port);
    settings.setCertPath(certDir);
    settings.setUserId("bench");
    settings.setPassword("bench");
    settings.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    auto lib = std::make_unique<RP_VMAPI_LIB>();
    int r = lib->connect(&settings, nullptr);
    if (r != VMConstants::API_SUCCESS) {
        std::fprintf(stderr, "client: connect %d\n", r);
        return 1;
    }
    r = lib->requestRemoteDriveList();
    if (r != VMConstants::API_SUCCESS) {
        std::fprintf(stderr, "client: drive list %d\n", r);
        return 1;
    }
    const std::wstring path = tw::fromUtf8(iso);
    std::unique_ptr<VMLocalDrive> drive(lib->getLocalDriveObject(path.c_str(), true));
    r = drive ? lib->mapDrive(drive->getDriveId()) : VMConstants::API_ERROR;
    if (r != VMConstants::API_SUCCESS) {
        std::fprintf(stderr, "client: map %d\n", r);
        return 1;
    }
    char c;
    while (::read(stopFd, &c, 1) < 0 && errno == EINTR) {
    }
    lib->disconnect();
    return 0;
}

struct Run {
    PeerResult peer;
    double cpuSeconds = 0;
    long maxRssKiB = 0;
};

template <typename Child>
Run measure(bool tls, SSL_CTX* serverCtx, uint64_t blocks, uint32_t maxBlocks, Child child) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot listen");
    const int port = ntohs(a.sin_port);
    int stop[2];
    if (pipe(stop) != 0) throw std::runtime_error("pipe");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(listener);
        ::close(stop[1]);
        const int devnull = ::open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        _exit(child(port, stop[0]));
    }
    ::close(stop[0]);
    Run run;
    run.peer = runPeer(listener, tls, serverCtx, blocks, maxBlocks);
    ::close(stop[1]);
    ::close(listener);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.maxRssKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) run.peer.ok = false;
    return run;
}

double mbps(const Run& r) { return r.peer.seconds > 0 ? double(r.peer.bytes) / 1e6 / r.peer.seconds : 0; }

double cpuPerGiB(const Run& r) {
    const double gib = double(r.peer.bytes) / double(1ull << 30);
    return gib > 0 ? r.cpuSeconds / gib : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t sizeMiB = 1024;
    uint32_t maxBlocks = 32;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string o = argv[i];
        if (o == "--size-mib") sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (o == "--max-blocks") maxBlocks = uint32_t(std::strtoul(argv[i + 1], nullptr, 10));
        else if (o == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    }
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/tw-bench-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) return 1;
    const std::string dir = dirTemplate;
    // The library looks for its debug configuration in the current directory.
    if (chdir(dir.c_str()) != 0) return 1;
    if (const char* level = std::getenv("TW_BENCH_LOG")) {
        // Switches the library's debug log on (it slows the client down).
        FILE* f = std::fopen("kxrtdebug.cfg", "w");
        if (f) {
            std::fprintf(f, "[DEBUG]\nVirtualMedia=%s\n", level);
            std::fclose(f);
        }
    }
    const std::string iso = dir + "/bench.iso";
    const std::string certs = dir + "/certs";
    mkdir(certs.c_str(), 0700);
    {
        const int f = ::open(iso.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        if (f < 0 || ftruncate(f, off_t(sizeMiB) << 20) != 0) return 1;
        ::close(f);
    }
    const uint64_t blocks = (sizeMiB << 20) / kBlock;
    {
        // Every run then reads from the page cache, whichever comes first.
        const int f = ::open(iso.c_str(), O_RDONLY);
        std::vector<char> buf(1 << 20);
        while (f >= 0 && ::read(f, buf.data(), buf.size()) > 0) {
        }
        if (f >= 0) ::close(f);
    }

    TlsKeys keys = makeSelfSigned();
    SSL_CTX* serverCtx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(serverCtx, keys.cert);
    SSL_CTX_use_PrivateKey(serverCtx, keys.key);
    SSL_CTX_set_security_level(serverCtx, 0);
    SSL_CTX_set_cipher_list(serverCtx, "ALL:@SECLEVEL=0");
    SSL_CTX_set_num_tickets(serverCtx, 0);

    std::printf("Sequential read of a %llu MiB sparse ISO image, 64 KiB requests one at a time, "
                "at most %u blocks per response, best of %d runs\n",
                static_cast<unsigned long long>(sizeMiB), maxBlocks, runs);
    bool allOk = true;
    for (bool tls : {false, true}) {
        Run client, baseline;
        std::string version, cipher;
        // Interleaved, so a busy machine slows both sides alike; best of each.
        for (int i = 0; i < runs; ++i) {
            Run r = measure(tls, serverCtx, blocks, maxBlocks, [&](int port, int stopFd) {
                return runClient(port, iso.c_str(), certs.c_str(), stopFd);
            });
            allOk = allOk && r.peer.ok;
            if (r.peer.ok && (client.peer.seconds == 0 || r.peer.seconds < client.peer.seconds)) client = r;
            if (tls && version.empty() && !r.peer.tls.empty()) {
                version = r.peer.tls.substr(0, r.peer.tls.find(' '));
                cipher = r.peer.tls.substr(r.peer.tls.find(' ') + 1);
            }
            Run b = measure(tls, serverCtx, blocks, maxBlocks, [&](int port, int) {
                return runBaseline(port, tls, version, cipher, iso.c_str());
            });
            allOk = allOk && b.peer.ok;
            if (b.peer.ok && (baseline.peer.seconds == 0 || b.peer.seconds < baseline.peer.seconds)) baseline = b;
        }
        std::printf("%-5s client   %8.1f MB/s  cpu %.3f s/GiB  peak memory %ld KiB  first answer %.1f ms%s%s\n",
                    tls ? "TLS" : "plain", mbps(client), cpuPerGiB(client), client.maxRssKiB,
                    client.peer.firstAnswerMs, tls ? "  " : "", tls ? client.peer.tls.c_str() : "");
        std::printf("%-5s baseline %8.1f MB/s  cpu %.3f s/GiB  peak memory %ld KiB  first answer %.1f ms\n",
                    tls ? "TLS" : "plain", mbps(baseline), cpuPerGiB(baseline), baseline.maxRssKiB,
                    baseline.peer.firstAnswerMs);
        std::printf("%-5s ratio    %8.3f (client / baseline)\n", tls ? "TLS" : "plain",
                    mbps(baseline) > 0 ? mbps(client) / mbps(baseline) : 0.0);
    }
    SSL_CTX_free(serverCtx);
    X509_free(keys.cert);
    EVP_PKEY_free(keys.key);
    unlink(iso.c_str());
    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    if (!allOk) std::printf("SOME RUNS FAILED\n");
    return allOk ? 0 : 1;
}
