#pragma once
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace twtest {

// An argv built from strings, NULL-terminated; parsers keep pointers into it,
// so it must outlive them.
class Argv {
public:
    Argv(std::initializer_list<std::string> args) : m_text(args) { point(); }
    explicit Argv(std::vector<std::string> args) : m_text(std::move(args)) { point(); }
    Argv(const Argv&) = delete;
    Argv& operator=(const Argv&) = delete;

    int argc() const { return static_cast<int>(m_text.size()); }
    char** argv() { return m_ptrs.data(); }

private:
    void point() {
        for (std::string& s : m_text) m_ptrs.push_back(s.data());
        m_ptrs.push_back(nullptr);
    }
    std::vector<std::string> m_text;
    std::vector<char*> m_ptrs;
};

}  // namespace twtest
