#pragma once
#include <openssl/types.h>

#include <string>

class CertificateCallbackInterface;
struct CertificatePrompt;

// Process-wide certificate verdict of the handshake being set up. One
// connection is set up at a time; verify_callback runs on that thread.
class CertHandler {
public:
    // States.
    static constexpr int STATE_INIT = 0;
    static constexpr int STATE_ASKING = 1;
    static constexpr int STATE_ACCEPTED = 2;
    static constexpr int STATE_CANCEL = 4;
    static constexpr int STATE_TIMEOUT = 5;
    // Answers written by CallbackCertificateSave (anything else: run once).
    static constexpr int ANSWER_RUN = 2;
    static constexpr int ANSWER_RUN_ONCE = 3;
    static constexpr int ANSWER_CANCEL = 4;
    static constexpr int ANSWER_TIMEOUT = 5;

    // State INIT, a fresh handshake, the session that answers prompts (may be null).
    static void init(CertificateCallbackInterface* session);
    // Null or empty: no trust directory. "\" becomes "/". A path too long
    // for the file system is refused (logged) and leaves none.
    static void setTrustDirectory(const char* directory);
    static std::string getTrustDirectory();
    // A certificate accepted earlier in this session (not owned, may be null).
    static void setKnownCertificate(X509* certificate);
    static X509* getKnownCertificate();

    static int getState();
    static void setState(int state);

    // OpenSSL's verification callback of the TLS context.
    static int verify_callback(int ok, X509_STORE_CTX* context);

    // False (record untouched) when null or before any verify callback.
    // A preset answer of CertificatePrompt::NO_ERROR_MARKER reports no error.
    static bool fillCertificatePrompt(CertificatePrompt* prompt);
    // Copies the value of key (for example "/CN=") from a one-line name.
    static void getDNComponent(const char* key, const char* name, int length, char* output);

    // The leaf the user accepted (RUN or RUN ONCE) in the handshake since the
    // last init, as a new reference for the caller; null when none.
    static X509* getAnsweredCertificate();

    // Forgets the primary and known certificate (not freed).
    static void clearCertificates();
};
