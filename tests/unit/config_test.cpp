#include "settings/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

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

// Saves the variables that place the program's files and puts them back.
class ModuleDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kVars)
            if (const char* v = getenv(name)) saved_[name] = v;
    }
    void TearDown() override {
        for (const char* name : kVars) {
            if (saved_.count(name))
                setenv(name, saved_[name].c_str(), 1);
            else
                unsetenv(name);
        }
    }
    static mode_t mode_of(const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return 0;
        return st.st_mode & 07777;
    }

  private:
    static constexpr const char* kVars[] = {"QUOR_HOME", "HOME", "XDG_CONFIG_HOME",
                                            "XDG_STATE_HOME", "XDG_RUNTIME_DIR"};
    std::map<std::string, std::string> saved_;
};

TEST_F(ModuleDirTest, QuorHomeGetsATrailingSlash) {
    setenv("QUOR_HOME", "/opt/quor", 1);
    EXPECT_EQ(GetModuleDir(), "/opt/quor/");
    setenv("QUOR_HOME", "/opt/quor/", 1);
    EXPECT_EQ(GetModuleDir(), "/opt/quor/");
    EXPECT_EQ(config_path(), "/opt/quor/config.ini");
}

TEST_F(ModuleDirTest, QuorHomeHoldsEveryFileOfTheProgram) {
    setenv("QUOR_HOME", "/srv/q", 1);
    setenv("XDG_CONFIG_HOME", "/x/config", 1);
    setenv("XDG_STATE_HOME", "/x/state", 1);
    EXPECT_EQ(config_dir(), "/srv/q/");
    EXPECT_EQ(state_dir(), "/srv/q/");
    EXPECT_EQ(config_path(), "/srv/q/config.ini");
}

// The XDG base directory rules: an absolute XDG_CONFIG_HOME or
// XDG_STATE_HOME names the base folder, anything else falls back to
// ~/.config and ~/.local/state.
TEST_F(ModuleDirTest, WithoutQuorHomeEachUserHasFoldersOfTheirOwn) {
    unsetenv("QUOR_HOME");
    setenv("HOME", "/home/ann", 1);
    setenv("XDG_CONFIG_HOME", "/x/config", 1);
    setenv("XDG_STATE_HOME", "/x/state/", 1);
    EXPECT_EQ(config_path(), "/x/config/kestrow-quor/config.ini");
    EXPECT_EQ(state_dir(), "/x/state/kestrow-quor/");
    EXPECT_EQ(user_autostart_dir(), "/x/config/autostart/");
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(config_dir(), "/home/ann/.config/kestrow-quor/");
    EXPECT_EQ(state_dir(), "/home/ann/.local/state/kestrow-quor/");
    EXPECT_EQ(user_autostart_dir(), "/home/ann/.config/autostart/");
}

TEST_F(ModuleDirTest, TheInstanceSocketIsInTheRuntimeFolderOrAPrivateOneInTmp) {
    setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
    const std::string name = "KestrowQuorConnector-5E1C0A93-7B24-4D61-A9F2-3C8E0B6D1F47.sock";
    EXPECT_EQ(instance_socket_path(), "/run/user/1000/" + name);
    unsetenv("XDG_RUNTIME_DIR");
    const std::string dir = "/tmp/kestrow-quor-" + std::to_string(geteuid());
    EXPECT_EQ(instance_socket_path(), dir + "/" + name);
    EXPECT_EQ(mode_of(dir), 0700u);
    // A folder that others may enter is not trusted as it is.
    chmod(dir.c_str(), 0777);
    EXPECT_EQ(instance_socket_path(), dir + "/" + name);
    EXPECT_EQ(mode_of(dir), 0700u);
}

TEST_F(ModuleDirTest, FirstStartMakesPrivateFoldersAndAPrivateConfig) {
    TempDir home;
    unsetenv("QUOR_HOME");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", (home.path + "ann").c_str(), 1);
    std::filesystem::create_directory(home.path + "ann");
    prepare_user_files();
    const std::string config = home.path + "ann/.config/kestrow-quor/";
    const std::string state = home.path + "ann/.local/state/kestrow-quor/";
    EXPECT_EQ(mode_of(config), 0700u);
    EXPECT_EQ(mode_of(state), 0700u);
    EXPECT_EQ(mode_of(config + "config.ini"), 0600u);
    // A value written later keeps the file private.
    EXPECT_EQ(ReadConfigValue(config_path(), "AutoRun", 1), 1);
    EXPECT_EQ(mode_of(config + "config.ini"), 0600u);
    EXPECT_EQ(read_text(config + "config.ini"), "[SECTION 1]\nAutoRun=1\n");
    // A file that was made readable by others is narrowed at the next start.
    chmod((config + "config.ini").c_str(), 0644);
    prepare_user_files();
    EXPECT_EQ(mode_of(config + "config.ini"), 0600u);
    EXPECT_EQ(read_text(config + "config.ini"), "[SECTION 1]\nAutoRun=1\n");
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
