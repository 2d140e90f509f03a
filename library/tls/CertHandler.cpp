#include "tls/CertHandler.h"

#include <limits.h>

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tls/CertLog.h"
#include "tls/CertificateCallbackInterface.h"
#include "tls/CertificateDetails.h"
#include "tls/CertificatePrompt.h"
#include "tls/CertificateText.h"
#include "tls/TrustStore.h"

namespace {

// One connection is set up at a time, but the state is read from other
// threads (session, tests), so it is kept atomic or under a lock.
struct HandlerState {
    std::atomic<int> state{CertHandler::STATE_INIT};
    // Validation passed or the user answered in this handshake.
    std::atomic<bool> decided{false};
    // A verify callback has run, and the error it saw last.
    std::atomic<bool> callbackSeen{false};
    std::atomic<int> lastError{0};
    std::mutex mutex;  // guards the fields below
    CertificateCallbackInterface* session = nullptr;
    X509* known = nullptr;    // borrowed
    X509* primary = nullptr;  // own reference
    X509* answered = nullptr; // own reference: the leaf the user accepted in this handshake
    std::string trustDirectory;
};

HandlerState& hs() {
    static HandlerState s;
    return s;
}

void copyCut(char* out, size_t capacity, const char* text) {
    const size_t n = strnlen(text, capacity - 1);
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// The chain being verified, leaf first.
std::vector<X509*> chainOf(X509_STORE_CTX* context) {
    std::vector<X509*> certs;
    if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context)) {
        for (int i = 0; i < sk_X509_num(chain); ++i) certs.push_back(sk_X509_value(chain, i));
    } else {
        if (X509* leaf = X509_STORE_CTX_get0_cert(context)) certs.push_back(leaf);
        if (STACK_OF(X509)* rest = X509_STORE_CTX_get0_untrusted(context))
            for (int i = 0; i < sk_X509_num(rest); ++i) certs.push_back(sk_X509_value(rest, i));
    }
    return certs;
}

// Whether the leaf names the peer this handshake was opened to: an address
// against the certificate's IP addresses, a name against its DNS names (the
// subject's common name only when it has none). No expected peer: no match.
bool namesThePeer(X509* leaf, X509_STORE_CTX* context, int* mismatch) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    *mismatch = X509_V_ERR_HOSTNAME_MISMATCH;
    if (leaf == nullptr || param == nullptr) return false;
    if (char* ip = X509_VERIFY_PARAM_get1_ip_asc(param)) {
        *mismatch = X509_V_ERR_IP_ADDRESS_MISMATCH;
        const bool match = X509_check_ip_asc(leaf, ip, 0) == 1;
        OPENSSL_free(ip);
        return match;
    }
    const char* host = X509_VERIFY_PARAM_get0_host(param, 0);
    return host != nullptr &&
           X509_check_host(leaf, host, 0, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

}  // namespace

void CertHandler::init(CertificateCallbackInterface* session) {
    CertLog("%s Entered.\n", "CertHandler::init:");
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.state.store(STATE_INIT);
    s.decided.store(false);
    s.session = session;
    X509_free(s.answered);
    s.answered = nullptr;
}

void CertHandler::setTrustDirectory(const char* directory) {
    HandlerState& s = hs();
    std::string dir = directory != nullptr ? directory : "";
    for (char& c : dir)
        if (c == '\\') c = '/';
    if (dir.size() >= PATH_MAX) {
        // A cut path names another directory: trust nothing rather than that.
        CertLog("%s trust directory too long (%d), ignored\n", "CertHandler::setTrustDirectory:",
                static_cast<int>(dir.size()));
        dir.clear();
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.trustDirectory = dir;
}

std::string CertHandler::getTrustDirectory() {
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.trustDirectory;
}

void CertHandler::setKnownCertificate(X509* certificate) {
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.known = certificate;
}

X509* CertHandler::getKnownCertificate() {
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.known;
}

int CertHandler::getState() { return hs().state.load(); }
void CertHandler::setState(int state) { hs().state.store(state); }

void CertHandler::clearCertificates() {
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.known = nullptr;
    X509_free(s.primary);
    s.primary = nullptr;
    X509_free(s.answered);
    s.answered = nullptr;
    s.callbackSeen.store(false);
}

X509* CertHandler::getAnsweredCertificate() {
    HandlerState& s = hs();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.answered == nullptr || X509_up_ref(s.answered) != 1) return nullptr;
    return s.answered;
}

