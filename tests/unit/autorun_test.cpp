// Start at log-on: the per-user autostart entry, written into private
// folders named by QUOR_HOME and XDG_CONFIG_HOME.
#include "settings/autorun.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "unit/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string exe_dir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
}
std::string exe_name() {
    return fs::read_symlink("/proc/self/exe").filename().string();
}

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

// Runs FN in a child process as a user who may write only where everybody
// may (root passes every permission check, so it becomes nobody); returns
// FN's result.
int as_unprivileged(const std::function<int()>& fn) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
            prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/self/exe readable
        }
        const int result = fn();
        fflush(stdout);
        _exit(result);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class AutoRun : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::permissions(dir.path, fs::perms(0755));
        home = dir.path + "Kestrow Quor Home/";
        xdg = dir.path + "xdg config";
        autostart = xdg + "/autostart/";
        fs::create_directories(home);
        fs::create_directories(xdg);
        fs::permissions(home, fs::perms(0777));
        fs::permissions(xdg, fs::perms(0777));
        setenv("QUOR_HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUOR_HOME");
        unsetenv("XDG_CONFIG_HOME");
    }

    // The entry runs the program itself, by its full path, with the
    // settings folder it had.
    std::string ExpectedEntry() const {
        return "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=KestrowQuor\n"
               "Exec=env \"QUOR_HOME=" +
               home + "\" \"" + exe_dir() + exe_name() +
               "\"\n"
               "Terminal=false\n";
    }
    void ExpectOn() {
        EXPECT_EQ(names_in(autostart), std::set<std::string>{"KestrowQuor.desktop"});
        EXPECT_EQ(read_text(autostart + "KestrowQuor.desktop"), ExpectedEntry());
        EXPECT_TRUE(names_in(home).empty()) << "no loader script any more";
    }
    void ExpectOff() {
        EXPECT_TRUE(names_in(autostart).empty());
        EXPECT_TRUE(names_in(home).empty());
    }

    TempDir dir;
    std::string home, xdg, autostart;
};

TEST_F(AutoRun, OnOffOnLeavesOneEntryForAFolderWithBlanks) {
    ASSERT_EQ(ApplyAutoRun(1), 1);
    ExpectOn();
    ASSERT_EQ(ApplyAutoRun(0), 1);
    ExpectOff();
    ASSERT_EQ(ApplyAutoRun(1), 1);
    ExpectOn();
    // Every start applies the setting again; any value but 0 means on.
    ASSERT_EQ(ApplyAutoRun(2), 1);
    ASSERT_EQ(ApplyAutoRun(-1), 1);
    ExpectOn();
}

TEST_F(AutoRun, SwitchingOffWithNothingRegisteredSucceedsSilently) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ApplyAutoRun(0), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ExpectOff();
}

TEST_F(AutoRun, AReadOnlyAutostartFolderIsAFailureBothWays) {
    fs::create_directories(autostart);
    fs::permissions(autostart, fs::perms(0555));
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(1); }), 0);
    EXPECT_TRUE(names_in(autostart).empty());
    fs::permissions(autostart, fs::perms(0755));
    ASSERT_EQ(ApplyAutoRun(1), 1);
    fs::permissions(autostart, fs::perms(0555));
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(0); }), 0);
    EXPECT_EQ(names_in(autostart), std::set<std::string>{"KestrowQuor.desktop"});
}

TEST(AutostartEntry, TheCommandQuotesThePathsAsDesktopEntriesRequire) {
    EXPECT_EQ(autostart_entry_text("/a b/\"q\" $x `y` \\z 100%/prog", ""),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=KestrowQuor\n"
              "Exec=\"/a b/\\\\\"q\\\\\" \\\\$x \\\\`y\\\\` \\\\\\\\z 100%%/prog\"\n"
              "Terminal=false\n");
    EXPECT_EQ(autostart_entry_text("/p/prog", "/h $x/"),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=KestrowQuor\n"
              "Exec=env \"QUOR_HOME=/h \\\\$x/\" \"/p/prog\"\n"
              "Terminal=false\n");
    EXPECT_EQ(autostart_entry_text("/a\nb/prog", ""), "");
    EXPECT_EQ(autostart_entry_text("/p/prog", "/h\n"), "");
}

}  // namespace
