// What a reconnection leaves behind: a long session that is dropped and
// resumed again and again must not keep a socket for every connection it had.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/VMSessionStatus.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ApplianceProcess.h"
#include "session/SessionTestSupport.h"
#include "session/ZELKSession.h"
#include "support/Eventually.h"

using namespace sessiontest;

namespace {

std::mutex g_mutex;
std::vector<int> g_codes;
void AppCallback(int code) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_codes.push_back(code);
}
int Completed() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(std::count(g_codes.begin(), g_codes.end(), VMSessionStatus::RECONNECT_COMPLETED));
}

// Sockets this process has open.
int OpenSockets() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        char target[256];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        if (len > 0 && std::string(target, size_t(len)).rfind("socket:", 0) == 0) ++n;
    }
    closedir(d);
    return n;
}

}  // namespace

TEST(ReconnectResources, RepeatedReconnectionsDoNotKeepOldSockets) {
    ClockScale fast(0.02);
    // TLS with the reconnect capability, a heartbeat every 0.2 s.
    ApplianceProcess app(
        "{\"factory\": \"reconnect:ReconnectingAppliance\", \"heartbeat_interval\": 0.2, \"capabilities\": 1544}");
    RP_VMAPI_LIB lib;
    VMConnectionInfo s;
    s.setIpAddress("127.0.0.1");
    s.setPort(app.port());
    s.setUserId("admin");
    s.setPassword("secret");
    s.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    s.setReconnectTimeout(60);
    s.setConnectTimeout(250);
    testing::internal::CaptureStdout();
    ASSERT_EQ(lib.connect(&s, &AppCallback), VMConstants::API_SUCCESS);
    ASSERT_TRUE(Eventually([&] {
        std::shared_ptr<ZELKSession> session = lib.sessionRef();
        return session && session->isReconnectAvailable() && session->getOTPPassword().has_value();
    }));
    const int before = OpenSockets();
    constexpr int kDrops = 4;
    for (int i = 1; i <= kDrops; ++i) {
        ASSERT_TRUE(app.drop());
        ASSERT_TRUE(Eventually([&] { return Completed() >= i; })) << "reconnection " << i;
        ASSERT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
    }
    // The live connection, and at most the one a thread still held when it
    // was replaced.
    EXPECT_LE(OpenSockets(), before + 1);
    EXPECT_EQ(lib.disconnect(), VMConstants::API_SUCCESS);
    testing::internal::GetCapturedStdout();
}
