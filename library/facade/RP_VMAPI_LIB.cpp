#include "facade/RP_VMAPI_LIB.h"

#include <openssl/crypto.h>

#include <csignal>

#include "base/DebugLog.h"

std::atomic<RP_VMAPI_LIB*> g_lib{nullptr};

RP_VMAPI_LIB::RP_VMAPI_LIB() {
    InitLogging();
    LogMessage("%s Virtual Media Library Version: %s, %s\n", "RP_VMAPI_LIB::RP_VMAPI_LIB:", VERSION,
               OpenSSL_version(OPENSSL_VERSION));
    // A write to a peer that has gone away must fail, not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    g_lib.store(this);
}

RP_VMAPI_LIB::~RP_VMAPI_LIB() {
    RP_VMAPI_LIB* self = this;
    g_lib.compare_exchange_strong(self, nullptr);
}

int RP_VMAPI_LIB::connect(VMConnectionInfo* settings, Callback) {
    LogMessage("%s Entered.\n", "RP_VMAPI_LIB::connect:");
    if (settings == nullptr || settings->getIpAddress() == nullptr) return VMConstants::API_INVALID_ARGUMENT;
    return VMConstants::API_ERROR;
}

int RP_VMAPI_LIB::cancelConnect() { return VMConstants::API_INVALID_STATE; }

// Nothing can be connected, so the state asked for already holds.
int RP_VMAPI_LIB::disconnect() {
    LogMessage("%s Entered.\n", "RP_VMAPI_LIB::disconnect:");
    m_connectionStatus.store(VMConstants::VMAPI_DISCONNECTED);
    return VMConstants::API_SUCCESS;
}

VMSessionStatus* RP_VMAPI_LIB::getSessionStatus() { return nullptr; }

int RP_VMAPI_LIB::getConnectionStatus() { return m_connectionStatus.load(); }

int RP_VMAPI_LIB::requestRemoteDriveList() { return VMConstants::API_INVALID_STATE; }

VMLocalDrive* RP_VMAPI_LIB::getLocalDriveObject(const wchar_t*, bool) { return nullptr; }

int RP_VMAPI_LIB::mapDrive(int) { return VMConstants::API_INVALID_STATE; }

int RP_VMAPI_LIB::setLocalDriveForMapping(int, int) { return VMConstants::API_ERROR; }

int RP_VMAPI_LIB::setLocalDriveReadOnly(int, int) { return VMConstants::API_ERROR; }

int RP_VMAPI_LIB::isSessionRunning() { return 0; }

void RP_VMAPI_LIB::waitWhileSessionRunning() {}
