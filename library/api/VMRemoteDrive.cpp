#include "api/VMRemoteDrive.h"

#include <ctime>

VMRemoteDrive::VMRemoteDrive(const VMRemoteDrive* other) {
    if (other) *this = *other;
}

void VMRemoteDrive::setMappedTo(int localId) {
    m_mappedTo = localId;
    m_readBytes = 0;
    m_writeBytes = 0;
    if (localId == -1) {
        m_beginMapTime = 0;
        m_status = REMOTE_DRIVE_IDLE;
    } else {
        m_beginMapTime = static_cast<int64_t>(std::time(nullptr));
        m_status = REMOTE_DRIVE_ATTACHED;
    }
}

void VMRemoteDrive::addReadBytes(int n) { m_readBytes.fetchAdd(static_cast<uint64_t>(static_cast<int64_t>(n))); }

void VMRemoteDrive::addWriteBytes(int n) { m_writeBytes.fetchAdd(static_cast<uint64_t>(static_cast<int64_t>(n))); }

uint64_t VMRemoteDrive::getMapDuration() const {
    return static_cast<uint64_t>(static_cast<int64_t>(std::time(nullptr)) - m_beginMapTime.load());
}

int VMRemoteDrive::isMappedLocally() const { return m_status == REMOTE_DRIVE_ATTACHED && m_mappedTo != -1; }

int VMRemoteDrive::isMappedRemotely() const { return m_status == REMOTE_DRIVE_ATTACHED && m_mappedTo == -1; }

int VMRemoteDrive::isAvailable() const { return !m_attachRequest && m_status == REMOTE_DRIVE_IDLE; }
