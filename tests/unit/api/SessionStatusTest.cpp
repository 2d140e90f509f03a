#include <gtest/gtest.h>

#include <string>

#include "api/VMConstants.h"
#include "api/VMSessionStatus.h"
#include "support/LogSandbox.h"

namespace {

struct Named {
    int code;
    const char* name;
};

TEST(VMSessionStatus, StatusDescriptionsMatchTheirConstants) {
    const Named known[] = {
        {0, "LOGIN_SUCCEEDED"},
        {1, "LOGIN_FAILED_INVALID_USER_NAME"},
        {2, "LOGIN_FAILED_INVALID_PASSWORD"},
        {3, "LOGIN_FAILED_CHANNEL_ACCESS_DENIED"},
        {4, "LOGIN_FAILED_CHANNEL_IN_USE"},
        {5, "LOGIN_FAILED_CHANNEL_NOT_FOUND"},
        {6, "LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT"},
        {7, "LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER"},
        {8, "LOGIN_FAILED_ALL_CHANNELS_IN_USE"},
        {9, "LOGIN_FAILED_INSUFFICIENT_ACCESS_RIGHTS"},
        {10, "LOGIN_FAILED_USER_LOCKED_OUT"},
        {11, "LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT"},
        {12, "LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_LOCAL_USER"},
        {13, "LOGIN_FAILED_CHANNEL_UPGRADE_IN_PROGRESS"},
        {14, "LOGIN_FAILED_CHANNEL_IN_USE_BY_EXCLUSIVE_USER"},
        {15, "LOGIN_FAILED_SHARE_REQUEST_DENIED"},
        {16, "LOGIN_FAILED_SHARE_REQUEST_TIMED_OUT"},
        {17, "LOGIN_FAILED_EXCLUSIVE_REQUEST_FAILED"},
        {18, "LOGIN_FAILED_PEM_BLOCKAGE"},
        {19, "LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT"},
        {20, "LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER"},
        {21, "LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT"},
        {22, "LOGIN_FAILED_NETWORK_AUTH_SERVER_ERROR"},
        {23, "LOGIN_FAILED_INVALID_EXPIRED_CERT_ERROR"},
        {50, "LOGIN_FAILED_CHANNEL_IN_USE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO"},
        {51, "LOGIN_FAILED_SERVER_NOT_AVAILABLE_CAN_PREEMPT_TIMEOUT_INFO"},
        {52, "LOGIN_FAILED_PREEMPT_REJECTED"},
        {53, "LOGIN_FAILED_PEM_BLOCKAGE_BY_LOCAL_USER_CAN_PREEMPT_TIMEOUT_INFO"},
        {54, "LOGIN_FAILED_PEM_BLOCKAGE_USER_CAN_PREEMPT_TIMEOUT_INFO"},
        {60, "LOGIN_FAILED_MAX_NUMBER_SHARED_USERS"},
        {61, "LOGIN_FAILED_PREEMPTION_IN_PROGRESS"},
        {62, "LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_THIS_USER"},
        {63, "LOGIN_FAILED_EXCLUSIVE_MODE_NOT_AVAILABLE_ANY_USER"},
        {64, "LOGIN_FAILED_NO_PREEMPTION_PRIVILEGES"},
        {99, "LOGIN_FAILED"},
        {100, "CONNECTION_FAILED_NETWORK_PROBLEM"},
        {101, "LOGIN_TIMED_OUT"},
        {102, "DISCONNECT_REQUESTED"},
        {103, "RECONNECTING"},
        {104, "RECONNECT_FAILED"},
        {105, "RECONNECT_COMPLETED"},
        {250, "CREATE_IMAGE_GET_PERCENTAGE"},
        {260, "MAC_OSX_AUTOMOUNT_INDICATION"},
        {999, "VM_SESSION_CLOSED"},
    };
    for (const Named& n : known)
        EXPECT_STREQ(VMSessionStatus::getStatusDescription(n.code), n.name) << n.code;

    const int gaps[] = {24, 49, 55, 59, 65, 98, 106, 249, 251, 259, 261, 998, 1000, -1, -4002};
    for (int code : gaps)
        EXPECT_STREQ(VMSessionStatus::getStatusDescription(code), "VM_STATUS_UNKNOWN") << code;

    // The constants carry the same numbers as the names.
    EXPECT_EQ(VMSessionStatus::LOGIN_FAILED_PREEMPT_REJECTED, 52);
    EXPECT_EQ(VMSessionStatus::RECONNECT_COMPLETED, 105);
    EXPECT_EQ(VMSessionStatus::VM_SESSION_CLOSED, 999);
}

TEST(VMSessionStatus, MessageCodeDescriptionsMatchTheirConstants) {
    const Named known[] = {
        {200, "SESSION_STATUS"},       {300, "CONNECTION_NOSSL"},
        {301, "NOSSL_CONTINUE"},       {302, "NOSSL_CANCEL"},
        {303, "NOSSL_TIMEDOUT"},       {304, "PREEMPT_TIMEDOUT"},
        {305, "PREEMPT_REQUEST"},      {306, "PREEMPT_CANCEL"},
        {307, "PREEMPT_ALLOW"},        {308, "PREEMPT_DENY"},
        {309, "CERTIFICATE_RETURNED"}, {311, "PLAIN_CONNECTION"},
        {400, "DRIVE_LIST_UPDATE"},    {500, "CERTIFICATE_TIMEOUT"},
        {600, "CREATE_IMAGE_PERCENT_UPDATED"},
        {700, "SERVER_IMAGE_LIST_UPDATED"},
        {999, "SESSION_CLOSED"},
    };
    for (const Named& n : known)
        EXPECT_STREQ(VMSessionStatus::getMessageCodeDescription(n.code), n.name) << n.code;
    for (int code : {310, 201, 401, -4002, 0})
        EXPECT_STREQ(VMSessionStatus::getMessageCodeDescription(code), "VM_CODE_UNKNOWN") << code;
}

TEST(VMConstants, ResultCodesAndStates) {
    EXPECT_EQ(VMConstants::API_SUCCESS, -1000);
    EXPECT_EQ(VMConstants::API_TIMEOUT, -1002);
    EXPECT_EQ(VMConstants::API_ERROR, -1003);
    EXPECT_EQ(VMConstants::API_INVALID_STATE, -1004);
    EXPECT_EQ(VMConstants::API_INVALID_ARGUMENT, -1005);
    EXPECT_EQ(VMConstants::API_CANCELLED, -1006);
    EXPECT_EQ(VMConstants::API_IMAGE_BEING_CREATED, -1007);
    EXPECT_EQ(VMConstants::VMAPI_DISCONNECTED, -2000);
    EXPECT_EQ(VMConstants::VMAPI_DISCONNECTING, -2004);
    EXPECT_EQ(VMConstants::VMAPI_INFO_CONNECTION_STATUS_UPDATE,
              VMSessionStatus::VMAPI_INFO_CONNECTION_STATUS_UPDATE);
}

TEST(VMSessionStatus, EmptyPreemptUserIsNull) {
    VMSessionStatus empty(6, "", 1);
    EXPECT_EQ(empty.getPreemptUser(), nullptr);
    EXPECT_EQ(empty.getStatus(), 6);
    EXPECT_EQ(empty.canPreempt(), 1);
    VMSessionStatus none(6, nullptr, 0);
    EXPECT_EQ(none.getPreemptUser(), nullptr);
    VMSessionStatus named(11, "admin", 0);
    EXPECT_STREQ(named.getPreemptUser(), "admin");
}

TEST(VMSessionStatus, CopyFromNullIsAllZeroAndLogsNothing) {
    twtest::LogSandbox log(1);
    VMSessionStatus copy(static_cast<const VMSessionStatus*>(nullptr));
    EXPECT_EQ(log.logText(), "");
    EXPECT_EQ(copy.getStatus(), 0);
    EXPECT_EQ(copy.getPreemptUser(), nullptr);
    EXPECT_EQ(copy.getSecureCipher(), nullptr);
    EXPECT_EQ(copy.getSecureProtocol(), nullptr);
    EXPECT_EQ(copy.getDisconnectReason(), 0);
}

TEST(VMSessionStatus, CopiesOwnTheirTexts) {
    auto* source = new VMSessionStatus(102, "holder", 1);
    source->setSecureCipher("AES256-GCM-SHA384");
    source->setSecureProtocol("TLSv1.2");
    source->setEncrypted(1);
    source->setDisconnectReason(VMSessionStatus::REASON_SERVER_TIMEOUT);
    source->setDisconnectTimeout(30);

    VMSessionStatus byPointer(source);
    VMSessionStatus byRef(*source);
    VMSessionStatus assigned;
    assigned = *source;
    assigned = assigned;  // self-assignment keeps the texts
    source->setSecureCipher("changed");
    delete source;  // a shared text would now dangle

    for (const VMSessionStatus* c : {&byPointer, &byRef, &assigned}) {
        EXPECT_EQ(c->getStatus(), 102);
        EXPECT_STREQ(c->getPreemptUser(), "holder");
        EXPECT_STREQ(c->getSecureCipher(), "AES256-GCM-SHA384");
        EXPECT_STREQ(c->getSecureProtocol(), "TLSv1.2");
        EXPECT_EQ(c->canPreempt(), 1);
        EXPECT_EQ(c->isEncrypted(), 1);
        EXPECT_EQ(c->getDisconnectReason(), 7);
        EXPECT_EQ(c->getDisconnectTimeout(), 30);
    }
}

TEST(VMSessionStatus, LogLines) {
    twtest::LogSandbox log(1);
    VMSessionStatus a;
    VMSessionStatus b(102, nullptr, 0);
    VMSessionStatus c(&b);
    b.setSecureCipher("");
    b.setSecureProtocol("TLSv1.3");
    b.setSecureCipher(nullptr);  // clears without a line
    (void)b.isEncrypted();
    const std::string text = log.logText();
    EXPECT_NE(text.find("VMSessionStatus::VMSessionStatus: Entered (no args).\r\n"), std::string::npos);
    EXPECT_NE(text.find("VMSessionStatus::VMSessionStatus: Entered status: 102\r\n"), std::string::npos);
    EXPECT_NE(text.find("VMSessionStatus::VMSessionStatus: Construct copy status: 102\r\n"), std::string::npos);
    EXPECT_NE(text.find("VMSessionStatus::setSecureCipher: m_cipher is (null)\r\n"), std::string::npos);
    EXPECT_NE(text.find("VMSessionStatus::setSecureProtocol: m_protocol is TLSv1.3\r\n"), std::string::npos);
    EXPECT_NE(text.find("VMSessionStatus::isEncrypted: Returning m_encrypted=0\r\n"), std::string::npos);
    size_t cipherLines = 0;
    for (size_t p = text.find("m_cipher is"); p != std::string::npos; p = text.find("m_cipher is", p + 1))
        ++cipherLines;
    EXPECT_EQ(cipherLines, 1u);
    EXPECT_EQ(b.getSecureCipher(), nullptr);
}

}  // namespace
