#pragma once
// What every received packet must hold after a parse of `bodyLength` body
// bytes: nothing taken from beyond the body, counts that match what was kept.
#include <cstring>

#include "FuzzSupport.h"
#include "api/VMServerImage.h"
#include "protocol/DeviceConfigurationOption.h"
#include "protocol/Disconnect.h"
#include "protocol/LoginResponse.h"
#include "protocol/OTPResponse.h"
#include "protocol/ServerImageInfoResponse.h"
#include "protocol/SessionIdResponse.h"
#include "protocol/VDiskInfo.h"
#include "protocol/VDiskWrite.h"

namespace twfuzz {

inline void checkReceivedPacket(const ZELKPacket& p, const uint8_t* header, size_t bodyLength) {
    check(!p.getName().empty(), "a packet without a name");
    if (auto* v = dynamic_cast<const VDiskInfo*>(&p)) {
        check(v->getCount() <= v->getDeclaredCount() && size_t(v->getCount()) * 4 + 2 <= bodyLength,
              "VDiskInfo entries beyond the body");
        for (const VDiskInfoEntry& e : v->getEntries()) (void)e;
    } else if (auto* o = dynamic_cast<const OTPResponse*>(&p)) {
        const size_t u = header[10], pw = header[11];
        check(u + pw <= bodyLength, "OTPResponse strings beyond the body");
        check(o->getUser() ? std::strlen(o->getUser()) <= u : u == 0, "OTP user length");
        check(o->getPassword() ? std::strlen(o->getPassword()) <= pw : pw == 0, "OTP password length");
    } else if (auto* l = dynamic_cast<const LoginResponse*>(&p)) {
        if (l->getUserName()) check(std::strlen(l->getUserName()) + 3 <= bodyLength, "login name beyond the body");
    } else if (auto* d = dynamic_cast<const Disconnect*>(&p)) {
        if (d->getMessage()) check(std::strlen(d->getMessage()) + 4 <= bodyLength, "disconnect text beyond the body");
    } else if (auto* w = dynamic_cast<const VDiskWrite*>(&p)) {
        check(size_t(w->getDataLength()) + 8 == bodyLength, "write data is not the rest of the body");
    } else if (auto* s = dynamic_cast<const ServerImageInfoResponse*>(&p)) {
        check(size_t(s->getNumberOfImages()) * ServerImageInfoResponse::RECORD_SIZE <= bodyLength,
              "image records beyond the body");
        check(s->getDeclaredCount() <= 0 ? s->getNumberOfImages() == 0
                                         : s->getNumberOfImages() <= s->getDeclaredCount(),
              "more images than declared");
        for (VMServerImage* image : s->getImages()) {
            check(!image->getName() || std::strlen(image->getName()) <= ServerImageInfoResponse::NAME_SIZE,
                  "image name too long");
        }
        check(s->getImageAt(-1) == nullptr && s->getImageAt(s->getNumberOfImages()) == nullptr,
              "image outside the list");
    } else if (auto* c = dynamic_cast<const DeviceConfigurationOption*>(&p)) {
        const uint32_t size = c->getValueSize();
        check(c->getValue() == 0 || size == 1 || size == 2 || size == 4, "a value of an odd size");
        if (c->getValue() != 0) check(8 + size_t(size) <= bodyLength, "option value beyond the body");
    } else if (auto* i = dynamic_cast<const SessionIdResponse*>(&p)) {
        check(bodyLength >= 6 || i->getTimeout() == 60, "session timeout without its bytes");
    }
}

}  // namespace twfuzz
