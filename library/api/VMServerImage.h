#pragma once
#include <cstdint>
#include <optional>
#include <string>

// One image in the appliance's image store.
class VMServerImage {
public:
    VMServerImage();
    // Copies everything but the format, which starts at 0; the name is duplicated.
    explicit VMServerImage(const VMServerImage* other);
    // Member-wise, with the name as the copy's own text.
    VMServerImage& operator=(const VMServerImage& other);
    VMServerImage(const VMServerImage& other);
    ~VMServerImage();

    int getIndex() const { return m_index; }
    void setIndex(int v) { m_index = v; }
    int getVDisk() const { return m_vDisk; }
    void setVDisk(int v) { m_vDisk = v; }
    int getType() const { return m_type; }
    void setType(int v) { m_type = v; }
    int getFormat() const { return m_format; }
    void setFormat(int v) { m_format = v; }
    int getSizeInBlocks() const { return m_size; }
    void setSize(int v) { m_size = v; }
    int getFlags() const { return m_flags; }
    void setFlags(int v) { m_flags = v; }
    int getStore() const { return m_store; }
    void setStore(int v) { m_store = v; }
    // Null when no name is set.
    const char* getName() const { return m_name ? m_name->c_str() : nullptr; }
    void setName(const char* name);

    // Size in bytes (512-byte blocks).
    int64_t getSize() const { return int64_t(m_size) * 512; }

private:
    int m_index = 0;
    int m_vDisk = 0;
    int m_type = 0;
    int m_format = 0;
    int m_size = 0;
    int m_flags = 0;
    int m_store = 0;
    std::optional<std::string> m_name;
};
