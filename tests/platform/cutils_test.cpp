/*
 * property_get() and friends over the property store; klog_write().
 */
#include <cutils/klog.h>
#include <cutils/properties.h>
#include <gtest/gtest.h>
#include <string.h>
#include <twcutils/property_store.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "test_util.h"

namespace {

using twtest::TempRoot;

std::string readAll(const std::string& file) {
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class PropertiesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mStore = twcutils::propertyStorePath();
        ASSERT_EQ(mStore, mRoot.dir() + "/dev/__properties__/properties");
    }
    TempRoot mRoot;
    std::string mStore;
};

TEST_F(PropertiesTest, DefaultsWhenAbsentOrEmpty) {
    char value[PROPERTY_VALUE_MAX];
    // No store at all.
    EXPECT_EQ(property_get("ro.product.device", value, "0"), 1);
    EXPECT_STREQ(value, "0");
    EXPECT_EQ(property_get("ro.product.device", value, nullptr), 0);
    EXPECT_STREQ(value, "");

    ASSERT_TRUE(twcutils::propertyStoreSet(mStore, "ro.product.device", "K-38C1"));
    ASSERT_TRUE(twcutils::propertyStoreSet(mStore, "persist.empty", ""));
    EXPECT_EQ(property_get("ro.product.device", value, "0"), 6);
    EXPECT_STREQ(value, "K-38C1");
    // An empty value counts as absent.
    EXPECT_EQ(property_get("persist.empty", value, "dflt"), 4);
    EXPECT_STREQ(value, "dflt");
    EXPECT_EQ(property_get("no.such.key", value, "x"), 1);
    EXPECT_STREQ(value, "x");
}

TEST_F(PropertiesTest, LongValuesAreCutToTheLimit) {
    std::string longValue(150, 'v');
    ASSERT_TRUE(twcutils::propertyStoreSet(mStore, "persist.long", longValue));
    char value[PROPERTY_VALUE_MAX + 8];
    memset(value, 'z', sizeof(value));
    EXPECT_EQ(property_get("persist.long", value, nullptr), PROPERTY_VALUE_MAX - 1);
    EXPECT_EQ(strlen(value), static_cast<size_t>(PROPERTY_VALUE_MAX - 1));
    EXPECT_EQ(value[PROPERTY_VALUE_MAX], 'z');  // nothing written past the limit

    std::string longDefault(200, 'd');
    EXPECT_EQ(property_get("absent", value, longDefault.c_str()), PROPERTY_VALUE_MAX - 1);
}

TEST_F(PropertiesTest, StoreFileFormatAndEdits) {
    twcutils::propertyStoreSet(mStore, "a.b", "1");
    {
        std::ofstream out(mStore, std::ios::app);
        out << "# comment\n\nno equals sign\n=orphan\nx.y=with = sign\r\na.b=2\n";
    }
    char value[PROPERTY_VALUE_MAX];
    property_get("x.y", value, "");
    EXPECT_STREQ(value, "with = sign");
    property_get("a.b", value, "");
    EXPECT_STREQ(value, "2");  // the last line wins

    EXPECT_TRUE(twcutils::propertyStoreRemove(mStore, "a.b"));
    EXPECT_EQ(property_get("a.b", value, "gone"), 4);
    EXPECT_STREQ(value, "gone");
    // Bad keys and values are refused and leave the store as it was.
    EXPECT_FALSE(twcutils::propertyStoreSet(mStore, "bad key", "v"));
    EXPECT_FALSE(twcutils::propertyStoreSet(mStore, "k", "two\nlines"));
    EXPECT_FALSE(twcutils::propertyStoreSet(mStore, "", "v"));
    EXPECT_EQ(twcutils::propertyStoreLoad(mStore).size(), 1u);
}

TEST_F(PropertiesTest, TypedGettersAndSet) {
    ASSERT_EQ(property_set("persist.flag", "yes"), 0);
    EXPECT_EQ(property_get_bool("persist.flag", 0), 1);
    ASSERT_EQ(property_set("persist.flag", "off"), 0);
    EXPECT_EQ(property_get_bool("persist.flag", 1), 0);
    ASSERT_EQ(property_set("persist.flag", "maybe"), 0);
    EXPECT_EQ(property_get_bool("persist.flag", 1), 1);

    ASSERT_EQ(property_set("persist.num", "0x10"), 0);
    EXPECT_EQ(property_get_int32("persist.num", -1), 16);
    ASSERT_EQ(property_set("persist.num", "99999999999"), 0);
    EXPECT_EQ(property_get_int32("persist.num", -1), -1);  // out of int32 range
    EXPECT_EQ(property_get_int64("persist.num", -1), 99999999999LL);
    ASSERT_EQ(property_set("persist.num", "abc"), 0);
    EXPECT_EQ(property_get_int64("persist.num", 7), 7);

    // Read-only properties keep their first value.
    EXPECT_EQ(property_set("ro.board", "one"), 0);
    EXPECT_EQ(property_set("ro.board", "two"), -1);
    char value[PROPERTY_VALUE_MAX];
    property_get("ro.board", value, "");
    EXPECT_STREQ(value, "one");
    EXPECT_EQ(property_set("persist.too.long", std::string(PROPERTY_VALUE_MAX, 'x').c_str()), -1);
}

TEST_F(PropertiesTest, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < 25; i++) {
                twcutils::propertyStoreSet(mStore,
                                           "k" + std::to_string(t) + "." + std::to_string(i), "v");
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(twcutils::propertyStoreLoad(mStore).size(), 100u);
}

TEST(PropertiesNoRoot, DefaultsOnly) {
    unsetenv(twdevice::kRootEnv);
    char value[PROPERTY_VALUE_MAX];
    EXPECT_EQ(property_get("persist.vendor.zyr.service.kernel.enable", value, "0"), 1);
    EXPECT_STREQ(value, "0");
}

TEST(Klog, RecordsLandInTheRootsKernelLog) {
    TempRoot root;
    ASSERT_EQ(twdevice::mkdirs("/dev", 0755), 0);
    std::string kmsg = root.real("/dev/kmsg");
    { std::ofstream create(kmsg); }

    klog_write(6, "<6>Twinel: %s", "first line");
    klog_write(KLOG_ERROR_LEVEL, "<3>Twinel: code %d\n", 42);
    EXPECT_EQ(readAll(kmsg), "<6>Twinel: first line\n<3>Twinel: code 42\n");

    // Below the level: nothing.
    klog_set_level(KLOG_ERROR_LEVEL);
    klog_write(6, "<6>Twinel: %s", "hidden");
    klog_set_level(KLOG_INFO_LEVEL);
    klog_write(7, "<7>debug is above the default level");
    EXPECT_EQ(readAll(kmsg), "<6>Twinel: first line\n<3>Twinel: code 42\n");

    // Records longer than the buffer are cut, not overrun.
    std::string huge(2000, 'x');
    klog_write(6, "%s", huge.c_str());
    std::string text = readAll(kmsg);
    EXPECT_EQ(text.size(), strlen("<6>Twinel: first line\n<3>Twinel: code 42\n") + 511 + 1);
}

TEST(Klog, MissingLogFileIsNotAnError) {
    TempRoot root;
    klog_write(6, "<6>Twinel: %s", "nowhere");  // no dev/kmsg: dropped quietly
    EXPECT_NE(access(root.real("/dev/kmsg").c_str(), F_OK), 0);
}

}  // namespace
