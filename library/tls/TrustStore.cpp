#include "tls/TrustStore.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "tls/CertHandler.h"
#include "tls/CertLog.h"
#include "tls/CertificateText.h"

namespace {

constexpr int kKeptBytes = 40960;
constexpr int kKeptSizes = 20;
constexpr int kTolerated[] = {
    X509_V_ERR_CERT_HAS_EXPIRED,            X509_V_ERR_CRL_HAS_EXPIRED,
    X509_V_ERR_CERT_NOT_YET_VALID,          X509_V_ERR_CRL_NOT_YET_VALID,
    X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN,
    X509_V_ERR_INVALID_CA,                  X509_V_ERR_INVALID_NON_CA,
    X509_V_ERR_PATH_LENGTH_EXCEEDED,        X509_V_ERR_INVALID_PURPOSE,
    X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION};
constexpr int kNoPriority = 0;

struct KeptChain {
    std::mutex mutex;
    std::vector<unsigned char> bytes;  // at most kKeptBytes
    int total = 0;
    std::vector<int> sizes;  // at most kKeptSizes, without the closing 0
};
KeptChain& kept() {
    static KeptChain k;
    return k;
}

// Best (smallest) tolerated priority met in the validation running on this thread.
thread_local int t_bestPriority = kNoPriority;

int priorityOf(int error) {
    for (size_t i = 0; i < sizeof kTolerated / sizeof kTolerated[0]; ++i)
        if (kTolerated[i] == error) return static_cast<int>(i) + 1;
    return kNoPriority;
}

int storeVerifyCallback(int ok, X509_STORE_CTX* context) {
    if (ok) return ok;
    const int p = priorityOf(X509_STORE_CTX_get_error(context));
    if (p == kNoPriority) return 0;
    if (t_bestPriority != kNoPriority && t_bestPriority < p)
        X509_STORE_CTX_set_error(context, kTolerated[t_bestPriority - 1]);
    else
        t_bestPriority = p;
    return 1;
}

bool pathFits(const std::string& path) { return !path.empty() && path.size() < PATH_MAX; }

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// Full paths of the *.pem files of the trust directory, in name order.
std::vector<std::string> trustDirectoryFiles() {
    std::vector<std::string> paths;
    const std::string dir = CertHandler::getTrustDirectory();
    if (dir.empty()) return paths;
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strstr(e->d_name, ".pem") != nullptr) names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path;
        if (!BuildCertificatePath(path, name)) continue;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
        paths.push_back(path);
    }
    return paths;
}

// An MD5 (or older) signature on a certificate of the verified chain below
// the certificate it is trusted through (a root, a saved certificate). A
// self-signature at the top proves nothing and is not looked at.
bool hasWeakSignature(X509_STORE_CTX* context) {
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context);
    const int count = chain != nullptr ? sk_X509_num(chain) : 0;
    const int below = std::min(count, X509_STORE_CTX_get_num_untrusted(context));
    for (int i = 0; i < below; ++i) {
        X509* cert = sk_X509_value(chain, i);
        if (i == count - 1 && (X509_get_extension_flags(cert) & EXFLAG_SS) != 0) continue;
        int digest = NID_undef;
        if (OBJ_find_sigid_algs(X509_get_signature_nid(cert), &digest, nullptr) != 1) continue;
        if (digest == NID_md5 || digest == NID_md5_sha1 || digest == NID_md4 || digest == NID_md2)
            return true;
    }
    return false;
}

}  // namespace

bool GetKeptLeaf(std::vector<unsigned char>& der, bool* tooLarge) {
    KeptChain& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (tooLarge != nullptr) *tooLarge = false;
    if (k.sizes.empty() || k.sizes[0] <= 0) return false;
    const size_t n = static_cast<size_t>(k.sizes[0]);
    if (n > k.bytes.size()) {
        if (tooLarge != nullptr) *tooLarge = true;
        return false;
    }
    der.assign(k.bytes.begin(), k.bytes.begin() + n);
    return true;
}

void ClearKeptChain() {
    KeptChain& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    k.bytes.clear();
    k.sizes.clear();
    k.total = 0;
}

