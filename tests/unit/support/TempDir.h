#pragma once
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <stdlib.h>

namespace twtest {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string base = std::filesystem::temp_directory_path() / "tw-test-XXXXXX";
        if (mkdtemp(base.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = base;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::string sub(const std::string& name) const {
        std::filesystem::create_directories(file(name));
        return file(name);
    }

private:
    std::string m_path;
};

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace twtest
