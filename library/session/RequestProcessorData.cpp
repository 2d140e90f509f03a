// Serving block reads and writes. Until the data path is built, requests
// are not served and nothing is answered.
#include "base/DebugLog.h"
#include "session/RequestProcessor.h"

void RequestProcessor::process(ReadRequest&) { LogMessage("%s not served.\n", "RequestProcessor::process(ReadRequest):"); }

void RequestProcessor::process(VDiskWrite&) { LogMessage("%s not served.\n", "RequestProcessor::process(VDiskWrite):"); }

void RequestProcessor::process(VDiskGetAlternateTocData&) {
    LogMessage("%s not served.\n", "RequestProcessor::process(VDiskGetAlternateTocData):");
}

void RequestProcessor::sendClientStatus(int, uint32_t) {
    LogMessage("%s ClientStatusMessage not sent.\n", "RequestProcessor::sendClientStatus:");
}
