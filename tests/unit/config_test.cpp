#include "settings/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "settings/ini_store.h"
#include "unit/temp_dir.h"

namespace {

class ReadConfigValueTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string file = dir.path + "config.ini";
};

TEST_F(ReadConfigValueTest, MissingKeysTakeTheirDefaultWrittenBack) {
    EXPECT_EQ(ReadConfigValue(file, "AutoMin", 1), 1);
    EXPECT_EQ(ReadConfigValue(file, "PairTimeout", 10), 10);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nAutoMin=1\nPairTimeout=10\n");
}

TEST_F(ReadConfigValueTest, MinusOneAndEmptyCountAsMissing) {
    write_text(file, "[SECTION 1]\nAutoPair=-1\nRepairTime=\nAutoRun=1\n");
    EXPECT_EQ(ReadConfigValue(file, "AutoPair", 1), 1);
    EXPECT_EQ(ReadConfigValue(file, "RepairTime", 15), 15);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nAutoPair=1\nRepairTime=15\nAutoRun=1\n");
}

TEST_F(ReadConfigValueTest, PresentValuesAreLeftAlone) {
    const std::string original = "[SECTION 1]\nRetryTimes=0\nAutoRun=abc\nPairTimeout=-5\n";
    write_text(file, original);
    EXPECT_EQ(ReadConfigValue(file, "RetryTimes", 3), 0);
    EXPECT_EQ(ReadConfigValue(file, "AutoRun", 1), 0);
    EXPECT_EQ(ReadConfigValue(file, "PairTimeout", 10), -5);
    EXPECT_EQ(read_text(file), original);
}

TEST_F(ReadConfigValueTest, FailedWriteBackStillGivesTheDefault) {
    EXPECT_EQ(ReadConfigValue(dir.path + "no/such/dir/config.ini", "ResendGruu", 15), 15);
}

class ModuleDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* v = getenv("QUOR_HOME")) saved_ = v, had_ = true;
    }
    void TearDown() override {
        if (had_)
            setenv("QUOR_HOME", saved_.c_str(), 1);
        else
            unsetenv("QUOR_HOME");
    }

  private:
    std::string saved_;
    bool had_ = false;
};

TEST_F(ModuleDirTest, QuorHomeGetsATrailingSlash) {
    setenv("QUOR_HOME", "/opt/quor", 1);
    EXPECT_EQ(GetModuleDir(), "/opt/quor/");
    setenv("QUOR_HOME", "/opt/quor/", 1);
    EXPECT_EQ(GetModuleDir(), "/opt/quor/");
    EXPECT_EQ(config_path(), "/opt/quor/config.ini");
}

TEST_F(ModuleDirTest, WithoutQuorHomeTheExecutablesDirectory) {
    setenv("QUOR_HOME", "", 1);
    std::string dir = GetModuleDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(dir + "config_test")) << dir;
    unsetenv("QUOR_HOME");
    EXPECT_EQ(GetModuleDir(), dir);
}

TEST(PhoneIpTest, PacksFirstOctetMostSignificant) {
    EXPECT_EQ(phone_ip_from_octets(192, 168, 1, 10), -1062731510);
    EXPECT_EQ(phone_ip_from_octets(10, 0, 0, 5), 167772165);
    EXPECT_EQ(format_phone_ip(-1062731510), "192.168.1.10");
    EXPECT_EQ(format_phone_ip(167772165), "10.0.0.5");
    EXPECT_EQ(format_phone_ip(-1), "255.255.255.255");
}

TEST(PhoneIpTest, ParsesDottedQuads) {
    int value = 0;
    ASSERT_EQ(parse_phone_ip("192.168.1.10", &value), 0);
    EXPECT_EQ(value, -1062731510);
    ASSERT_EQ(parse_phone_ip("10.0.0.5", &value), 0);
    EXPECT_EQ(value, 167772165);
    for (const char* bad : {"", "256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 ",
                            "1.2.3.0004", "-1.2.3.4"}) {
        value = 77;
        EXPECT_EQ(parse_phone_ip(bad, &value), -1) << bad;
        EXPECT_EQ(value, 77) << bad;
    }
}

}  // namespace
