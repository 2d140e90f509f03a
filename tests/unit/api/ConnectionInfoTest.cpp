#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "api/VMConnectionInfo.h"
#include "support/LogSandbox.h"
#include "support/TestPem.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(VMConnectionInfo, Defaults) {
    VMConnectionInfo c;
    EXPECT_EQ(c.getPort(), 0);
    EXPECT_EQ(c.getWebPort(), 443);
    EXPECT_EQ(c.getCallbackTimeout(), 30);
    EXPECT_EQ(c.getConnectTimeout(), 30);
    EXPECT_EQ(c.getRemoteDriveResponseTimeout(), 30);
    EXPECT_EQ(c.getHeartbeatTimeout(), 10);
    EXPECT_EQ(c.getReconnectTimeout(), 60);
    for (const char* t : {c.getUserId(), c.getPassword(), c.getIpAddress(), c.getWebUrl(),
                          c.getCertPath(), c.getApplianceID(), c.getCipherList()})
        EXPECT_EQ(t, nullptr);
    for (void* p : {c.getPrivateCert(), c.getManagedCert(), c.getCertKey()}) EXPECT_EQ(p, nullptr);
    for (int f : {c.isProxied(), c.isFloppyReversed(), c.getVMStyle(), c.forceEncryption(),
                  c.getCredentialType(), c.getRunFindDrivesMethod(), c.getStopOnCertificateError(),
                  c.getRandomClientNumber(), c.getRandomApplianceNumber(), c.getAskWhenPlain(),
                  c.getWaitOnCancel(), c.getSecureVMedia(), c.getReconnectMethod(),
                  c.getAppliancePort(), c.getApplianceChannel()})
        EXPECT_EQ(f, 0);
    EXPECT_EQ(c.getSessionProxyOnly(), 0);
}

struct IntField {
    void (VMConnectionInfo::*set)(int);
    int (VMConnectionInfo::*get)() const;
    const char* logName;
};

// Every int setter stores into its own field and logs that field's name.
TEST(VMConnectionInfo, IntSettersStoreAndLogTheirField) {
    const IntField fields[] = {
        {&VMConnectionInfo::setPort, &VMConnectionInfo::getPort, "m_port"},
        {&VMConnectionInfo::setWebPort, &VMConnectionInfo::getWebPort, "m_webPort"},
        {&VMConnectionInfo::setAppliancePort, &VMConnectionInfo::getAppliancePort, "m_appliancePort"},
        {&VMConnectionInfo::setApplianceChannel, &VMConnectionInfo::getApplianceChannel, "m_applianceChannel"},
        {&VMConnectionInfo::setCallbackTimeout, &VMConnectionInfo::getCallbackTimeout, "m_callbackTimeout"},
        {&VMConnectionInfo::setConnectTimeout, &VMConnectionInfo::getConnectTimeout, "m_connectTimeout"},
        {&VMConnectionInfo::setRemoteDriveResponseTimeout, &VMConnectionInfo::getRemoteDriveResponseTimeout,
         "m_remoteDriveResponseTimeout"},
        {&VMConnectionInfo::setReconnectTimeout, &VMConnectionInfo::getReconnectTimeout, "m_reconnectTimeout"},
        {&VMConnectionInfo::setFloppyReversed, &VMConnectionInfo::isFloppyReversed, "m_floppyReversed"},
        {&VMConnectionInfo::setVMStyle, &VMConnectionInfo::getVMStyle, "m_vmStyle"},
        {&VMConnectionInfo::setEncyption, &VMConnectionInfo::forceEncryption, "m_forceEncryption"},
        {&VMConnectionInfo::setCredentialType, &VMConnectionInfo::getCredentialType, "m_nCredentialsType"},
        {&VMConnectionInfo::setRunFindDrivesMethod, &VMConnectionInfo::getRunFindDrivesMethod,
         "m_findDrivesMethod"},
        {&VMConnectionInfo::setStopOnCertificateError, &VMConnectionInfo::getStopOnCertificateError,
         "m_stopOnCertificateError"},
        {&VMConnectionInfo::setRandomClientNumber, &VMConnectionInfo::getRandomClientNumber, "m_nClientRandom"},
        {&VMConnectionInfo::setRandomApplianceNumber, &VMConnectionInfo::getRandomApplianceNumber,
         "m_nApplianceRandom"},
        {&VMConnectionInfo::setAskWhenPlain, &VMConnectionInfo::getAskWhenPlain, "m_askWhenPlain"},
        {&VMConnectionInfo::setWaitOnCancel, &VMConnectionInfo::getWaitOnCancel, "m_bWaitOnCancel"},
        {&VMConnectionInfo::setSecureVMedia, &VMConnectionInfo::getSecureVMedia, "m_bSecureVMedia"},
        {&VMConnectionInfo::setReconnectMethod, &VMConnectionInfo::getReconnectMethod, "m_reconnectMethod"},
    };
    twtest::LogSandbox log(1);
    VMConnectionInfo c;
    int value = 1000;
    for (const IntField& f : fields) {
        ++value;
        (c.*f.set)(value);
        EXPECT_EQ((c.*f.get)(), value) << f.logName;
        EXPECT_TRUE(contains(log.logText(), std::string("VMConnectionInfo:: ") + f.logName + "=" +
                                                std::to_string(value) + "\r\n"))
            << f.logName;
    }
    // Each setter touched only its own field: all values are still distinct.
    value = 1000;
    for (const IntField& f : fields) EXPECT_EQ((c.*f.get)(), ++value) << f.logName;
}

