// Start at log-on: the autostart entry and the loader, written into private
// folders named by QUOR_HOME and XDG_CONFIG_DIRS.
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
        setenv("XDG_CONFIG_DIRS", (xdg + ":/etc/xdg").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("QUOR_HOME");
        unsetenv("XDG_CONFIG_DIRS");
    }

    std::string ExpectedLoader() const {
        return "#!/bin/sh\n"
               "cd '" +
               exe_dir() +
               "' || exit 1\n"
               "export QUOR_HOME='" +
               home +
               "'\n"
               "if [ \"$(id -u)\" -ne 0 ] && command -v pkexec >/dev/null; then\n"
               "    exec pkexec '" +
               exe_dir() + exe_name() +
               "'\n"
               "fi\n"
               "exec './" +
               exe_name() + "'\n";
    }
    std::string ExpectedEntry() const {
        return "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=KestrowQuor\n"
               "Exec=/bin/sh \"" +
               home +
               "loader.sh\"\n"
               "Terminal=false\n";
    }
    void ExpectOn() {
        EXPECT_EQ(names_in(autostart), std::set<std::string>{"KestrowQuor.desktop"});
        EXPECT_EQ(read_text(autostart + "KestrowQuor.desktop"), ExpectedEntry());
        EXPECT_EQ(names_in(home), std::set<std::string>{"loader.sh"});
        EXPECT_EQ(read_text(home + "loader.sh"), ExpectedLoader());
        EXPECT_EQ(fs::status(home + "loader.sh").permissions() & fs::perms::all, fs::perms(0755));
    }
    void ExpectOff() {
        EXPECT_TRUE(names_in(autostart).empty());
        EXPECT_TRUE(names_in(home).empty());
    }

    TempDir dir;
    std::string home, xdg, autostart;
};

TEST_F(AutoRun, OnOffOnLeavesOneEntryAndOneLoaderForAFolderWithBlanks) {
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

TEST_F(AutoRun, AReadOnlyFolderForTheLoaderIsAFailure) {
    fs::permissions(home, fs::perms(0555));
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(1); }), 0);
    EXPECT_TRUE(names_in(autostart).empty()) << "no entry without its loader";
    EXPECT_TRUE(names_in(home).empty());
}

TEST_F(AutoRun, AReadOnlyAutostartFolderIsAFailureAndTheLoaderStays) {
    fs::create_directories(autostart);
    fs::permissions(autostart, fs::perms(0555));
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(1); }), 0);
    EXPECT_TRUE(names_in(autostart).empty());
    EXPECT_EQ(names_in(home), std::set<std::string>{"loader.sh"});
}

TEST_F(AutoRun, SwitchingOffFailsOnlyForALoaderThatCannotBeDeleted) {
    ASSERT_EQ(ApplyAutoRun(1), 1);
    fs::permissions(autostart, fs::perms(0555));
    // The entry stays, but without its loader it starts nothing.
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(0); }), 1);
    EXPECT_TRUE(names_in(home).empty());
    ASSERT_EQ(ApplyAutoRun(1), 1);
    fs::permissions(home, fs::perms(0555));
    EXPECT_EQ(as_unprivileged([] { return ApplyAutoRun(0); }), 0);
    EXPECT_EQ(names_in(home), std::set<std::string>{"loader.sh"});
}

TEST(AutostartDir, FirstAbsoluteFolderOfXdgConfigDirsOrEtcXdg) {
    unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(autostart_dir(), "/etc/xdg/autostart/");
    const std::pair<const char*, const char*> cases[] = {
        {"", "/etc/xdg/autostart/"},
        {"/opt/conf/", "/opt/conf/autostart/"},
        {"::relative/dir:/srv/xdg:/etc/xdg", "/srv/xdg/autostart/"},
        {"relative", "/etc/xdg/autostart/"},
    };
    for (const auto& [value, expected] : cases) {
        setenv("XDG_CONFIG_DIRS", value, 1);
        EXPECT_EQ(autostart_dir(), expected) << "XDG_CONFIG_DIRS=" << value;
    }
    unsetenv("XDG_CONFIG_DIRS");
}

TEST(AutostartEntry, TheCommandQuotesThePathAsDesktopEntriesRequire) {
    EXPECT_EQ(autostart_entry_text("/a b/\"q\" $x `y` \\z 100%/loader.sh"),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=KestrowQuor\n"
              "Exec=/bin/sh \"/a b/\\\\\"q\\\\\" \\\\$x \\\\`y\\\\` \\\\\\\\z 100%%/loader.sh\"\n"
              "Terminal=false\n");
    EXPECT_EQ(autostart_entry_text("/a\nb/loader.sh"), "");
}

// The loader, run by the shell from another folder, starts the program in
// its own folder by its current name, with the settings folder it had; for
// a user other than root it asks pkexec to start the program by its full
// path, and starts it as it is when there is no pkexec. PATH holds only
// stand-ins for id and pkexec, so the machine's own pkexec plays no part.
class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(prog_dir);
        fs::create_directories(tools);
        write_text(prog_dir + "my prog",
                   "#!/bin/sh\nprintf '%s|%s|%s' \"$(pwd)/\" \"$0\" "
                   "\"${QUOR_HOME-unset}\" > '" +
                       out + "'\n");
        fs::permissions(prog_dir + "my prog", fs::perms(0755));
    }
    // Writes the loader for HOME, runs it as user UID with pkexec there or
    // not, and returns what the program (or the stand-in pkexec) wrote.
    std::string Run(const std::string& home, int uid, bool with_pkexec) {
        fs::remove(out);
        fs::remove(tools + "pkexec");
        Tool("id", "echo " + std::to_string(uid));
        if (with_pkexec) Tool("pkexec", "printf 'pkexec %s|%s' \"$(pwd)/\" \"$*\" > '" + out + "'");
        write_text(dir.path + "loader.sh", loader_script_text(prog_dir, "my prog", home));
        const std::string cmd =
            "cd / && env -u QUOR_HOME PATH='" + tools + "' /bin/sh '" + dir.path + "loader.sh'";
        EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
        return read_text(out);
    }
    void Tool(const std::string& name, const std::string& body) {
        write_text(tools + name, "#!/bin/sh\n" + body + "\n");
        fs::permissions(tools + name, fs::perms(0755));
    }

    TempDir dir;
    const std::string prog_dir = dir.path + "it's a \"dir\" $HOME/";
    const std::string tools = dir.path + "tools/";
    const std::string out = dir.path + "out.txt";
};

TEST_F(Loader, RootStartsTheProgramInItsFolderByItsName) {
    for (const std::string home : {"/home dir/it's/", ""}) {
        EXPECT_EQ(Run(home, 0, true), prog_dir + "|./my prog|" + (home.empty() ? "unset" : home));
    }
}

TEST_F(Loader, AUserGoesThroughPkexecWhenThereIsOne) {
    EXPECT_EQ(Run("", 1000, true), "pkexec " + prog_dir + "|" + prog_dir + "my prog");
    EXPECT_EQ(Run("", 1000, false), prog_dir + "|./my prog|unset");
}

}  // namespace
