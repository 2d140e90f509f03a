#include "protocol/VDiskInfo.h"

#include "base/DebugLog.h"

bool VDiskInfo::parse(const uint8_t* header, const uint8_t* body, int length) {
    if (!ReceivedPacket::parse(header, body, length)) return false;
    if (getCount() != getDeclaredCount())
        LogMessage("%s count %i but only %i whole entries received\n", "VDiskInfo::parse:", getDeclaredCount(),
                   getCount());
    return true;
}