bool CheckAlgorithmsRegistered() {
    // The old DSS1 digest no longer exists as a name; the rest still does.
    return EVP_get_cipherbyname("DES-CBC") != nullptr &&
           EVP_get_cipherbyname("AES-128-CBC") != nullptr &&
           EVP_get_cipherbyname("AES-256-CBC") != nullptr &&
           EVP_get_digestbyname("MD5") != nullptr && EVP_get_digestbyname("SHA1") != nullptr;
}

std::string Sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const size_t n = std::min<size_t>(text.size(), 512);
    if (EVP_Digest(text.data(), n, digest, &length, EVP_sha256(), nullptr) != 1) return "";
    char hex[2 * EVP_MAX_MD_SIZE + 1];
    BytesToHexString(digest, static_cast<int>(length), hex, sizeof hex);
    return hex;
}

bool BuildCertificatePath(std::string& out, const std::string& name) {
    const std::string dir = CertHandler::getTrustDirectory();
    if (dir.empty()) return false;
    std::string path = dir;
    if (path.back() != '/') path += '/';
    path += name;
    if (!pathFits(path)) return false;
    out = path;
    return true;
}

X509* PEM_read_file_X509(const std::string& path) {
    const char* const fn = "PEM_read_file_X509:";
    if (!pathFits(path)) {
        CertLog("%s Cert file %s open failed\n", fn, path.c_str());
        return nullptr;
    }
    BIO* bio = BIO_new_file(path.c_str(), "r");
    if (bio == nullptr) {
        ERR_clear_error();
        CertLog("%s Cert file %s open failed\n", fn, path.c_str());
        return nullptr;
    }
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (cert != nullptr) {
        CertLog("%s Cert file %s read success\n", fn, path.c_str());
    } else {
        ERR_clear_error();
        CertLog("%s Cert file %s read failed\n", fn, path.c_str());
    }
    return cert;
}

int PEM_write_file_X509(const std::string& path, X509* cert) {
    const char* const fn = "PEM_write_file_X509:";
    if (cert == nullptr) return 50;
    BIO* bio = pathFits(path) ? BIO_new_file(path.c_str(), "w") : nullptr;
    if (bio == nullptr) {
        ERR_clear_error();
        CertLog("%s BIO_write_filename to %s failed\n", fn, path.c_str());
        return 50;
    }
    const int ok = PEM_write_bio_X509(bio, cert);
    const int flushed = BIO_flush(bio);
    BIO_free(bio);
    if (ok == 1 && flushed == 1) {
        CertLog("%s Cert file %s write success\n", fn, path.c_str());
        return 0;
    }
    ERR_clear_error();
    CertLog("%s PEM_write_bio_X509 to %s failede\n", fn, path.c_str());
    return 50;
}

X509_STORE* InitSSLContext() {
    const char* const fn = "InitSSLContext:";
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    X509_STORE_set_verify_cb(store, storeVerifyCallback);

    // The system CA bundle stands in for the system root store; there is
    // nothing like the intermediate, publisher or personal stores here.
    const char* bundle = std::getenv(X509_get_default_cert_file_env());
    if (bundle == nullptr || *bundle == '\0') bundle = X509_get_default_cert_file();
    if (X509_STORE_load_file(store, bundle) != 1) {
        ERR_clear_error();
        CertLog("%s CertOpenSystemStore() failed, ignore\n", fn);
    }

    for (const std::string& path : trustDirectoryFiles()) {
        CertLog("%s Cert file %s found\n", fn, path.c_str());
        X509Ptr cert(PEM_read_file_X509(path));
        if (cert && X509_STORE_add_cert(store, cert.get()) != 1) ERR_clear_error();
    }
    return store;
}

bool IsSavedCertificate(X509* cert) {
    if (cert == nullptr) return false;
    for (const std::string& path : trustDirectoryFiles()) {
        X509Ptr saved(PEM_read_file_X509(path));
        if (saved && X509_cmp(saved.get(), cert) == 0) return true;
    }
    return false;
}

