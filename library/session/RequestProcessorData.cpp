// Serving block reads and writes. Until the data path is built, read,
// write and alternate-TOC requests are not served and not answered.
#include "base/DebugLog.h"
#include "protocol/ClientStatusMessage.h"
#include "session/RequestProcessor.h"
#include "session/ZELKSession.h"

void RequestProcessor::process(ReadRequest&) { LogMessage("%s not served.\n", "RequestProcessor::process(ReadRequest):"); }

void RequestProcessor::process(VDiskWrite&) { LogMessage("%s not served.\n", "RequestProcessor::process(VDiskWrite):"); }

void RequestProcessor::process(VDiskGetAlternateTocData&) {
    LogMessage("%s not served.\n", "RequestProcessor::process(VDiskGetAlternateTocData):");
}

void RequestProcessor::sendClientStatus(int deviceIndex, uint32_t status) {
    if (!isConnected()) {
        LogMessage("%s ClientStatusMessage not sent, not connected.\n", "RequestProcessor::sendClientStatus:");
        return;
    }
    m_session->sendPacket(new ClientStatusMessage(deviceIndex, status));
}
