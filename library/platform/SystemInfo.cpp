#include "platform/SystemInfo.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace tw {

int currentThreadId() { return static_cast<int>(gettid()); }

LocalTime localTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min,         t.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

int lastError() { return errno; }
void setLastError(int code) { errno = code; }

std::string errorText(int code) {
    char buf[256];
    buf[0] = '\0';
    // GNU strerror_r may return a static string instead of filling buf.
    const char* s = strerror_r(code, buf, sizeof buf);
    return s ? std::string(s) : std::string(buf);
}

}  // namespace tw
