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
};
