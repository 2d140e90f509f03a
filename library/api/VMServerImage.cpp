#include "api/VMServerImage.h"

#include "base/DebugLog.h"

VMServerImage::VMServerImage() {
    LogMessage("%s create p: %p\n", "VMServerImage::VMServerImage:", static_cast<void*>(this));
}

VMServerImage::VMServerImage(const VMServerImage* other) {
    if (other != nullptr) {
        m_index = other->m_index;
        m_vDisk = other->m_vDisk;
        m_type = other->m_type;
        // The format too: an ISO image listed as RAW would be offered wrongly.
        m_format = other->m_format;
        m_size = other->m_size;
        m_flags = other->m_flags;
        m_store = other->m_store;
        m_name = other->m_name;
    }
    LogMessage("%s create copy p: %p\n", "VMServerImage::VMServerImage:", static_cast<void*>(this));
}

VMServerImage::VMServerImage(const VMServerImage& other)
    : m_index(other.m_index), m_vDisk(other.m_vDisk), m_type(other.m_type), m_format(other.m_format),
      m_size(other.m_size), m_flags(other.m_flags), m_store(other.m_store), m_name(other.m_name) {
    LogMessage("%s create copy p: %p\n", "VMServerImage::VMServerImage:", static_cast<void*>(this));
}

VMServerImage& VMServerImage::operator=(const VMServerImage& other) {
    if (this != &other) {
        m_index = other.m_index;
        m_vDisk = other.m_vDisk;
        m_type = other.m_type;
        m_format = other.m_format;
        m_size = other.m_size;
        m_flags = other.m_flags;
        m_store = other.m_store;
        m_name = other.m_name;
    }
    return *this;
}

VMServerImage::~VMServerImage() {
    LogMessage("%s deleting p: %p\n", "VMServerImage::~VMServerImage:", static_cast<void*>(this));
}

void VMServerImage::setName(const char* name) {
    if (name != nullptr)
        m_name = std::string(name);
    else
        m_name.reset();
    LogMessage("%s m_name >>>>%s<<<<\n", "VMServerImage::setName:", m_name ? m_name->c_str() : "(null)");
}
