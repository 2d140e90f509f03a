#pragma once

struct CertificatePrompt;

// Whoever answers certificate prompts during a handshake (the session).
// CallbackCertificateSave blocks until it has an answer and writes it into
// prompt->answer: 2 RUN (accept and save), 3 RUN ONCE, 4 CANCEL, 5 TIMEOUT.
// The record belongs to the caller and exists only during the call.
class CertificateCallbackInterface {
public:
    virtual ~CertificateCallbackInterface() = default;
    virtual void CallbackCertificateSave(CertificatePrompt* prompt) = 0;
};
