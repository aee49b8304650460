#include "settings/ini_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "unit/temp_dir.h"

namespace {

constexpr const char* SECTION = "SECTION 1";

// Runs FN as an unprivileged user when the tests run as root, who would
// otherwise write through any permission bits. Returns FN's result.
int run_unprivileged(const std::function<int()>& fn) {
    if (geteuid() != 0) return fn();
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        _exit(fn() == -1 ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
        ADD_FAILURE() << "unprivileged child failed, status " << status;
        return 0;
    }
    return WEXITSTATUS(status) == 1 ? -1 : 0;
}

class IniStoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string file = dir.path + "config.ini";

    int read_value(const std::string& text, int def = -99) {
        write_text(file, text);
        return ini_get_int(file, SECTION, "Key", def);
    }
};

TEST_F(IniStoreTest, MissingFileSectionKeyOrValueGiveTheDefault) {
    EXPECT_EQ(ini_get_int(file, SECTION, "Key", 42), 42);
    EXPECT_EQ(read_value("[Other]\nKey=5\n"), -99);
    EXPECT_EQ(read_value("[SECTION 1]\nOther=5\n"), -99);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=\n"), -99);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=\"\"\n"), -99);
    EXPECT_EQ(ini_get_int(dir.path, SECTION, "Key", 7), 7);  // a directory, not a file
}

TEST_F(IniStoreTest, ValueTextIsReadAsSignAndDigits) {
    EXPECT_EQ(read_value("[SECTION 1]\nKey=-1062731510\n"), -1062731510);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=12abc\n"), 12);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=abc\n"), 0);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=-\n"), 0);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=+7\n"), 7);
    EXPECT_EQ(read_value("[SECTION 1]\nKey= \t-3\n"), -3);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=\"15\"\n"), 15);
    EXPECT_EQ(read_value("[SECTION 1]\nKey=4294967297\n"), 1);
    EXPECT_EQ(read_value("[SECTION 1]\r\nKey=-1\r\n"), -1);
}

TEST_F(IniStoreTest, NamesCompareWithoutCase) {
    write_text(file, "[section 1]\nkey=3\n");
    EXPECT_EQ(ini_get_int(file, SECTION, "KEY", -1), 3);
    ASSERT_EQ(ini_write_string(file, SECTION, "Key", "4"), 0);
    EXPECT_EQ(read_text(file), "[section 1]\nkey=4\n");
}

TEST_F(IniStoreTest, FirstWritesCreateTheFileAndAppendKeysInOrder) {
    ASSERT_EQ(ini_write_string(file, SECTION, "PhoneIP", "0"), 0);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nPhoneIP=0\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "AutoIP", "1"), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "PhoneIP", "-1062731510"), 0);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nPhoneIP=-1062731510\nAutoIP=1\n");
    EXPECT_EQ(ini_get_int(file, SECTION, "PhoneIP", 0), -1062731510);
}

TEST_F(IniStoreTest, ReplacingAValueKeepsKeyOrderAndShrinksTheFile) {
    write_text(file, "[SECTION 1]\nA=1\nB=-1062731510\nC=3\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "0"), 0);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nA=1\nB=0\nC=3\n");
}

TEST_F(IniStoreTest, HandEditsSurviveAWrite) {
    write_text(file,
               "; written by hand\n\n[Other]\nName = value\n\n[SECTION 1]\n"
               "; phone address\nPhoneIP=5\n; end of file\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "AutoIP", "0"), 0);
    std::string text = read_text(file);
    EXPECT_NE(text.find("; written by hand\n"), std::string::npos) << text;
    EXPECT_NE(text.find("; phone address\nPhoneIP=5\nAutoIP=0\n"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("; end of file\n")) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), ';'), 3) << text;

    ASSERT_EQ(ini_write_string(file, "Brand New", "K", "1"), 0);
    EXPECT_EQ(ini_get_int(file, "Other", "Name", 0), 0);  // "value" has no digits
    EXPECT_EQ(ini_get_int(file, "Brand New", "K", 0), 1);
    EXPECT_EQ(ini_get_int(file, SECTION, "PhoneIP", 0), 5);
    text = read_text(file);
    EXPECT_NE(text.find("Name=value"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), ';'), 3) << text;
}

