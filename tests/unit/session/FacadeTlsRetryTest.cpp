// A connection the server asked to encrypt never carries the login in clear:
// the first TLS handshake breaks, the retry's reply offers plain text only.
#include <gtest/gtest.h>

#include <atomic>

#include "ApplianceProcess.h"
#include "SessionTestSupport.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/ZELKSession.h"

using namespace sessiontest;

namespace {

std::atomic<int> g_plainQuestions{0};

// Would accept clear text if it were asked.
void AcceptPlainText(int code) {
    if (code != VMConstants::PLAIN_CONNECTION) return;
    ++g_plainQuestions;
    if (RP_VMAPI_LIB* lib = g_lib.load()) lib->getSession()->setPlainConnectionResponse(1);
}

TEST(FacadeTlsRetry, NoLoginInClearAfterTheServerAskedForTls) {
    ClockScale scale{0.25};
    for (bool withCallback : {false, true}) {
        SCOPED_TRACE(withCallback ? "application with a plain-text callback" : "command line, no callback");
        g_plainQuestions = 0;
        ApplianceProcess app(
            "{\"capabilities\": 8, \"fail_tls_handshakes\": 1, \"retry_capabilities\": 1, \"tls_minimum\": \"TLSv1\"}");
        RP_VMAPI_LIB lib;
        VMConnectionInfo s;
        s.setIpAddress("127.0.0.1");
        s.setPort(app.port());
        s.setUserId("admin");
        s.setPassword("secret");
        s.setVMStyle(withCallback ? VMConnectionInfo::VM_STYLE_DEFAULT : VMConnectionInfo::VM_STYLE_MOSKA);
        s.setAskWhenPlain(1);
        s.setReconnectTimeout(0);
        s.setConnectTimeout(10);
        testing::internal::CaptureStdout();
        EXPECT_NE(lib.connect(&s, withCallback ? &AcceptPlainText : nullptr), VMConstants::API_SUCCESS);
        testing::internal::GetCapturedStdout();
        // Both replies were sent: the retry did happen, and was refused.
        EXPECT_TRUE(app.waitFor("SessionReply", nullptr, 2, 10, "out"));
        EXPECT_EQ(g_plainQuestions, 0);
        EXPECT_TRUE(app.received("LoginMessage").empty());
        EXPECT_NE(lib.getConnectionStatus(), VMConstants::VMAPI_CONNECTED);
        lib.disconnect();
    }
}

}  // namespace