TEST(VMConnectionInfo, TextSetters) {
    VMConnectionInfo c;
    std::string host = "bmc.example";
    c.setIpAddress(host.c_str());
    host[0] = 'X';  // the object keeps its own copy
    EXPECT_STREQ(c.getIpAddress(), "bmc.example");
    c.setIpAddress(nullptr);
    EXPECT_EQ(c.getIpAddress(), nullptr);

    c.setCipherList("HIGH:!aNULL");
    EXPECT_STREQ(c.getCipherList(), "HIGH:!aNULL");
    c.setCipherList("");
    EXPECT_EQ(c.getCipherList(), nullptr);

    c.setAppliance("rip-7", 5, 9);
    EXPECT_STREQ(c.getApplianceID(), "rip-7");
    EXPECT_EQ(c.getAppliancePort(), 5);
    EXPECT_EQ(c.getApplianceChannel(), 9);
}

TEST(VMConnectionInfo, SecretsNeverReachTheLog) {
    twtest::LogSandbox log(15);
    twtest::TestPem pem;
    testing::internal::CaptureStdout();
    {
        VMConnectionInfo c;
        c.setUserId("operator-name");
        c.setPassword("pw-s3cr3t-42");
        c.setCertKeyString(pem.key.c_str());
        c.setCertPrivateString(pem.cert.c_str());
        VMConnectionInfo copy(&c);
        VMConnectionInfo other;
        other = copy;
    }
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string file = log.logText();
    EXPECT_TRUE(contains(file, "VMConnectionInfo:: m_userId\r\n"));
    EXPECT_TRUE(contains(file, "PEM_read_bio_PrivateKey passed."));
    const std::string keyBody = pem.key.substr(30, 40);
    for (const std::string& secret : {std::string("pw-s3cr3t-42"), std::string("operator-name"), keyBody}) {
        EXPECT_FALSE(contains(file, secret)) << secret;
        EXPECT_FALSE(contains(console, secret)) << secret;
    }
}