TEST_F(IniStoreTest, ALeadingCommentIsWrittenTheSameFromTheFirstWriteOn) {
    write_text(file, "\n  ; my phone\n[SECTION 1]\nA=1\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    const std::string first = read_text(file);
    EXPECT_TRUE(first.starts_with("; my phone\n")) << first;
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    EXPECT_EQ(read_text(file), first);

    // Keys under a "[]" header join those before any header, at the start.
    write_text(file, "[SECTION 1]\nA=1\n; about B\n[]\nB=2\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "2"), 0);
    const std::string moved = read_text(file);
    EXPECT_TRUE(moved.starts_with("; about B\nB=2\n")) << moved;
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "2"), 0);
    EXPECT_EQ(read_text(file), moved);
}

TEST_F(IniStoreTest, AHeaderWithoutItsBracketOpensNoSectionAndTheFileStopsGrowing) {
    // The INI library would name a section "#\nK" after the two lines and
    // write "[#\nK]" back, one line more at every write.
    write_text(file, "\n[#\nK=\n");
    std::string first;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ini_write_string(file, SECTION, "AutoIP", "0"), 0);
        if (i == 0) first = read_text(file);
        EXPECT_EQ(read_text(file), first) << "write " << i;
    }
    EXPECT_NE(first.find(";[#\n"), std::string::npos) << first;
    EXPECT_EQ(first.find("K]"), std::string::npos) << first;

    write_text(file, "[SECTION 1]\nAutoPair=0\n[Other\nAutoRun=0\n");
    EXPECT_EQ(ini_get_int(file, SECTION, "AutoRun", -1), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "AutoRun", "1"), 0);
    const std::string text = read_text(file);
    EXPECT_EQ(ini_get_int(file, SECTION, "AutoPair", -1), 0) << text;
    EXPECT_EQ(ini_get_int(file, SECTION, "AutoRun", -1), 1) << text;
    EXPECT_NE(text.find(";[Other\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '['), 2) << text;
}

TEST_F(IniStoreTest, LinesThatAreNoEntryKeepTheirText) {
    write_text(file, "[SECTION 1]\nthe phone is on desk 4\n=5\nA=1\r\nat the end\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    const std::string text = read_text(file);
    EXPECT_NE(text.find("the phone is on desk 4\n"), std::string::npos) << text;
    EXPECT_NE(text.find("=5\n"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("B=2\nat the end\n")) << text;
    EXPECT_EQ(ini_get_int(file, SECTION, "A", -1), 1) << text;
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "3"), 0);
    const std::string again = read_text(file);
    EXPECT_EQ(again.substr(0, again.find("B=")), text.substr(0, text.find("B="))) << again;

    // Without any section or key, the library would keep only the first
    // comment block.
    write_text(file, "; my notes\n\n; more notes\nJ\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "1"), 0);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nA=1\n; my notes\n\n; more notes\nJ\n");

    // A lone '\r' ends a line: the two lines must not become one header.
    write_text(file, "[SECTION 1]\nA=1\r\n[Other\rname]x\r\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "2"), 0);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nA=2\n[Other\nname]x\n");
    EXPECT_EQ(ini_get_int(file, "Other", "A", -1), -1);
}

TEST_F(IniStoreTest, AUtf8SignatureStaysAtTheStart) {
    write_text(file, "\xEF\xBB\xBF[SECTION 1]\nA=1\n");
    EXPECT_EQ(ini_get_int(file, SECTION, "A", -1), 1);
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    EXPECT_EQ(read_text(file), "\xEF\xBB\xBF[SECTION 1]\nA=1\nB=2\n");

    write_text(file, "\xEF\xBB\xBF; notes only\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "1"), 0);
    EXPECT_EQ(read_text(file), "\xEF\xBB\xBF[SECTION 1]\nA=1\n; notes only\n");

    // A second signature is no part of the first line either.
    write_text(file, "\xEF\xBB\xBF\xEF\xBB\xBF=x\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "A", "1"), 0);
    EXPECT_EQ(read_text(file), "\xEF\xBB\xBF\xEF\xBB\xBF[SECTION 1]\nA=1\n=x\n");

    // The same bytes inside a name stay part of the name, written first too.
    write_text(file,
               "\n\xEF\xBB\xBF"
               "A=1\n");
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    EXPECT_EQ(ini_get_int(file, "",
                          "\xEF\xBB\xBF"
                          "A",
                          -1),
              1);
    EXPECT_EQ(ini_get_int(file, "", "A", -1), -1);
}

TEST_F(IniStoreTest, AFileWithANulByteIsNotWritten) {
    const char bytes[] = "[SECTION 1]\nA=1\n\0[Other]\nB=2\n";
    const std::string original(bytes, sizeof(bytes) - 1);
    write_text(file, original);
    EXPECT_EQ(ini_write_string(file, SECTION, "A", "5"), -1);
    EXPECT_EQ(read_text(file), original);
    EXPECT_EQ(ini_get_int(file, SECTION, "A", -1), 1);
}

TEST_F(IniStoreTest, TextThatWouldBreakTheFileIsRefused) {
    write_text(file, "[SECTION 1]\nA=1\n");
    EXPECT_EQ(ini_write_string(file, SECTION, "A", "1\n[Evil]\nB=2"), -1);
    EXPECT_EQ(ini_write_string(file, SECTION, "A=B", "1"), -1);
    EXPECT_EQ(ini_write_string(file, "X]Y", "A", "1"), -1);
    EXPECT_EQ(ini_write_string(file, SECTION, "", "1"), -1);
    EXPECT_EQ(ini_write_string(file, SECTION, "A", nullptr), -1);
    EXPECT_EQ(read_text(file), "[SECTION 1]\nA=1\n");
}

TEST_F(IniStoreTest, ReadOnlyFileFailsAndStaysUnchanged) {
    const std::string original = "[SECTION 1]\nAutoPair=-1\n";
    write_text(file, original);
    // The directory is open to all, so only the file's own mode can stop the write.
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(run_unprivileged([&] { return ini_write_string(file, SECTION, "AutoPair", "1"); }),
              -1);
    EXPECT_EQ(read_text(file), original);
    EXPECT_EQ(run_unprivileged([&] { return ini_get_int(file, SECTION, "AutoPair", 0); }), -1);
}

TEST_F(IniStoreTest, AWriteWithoutRoomForTheNewFileLeavesTheOldOneAsItWas) {
    // The file may be written, its folder not: the whole new file cannot be
    // made beside it, and writing over the old one could leave it cut.
    const std::string original = "[SECTION 1]\nPairTimeout=10\nRepairTime=\n";
    write_text(file, original);
    ASSERT_EQ(chmod(file.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    EXPECT_EQ(run_unprivileged([&] { return ini_write_string(file, SECTION, "RepairTime", "15"); }),
              -1);
    EXPECT_EQ(read_text(file), original);
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        ++entries;
        EXPECT_EQ(entry.path().filename(), "config.ini");
    }
    EXPECT_EQ(entries, 1u);
}

TEST_F(IniStoreTest, AWriteKeepsTheFilesOwnerModeAndLink) {
    const std::string real = dir.path + "real.ini";
    write_text(real, "[SECTION 1]\nA=1\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(real.c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(symlink("real.ini", file.c_str()), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "B", "2"), 0);
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_text(real), "[SECTION 1]\nA=1\nB=2\n");
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
}

TEST_F(IniStoreTest, UnwritableDirectoryFails) {
    ASSERT_EQ(chmod(dir.path.c_str(), 0555), 0);
    EXPECT_EQ(run_unprivileged([&] { return ini_write_string(file, SECTION, "PhoneIP", "0"); }),
              -1);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(ini_write_string(dir.path + "missing/config.ini", SECTION, "PhoneIP", "0"), -1);
}

}  // namespace
