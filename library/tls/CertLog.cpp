#include "tls/CertLog.h"

#include <cstdarg>
#include <cstdio>

#include "base/DebugLog.h"
#include "platform/WideText.h"

void CertLog(const char* format, ...) {
    if (DebugLogLevel() == 0) return;
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    LogMessageW(L"%ls", tw::fromUtf8(buf).c_str());
}
