#pragma once
#include <string>

#include "base/DebugLog.h"
#include "support/TempDir.h"

namespace twtest {

// Switches the process-wide debug log on with the given level, writing into a
// temporary "current directory"; switches it off again on destruction.
class LogSandbox {
public:
    explicit LogSandbox(int level) {
        m_root = m_dir.sub("root");
        m_cwd = m_dir.sub("cwd");
        writeFile(m_cwd + "/kxrtdebug.cfg", "[DEBUG]\nVirtualMedia=" + std::to_string(level) + "\n");
        InitLoggingFrom(m_root, m_cwd);
    }
    ~LogSandbox() { InitLoggingFrom(m_dir.sub("off"), m_dir.sub("off")); }
    LogSandbox(const LogSandbox&) = delete;
    LogSandbox& operator=(const LogSandbox&) = delete;

    std::string logPath() const { return m_cwd + "/VirtualMedia.LOG"; }
    std::string logText() const { return readFile(logPath()); }

private:
    TempDir m_dir;
    std::string m_root;
    std::string m_cwd;
};

}  // namespace twtest