int ValidateX509Certificate(const int* sizes, const unsigned char* chain, int total) {
    const char* const fn = "ValidateX509Certificate:";
    t_bestPriority = kNoPriority;
    if (!CheckAlgorithmsRegistered()) OPENSSL_init_ssl(0, nullptr);
    CertLog("%s Entered. Path=%s\n", fn, CertHandler::getTrustDirectory().c_str());
    if (chain == nullptr || sizes == nullptr) {
        CertLog("%s NULL certificate (%p) or chainSizes (%p) pointer\n", fn,
                static_cast<const void*>(chain), static_cast<const void*>(sizes));
        return 50;
    }
    if (total < 0) total = 0;

    {
        KeptChain& k = kept();
        std::lock_guard<std::mutex> lock(k.mutex);
        k.bytes.assign(chain, chain + std::min(total, kKeptBytes));
        k.total = total;
        k.sizes.clear();
        for (int i = 0; i < kKeptSizes && sizes[i] != 0; ++i) k.sizes.push_back(sizes[i]);
    }

    std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> store(InitSSLContext(),
                                                                 X509_STORE_free);
    if (!store) {
        CertLog("%s InitSSLContext() failed\n", fn);
        return 17;
    }
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(
        X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!context) {
        CertLog("%s X509_STORE_CTX_new() failed\n", fn);
        return 17;
    }
    auto freeStack = [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); };
    std::unique_ptr<STACK_OF(X509), decltype(freeStack)> untrusted(sk_X509_new_null(), freeStack);
    if (!untrusted) {
        CertLog("%s sk_X509_new_null() failed\n", fn);
        return 17;
    }

    if (sizes[0] <= 0 || sizes[0] > total) {
        CertLog("%s cert buffer too small for server cert\n", fn);
        return 50;
    }
    const unsigned char* p = chain;
    X509Ptr leaf(d2i_X509(nullptr, &p, sizes[0]));
    if (!leaf) {
        ERR_clear_error();
        CertLog("%s d2i_X509() for chkCert failed\n", fn);
        return 50;
    }
    int offset = sizes[0];
    for (int i = 1; sizes[i] != 0; ++i) {
        if (sizes[i] < 0 || total - offset < sizes[i]) {
            CertLog("%s cert buffer too small for chain cert, ignore\n", fn);
            break;
        }
        p = chain + offset;
        X509* cert = d2i_X509(nullptr, &p, sizes[i]);
        if (cert == nullptr) {
            ERR_clear_error();
            CertLog("%s d2i_X509 returns NULL for chain (%d)\n", fn, i);
            break;
        }
        if (sk_X509_push(untrusted.get(), cert) <= 0) {
            X509_free(cert);
            break;
        }
        offset += sizes[i];
    }

    int result = 17;
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), untrusted.get()) == 1) {
        // A certificate the user saved is trusted even when its issuer is unknown.
        X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
        X509_verify_cert(context.get());
        result = X509_STORE_CTX_get_error(context.get());
        // Nothing rests on an MD5 signature, however trusted the signer.
        if ((result == 0 || priorityOf(result) != kNoPriority) && hasWeakSignature(context.get())) {
            CertLog("%s MD5 signature in the chain\n", fn);
            result = X509_V_ERR_CA_MD_TOO_WEAK;
        }
    }
    ERR_clear_error();
    if (result != 0) CertLog("%s X509_verify_cert() validation failed (%d)\n", fn, result);
    return result;
}

int SaveX509Certificate(const unsigned char* chain, int total) {
    const char* const fn = "SaveX509Certificate:";
    CertLog("%s SaveX509Certificate path=%s\n", fn, CertHandler::getTrustDirectory().c_str());
    const unsigned char* p = chain;
    X509Ptr cert(chain != nullptr && total > 0 ? d2i_X509(nullptr, &p, total) : nullptr);
    if (!cert) {
        ERR_clear_error();
        CertLog("%s SaveX509Certificate - d2i_X509() failed\n", fn);
        return 50;
    }
    char issuer[513];
    if (ExtractIssuerNameUtf8(cert.get(), issuer, sizeof issuer) == 0) {
        CertLog("%s ExtractIssuerName failed\n", fn);
        return 50;
    }
    char serial[1024];
    if (ExtractSerialNumberUtf8(cert.get(), serial, sizeof serial) == 0) {
        CertLog("%s ExtractSerialNumber failed\n", fn);
        return 50;
    }
    const std::string name = "TKW_" + Sha256Hex(issuer) + "_" + serial + ".pem";
    std::string path;
    if (!BuildCertificatePath(path, name)) {
        // A cut name would never be loaded again: refuse rather than lose it.
        CertLog("%s SaveX509Certificate filename=%s\n", fn, name.c_str());
        return 50;
    }
    CertLog("%s SaveX509Certificate filename=%s\n", fn, path.c_str());
    return PEM_write_file_X509(path, cert.get());
}