TEST(VMConnectionInfo, ProxySetters) {
    VMConnectionInfo c;
    c.setSessionProxyOnly(77);  // refused: not proxied
    EXPECT_EQ(c.isProxied(), 0);
    EXPECT_EQ(c.getSessionProxyOnly(), 0);

    c.setSessionProxied(1);
    c.setSessionProxyOnly(0x123456789LL);
    EXPECT_EQ(c.isProxied(), 1);
    EXPECT_EQ(c.getProxySession(), 0x123456789LL);

    c.setSessionProxy(0, 5);  // clears the flag, keeps the number
    EXPECT_EQ(c.isProxied(), 0);
    EXPECT_EQ(c.getSessionProxyOnly(), 0x123456789LL);
    c.setSessionProxy(1, 5);
    EXPECT_EQ(c.getSessionProxied(), 1);
    EXPECT_EQ(c.getSessionProxyOnly(), 5);
}

TEST(VMConnectionInfo, ProxyRefusalIsLogged) {
    twtest::LogSandbox log(1);
    VMConnectionInfo c;
    c.setSessionProxyOnly(3);
    c.setSessionProxied(1);
    c.setSessionProxyOnly(4);
    (void)c.getProxySession();
    const std::string text = log.logText();
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: Could not set m_proxySession, please call "
                               "setSessionProxied as true.\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: m_proxied=1\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: m_proxySession=4\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo::getProxySession: m_proxySession=4\r\n"));
}

TEST(VMConnectionInfo, ProxySessionGetterLogsTheLow32Bits) {
    struct Case {
        int64_t session;
        const char* logged;
    } cases[] = {{4, "4"},
                 {0x123456789LL, "591751049"},
                 {0x1FFFFFFFFLL, "-1"},
                 {0x7FFFFFFF80000000LL, "-2147483648"},
                 {-5, "-5"}};
    for (const Case& c : cases) {
        twtest::LogSandbox log(1);
        VMConnectionInfo info;
        info.setSessionProxy(1, c.session);
        EXPECT_EQ(info.getProxySession(), c.session);
        EXPECT_TRUE(contains(log.logText(), std::string("VMConnectionInfo::getProxySession: m_proxySession=") +
                                                c.logged + "\r\n"))
            << c.logged << "\n"
            << log.logText();
    }
}

VMConnectionInfo filledSettings(const twtest::TestPem& pem) {
    VMConnectionInfo c;
    c.setUserId("user");
    c.setPassword("secret");
    c.setIpAddress("10.0.0.1");
    c.setWebUrl("https://appliance/");
    c.setCertPath("/etc/tarnwick/certs");
    c.setApplianceID("rip");
    c.setCipherList("HIGH");
    c.setPort(2068);
    c.setStopOnCertificateError(1);
    c.setSessionProxied(1);
    c.setSessionProxyOnly(99);
    c.setVMStyle(VMConnectionInfo::VM_STYLE_MOSKA);
    c.setCertPrivateString(pem.cert.c_str());
    c.setCertMAString(pem.cert.c_str());
    c.setCertKeyString(pem.key.c_str());
    return c;
}

TEST(VMConnectionInfo, PointerCopyDuplicatesTextsAndResetsThreeFields) {
    twtest::TestPem pem("original");
    auto* source = new VMConnectionInfo(filledSettings(pem));
    VMConnectionInfo copy(source);
    EXPECT_EQ(copy.getStopOnCertificateError(), 0);
    EXPECT_EQ(copy.isProxied(), 1);  // the in-use flag and number are carried over
    EXPECT_EQ(copy.getSessionProxyOnly(), 99);
    EXPECT_EQ(copy.getPrivateCert(), source->getPrivateCert());  // shared, not duplicated
    // The proxied request is not: a fresh request is refused.
    copy.setSessionProxyOnly(5);
    EXPECT_EQ(copy.isProxied(), 0);

    // The application replaces its certificate and then goes away.
    twtest::TestPem other("replacement");
    source->setCertPrivateString(other.cert.c_str());
    source->setIpAddress("changed");
    delete source;

    EXPECT_STREQ(copy.getUserId(), "user");
    EXPECT_STREQ(copy.getPassword(), "secret");
    EXPECT_STREQ(copy.getIpAddress(), "10.0.0.1");
    EXPECT_STREQ(copy.getWebUrl(), "https://appliance/");
    EXPECT_STREQ(copy.getCertPath(), "/etc/tarnwick/certs");
    EXPECT_STREQ(copy.getApplianceID(), "rip");
    EXPECT_STREQ(copy.getCipherList(), "HIGH");
    EXPECT_EQ(copy.getPort(), 2068);
    EXPECT_EQ(copy.getVMStyle(), 3);
    EXPECT_EQ(twtest::TestPem::cnOf(copy.getPrivateCert()), "original");
    EXPECT_EQ(twtest::TestPem::cnOf(copy.getManagedCert()), "original");
    EXPECT_NE(copy.getCertKey(), nullptr);
}

