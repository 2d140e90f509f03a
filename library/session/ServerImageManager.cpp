#include "session/ServerImageManager.h"

#include <cstdio>

#include "session/ZELKSession.h"

ServerImageManager::ServerImageManager(ZELKSession* session)
    : m_session(session), m_answerSem(std::make_unique<ASemaphore>()) {}

ServerImageManager::~ServerImageManager() { m_answerSem->close(); }

void ServerImageManager::fireServerImageCreateResponse(int status, int imageIndex) {
    m_imageIndex.store(imageIndex);
    m_status.store(status & 0xFF);
    m_answerKind.store(SERVER_IMAGE_CREATE_RESPONSE);
    m_answerSem->release();
    // The image the server made for a cancelled request is removed again.
    if (m_cancelled.load() && m_session != nullptr) m_session->sendServerImageDeleteRequest(uint16_t(imageIndex));
    const int s = m_status.load();
    if (s == 0 || m_session == nullptr || !m_session->isConsoleStyle()) return;
    const char* text = nullptr;
    switch (s) {
        case 1: text = "Upload Failed\n"; break;
        case 2: text = "Upload Failed, Insufficient space\n"; break;
        case 3: text = "Upload Failed, Duplicate Name\n"; break;
        case 4: text = "Upload Failed, Invalid Parameter\n"; break;
        default: break;
    }
    if (text != nullptr) {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
}

void ServerImageManager::fireServerImageDataResponse(int status, int imageIndex) {
    m_imageIndex.store(imageIndex);
    m_status.store(status & 0xFF);
    m_answerKind.store(SERVER_IMAGE_DATA_RESPONSE);
    m_answerSem->release();
}

void ServerImageManager::cancel() {
    m_cancelled.store(true);
    m_answerSem->release();
}
