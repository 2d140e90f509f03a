#pragma once
#include <string>

namespace tw {

// UTF-8 <-> wide (UTF-32 on Linux). Invalid input bytes become U+FFFD.
std::string toUtf8(const std::wstring& w);
std::string toUtf8(const wchar_t* w);
std::wstring fromUtf8(const std::string& s);

}  // namespace tw
