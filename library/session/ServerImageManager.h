#pragma once
#include <atomic>
#include <memory>

#include "base/ASemaphore.h"

class ZELKSession;

// Records the server's answers to server-image requests for whoever waits
// on them.
class ServerImageManager {
public:
    static constexpr int SERVER_IMAGE_CREATE_RESPONSE = 2;
    static constexpr int SERVER_IMAGE_DATA_RESPONSE = 3;

    explicit ServerImageManager(ZELKSession* session);
    ~ServerImageManager();
    ServerImageManager(const ServerImageManager&) = delete;
    ServerImageManager& operator=(const ServerImageManager&) = delete;

    void fireServerImageCreateResponse(int status, int imageIndex);
    // A data answer (the request processor's ServerImageDataResponse).
    void fireServerImageDataResponse(int status, int imageIndex);
    void cancel();

    int getImageIndex() const { return m_imageIndex.load(); }
    int getStatus() const { return m_status.load(); }
    int getAnswerKind() const { return m_answerKind.load(); }
    bool isCancelled() const { return m_cancelled.load(); }
    ASemaphore& getAnswerSemaphore() { return *m_answerSem; }

private:
    ZELKSession* m_session;
    std::atomic<int> m_imageIndex{0};
    std::atomic<int> m_status{0};
    std::atomic<int> m_answerKind{0};
    std::unique_ptr<ASemaphore> m_answerSem;
    std::atomic<bool> m_cancelled{false};
};
