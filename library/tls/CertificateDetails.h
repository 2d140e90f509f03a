#pragma once
#include <cstdint>

// Texts of one certificate, filled by ExtractX509Certificate.
struct CertificateDetails {
    char version[512];
    char serialNumber[512];
    char signatureAlgo[512];
    char issuer[512];
    char subject[512];
    char publicKey[1040];
    char signature[1040];
    char validity[512];
    char shaFingerprint[512];
    char md5Fingerprint[512];
    char keyPublic1[1040];
    char keyPublic2[1040];
    uint32_t hash;
    // Read from the subject's name entries, never from its one-line text
    // (where a value may itself hold "/CN=").
    char commonName[260];
    char organization[260];
    char organizationUnit[260];
    char locality[260];
    char emailAddress[260];
    // SHA-256 of the DER certificate: what identifies one certificate.
    char sha256Fingerprint[512];
};
