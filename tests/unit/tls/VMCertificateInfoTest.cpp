#include <gtest/gtest.h>

#include <string>

#include "api/VMCertificateInfo.h"

namespace {

VMCertificateInfo filled() {
    VMCertificateInfo info;
    info.setErrorCode(18);
    info.setHash(0xDEADBEEF);
    info.setReason("self-signed certificate");
    info.setCommonName("Device 7");
    info.setEmail("lab@example.com");
    info.setThumbSHA("AB");
    info.setPublicKey("3082");
    return info;
}

TEST(VMCertificateInfo, DefaultIsEmpty) {
    VMCertificateInfo info;
    EXPECT_EQ(info.getErrorCode(), 0);
    EXPECT_EQ(info.getHash(), 0u);
    EXPECT_EQ(info.getReason(), nullptr);
    EXPECT_EQ(info.getSigAlgo(), nullptr);
    VMCertificateInfo fromNull(static_cast<const VMCertificateInfo*>(nullptr));
    EXPECT_EQ(fromNull.getCommonName(), nullptr);
    VMCertificateInfo copyOfEmpty(&info);
    EXPECT_EQ(copyOfEmpty.getThumbMD5(), nullptr);
}

TEST(VMCertificateInfo, CopiesOwnTheirTexts) {
    VMCertificateInfo source = filled();
    VMCertificateInfo byPointer(&source);
    VMCertificateInfo assigned;
    assigned.setIssuer("old issuer");
    assigned = source;
    source.setCommonName("changed");
    source.setReason(nullptr);
    for (const VMCertificateInfo* c : {&byPointer, &assigned}) {
        EXPECT_STREQ(c->getCommonName(), "Device 7");
        EXPECT_STREQ(c->getReason(), "self-signed certificate");
        EXPECT_STREQ(c->getEmailAddress(), "lab@example.com");
        EXPECT_STREQ(c->getThumbSHA(), "AB");
        EXPECT_STREQ(c->getPublicKey(), "3082");
        EXPECT_EQ(c->getIssuer(), nullptr);
        EXPECT_EQ(c->getErrorCode(), 18);
        EXPECT_EQ(c->getHash(), 0xDEADBEEFu);
    }
    EXPECT_NE(assigned.getCommonName(), source.getCommonName());
    assigned = assigned;  // self-assignment keeps the texts
    EXPECT_STREQ(assigned.getCommonName(), "Device 7");
}

TEST(VMCertificateInfo, SettersReplaceAndClear) {
    VMCertificateInfo info;
    char text[] = "v3";
    info.setVersion(text);
    text[0] = 'x';
    EXPECT_STREQ(info.getVersion(), "v3");
    info.setVersion("2");
    EXPECT_STREQ(info.getVersion(), "2");
    info.setVersion(nullptr);
    EXPECT_EQ(info.getVersion(), nullptr);
    info.setSerial(info.getSerial());  // null onto itself
    info.setSerial("01");
    info.setSerial(info.getSerial());  // its own text
    EXPECT_STREQ(info.getSerial(), "01");
}

}  // namespace
