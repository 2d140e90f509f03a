#pragma once
#include <openssl/types.h>

#include <string>
#include <vector>

// A DER chain is the chain's certificates, leaf first, back to back; its size
// list holds each certificate's size in the same order and ends with 0.

// Verifies the chain against InitSSLContext's store. Returns 0 when trusted,
// else the failing X509 error code or the highest-priority tolerated one;
// 17 when the store cannot be built, 50 for missing or undecodable input.
// Keeps a copy of the chain for ExtractX509Certificate.
int ValidateX509Certificate(const int* sizes, const unsigned char* chain, int total);

// A new store (owned by the caller): the system CA bundle ($SSL_CERT_FILE or
// OpenSSL's default file) and the first certificate of every *.pem file of
// the trust directory. Null when no store can be made.
X509_STORE* InitSSLContext();

// Writes the chain's first certificate as PEM into the trust directory as
// TKW_<SHA-256 of the issuer name>_<serial>.pem. 0, or 50 on failure.
int SaveX509Certificate(const unsigned char* chain, int total);

// True when cert is one of the certificates of the trust directory (one the
// user accepted and saved, or put there).
bool IsSavedCertificate(X509* cert);

// New X509* or null.
X509* PEM_read_file_X509(const std::string& path);
// 0 or 50.
int PEM_write_file_X509(const std::string& path, X509* cert);

// trust directory + "/" + name; false when there is no trust directory or
// the result would be longer than a path may be.
bool BuildCertificatePath(std::string& out, const std::string& name);
// SHA-256 of text as 64 uppercase hex digits.
std::string Sha256Hex(const std::string& text);
bool CheckAlgorithmsRegistered();

// The leaf of the last validated chain (DER). false when none was kept;
// *tooLarge tells a leaf that did not fit into the kept bytes.
bool GetKeptLeaf(std::vector<unsigned char>& der, bool* tooLarge = nullptr);
void ClearKeptChain();
