#pragma once
#include <string>

namespace tw {

// Wide path <-> the bytes the kernel sees, through the user's locale
// (LC_CTYPE from the environment). Nothing is lost either way: a byte the
// locale cannot decode becomes U+DC00+byte, and such a character turns back
// into that byte; a character the locale cannot encode is written as UTF-8.
std::string toNativePath(const wchar_t* path);
std::string toNativePath(const std::wstring& path);
std::wstring fromNativePath(const std::string& bytes);

}  // namespace tw
