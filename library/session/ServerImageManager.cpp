#include "session/ServerImageManager.h"

ServerImageManager::ServerImageManager(ZELKSession* session)
    : m_session(session), m_answerSem(std::make_unique<ASemaphore>()) {}

ServerImageManager::~ServerImageManager() { m_answerSem->close(); }

void ServerImageManager::cancel() {
    m_cancelled.store(true);
    m_answerSem->release();
}