int CertHandler::verify_callback(int ok, X509_STORE_CTX* context) {
    const char* const fn = "CertHandler::verify_callback:";
    HandlerState& s = hs();
    CertLog("%s ok: %i\n", fn, ok);
    if (context == nullptr) return ok;
    X509* current = X509_STORE_CTX_get_current_cert(context);
    CertificateCallbackInterface* session;
    X509* known;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (current != nullptr && X509_up_ref(current) == 1) {
            X509_free(s.primary);
            s.primary = current;
        }
        session = s.session;
        known = s.known;
    }
    // After the verdict, later reports of this handshake do not change what
    // the question showed.
    if (!s.decided.load()) s.lastError.store(X509_STORE_CTX_get_error(context));
    s.callbackSeen.store(true);

    const std::vector<X509*> chain = chainOf(context);
    X509* leaf = chain.empty() ? nullptr : chain[0];
    // The certificate accepted earlier is the leaf; an error may be reported
    // higher up the chain it came with (its issuer unknown here).
    const auto isKnown = [known](X509* cert) { return cert != nullptr && X509_cmp(known, cert) == 0; };
    if (known != nullptr && (isKnown(current) || isKnown(leaf))) return 1;
    if (ok) {
        // Trusting a CA of the chain decides nothing about the certificates below it.
        s.state.store(STATE_ACCEPTED);
        CertLog("%s certificate accepted! :) :) :)\n", fn);
        return ok;
    }
    if (s.state.load() == STATE_ACCEPTED && s.decided.load()) return 0;

    s.state.store(STATE_ASKING);
    CertLog("%s SSL NOT OK!\n", fn);
    std::vector<unsigned char> buffer;
    std::vector<int> sizes;
    for (X509* cert : chain) {
        unsigned char* der = nullptr;
        const int n = i2d_X509(cert, &der);
        if (n <= 0) continue;
        buffer.insert(buffer.end(), der, der + n);
        sizes.push_back(n);
        OPENSSL_free(der);
    }
    sizes.push_back(0);
    const int total = static_cast<int>(buffer.size());

    int result = ValidateX509Certificate(sizes.data(), buffer.data(), total);
    CertLog("%s ValidateX509Certificate returned %d\n", fn, result);
    if (result == 0) {
        // A trusted chain proves only who the certificate names. One the user
        // saved earlier stays accepted whatever its names.
        int mismatch = 0;
        if (namesThePeer(leaf, context, &mismatch)) {
            s.state.store(STATE_ACCEPTED);
            s.decided.store(true);
            return 1;
        }
        if (IsSavedCertificate(leaf)) {
            CertLog("%s saved certificate accepted\n", fn);
            s.state.store(STATE_ACCEPTED);
            s.decided.store(true);
            return 1;
        }
        CertLog("%s certificate does not name the peer (%d)\n", fn, mismatch);
        result = mismatch;
    }
    // The question shows what validation found, not what the handshake's own
    // store (without the system roots) reported first.
    s.lastError.store(result);
    if (session == nullptr) return 0;

    CertificatePrompt prompt;
    std::memset(&prompt, 0, sizeof prompt);
    fillCertificatePrompt(&prompt);
    session->CallbackCertificateSave(&prompt);
    CertLog("%s result: %i\n", fn, prompt.answer);
    s.decided.store(true);
    switch (prompt.answer) {
    case ANSWER_TIMEOUT:
        s.state.store(STATE_TIMEOUT);
        CertLog("%s TIMEOUT!\n", fn);
        break;
    case ANSWER_CANCEL:
        s.state.store(STATE_CANCEL);
        CertLog("%s CANCEL!\n", fn);
        break;
    case ANSWER_RUN:
        s.state.store(STATE_ACCEPTED);
        CertLog("%s RUN!\n", fn);
        if (!getTrustDirectory().empty()) SaveX509Certificate(buffer.data(), total);
        break;
    default:
        s.state.store(STATE_ACCEPTED);
        CertLog("%s RUN_ONCE!\n", fn);
        break;
    }
    if (s.state.load() == STATE_ACCEPTED && leaf != nullptr && X509_up_ref(leaf) == 1) {
        std::lock_guard<std::mutex> lock(s.mutex);
        X509_free(s.answered);
        s.answered = leaf;
    }
    return 0;
}

