#include "MOSKA.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ArgumentParser.h"
#include "PrintUsage.h"
#include "api/VMConstants.h"
#include "facade/RP_VMAPI_LIB.h"

namespace {

// The signal thread reaches the object only under this lock, so the
// destructor cannot run while terminate() does.
std::mutex g_instanceLock;
MOSKA* g_instance = nullptr;

const char* const kOptionNames[] = {"a", "u", "f", "c", "r", "v", "h", "p", "i", "fw", "rw", "o"};

}  // namespace

MOSKA::MOSKA(int argc, char** argv) : m_argc(argc), m_argv(argv) {
    m_lib = std::make_unique<RP_VMAPI_LIB>();
    m_settings.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    m_settings.setPort(VMConnectionInfo::DEFAULT_VM_PORT);
    m_settings.setReconnectTimeout(0);
    m_settings.setReconnectMethod(VMConnectionInfo::RECONNECT_METHOD_FIRMWARE);
    m_currentLocalDriveId = 0;
    std::lock_guard<std::mutex> lock(g_instanceLock);
    g_instance = this;
}

MOSKA::~MOSKA() {
    {
        std::lock_guard<std::mutex> lock(g_instanceLock);
        if (g_instance == this) g_instance = nullptr;
    }
    m_options.reset();
    m_lib.reset();
}

bool MOSKA::terminateInstance() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    if (g_instance == nullptr) return false;
    g_instance->terminate();
    return true;
}

bool MOSKA::instanceExists() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    return g_instance != nullptr;
}

bool MOSKA::instanceHasSession() {
    std::lock_guard<std::mutex> lock(g_instanceLock);
    return g_instance != nullptr && g_instance->m_lib && g_instance->m_lib->isSessionRunning() != 0;
}

int MOSKA::checkOptions() {
    for (int i = 1; i < m_argc; ++i) {
        const char* arg = m_argv[i];
        if (arg == nullptr || arg[0] != '-' || std::isdigit(static_cast<unsigned char>(arg[1]))) continue;
        bool known = false;
        for (const char* name : kOptionNames)
            if (std::strcmp(arg + 1, name) == 0) known = true;
        if (!known) {
            std::printf("Unsupported options %s provided.\n", arg);
            m_exitStatus = 1;
            return VMConstants::API_ERROR;
        }
    }
    return VMConstants::API_SUCCESS;
}

void MOSKA::run() {
    m_options = std::make_unique<ArgumentParser>(m_argc, m_argv);
    if (m_options->hasKey("h")) {
        PrintUsage(0);
        m_exitStatus = 0;
        return;
    }
    if (m_options->hasKey("v")) printVersion();
    if (m_options->hasKey("i")) m_interactive = 1;
    const int result = m_interactive == 1 ? interactiveMode() : commandLineMode();
    if (result != 0) {
        std::printf("Stopping due to errors\n");
        m_exitStatus = m_connectionLost ? EXIT_CONNECTION_LOST : 1;
    } else {
        m_exitStatus = 0;
    }
}

void MOSKA::terminate() {
    std::printf("\nTerminating\n");
    std::fflush(stdout);
    if (m_lib) m_lib->disconnect();
}

void MOSKA::printVersion() {
    std::printf("MOSKA. Version: %s\n"
                "Copyright (c) the Tarnwick developers. All rights reserved.\n"
                "Use of this program is subject to the terms of its licence.\n"
                "\n",
                RP_VMAPI_LIB::VERSION);
    std::fflush(stdout);
}

int MOSKA::portFromOption(const char* value) {
    if (value == nullptr) return 0;
    long port = 0;
    for (const char* p = value; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        port = port * 10 + (*p - '0');
        if (port > 65535) return 0;
    }
    return static_cast<int>(port);
}
