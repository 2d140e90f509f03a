#include "platform/IniReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <sstream>

namespace tw {
namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
    return s.substr(b, e - b);
}

bool iequals(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int parseInt(const std::string& v) {
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
    bool neg = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
        neg = v[i] == '-';
        ++i;
    }
    long long n = 0;
    for (; i < v.size() && std::isdigit(static_cast<unsigned char>(v[i])); ++i) {
        n = n * 10 + (v[i] - '0');
        if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;  // saturate
    }
    if (neg) n = -n;
    if (n > INT_MAX) n = INT_MAX;
    if (n < INT_MIN) n = INT_MIN;
    return static_cast<int>(n);
}

}  // namespace

int iniGetIntFromText(const std::string& textIn, const std::string& section,
                      const std::string& key, int defaultValue) {
    std::string text = textIn;
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
        static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
        text.erase(0, 3);
    const std::string wantSection = trim(section);
    const std::string wantKey = trim(key);
    std::istringstream in(text);
    std::string line;
    bool inSection = false;
    bool sectionSeen = false;
    while (std::getline(in, line)) {
        std::string t = trim(line);
        if (!t.empty() && t[0] == '[') {
            size_t close = t.find(']');
            std::string name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            // Only the first matching section counts, even when the key is not in it.
            if (sectionSeen) return defaultValue;
            inSection = iequals(name, wantSection);
            sectionSeen = inSection;
            continue;
        }
        if (!inSection) continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;
        if (!iequals(trim(t.substr(0, eq)), wantKey)) continue;
        std::string value = trim(t.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        // An empty value counts as missing.
        if (value.empty()) return defaultValue;
        return parseInt(value);
    }
    return defaultValue;
}

int iniGetInt(const std::string& path, const std::string& section, const std::string& key,
              int defaultValue) {
    // Non-blocking, so that a FIFO of that name cannot hold the open up; only
    // a regular file is read, and only its first kIniReadLimit bytes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return defaultValue;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return defaultValue;
    }
    std::string text(kIniReadLimit, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    // One byte more tells whether the file was cut.
    char extra = 0;
    ssize_t more;
    do more = ::read(fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    ::close(fd);
    text.resize(got);
    if (more > 0) {
        // A cut line could read as a different number: keep whole lines only.
        const size_t lastBreak = text.find_last_of('\n');
        text.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
    }
    return iniGetIntFromText(text, section, key, defaultValue);
}

}  // namespace tw