TEST(VMConnectionInfo, NullPointerCopyGivesDefaults) {
    VMConnectionInfo copy(static_cast<const VMConnectionInfo*>(nullptr));
    EXPECT_EQ(copy.getWebPort(), 443);
    EXPECT_EQ(copy.getIpAddress(), nullptr);
}

TEST(VMConnectionInfo, AssignmentIsDeepAndKeepsEveryField) {
    twtest::TestPem pem("assigned");
    VMConnectionInfo target;
    target.setIpAddress("old");
    target.setCertPrivateString(twtest::TestPem("old").cert.c_str());
    {
        VMConnectionInfo source = filledSettings(pem);
        target = source;
        target = target;
        source.setPassword("other");
    }
    EXPECT_STREQ(target.getPassword(), "secret");
    EXPECT_STREQ(target.getIpAddress(), "10.0.0.1");
    EXPECT_EQ(target.getStopOnCertificateError(), 1);  // a full copy keeps it
    EXPECT_EQ(twtest::TestPem::cnOf(target.getPrivateCert()), "assigned");
}

TEST(VMConnectionInfo, PemParsing) {
    twtest::TestPem pem("first");
    twtest::LogSandbox log(1);
    VMConnectionInfo c;

    c.setCertPrivateString(pem.cert.c_str());
    ASSERT_NE(c.getPrivateCert(), nullptr);
    void* held = c.getPrivateCert();

    const std::string truncated = pem.cert.substr(0, pem.cert.size() / 2);
    for (const char* bad : {"not a certificate", truncated.c_str(), "", static_cast<const char*>(nullptr)}) {
        c.setCertPrivateString(bad);
        EXPECT_EQ(c.getPrivateCert(), held);  // kept
    }
    c.setCertMAString(pem.key.c_str());  // a key is no certificate
    EXPECT_EQ(c.getManagedCert(), nullptr);

    c.setCertKeyString(pem.encryptedKey.c_str());  // must fail, not prompt
    EXPECT_EQ(c.getCertKey(), nullptr);
    c.setCertKeyString(pem.key.c_str());
    EXPECT_NE(c.getCertKey(), nullptr);
    c.setCertKeyString(pem.key.c_str());  // replaces the old key (ASan sees a leak otherwise)
    EXPECT_NE(c.getCertKey(), nullptr);

    const std::string text = log.logText();
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: PEM_read_bio_X509 passed.\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: Error in PEM_read_bio_X509.\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: Error in PEM_read_bio_PrivateKey.\r\n"));
    EXPECT_TRUE(contains(text, "VMConnectionInfo:: PEM_read_bio_PrivateKey passed.\r\n"));
}

TEST(VMConnectionInfo, ObjectSettersTakeOwnership) {
    twtest::TestPem pem;
    VMConnectionInfo c;
    VMConnectionInfo probe;
    probe.setCertPrivateString(pem.cert.c_str());
    X509* cert = static_cast<X509*>(probe.getPrivateCert());
    X509_up_ref(cert);  // the reference handed over below
    c.setPrivateCert(cert);
    c.setPrivateCert(cert);  // the same object again changes nothing
    EXPECT_EQ(c.getPrivateCert(), cert);
    c.setPrivateCert(nullptr);
    EXPECT_EQ(c.getPrivateCert(), nullptr);
    EXPECT_EQ(twtest::TestPem::cnOf(probe.getPrivateCert()), "tarnwick-test");
}

}  // namespace
