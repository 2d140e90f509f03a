#include <gtest/gtest.h>

#include <ctime>

#include "api/VMRemoteDrive.h"

TEST(VMRemoteDrive, DefaultsAndMapping) {
    VMRemoteDrive d;
    EXPECT_EQ(d.getDriveId(), -1);
    EXPECT_EQ(d.getMappedTo(), -1);
    EXPECT_EQ(d.getStatus(), VMRemoteDrive::REMOTE_DRIVE_BROKEN);
    EXPECT_EQ(d.isAvailable(), 0);
    d.setStatus(VMRemoteDrive::REMOTE_DRIVE_IDLE);
    EXPECT_EQ(d.isAvailable(), 1);
    d.setAttachRequest(1);
    EXPECT_EQ(d.isAvailable(), 0);

    d.addReadBytes(100);
    d.addWriteBytes(7);
    const int64_t before = std::time(nullptr);
    d.setMappedTo(5);
    EXPECT_EQ(d.getStatus(), VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    EXPECT_EQ(d.getReadBytes(), 0u);
    EXPECT_EQ(d.getWriteBytes(), 0u);
    EXPECT_GE(d.getBeginMapTime(), before);
    EXPECT_LE(d.getMapDuration(), 5u);
    EXPECT_EQ(d.isMappedLocally(), 1);
    EXPECT_EQ(d.isMappedRemotely(), 0);

    d.addReadBytes(10);
    d.addReadBytes(-3);  // sign-extended
    EXPECT_EQ(d.getReadBytes(), 7u);
    d.setMappedTo(-1);
    EXPECT_EQ(d.getStatus(), VMRemoteDrive::REMOTE_DRIVE_IDLE);
    EXPECT_EQ(d.getBeginMapTime(), 0);
    EXPECT_EQ(d.getReadBytes(), 0u);
    d.setStatus(VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    EXPECT_EQ(d.isMappedRemotely(), 1);

    VMRemoteDrive copy(&d);
    EXPECT_EQ(copy.getStatus(), VMRemoteDrive::REMOTE_DRIVE_ATTACHED);
    EXPECT_EQ(copy.isAttachRequested(), 1);
}
