#pragma once
#include <cstddef>
#include <string>

namespace tw {

// Integer lookup in an INI file with the rules of the classic private-profile
// API: case-insensitive, trimmed section and key names; the first matching
// section and key win; lines without '=' are ignored; the value is trimmed and
// one pair of surrounding quotes removed; the number is an optional sign and
// digits up to the first non-digit; anything missing gives the default.
// Only a regular file is read (a FIFO, device or directory gives the
// default), and only its first kIniReadLimit bytes, cut back to whole lines.
inline constexpr std::size_t kIniReadLimit = 64 * 1024;
int iniGetInt(const std::string& path, const std::string& section,
              const std::string& key, int defaultValue);

// Same lookup over the text of a file already in memory.
int iniGetIntFromText(const std::string& text, const std::string& section,
                      const std::string& key, int defaultValue);

}  // namespace tw
