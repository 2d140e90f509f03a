// Reconnection and one-time passwords. Until reconnection is built, a
// session never reconnects: the operations fail or do nothing.
#include "base/DebugLog.h"
#include "api/VMConstants.h"
#include "session/SessionHost.h"
#include "session/ZELKSession.h"

int ZELKSession::reconnect() {
    LogMessage("%s not available.\n", "ZELKSession::reconnect:");
    return 1;
}

int ZELKSession::remapDrives() {
    LogMessage("%s not available.\n", "ZELKSession::remapDrives:");
    return VMConstants::API_ERROR;
}

int ZELKSession::cancelReconnect() {
    LogMessage("%s Entered.\n", "ZELKSession::cancelReconnect:");
    m_cancelReconnect.store(1);
    if (m_vmAPI != nullptr) m_vmAPI->releaseConnectSemaphore();
    return VMConstants::API_SUCCESS;
}

void ZELKSession::sendOTPRequest() { LogMessage("%s not available.\n", "ZELKSession::sendOTPRequest:"); }

void ZELKSession::waitForOTPResponse() {}

int ZELKSession::isClearTextReconnectPending() { return 0; }

void ZELKSession::forceReconnect() {}

void ZELKSession::waitForClearTextReconnect() { m_connectDone.store(1); }

void ZELKSession::setReconnecting(int reconnecting) {
    LogMessage("%s Entered recon=%i.\n", "ZELKSession::setReconnecting:", reconnecting);
    m_reconnecting.store(reconnecting != 0 ? 1 : 0);
}
