#include "Gzip.h"

#include <zlib.h>

#include <cstring>

namespace kv {

bool gzip_member(const std::string& data, const char* storedName, std::time_t mtime,
                 std::vector<uint8_t>* out) {
    if (data.size() > 0xFFFFFFFFu) return false;  // beyond one zlib input buffer
    z_stream z;
    std::memset(&z, 0, sizeof z);
    // 15 + 16: the largest window, with a gzip header and trailer.
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    std::string name(storedName);
    gz_header header;
    std::memset(&header, 0, sizeof header);
    header.time = static_cast<uLong>(mtime);
    header.os = 3;
    header.name = reinterpret_cast<Bytef*>(name.data());
    bool ok = deflateSetHeader(&z, &header) == Z_OK;

    out->clear();
    if (ok) {
        out->resize(deflateBound(&z, static_cast<uLong>(data.size())) + name.size() + 64);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        int rc = Z_OK;
        while (rc == Z_OK) {
            if (z.total_out >= out->size()) out->resize(out->size() * 2);
            z.next_out = out->data() + z.total_out;
            z.avail_out = static_cast<uInt>(out->size() - z.total_out);
            rc = deflate(&z, Z_FINISH);
        }
        ok = rc == Z_STREAM_END;
        if (ok) out->resize(z.total_out);
    }
    if (deflateEnd(&z) != Z_OK) ok = false;
    if (!ok) out->clear();
    return ok;
}

}  // namespace kv
