#include "session/RequestProcessor.h"

#include "base/DebugLog.h"

// Handlers follow with the packet layer; until then nothing is dispatched.
RequestProcessor::RequestProcessor(SessionHost* vmAPI, ZELKSession* session, VMDriveList* driveList)
    : m_vmAPI(vmAPI), m_session(session), m_driveList(driveList) {}

RequestProcessor::~RequestProcessor() { LogMessage("%s Entered.\n", "RequestProcessor::~RequestProcessor:"); }

void RequestProcessor::process(ZELKPacket*) {}
