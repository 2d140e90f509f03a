#pragma once
#include <string>

// Process-wide debug log, off unless kxrtdebug.cfg switches it on.
// Callers pass their qualified name first: LogMessage("%s Entered.\n", "X::y:").

void InitLogging();
// InitLogging with the two search folders given (tests; "/" and "." normally).
void InitLoggingFrom(const std::string& rootDir, const std::string& currentDir);

// Narrow printf-style logger; returns 1 when the log is on, 0 when off.
int LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Wide logger (use %ls for wide-string arguments); bit 4 console, bit 2 file.
int LogMessageW(const wchar_t* format, ...);
// Logs "<name> Error: <code>: <text>" for errno and always prints it.
void LogLastError(const wchar_t* name);
void LogLastError(const char* name);

// Current level (0 = off) and log path, for tests.
int DebugLogLevel();
std::string DebugLogPath();
