#include "api/VMServerImageList.h"

#include "api/VMConstants.h"
#include "base/DebugLog.h"

VMServerImageList::VMServerImageList() : m_lock(std::make_unique<ASemaphore>(true)) {}

VMServerImageList::VMServerImageList(const VMServerImageList* other) {
    if (other == nullptr) return;
    other->lock();
    copyFrom(*other);
    other->unlock();
}

VMServerImageList::VMServerImageList(const VMServerImageList& other) : m_lock(std::make_unique<ASemaphore>(true)) {
    other.lock();
    copyFrom(other);
    other.unlock();
    m_callback = other.m_callback;
}

VMServerImageList& VMServerImageList::operator=(const VMServerImageList& other) {
    if (this == &other) return *this;
    // Copy under the source's lock first, then swap in under our own.
    VMServerImageList copy(&other);
    lock();
    m_lastAction = copy.m_lastAction;
    m_status = copy.m_status;
    m_index = copy.m_index;
    m_uploadPercent = copy.m_uploadPercent;
    m_uploading = copy.m_uploading;
    m_storeId = copy.m_storeId;
    m_storeName = copy.m_storeName;
    m_storeSize = copy.m_storeSize;
    m_freeSpace = copy.m_freeSpace;
    m_numberOfImages = copy.m_numberOfImages;
    m_images = std::move(copy.m_images);
    unlock();
    m_callback = other.m_callback;
    return *this;
}

VMServerImageList::~VMServerImageList() {
    if (m_lock) m_lock->close();
}

void VMServerImageList::copyFrom(const VMServerImageList& other) {
    m_lastAction = other.m_lastAction;
    m_status = other.m_status;
    m_index = other.m_index;
    m_uploadPercent = other.m_uploadPercent;
    m_uploading = other.m_uploading;
    m_storeId = other.m_storeId;
    m_storeName = other.m_storeName;
    m_storeSize = other.m_storeSize;
    m_freeSpace = other.m_freeSpace;
    m_images.clear();
    for (const auto& image : other.m_images)
        if (image) m_images.push_back(std::make_unique<VMServerImage>(image.get()));
    m_numberOfImages = int(m_images.size());
}

void VMServerImageList::lock() const {
    if (m_lock) m_lock->wait();
}

void VMServerImageList::unlock() const {
    if (m_lock) m_lock->release();
}

void VMServerImageList::setStoreName(const char* name) {
    if (name != nullptr)
        m_storeName = std::string(name);
    else
        m_storeName.reset();
}

int VMServerImageList::getStoreId() const {
    lock();
    const int v = m_storeId;
    unlock();
    return v;
}

void VMServerImageList::setStoreId(int v) {
    lock();
    m_storeId = v;
    unlock();
}

uint64_t VMServerImageList::getStoreSize() const {
    lock();
    const uint64_t v = m_storeSize;
    unlock();
    return v;
}

void VMServerImageList::setStoreSpace(uint64_t bytes) {
    lock();
    m_storeSize = bytes;
    unlock();
}

uint64_t VMServerImageList::getFreeSpace() const {
    lock();
    const uint64_t v = m_freeSpace;
    unlock();
    return v;
}

void VMServerImageList::setFreeSpace(uint64_t bytes) {
    lock();
    m_freeSpace = bytes;
    unlock();
}

int VMServerImageList::getNumberOfImages() const {
    lock();
    const int v = m_numberOfImages;
    unlock();
    return v;
}

VMServerImage* VMServerImageList::getServerImageAt(int index) {
    lock();
    VMServerImage* image = nullptr;
    if (index >= 0 && index < m_numberOfImages && size_t(index) < m_images.size()) image = m_images[size_t(index)].get();
    unlock();
    return image;
}

void VMServerImageList::updateServerImageList(const std::vector<VMServerImage*>& images) {
    lock();
    m_images.clear();
    for (VMServerImage* image : images) {
        if (image == nullptr) continue;
        auto copy = std::make_unique<VMServerImage>(image);
        LogMessage("%s add image to list name: %s\n", "VMServerImageList::updateServerImageList:",
                   copy->getName() ? copy->getName() : "(null)");
        m_images.push_back(std::move(copy));
    }
    m_numberOfImages = int(m_images.size());
    m_lastAction = VMConstants::SERVER_IMAGE_LIST_UPDATED;
    LogMessage("%s TOTAL images: %i\n", "VMServerImageList::updateServerImageList:", m_numberOfImages);
    unlock();
    if (m_callback != nullptr) m_callback(VMConstants::SERVER_IMAGE_LIST_UPDATED);
}
