// The certificate question of a reconnection, against the fake appliance over
// TLS: the certificate the user accepted is not asked about again, another
// key under the same subject name is.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
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
std::atomic<RP_VMAPI_LIB*> g_answering{nullptr};
std::atomic<int> g_questions{0};

void AnsweringCallback(int code) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_codes.push_back(code);
    }
    if (code != VMConstants::CERTIFICATE_RETURNED) return;
    // The first question is answered "run once" at once; later ones are
    // left to the test.
    if (++g_questions != 1) return;
    if (RP_VMAPI_LIB* lib = g_answering.load())
        if (ZELKSession* session = lib->getSession()) session->setCertificateResponse(0);
}

bool HasCode(int code) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::find(g_codes.begin(), g_codes.end(), code) != g_codes.end();
}

}  // namespace

TEST(ReconnectCertificate, OnlyTheAcceptedCertificateIsTakenWithoutAsking) {
    struct {
        const char* name;
        bool renew;  // the appliance presents another key under the same name
    } cases[] = {{"same certificate", false}, {"same subject, another key", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_codes.clear();
        }
        g_questions = 0;
        ClockScale fast(0.02);
        ApplianceProcess app(
            "{\"factory\": \"reconnect:ReconnectingAppliance\", \"heartbeat_interval\": 0.2, \"capabilities\": 1544}");
        RP_VMAPI_LIB lib;
        g_answering = &lib;
        VMConnectionInfo s;
        s.setIpAddress("127.0.0.1");
        s.setPort(app.port());
        s.setUserId("admin");
        s.setPassword("secret");
        s.setVMStyle(VMConnectionInfo::VM_STYLE_DEFAULT);  // the application is asked
        s.setReconnectTimeout(60);
        s.setConnectTimeout(250);
        testing::internal::CaptureStdout();
        ASSERT_EQ(lib.connect(&s, &AnsweringCallback), VMConstants::API_SUCCESS);
        ASSERT_TRUE(Eventually([&] { return lib.getConnectionStatus() == VMConstants::VMAPI_CONNECTED; }));
        ZELKSession* session = lib.getSession();
        ASSERT_NE(session, nullptr);
        ASSERT_TRUE(Eventually([&] { return session->getOTPPassword().has_value(); }));
        ASSERT_EQ(g_questions.load(), 1);

        if (c.renew) {
            ASSERT_NE(app.command("{\"op\": \"renew_certificate\"}").find("\"ok\": true"), std::string::npos);
        }
        ASSERT_TRUE(app.drop());
        // The reconnection reports the certificate either way.
        ASSERT_TRUE(Eventually([] { return g_questions.load() >= 2; }));
        if (c.renew) {
            // Nobody has answered: the impostor gets nothing meanwhile.
            EXPECT_FALSE(app.waitFor("LoginMessage", nullptr, 2, 2.0));
            session->setCertificateResponse(2);
        }
        // The same certificate gets through without an answer.
        ASSERT_TRUE(Eventually([] { return HasCode(VMSessionStatus::RECONNECT_COMPLETED) ||
                                           HasCode(VMSessionStatus::RECONNECT_FAILED); }, 60000));
        std::vector<Record> logins = app.received("LoginMessage");
        if (!c.renew) {
            EXPECT_TRUE(HasCode(VMSessionStatus::RECONNECT_COMPLETED));
            ASSERT_EQ(logins.size(), 2u);
            EXPECT_EQ(logins[1].text("user"), "otpuser");
        } else {
            // The impostor never received the one-time pair.
            EXPECT_TRUE(HasCode(VMSessionStatus::RECONNECT_FAILED));
            EXPECT_EQ(logins.size(), 1u);
        }
        lib.disconnect();
        g_answering = nullptr;
        testing::internal::GetCapturedStdout();
    }
}
