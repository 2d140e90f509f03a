#pragma once
// One gzip member (RFC 1952) of a file, as the command line "gzip -q" makes
// it: default level, the file's name and modification time in the header,
// OS 3 (Unix).
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kv {

// Compresses `data` into a complete gzip member. False on any zlib failure.
bool gzip_member(const std::string& data, const char* storedName, std::time_t mtime,
                 std::vector<uint8_t>* out);

}  // namespace kv
