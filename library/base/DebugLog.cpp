#include "base/DebugLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "platform/IniReader.h"
#include "platform/SystemInfo.h"
#include "platform/WideText.h"

namespace {

const char* const kKeyName = "VirtualMedia";

std::atomic<int> g_level{0};
std::atomic<bool> g_firstOpen{true};
// Guards the path and keeps one whole line together; never held while calling
// anything but stdio.
std::mutex g_lineLock;
std::string g_logPath;

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

FILE* openLogFile() {
    const bool truncate = (g_level.load() & 8) && g_firstOpen.load();
    g_firstOpen.store(false);
    return std::fopen(g_logPath.c_str(), truncate ? "w" : "a+");
}

// The file is text with CR LF line ends.
void writeCrLf(FILE* f, const std::string& s) {
    for (char c : s) {
        if (c == '\n') std::fputc('\r', f);
        std::fputc(c, f);
    }
}

std::string stamp() {
    tw::LocalTime t = tw::localTimeNow();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d-%02d-%04d %02d:%02d:%02d.%03d TID[%d]:", t.month, t.day,
                  t.year, t.hour, t.minute, t.second, t.millisecond, tw::currentThreadId());
    return buf;
}

void writeLine(const std::string& consolePrefix, const std::string& msg, bool toConsole, bool toFile) {
    std::lock_guard<std::mutex> lock(g_lineLock);
    if (toConsole) {
        std::fputs(consolePrefix.c_str(), stdout);
        std::fputs(msg.c_str(), stdout);
        std::fflush(stdout);
    }
    if (toFile) {
        FILE* f = openLogFile();
        if (f) {
            writeCrLf(f, stamp());
            writeCrLf(f, msg);
            std::fclose(f);
        }
    }
}

std::string narrowPrefix() {
    char buf[32];
    std::snprintf(buf, sizeof buf, "TID[%d]::", tw::currentThreadId());
    return buf;
}

}  // namespace

void InitLoggingFrom(const std::string& rootDir, const std::string& currentDir) {
    std::lock_guard<std::mutex> lock(g_lineLock);
    int level = tw::iniGetInt(joinPath(rootDir, "kxrtdebug.cfg"), "DEBUG", kKeyName, 0);
    if (level != 0) {
        g_logPath = joinPath(rootDir, std::string(kKeyName) + ".log");
        g_level.store(level);
        return;
    }
    level = tw::iniGetInt(joinPath(currentDir, "kxrtdebug.cfg"), "DEBUG", kKeyName, 0);
    g_logPath = joinPath(rootDir, std::string(kKeyName) + ".log");
    if (level > 0) {
        g_logPath = joinPath(currentDir, std::string(kKeyName) + ".LOG");
        g_level.store(level);
    } else {
        // A negative value here would otherwise switch the log on at the root path.
        g_level.store(0);
    }
}

void InitLogging() { InitLoggingFrom("/", "."); }

int LogMessage(const char* format, ...) {
    if (g_level.load() == 0) return 0;
    const int saved = tw::lastError();
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    buf[sizeof buf - 1] = '\0';
    writeLine(narrowPrefix(), buf, true, true);
    tw::setLastError(saved);
    return 1;
}

int LogMessageW(const wchar_t* format, ...) {
    const int level = g_level.load();
    if (level == 0) return 0;
    const int saved = tw::lastError();
    tw::setLastError(0);
    // Zeroed: on an encoding error vswprintf may stop without a terminator.
    wchar_t buf[1024] = {};
    va_list ap;
    va_start(ap, format);
    int n = std::vswprintf(buf, sizeof buf / sizeof buf[0], format, ap);
    va_end(ap);
    // vswprintf gives -1 on overflow and may leave the buffer unterminated.
    if (n < 0) buf[sizeof buf / sizeof buf[0] - 1] = L'\0';
    const std::string msg = tw::toUtf8(buf);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%s::TID[%d]::", kKeyName, tw::currentThreadId());
    if (level & 6) writeLine(prefix, msg, (level & 4) != 0, (level & 2) != 0);
    tw::setLastError(saved);
    return 1;
}

void LogLastError(const char* name) {
    const int code = tw::lastError();
    const std::string text = tw::errorText(code);
    LogMessageW(L"%ls Error: %d: %ls\n", tw::fromUtf8(name ? name : "").c_str(), code,
                tw::fromUtf8(text).c_str());
    std::printf("%s Error: %d: %s\n", name ? name : "", code, text.c_str());
    std::fflush(stdout);
    tw::setLastError(code);
}

void LogLastError(const wchar_t* name) { LogLastError(tw::toUtf8(name).c_str()); }

int DebugLogLevel() { return g_level.load(); }

std::string DebugLogPath() {
    std::lock_guard<std::mutex> lock(g_lineLock);
    return g_logPath;
}
