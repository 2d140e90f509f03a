#include "platform/NativePath.h"

#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <locale.h>

#include "platform/WideText.h"

namespace tw {
namespace {

// The environment's LC_CTYPE, made once; null when the environment names a
// locale that is not installed (then UTF-8 is used).
locale_t environmentLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

// Runs f with the environment's locale on this thread only.
template <typename F>
auto withLocale(F f) {
    locale_t loc = environmentLocale();
    if (!loc) return f(false);
    locale_t old = uselocale(loc);
    auto r = f(true);
    uselocale(old);
    return r;
}

bool isEscape(wchar_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

// One strict UTF-8 sequence at s[0..n); its length, or 0 when invalid.
size_t decodeUtf8(const unsigned char* s, size_t n, wchar_t* out) {
    unsigned long c;
    size_t len;
    if (s[0] >= 0xC2 && s[0] <= 0xDF) { c = s[0] & 0x1F; len = 2; }
    else if ((s[0] & 0xF0) == 0xE0) { c = s[0] & 0x0F; len = 3; }
    else if (s[0] >= 0xF0 && s[0] <= 0xF4) { c = s[0] & 0x07; len = 4; }
    else return 0;
    if (len > n) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((s[k] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (s[k] & 0x3F);
    }
    const unsigned long minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *out = static_cast<wchar_t>(c);
    return len;
}

}  // namespace

std::string toNativePath(const wchar_t* path) {
    if (!path) return std::string();
    return toNativePath(std::wstring(path));
}

std::string toNativePath(const std::wstring& path) {
    return withLocale([&](bool haveLocale) {
        std::string out;
        out.reserve(path.size());
        char buf[MB_LEN_MAX];
        for (wchar_t c : path) {
            if (isEscape(c)) {
                out += static_cast<char>(c - 0xDC00);
                continue;
            }
            if (haveLocale) {
                std::mbstate_t st{};
                size_t n = std::wcrtomb(buf, c, &st);
                if (n != static_cast<size_t>(-1)) {
                    out.append(buf, n);
                    continue;
                }
            }
            out += toUtf8(std::wstring(1, c));
        }
        return out;
    });
}

std::wstring fromNativePath(const std::string& bytes) {
    return withLocale([&](bool haveLocale) {
        std::wstring out;
        out.reserve(bytes.size());
        size_t i = 0;
        const size_t n = bytes.size();
        while (i < n) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            if (b < 0x80) {
                out += static_cast<wchar_t>(b);
                ++i;
                continue;
            }
            wchar_t wc = 0;
            size_t used = 0;
            if (haveLocale) {
                std::mbstate_t st{};
                used = std::mbrtowc(&wc, bytes.data() + i, n - i, &st);
                if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) ||
                    isEscape(wc))
                    used = 0;
            }
            if (used == 0)
                used = decodeUtf8(reinterpret_cast<const unsigned char*>(bytes.data()) + i, n - i, &wc);
            if (used == 0) {
                out += static_cast<wchar_t>(0xDC00 + b);
                ++i;
                continue;
            }
            out += wc;
            i += used;
        }
        return out;
    });
}

}  // namespace tw
