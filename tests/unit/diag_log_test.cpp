#include "base/diag_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/log_file.h"
#include "unit/temp_dir.h"

namespace {

// Everything FN writes to standard output.
std::string capture_stdout(const std::function<void()>& fn) {
    fflush(stdout);
    FILE* sink = tmpfile();
    if (!sink) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    rewind(sink);
    for (int c; (c = fgetc(sink)) != EOF;) text += static_cast<char>(c);
    fclose(sink);
    return text;
}

std::vector<uint8_t> pattern(size_t len) {
    std::vector<uint8_t> bytes(len);
    for (size_t i = 0; i < len; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

// The dump as it must read: "%02x " per byte, a line end after every 16th
// byte and one more at the end.
std::string expected_dump(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(pair, sizeof(pair), "%02x ", bytes[i]);
        text += pair;
        if ((i + 1) % 16 == 0) text += '\n';
    }
    return text + '\n';
}

class HexDumpTest : public ::testing::Test {
  protected:
    void SetUp() override { quor::g_debug_level = 3; }
    void TearDown() override { quor::g_debug_level = 0; }

    std::string dump(size_t len) {
        std::vector<uint8_t> bytes = pattern(len);
        return capture_stdout([&] { log_hex_dump(3, bytes.data(), bytes.size()); });
    }
};

TEST_F(HexDumpTest, FullLinesEndWithABlankAndTheDumpWithAnEmptyLine) {
    std::vector<uint8_t> bytes(16);
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(0xf0 + i);
    std::string text = capture_stdout([&] { log_hex_dump(3, bytes.data(), bytes.size()); });
    EXPECT_EQ(text, "f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff \n\n");
}

TEST_F(HexDumpTest, LineBreaksFollowEverySixteenthByte) {
    std::string seventeen = dump(17);
    EXPECT_EQ(seventeen, expected_dump(pattern(17)));
    EXPECT_EQ(seventeen.size(), 16 * 3 + 1 + 3 + 1u);
    EXPECT_TRUE(seventeen.ends_with("\n73 \n")) << seventeen;

    std::string header = dump(48);
    EXPECT_EQ(header, expected_dump(pattern(48)));
    EXPECT_EQ(std::count(header.begin(), header.end(), '\n'), 4);
    EXPECT_TRUE(header.ends_with(" \n\n"));

    EXPECT_EQ(dump(0), "\n");
}

TEST_F(HexDumpTest, LongDumpIsWrittenWhole) {
    // More than the 10,000 characters of one formatting buffer.
    for (size_t len : {3264u, 3265u, 5000u, 10000u})
        EXPECT_EQ(dump(len), expected_dump(pattern(len))) << len;
}

TEST_F(HexDumpTest, NothingBelowTheLevel) {
    quor::g_debug_level = 2;
    EXPECT_EQ(dump(48), "");
    EXPECT_EQ(capture_stdout([] { QUOR_PACKET_RECORD("Rec Dev Pkg:\n"); }), "");
}

TEST_F(HexDumpTest, PacketRecordNamesFileLineAndFunction) {
    int line = __LINE__ + 1;
    std::string text = capture_stdout([] { QUOR_PACKET_RECORD("Send Dev Pkg:\n"); });
    EXPECT_EQ(text,
              "###  [diag_log_test][" + std::to_string(line) + "][operator()] Send Dev Pkg:\n");
}

unsigned mode_of(const std::string& file) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Runs FN in a child process and waits for it to end well.
void in_child(const std::function<void()>& fn) {
    pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);  // no flush at exit: every line must be in the file already
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LogText, ControlCharactersCannotEndOrForgeALine) {
    EXPECT_EQ(log_text("alice\nQuor ERR: forged\r\x1b[2J\x7f\t"),
              "alice\\x0aQuor ERR: forged\\x0d\\x1b[2J\\x7f\\x09");
    // Printable text, UTF-8 and GBK bytes stay as they are.
    EXPECT_EQ(log_text("Zo\xc3\xab \xd2\xd1 sip:a@b;gr"), "Zo\xc3\xab \xd2\xd1 sip:a@b;gr");
    EXPECT_EQ(log_text(std::string_view("a\0b", 3)), "a\\x00b");
}

TEST(LogFileTest, StartLogFileCapturesBothStreamsFromTheStart) {
    TempDir dir;
    const std::string log = dir.path + "quor.log";
    write_text(log, "previous run\n");
    // The log holds the user's names: a file left readable by others is
    // taken back too.
    ASSERT_EQ(chmod(log.c_str(), 0644), 0);
    pid_t pid = fork();
    if (pid == 0) {
        start_log_file(dir.path.c_str());
        quor_log("NETWORK: first %d\n", 1);
        fputs("an error line\n", stderr);
        quor_log("NETWORK: second\n");
        _exit(0);  // no flush at exit: every line must be in the file already
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_text(log), "NETWORK: first 1\nan error line\nNETWORK: second\n");
    EXPECT_EQ(mode_of(log), 0600u);
}

TEST(LogFileTest, FullLogMovesToItsOldNameAndEveryThreadGoesOnInANewOne) {
    TempDir dir;
    const std::string log = dir.path + "quor.log";
    const std::string old_log = log + ".1";
    write_text(old_log, "an older run's log\n");
    ASSERT_EQ(chmod(old_log.c_str(), 0644), 0);
    constexpr uint64_t CAP = 8192;
    constexpr int LINES = 100;  // per thread: 2 x 100 x 50 bytes, between one and two caps
    in_child([&] {
        set_log_file_cap(CAP);
        start_log_file(dir.path.c_str());
        auto writer = [](int t) {
            for (int i = 0; i < LINES; ++i)
                quor_log("NETWORK: writer %d line %03d %20s\n", t, i, "");
        };
        std::thread a(writer, 1);
        std::thread b(writer, 2);
        a.join();
        b.join();
        fputs("an error line after the move\n", stderr);
        const uint8_t bytes[16] = {0xde, 0xad};
        quor::g_debug_level = 3;
        log_hex_dump(3, bytes, sizeof(bytes));
    });
    const std::string older = read_text(old_log);
    const std::string newer = read_text(log);
    EXPECT_GE(older.size(), CAP);
    EXPECT_LT(older.size(), CAP + 50);
    EXPECT_EQ(older.find("an older run"), std::string::npos);
    EXPECT_EQ(mode_of(log), 0600u);
    EXPECT_EQ(mode_of(old_log), 0600u);
    // Every line whole and once, in one file or the other; what came after
    // the move is in the new file.
    std::multiset<std::string> lines;
    for (const std::string* text : {&older, &newer}) {
        std::istringstream in(*text);
        for (std::string line; std::getline(in, line);) lines.insert(line);
    }
    for (int t = 1; t <= 2; ++t) {
        for (int i = 0; i < LINES; ++i) {
            char line[64];
            snprintf(line, sizeof(line), "NETWORK: writer %d line %03d %20s", t, i, "");
            EXPECT_EQ(lines.count(line), 1u) << line;
        }
    }
    EXPECT_EQ(lines.size(), 2u * LINES + 3u);
    EXPECT_TRUE(
        newer.ends_with("an error line after the move\n"
                        "de ad 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n\n"))
        << newer;
}

}  // namespace
