#pragma once
#include <cstdint>

// The fixed record handed to CertificateCallbackInterface::CallbackCertificateSave.
// Texts are zero-terminated and cut to capacity - 1.
struct CertificatePrompt {
    // Preset in answer: report no verification error (errorCode 0, reason empty).
    static constexpr int32_t NO_ERROR_MARKER = 12345;

    char keyPublic1[1040];
    char keyPublic2[1040];
    char commonName[260];
    char organization[260];
    char organizationUnit[260];
    char locality[260];
    char emailAddress[260];
    char version[260];
    char serialNumber[260];
    char issuer[260];
    char subject[260];
    char validity[260];
    char signature[520];
    char signatureAlgo[260];
    char shaFingerprint[260];
    char md5Fingerprint[260];
    char reason[260];
    int32_t errorCode;
    int32_t answer;
    uint32_t hash;
    // 64 uppercase hex digits; empty when no certificate could be read.
    char sha256Fingerprint[260];
};
