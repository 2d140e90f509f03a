#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "api/VMServerImage.h"
#include "api/VMServerImageList.h"

namespace {

int g_calls = 0;
int g_lastCode = 0;
int g_imagesSeenInCallback = -1;
VMServerImageList* g_list = nullptr;
void OnListChange(int code) {
    ++g_calls;
    g_lastCode = code;
    // The lock is free again by the time the callback runs.
    g_imagesSeenInCallback = g_list ? (g_list->getServerImageAt(0) ? 1 : 0) : -1;
}

VMServerImage Image(int index, const char* name, int format = 0) {
    VMServerImage i;
    i.setIndex(index);
    i.setSize(2880);
    i.setFormat(format);
    i.setName(name);
    return i;
}

TEST(ServerImageTest, CopiesKeepTheFormatAndOwnTheirName) {
    VMServerImage iso = Image(3, "disk.iso", VMServerImageList::SERVER_IMAGE_FORMAT_ISO);
    iso.setFlags(VMServerImageList::SERVER_IMAGE_INFO_WRITEABLE_FLAG);
    VMServerImage copy(&iso);
    EXPECT_EQ(copy.getFormat(), VMServerImageList::SERVER_IMAGE_FORMAT_ISO);
    EXPECT_EQ(copy.getIndex(), 3);
    EXPECT_EQ(copy.getFlags(), 1);
    iso.setName("other");
    EXPECT_STREQ(copy.getName(), "disk.iso");
    EXPECT_EQ(copy.getSize(), 1474560);

    VMServerImage assigned;
    assigned = iso;  // member-wise; the name stays independent
    iso.setName(nullptr);
    EXPECT_STREQ(assigned.getName(), "other");
    EXPECT_EQ(iso.getName(), nullptr);
    EXPECT_EQ(assigned.getFormat(), 1);
}

TEST(ServerImageTest, NegativeBlockCountGivesNegativeSize) {
    VMServerImage i;
    i.setSize(-1);
    EXPECT_EQ(i.getSize(), -512);
}

TEST(ServerImageTest, UpdateReplacesImagesAndCallsBackOutsideTheLock) {
    VMServerImageList list;
    g_list = &list;
    g_calls = 0;
    list.registerCallback(OnListChange);
    VMServerImage a = Image(1, "a.img"), b = Image(2, "b.iso", 1);
    list.updateServerImageList({&a, nullptr, &b});
    EXPECT_EQ(list.getNumberOfImages(), 2);
    EXPECT_EQ(list.getLastAction(), 700);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_lastCode, 700);
    EXPECT_EQ(g_imagesSeenInCallback, 1);
    ASSERT_NE(list.getServerImageAt(1), nullptr);
    EXPECT_STREQ(list.getServerImageAt(1)->getName(), "b.iso");
    // An ISO image stays one in the list.
    EXPECT_EQ(list.getServerImageAt(1)->getFormat(), VMServerImageList::SERVER_IMAGE_FORMAT_ISO);
    EXPECT_EQ(list.getServerImageAt(0)->getFormat(), VMServerImageList::SERVER_IMAGE_FORMAT_RAW);
    EXPECT_EQ(list.getServerImageAt(2), nullptr);
    EXPECT_EQ(list.getServerImageAt(-1), nullptr);

    list.updateServerImageList({});
    EXPECT_EQ(list.getNumberOfImages(), 0);
    EXPECT_EQ(list.getServerImageAt(0), nullptr);
    EXPECT_EQ(g_calls, 2);
    g_list = nullptr;
}

TEST(ServerImageTest, ListCopiesAreDeepAndIndependent) {
    VMServerImageList list;
    list.setStoreName("store");
    list.setStoreSpace(1ull << 33);
    list.setFreeSpace(12345);
    list.registerCallback(OnListChange);
    VMServerImage a = Image(1, "a.img");
    list.updateServerImageList({&a});

    VMServerImageList byPointer(&list);
    VMServerImageList byReference(list);
    VMServerImageList assigned;
    assigned = list;
    list.setStoreName("changed");
    list.updateServerImageList({});
    for (VMServerImageList* copy : {&byPointer, &byReference, &assigned}) {
        EXPECT_STREQ(copy->getStoreName(), "store");
        EXPECT_EQ(copy->getStoreSize(), 1ull << 33);
        EXPECT_EQ(copy->getFreeSpace(), 12345u);
        ASSERT_EQ(copy->getNumberOfImages(), 1);
        EXPECT_STREQ(copy->getServerImageAt(0)->getName(), "a.img");
    }
    // The pointer copy carries no callback; updating it works unlocked.
    g_calls = 0;
    byPointer.updateServerImageList({});
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(byPointer.getNumberOfImages(), 0);
    VMServerImageList fromNull(static_cast<const VMServerImageList*>(nullptr));
    EXPECT_EQ(fromNull.getNumberOfImages(), 0);
}

// The receive thread writes the store's figures and the images while the
// application reads them (a race shows under ThreadSanitizer).
TEST(ServerImageTest, FiguresAreReadUnderTheLockWhileTheListChanges) {
    VMServerImageList list;
    VMServerImage a = Image(1, "a.iso", VMServerImageList::SERVER_IMAGE_FORMAT_ISO);
    std::atomic<bool> done{false};
    std::atomic<bool> reading{false};
    std::thread writer([&] {
        while (!reading.load()) std::this_thread::yield();
        for (int i = 1; i <= 200; ++i) {
            list.setStoreId(i);
            list.setStoreSpace(uint64_t(i) * 512);
            list.setFreeSpace(uint64_t(i) * 256);
            list.updateServerImageList(i % 2 ? std::vector<VMServerImage*>{&a} : std::vector<VMServerImage*>{});
        }
        done = true;
    });
    int lastId = 0;
    do {
        const int id = list.getStoreId();
        EXPECT_GE(id, lastId);
        lastId = id;
        EXPECT_LE(list.getFreeSpace(), list.getStoreSize() + 256 * 200);
        EXPECT_LE(list.getNumberOfImages(), 1);
        reading = true;
    } while (!done.load());
    writer.join();
    EXPECT_EQ(list.getStoreId(), 200);
    EXPECT_EQ(list.getStoreSize(), 200u * 512);
    EXPECT_EQ(list.getNumberOfImages(), 0);
}

}  // namespace
