// The Windows back ends of the settings: config.ini through the system's
// private-profile calls, and the start at log-on through the machine's Run
// list and loader.vbs, checked against the system's own registry calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "settings/ini_store.h"
#include "settings/loader_script.h"

namespace {

constexpr const char* SECTION = "SECTION 1";

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_bytes(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A new empty folder under the system's temporary folder, removed with
// what it holds at the end; its name has a blank.
struct TempFolder {
    TempFolder() {
        char base[MAX_PATH + 1];
        GetTempPathA(sizeof(base), base);
        path = std::string(base) + "quor test " + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(GetTickCount64()) + "\\";
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ~TempFolder() {
        WIN32_FIND_DATAA found;
        const HANDLE h = FindFirstFileA((path + "*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileA((path + found.cFileName).c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(path.c_str());
    }
    std::string path;
};

// The Run list's value NAME as the registry holds it; false when absent.
bool run_value(const char* name, std::string* data) {
    char buf[1024];
    DWORD size = sizeof(buf);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", name,
                     RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
        return false;
    *data = buf;
    return true;
}

class WinIniStore : public ::testing::Test {
  protected:
    TempFolder dir;
    std::string file = dir.path + "config.ini";
};

TEST_F(WinIniStore, ValuesReadAsTheSystemReadsThemAndNegativesRoundTrip) {
    EXPECT_EQ(ini_get_int(file, SECTION, "PhoneIP", 42), 42);
    ASSERT_EQ(ini_write_string(file, SECTION, "PhoneIP", "-1062731510"), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "AutoRun", "abc"), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "PairTimeout", "12abc"), 0);
    ASSERT_EQ(ini_write_string(file, SECTION, "Debug", ""), 0);
    EXPECT_EQ(read_bytes(file),
              "[SECTION 1]\r\nPhoneIP=-1062731510\r\nAutoRun=abc\r\nPairTimeout=12abc\r\n"
              "Debug=\r\n");
    EXPECT_EQ(ini_get_int(file, SECTION, "PhoneIP", 0), -1062731510);
    EXPECT_EQ(ini_get_int(file, SECTION, "AutoRun", -1), 0);
    EXPECT_EQ(ini_get_int(file, SECTION, "PairTimeout", -1), 12);
    EXPECT_EQ(ini_get_int(file, SECTION, "Debug", -1), -1);
    EXPECT_EQ(ini_get_int(file, "Other", "PhoneIP", -1), -1);
    // The system's own reader agrees.
    EXPECT_EQ(int(GetPrivateProfileIntA(SECTION, "PhoneIP", 0, file.c_str())), -1062731510);
}

TEST_F(WinIniStore, TextThatWouldBreakTheFileIsRefused) {
    write_bytes(file, "[SECTION 1]\r\nA=1\r\n");
    EXPECT_EQ(ini_write_string(file, SECTION, "A", "1\r\n[Evil]\r\nB=2"), -1);
    EXPECT_EQ(ini_write_string(file, SECTION, "A=B", "1"), -1);
    EXPECT_EQ(ini_write_string(file, "X]Y", "A", "1"), -1);
    // A null value or name would delete the key or the whole section.
    EXPECT_EQ(ini_write_string(file, SECTION, "A", nullptr), -1);
    EXPECT_EQ(ini_write_string(file, SECTION, nullptr, "1"), -1);
    EXPECT_EQ(read_bytes(file), "[SECTION 1]\r\nA=1\r\n");
}

class WinLogonStart : public ::testing::Test {
  protected:
    void TearDown() override { apply_logon_script(0, dir.path, "Quor Phone"); }
    TempFolder dir;
};

TEST_F(WinLogonStart, OnWritesTheScriptAndTheRunValueOffRemovesBoth) {
    const std::string script = dir.path + "loader.vbs";
    ASSERT_EQ(apply_logon_script(1, dir.path, "Quor Phone"), 1);
    ASSERT_EQ(apply_logon_script(1, dir.path, "Quor Phone"), 1);
    EXPECT_EQ(read_bytes(script),
              "set WSO = createobject(\"WScript.Shell\")\r\n"
              "WSO.CurrentDirectory = \"" +
                  dir.path +
                  "\"\r\n"
                  "WSO.Run \"\"\"Quor Phone\"\"\"\r\n");
    std::string data;
    ASSERT_TRUE(run_value("KestrowQuor", &data));
    // The folder has a blank: the path is quoted, so that no prefix of it
    // is taken for a program.
    EXPECT_EQ(data, "\"" + script + "\"");

    EXPECT_EQ(apply_logon_script(0, dir.path, "Quor Phone"), 1);
    EXPECT_FALSE(run_value("KestrowQuor", &data));
    EXPECT_EQ(GetFileAttributesA(script.c_str()), INVALID_FILE_ATTRIBUTES);
    // Off again, with nothing left to remove.
    EXPECT_EQ(apply_logon_script(0, dir.path, "Quor Phone"), 1);
}

TEST_F(WinLogonStart, AScriptThatCannotBeWrittenIsAFailure) {
    EXPECT_EQ(apply_logon_script(1, dir.path + "missing\\", "Quor Phone"), 0);
}

}  // namespace
