#pragma once
#include "protocol/SessionRequest.h"

// Session request for a resumed session (TUVO 0x0101): same body as the
// plain request with header parameter 0 and the two timeouts 0 / 20.
class SessionRequestEx : public SessionRequest {
public:
    SessionRequestEx() : SessionRequest(0x0101) {}
    std::string getName() const override { return "Session Request Extended"; }

protected:
    uint16_t headerParam() const override { return 0; }
    uint16_t firstTimeout() const override { return 0; }
    uint16_t secondTimeout() const override { return 20; }
};
