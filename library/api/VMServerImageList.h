#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/VMServerImage.h"
#include "base/ASemaphore.h"

// The appliance's image store: its id, name, sizes and upload state, and the
// images in it. The receive thread replaces the images; applications read them.
class VMServerImageList {
public:
    // response kinds
    static constexpr int SERVER_IMAGE_NO_RESPONSE = 0;
    static constexpr int SERVER_IMAGE_SPACE_RESPONSE = 1;
    static constexpr int SERVER_IMAGE_CREATE_RESPONSE = 2;
    static constexpr int SERVER_IMAGE_DATA_RESPONSE = 3;
    static constexpr int SERVER_IMAGE_UPLOAD_RESPONSE = 4;
    static constexpr int SERVER_IMAGE_PERCENT_UPDATE = 5;
    static constexpr int SERVER_IMAGE_UPLOAD_CANCELLED = 6;
    // results
    static constexpr int SERVER_IMAGE_SUCCESS = 0;
    static constexpr int SERVER_IMAGE_ERROR = 1;
    static constexpr int SERVER_IMAGE_UNKNOW_TYPE = 2;
    static constexpr int SERVER_IMAGE_INVAILD_SIZE = 3;
    static constexpr int SERVER_IMAGE_INVAILD_IMAGE = 4;
    static constexpr int SERVER_IMAGE_IMAGE_EXIST = 5;
    // formats
    static constexpr int SERVER_IMAGE_FORMAT_RAW = 0;
    static constexpr int SERVER_IMAGE_FORMAT_ISO = 1;
    // types
    static constexpr int SERVER_IMAGE_TYPE_CD = 0;
    static constexpr int SERVER_IMAGE_TYPE_FD = 1;
    static constexpr int SERVER_IMAGE_TYPE_RD = 2;
    // image flag bits
    static constexpr int SERVER_IMAGE_INFO_WRITEABLE_FLAG = 1;
    static constexpr int SERVER_IMAGE_INFO_REMOVABLE_FLAG = 2;
    static constexpr int SERVER_IMAGE_INFO_UPDATABLE_FLAG = 4;
    static constexpr int SERVER_IMAGE_STORE_PERM = 16;
    static constexpr int SERVER_IMAGE_INFO_MOUNTED_RO_FLAG = 256;
    static constexpr int SERVER_IMAGE_INFO_MOUNTED_RW_FLAG = 512;
    static constexpr int SERVER_IMAGE_INFO_RDOC_FLAG = 1024;
    // sizes
    static constexpr uint32_t SERVER_IMAGE_MAX_SIZE = 52428800u;
    static constexpr uint32_t SERVER_IMAGE_DOUBLE_FLOPPY_SIZE = 3019898u;

    using Callback = void (*)(int);

    VMServerImageList();
    // A copy of the source's fields and images (taken under its lock), with
    // no callback.
    explicit VMServerImageList(const VMServerImageList* other);
    // Copies fields, images and callback; the images are the copy's own.
    VMServerImageList(const VMServerImageList& other);
    VMServerImageList& operator=(const VMServerImageList& other);
    ~VMServerImageList();

    int getLastAction() const { return m_lastAction; }
    void setLastAction(int v) { m_lastAction = v; }
    int getStatus() const { return m_status; }
    void setStatus(int v) { m_status = v; }
    int getIndex() const { return m_index; }
    void setIndex(int v) { m_index = v; }
    int getUploadPercent() const { return m_uploadPercent; }
    void setUploadPercent(int v) { m_uploadPercent = v; }
    bool isUploading() const { return m_uploading; }
    void setUploading(bool v) { m_uploading = v; }
    // Store id, sizes and the image count are written by the receive thread
    // and read by the application: under the lock.
    int getStoreId() const;
    void setStoreId(int v);
    const char* getStoreName() const { return m_storeName ? m_storeName->c_str() : nullptr; }
    void setStoreName(const char* name);
    uint64_t getStoreSize() const;
    void setStoreSpace(uint64_t bytes);
    uint64_t getFreeSpace() const;
    void setFreeSpace(uint64_t bytes);
    int getNumberOfImages() const;
    void registerCallback(Callback callback) { m_callback = callback; }

    // The list's own object (not a copy), or null outside 0..n-1. It stays
    // valid only until the next updateServerImageList.
    VMServerImage* getServerImageAt(int index);
    // Replaces the images by copies of the given ones (null entries skipped),
    // then calls the callback with 700 outside the lock.
    void updateServerImageList(const std::vector<VMServerImage*>& images);

private:
    void copyFrom(const VMServerImageList& other);
    void lock() const;
    void unlock() const;

    int m_lastAction = 0;
    int m_status = 0;
    int m_index = 0;
    int m_uploadPercent = 0;
    bool m_uploading = false;
    int m_storeId = 0;
    std::optional<std::string> m_storeName;
    uint64_t m_storeSize = 0;
    uint64_t m_freeSpace = 0;
    int m_numberOfImages = 0;
    std::vector<std::unique_ptr<VMServerImage>> m_images;
    std::unique_ptr<ASemaphore> m_lock;
    Callback m_callback = nullptr;
};
