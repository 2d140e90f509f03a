// What the application is asked about the appliance's certificate, and what
// the question shows, through the facade against the fake appliance.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "ApplianceProcess.h"
#include "api/VMCertificateInfo.h"
#include "facade/RP_VMAPI_LIB.h"
#include "session/FacadeSettings.h"
#include "session/ZELKSession.h"
#include "support/TempDir.h"

using namespace sessiontest;

namespace {

// The TLS tests' certificates, made once for this program.
const std::string& Certs() {
    static twtest::TempDir dir;
    static const bool made = [] {
        const std::string script = std::string(TW_SOURCE_DIR) + "/tests/unit/tls/make_certs.sh";
        if (std::system(("sh '" + script + "' '" + dir.path() + "'").c_str()) != 0)
            throw std::runtime_error("make_certs.sh failed");
        return true;
    }();
    (void)made;
    return dir.path();
}

std::atomic<RP_VMAPI_LIB*> g_asked{nullptr};
std::atomic<int> g_questions{0};

// Every question is answered with "cancel".
void CancellingCallback(int code) {
    if (code != VMConstants::CERTIFICATE_RETURNED) return;
    ++g_questions;
    if (RP_VMAPI_LIB* lib = g_asked.load())
        if (ZELKSession* session = lib->getSession()) session->setCertificateResponse(2);
}

}  // namespace

TEST(FacadeCertificate, WhatTheApplicationIsAskedAbout) {
    struct {
        const char* name;
        const char* chain;
        const char* key;
        bool asked;
        int errorCode;
        const char* commonName;
        const char* organizationUnit;
    } cases[] = {
        // Under the trusted root, naming 127.0.0.1: nothing to ask.
        {"verified chain", "leaf_chain.pem", "leaf.key", false, 0, "", ""},
        {"MD5-signed leaf", "md5_chain.pem", "leaf.key", true, 68, "Device 7", ""},
        {"MD5-signed intermediate", "md5int_chain.pem", "leaf.key", true, 68, "Device 7", ""},
        // Self-signed; its organizational unit reads "x/CN=bank".
        {"/CN= inside the unit", "cnou.pem", "cnou.key", true, 18, "Device 9", "x/CN=bank"},
    };
    twtest::TempDir trust;
    ASSERT_EQ(std::system(("cp '" + Certs() + "/root.pem' '" + trust.path() + "/root.pem'").c_str()), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_questions = 0;
        ApplianceProcess app("{\"capabilities\": 8, \"certificate\": \"" + Certs() + "/" + c.chain +
                             "\", \"private_key\": \"" + Certs() + "/" + c.key + "\"}");
        RP_VMAPI_LIB lib;
        g_asked = &lib;
        VMConnectionInfo s = FacadeSettings(app.port(), VMConnectionInfo::VM_STYLE_DEFAULT);
        s.setCertPath(trust.path().c_str());
        testing::internal::CaptureStdout();
        const int result = lib.connect(&s, &CancellingCallback);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(g_questions.load(), c.asked ? 1 : 0);
        if (c.asked) {
            EXPECT_EQ(result, VMConstants::API_CANCELLED);
            EXPECT_TRUE(app.received("LoginMessage").empty());
            const VMCertificateInfo* info = lib.getCertificateInfo();
            ASSERT_NE(info, nullptr);
            EXPECT_EQ(info->getErrorCode(), c.errorCode);
            const std::string reason = info->getReason() ? info->getReason() : "";
            EXPECT_EQ(reason.find("MD5") != std::string::npos, c.errorCode == 68) << reason;
            EXPECT_STREQ(info->getCommonName(), c.commonName);
            EXPECT_STREQ(info->getOrganizationUnit() ? info->getOrganizationUnit() : "", c.organizationUnit);
        } else {
            EXPECT_EQ(result, VMConstants::API_SUCCESS);
            EXPECT_TRUE(app.waitFor("LoginMessage"));
        }
        lib.disconnect();
        g_asked = nullptr;
    }
}
