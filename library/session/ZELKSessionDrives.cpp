// Drive mapping and session requests. Until the data path is built every
// operation here refuses or does nothing; none reports a success.
#include "base/DebugLog.h"
#include "session/ZELKSession.h"

void ZELKSession::sendVDiskInfoRequest() { LogMessage("%s not available.\n", "ZELKSession::sendVDiskInfoRequest:"); }

void ZELKSession::checkVDiskInfoResponse() {}

int ZELKSession::sendMapRequest(VMRemoteDrive*, VMLocalDrive*, int) {
    LogMessage("%s not available.\n", "ZELKSession::sendMapRequest:");
    return -1;
}

int ZELKSession::sendMapRequest2(VMLocalDrive*, VMRemoteDrive*, int) {
    LogMessage("%s not available.\n", "ZELKSession::sendMapRequest2:");
    return -1;
}

void ZELKSession::sendVDiskAlternateTocData(int, int, int, int) {}

void ZELKSession::unmapAllDrives() {}

void ZELKSession::unmapLocalDrive(VMLocalDrive*, uint8_t) {}

void ZELKSession::unmapRemoteDrive(VMRemoteDrive*) {}

void ZELKSession::sendResponseData(VMLocalDrive*, int, int, VMRemoteDrive*, uint32_t, const uint8_t*) {}

void ZELKSession::sendHeartbeatMsg() {}

void ZELKSession::sendServerImageDeleteRequest(uint16_t) {}

void ZELKSession::runFindDrives(VMDriveList*) {}

int ZELKSession::GetFixedToc(uint8_t* buffer) {
    static const uint8_t toc[20] = {0x00, 0x12, 0x01, 0x01, 0x00, 0x14, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x00, 0x14, 0xAA, 0x00, 0x00, 0x11, 0x76, 0xE0};
    for (int i = 0; i < 20; ++i) buffer[i] = toc[i];
    return 20;
}

int ZELKSession::countMappedDrives() { return 0; }
