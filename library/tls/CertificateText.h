#pragma once
#include <openssl/types.h>

struct CertificateDetails;

// Fills details from the leaf of the last validated chain: 0, or 50 when
// details is null, no chain was kept or the leaf cannot be decoded.
int ExtractX509Certificate(CertificateDetails* details);

// Text extractors: write a zero-terminated text into out (capacity bytes)
// and return its length; 0 (and an empty text where possible) on failure.
int ExtractIssuerNameUtf8(X509* cert, char* out, int capacity);
int ExtractSubjectUtf8(X509* cert, char* out, int capacity);
// Uppercase hex of the serial's content bytes; 0 when it does not fit.
int ExtractSerialNumberUtf8(X509* cert, char* out, int capacity);
int ExtractSignatureAlgorithm(X509* cert, char* out, int capacity);
int ExtractVersion(X509* cert, char* out, int capacity);
// Hex of the DER public key / the signature; empty when the bytes reach 520.
int ExtractPublicKey(X509* cert, char* out, int capacity);
int ExtractSignature(X509* cert, char* out, int capacity);
int ExtractValidity(X509* cert, char* out, int capacity);
// RSA: modulus and exponent; DSA: public value and empty; others: both empty.
int ExtractKeyParts(X509* cert, char* part1, int capacity1, char* part2, int capacity2);
// digestName "sha1", "sha256" or "md5": uppercase hex digest of the DER certificate.
int ExtractFingerprint(X509* cert, char* out, int capacity, const char* digestName);
// The value (UTF-8) of the name's first entry of this NID; empty when none.
int ExtractNameEntryUtf8(X509_NAME* name, int nid, char* out, int capacity);

// Two uppercase hex digits per byte, zero-terminated; returns the digits
// written (0 when out cannot hold them all and the terminator).
int BytesToHexString(const unsigned char* bytes, int count, char* out, int capacity);