bool CertHandler::fillCertificatePrompt(CertificatePrompt* prompt) {
    HandlerState& s = hs();
    if (prompt == nullptr || !s.callbackSeen.load()) return false;
    const int answer = prompt->answer;
    std::memset(prompt, 0, sizeof *prompt);
    if (answer != CertificatePrompt::NO_ERROR_MARKER) {
        prompt->errorCode = s.lastError.load();
        char reason[256];
        // Validation reports a weak digest only for MD5: the question names it.
        copyCut(reason, sizeof reason,
                prompt->errorCode == X509_V_ERR_CA_MD_TOO_WEAK
                    ? "MD5 signature in the certificate chain (CA signature digest algorithm too weak)"
                    : X509_verify_cert_error_string(prompt->errorCode));
        copyCut(prompt->reason, sizeof prompt->reason, reason);
    }
    CertificateDetails details;
    std::memset(&details, 0, sizeof details);
    ExtractX509Certificate(&details);

    copyCut(prompt->keyPublic1, sizeof prompt->keyPublic1, details.keyPublic1);
    copyCut(prompt->keyPublic2, sizeof prompt->keyPublic2, details.keyPublic2);
    copyCut(prompt->version, sizeof prompt->version, details.version);
    copyCut(prompt->serialNumber, sizeof prompt->serialNumber, details.serialNumber);
    copyCut(prompt->issuer, sizeof prompt->issuer, details.issuer);
    copyCut(prompt->subject, sizeof prompt->subject, details.subject);
    copyCut(prompt->validity, sizeof prompt->validity, details.validity);
    copyCut(prompt->signature, sizeof prompt->signature, details.signature);
    copyCut(prompt->signatureAlgo, sizeof prompt->signatureAlgo, details.signatureAlgo);
    copyCut(prompt->shaFingerprint, sizeof prompt->shaFingerprint, details.shaFingerprint);
    copyCut(prompt->md5Fingerprint, sizeof prompt->md5Fingerprint, details.md5Fingerprint);

    copyCut(prompt->locality, sizeof prompt->locality, details.locality);
    copyCut(prompt->organization, sizeof prompt->organization, details.organization);
    copyCut(prompt->organizationUnit, sizeof prompt->organizationUnit, details.organizationUnit);
    copyCut(prompt->commonName, sizeof prompt->commonName, details.commonName);
    copyCut(prompt->emailAddress, sizeof prompt->emailAddress, details.emailAddress);
    copyCut(prompt->sha256Fingerprint, sizeof prompt->sha256Fingerprint, details.sha256Fingerprint);
    prompt->hash = details.hash;
    return true;
}

void CertHandler::getDNComponent(const char* key, const char* name, int length, char* output) {
    if (key == nullptr || name == nullptr || output == nullptr) return;
    const int keyLength = static_cast<int>(std::strlen(key));
    for (int pos = 0; pos < length - keyLength; ++pos) {
        if (std::strncmp(name + pos, key, keyLength) != 0) continue;
        int n = 0;
        for (int i = pos + keyLength; i < length && name[i] != '/' && name[i] != '\0' && n < 259;
             ++i)
            output[n++] = name[i];
        output[n] = '\0';
        return;
    }
}
