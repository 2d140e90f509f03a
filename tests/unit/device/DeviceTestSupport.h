#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/NativePath.h"

namespace devtest {

// Runs a shell command quietly; true when it exited 0.
inline bool sh(const std::string& cmd) {
    return std::system(("{ " + cmd + "; } >/dev/null 2>&1").c_str()) == 0;
}

// Runs a command and returns its standard output without the final newline.
inline std::string capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

inline bool haveTool(const char* name) {
    return sh(std::string("command -v ") + name + " || test -x /usr/sbin/" + name + " || test -x /sbin/" + name);
}

inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

inline std::wstring W(const std::string& s) { return tw::fromNativePath(s); }

// A fresh directory under the system's temp folder, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "twdev.XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        char* p = mkdtemp(buf.data());
        if (p) m_path = p;
    }
    ~TempDir() {
        if (m_path.empty()) return;
        sh("chattr -R -i " + quote(m_path));
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void writeAt(const std::string& path, long offset, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, offset, SEEK_SET);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::string sizedFile(const TempDir& d, const std::string& name, unsigned long long size) {
    const std::string p = d.file(name);
    EXPECT_TRUE(sh("truncate -s " + std::to_string(size) + " " + quote(p)));
    return p;
}

}  // namespace devtest
