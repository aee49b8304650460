// The phone log service on UDP port 514 (in a network namespace of its
// own), with the main window on a fake front end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "link/ctrl_channel.h"
#include "link/syslog_service.h"
#include "platform/net.h"
#include "support/controller_fixture.h"
#include "unit/temp_dir.h"

namespace quor::test {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = 10000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

size_t thread_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// Whether a thread of this process is blocked in a receive on FD.
bool blocked_in_receive(int fd) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "syscall");
        long number = -1;
        std::string first_arg;
        if (in >> number >> first_arg && number == SYS_recvfrom &&
            std::stol(first_arg, nullptr, 16) == fd)
            return true;
    }
    return false;
}

class LogService : public ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        Start();
        sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sender, 0);
        // A sanitizer starts a helper thread of its own with the first
        // thread of the process; let that happen before counting.
        std::thread([] {}).join();
        threads_before = thread_count();
    }
    void TearDown() override {
        stop_log_service(nullptr);
        EXPECT_TRUE(ReceiverGone());
        close(sender);
        ControllerFixture::TearDown();
    }

    // Sends DATAGRAMS to port 514 in bursts, each burst taken in by the
    // receiver before the next, so none is dropped for a full queue.
    void Send(const std::vector<std::string>& datagrams, bool drain = true) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(SYSLOG_PORT);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size_t i = 0;
        for (const std::string& d : datagrams) {
            ASSERT_EQ(
                sendto(sender, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
                ssize_t(d.size()));
            if (drain && ++i % 16 == 0) Drain();
        }
        if (drain) Drain();
    }
    // Waits until the receiver has taken every queued datagram; it appends
    // a datagram before it looks at a stop request.
    void Drain() {
        ASSERT_TRUE(wait_until([] {
            int pending = 0;
            return ioctl(g_syslog.socket, FIONREAD, &pending) == 0 && pending == 0;
        }));
    }
    bool WaitForMessage(const std::string& text) {
        return wait_until([&] {
            for (const std::string& m : view.Messages())
                if (m == text) return true;
            return false;
        });
    }
    // A stop with the main window and the save dialog answered with PATH.
    // The receiver is marked stopped before it shows its message: a test
    // that saves waits for that message before the window goes.
    void StopAndSaveTo(const std::string& path) {
        view.save_path = path;
        ASSERT_EQ(stop_log_service(dlg.get()), 0);
        ASSERT_TRUE(wait_until([] { return g_syslog.running == 0; }));
    }

    // The receiver has ended: nothing it does can follow.
    bool ReceiverGone() {
        return wait_until(
            [&] { return g_syslog.running == 0 && thread_count() == threads_before; });
    }

    int sender = -1;
    size_t threads_before = 0;
};

// Datagrams of SIZE bytes, each filled with a text that names its number.
std::vector<std::string> numbered(size_t count, size_t size) {
    std::vector<std::string> out;
    for (size_t i = 0; i < count; ++i) {
        char head[32];
        snprintf(head, sizeof(head), "<14>line %06zu ", i);
        std::string d(head);
        while (d.size() < size) d += char('a' + (i + d.size()) % 26);
        d.resize(size);
        out.push_back(d);
    }
    return out;
}

std::string joined(const std::vector<std::string>& parts, size_t from = 0) {
    std::string all;
    for (size_t i = from; i < parts.size(); ++i) all += parts[i];
    return all;
}

TEST_F(LogService, TenDatagramsOfAHundredBytesAreSavedInArrivalOrder) {
    ASSERT_EQ(start_log_service(), 0);
    EXPECT_EQ(g_syslog.running.load(), 1);
    EXPECT_NE(g_syslog.socket.load(), -1);
    const auto lines = numbered(10, 100);
    Send(lines);
    EXPECT_TRUE(wait_until([] { return g_syslog.fill == SYSLOG_DATA; }));
    StopAndSaveTo(home + "ten.txt");
    ASSERT_EQ(view.save_names.size(), 1u);
    EXPECT_TRUE(std::regex_match(view.save_names[0], std::regex("Log20[0-9]{12}")))
        << view.save_names[0];
    EXPECT_EQ(read_text(home + "ten.txt"), joined(lines));
    EXPECT_EQ(read_text(home + "ten.txt").size(), 1000u);
    ASSERT_TRUE(WaitForMessage("Save the log success!"));
    EXPECT_EQ(view.captions.back(), "Kestrow Hint");
    EXPECT_EQ(view.styles.back(), MB_EXCLAMATION_OK);
    EXPECT_EQ(g_syslog.socket.load(), -1);
}

TEST_F(LogService, DatagramsStillQueuedWhenTheStopComesAreKept) {
    ASSERT_EQ(start_log_service(), 0);
    const auto lines = numbered(60, 100);
    Send(lines, false);
    StopAndSaveTo(home + "queued.txt");
    EXPECT_EQ(read_text(home + "queued.txt"), joined(lines));
    EXPECT_TRUE(WaitForMessage("Save the log success!"));
}

TEST_F(LogService, NineMebibytesSaveExactlyTheLastEight) {
    ASSERT_EQ(start_log_service(), 0);
    const auto datagrams = numbered(9 * 512, SYSLOG_DATAGRAM_MAX);
    Send(datagrams);
    EXPECT_TRUE(wait_until([] { return g_syslog.fill == SYSLOG_WRAPPED; }));
    StopAndSaveTo(home + "nine.txt");
    const std::string saved = read_text(home + "nine.txt");
    ASSERT_EQ(saved.size(), SYSLOG_RING_SIZE);
    EXPECT_TRUE(saved == joined(datagrams, 512)) << "first bytes: " << saved.substr(0, 24);
    EXPECT_TRUE(WaitForMessage("Save the log success!"));
}

TEST_F(LogService, DataThatExactlyFillTheBufferAreSavedWhole) {
    ASSERT_EQ(start_log_service(), 0);
    const auto datagrams = numbered(8 * 512, SYSLOG_DATAGRAM_MAX);
    Send(datagrams);
    EXPECT_TRUE(wait_until([] { return g_syslog.fill == SYSLOG_WRAPPED; }));
    StopAndSaveTo(home + "exact.txt");
    EXPECT_TRUE(read_text(home + "exact.txt") == joined(datagrams));
    EXPECT_TRUE(WaitForMessage("Save the log success!"));
}

TEST_F(LogService, ALongerDatagramKeepsItsFirst2048Bytes) {
    ASSERT_EQ(start_log_service(), 0);
    testing::internal::CaptureStdout();
    const auto big = numbered(1, 3000);
    Send(big);
    // Taken off the queue is not yet appended: the stop asks where to save
    // only when the buffer or the queue holds something.
    EXPECT_TRUE(wait_until([] { return g_syslog.fill == SYSLOG_DATA; }));
    StopAndSaveTo(home + "cut.txt");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_text(home + "cut.txt"), big[0].substr(0, SYSLOG_DATAGRAM_MAX));
    EXPECT_NE(out.find("SYSLOG: A datagram of 3000 bytes was cut to 2048 bytes.\n"),
              std::string::npos);
    EXPECT_TRUE(WaitForMessage("Save the log success!"));
}

TEST_F(LogService, ASecondStartFailsAndABusyPortIsReported) {
    ASSERT_EQ(start_log_service(), 0);
    EXPECT_EQ(start_log_service(), -1);
    ASSERT_EQ(stop_log_service(nullptr), 0);
    EXPECT_EQ(stop_log_service(nullptr), -1) << "already stopping";
    ASSERT_TRUE(wait_until([] { return g_syslog.running == 0; }));
    EXPECT_EQ(stop_log_service(nullptr), -1) << "not running";

    const int other = udp_bind(SYSLOG_PORT);
    ASSERT_GE(other, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(start_log_service(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SYSLOG: Bind syslog socket fail!\n");
    EXPECT_EQ(g_syslog.socket.load(), -1);
    EXPECT_EQ(g_syslog.running.load(), 0);
    close(other);
    EXPECT_EQ(start_log_service(), 0);
}

TEST_F(LogService, StoppingWakesTheBlockedReceiveAndFreesThePort) {
    ASSERT_EQ(start_log_service(), 0);
    ASSERT_TRUE(wait_until([] { return blocked_in_receive(g_syslog.socket); }));
    ASSERT_EQ(stop_log_service(dlg.get()), 0);
    // The receive has no time-out: only the stop can end it.
    ASSERT_TRUE(ReceiverGone());
    EXPECT_EQ(g_syslog.socket.load(), -1);
    // Nothing received: no question, no file, no message.
    EXPECT_TRUE(view.save_names.empty());
    EXPECT_TRUE(view.Messages().empty());
    const int again = udp_bind(SYSLOG_PORT);
    EXPECT_GE(again, 0);
    close(again);
}

TEST_F(LogService, NoSaveWithoutAWindowOrWhenTheDialogIsCancelled) {
    ASSERT_EQ(start_log_service(), 0);
    Send(numbered(3, 50));
    StopAndSaveTo("");  // the user cancels
    EXPECT_EQ(view.save_names.size(), 1u);
    ASSERT_EQ(start_log_service(), 0);
    EXPECT_EQ(g_syslog.fill.load(), SYSLOG_EMPTY) << "a new start begins empty";
    Send(numbered(3, 50));
    ASSERT_EQ(stop_log_service(nullptr), 0);  // the exit paths
    ASSERT_TRUE(wait_until([] { return g_syslog.running == 0; }));
    EXPECT_EQ(view.save_names.size(), 1u) << "no question without a window";
    ASSERT_TRUE(ReceiverGone());
    EXPECT_TRUE(view.Messages().empty());
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(home))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"config.ini"});
}

TEST_F(LogService, AFileThatCannotBeWrittenShowsNoMessage) {
    ASSERT_EQ(start_log_service(), 0);
    Send(numbered(2, 40));
    StopAndSaveTo(home + "missing/dir/log.txt");
    ASSERT_TRUE(ReceiverGone());
    EXPECT_TRUE(view.Messages().empty());
}

// A UDP socket bound to ADDR (host order) on any port.
int udp_from(uint32_t addr) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_to(int fd, uint32_t addr, uint16_t port, const std::string& data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(addr);
    ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              ssize_t(data.size()));
}

// While paired with the phone at 127.0.0.2 over our address 127.0.0.3, the
// service listens on 127.0.0.3 only and keeps only the phone's datagrams;
// another sender's are dropped, named in the log once and counted.
TEST_F(LogService, WhilePairedOnlyThePhonesDatagramsAreKept) {
    constexpr uint32_t PHONE = 0x7F000002, US = 0x7F000003, OTHER = 0x7F000004;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(PHONE);
    socklen_t at_len = sizeof(at);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &at_len), 0);
    const int ctrl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in ours{};
    ours.sin_family = AF_INET;
    ours.sin_addr.s_addr = htonl(US);
    ASSERT_EQ(bind(ctrl, reinterpret_cast<sockaddr*>(&ours), sizeof(ours)), 0);
    ASSERT_EQ(connect(ctrl, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
    ctrl_channel_open(ctrl, PHONE);

    testing::internal::CaptureStdout();
    ASSERT_EQ(start_log_service(), 0);
    sockaddr_in bound{};
    socklen_t bound_len = sizeof(bound);
    ASSERT_EQ(getsockname(g_syslog.socket, reinterpret_cast<sockaddr*>(&bound), &bound_len), 0);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), US);
    EXPECT_EQ(ntohs(bound.sin_port), SYSLOG_PORT);

    const int phone = udp_from(PHONE), other = udp_from(OTHER);
    ASSERT_GE(phone, 0);
    ASSERT_GE(other, 0);
    send_to(phone, US, SYSLOG_PORT, "<14>phone one\n");
    send_to(other, US, SYSLOG_PORT, "<14>forged one\n");
    send_to(phone, US, SYSLOG_PORT, "<14>phone two\n");
    send_to(other, US, SYSLOG_PORT, "<14>forged two\n");
    StopAndSaveTo(home + "paired.txt");
    ASSERT_TRUE(WaitForMessage("Save the log success!"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_text(home + "paired.txt"), "<14>phone one\n<14>phone two\n");
    const std::string named =
        "SYSLOG: Dropped datagrams from 127.0.0.4, which is not the paired phone 127.0.0.2; "
        "further ones are only counted.\n";
    const size_t first = out.find(named);
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(named, first + 1), std::string::npos) << "named once";
    EXPECT_NE(out.find("SYSLOG: 2 datagrams not from the phone were dropped.\n"),
              std::string::npos);
    close(phone);
    close(other);
    ctrl_channel_close();
    close(listener);
}

TEST_F(LogService, TheTrayItemStartsAndStops) {
    dlg->OnCommand(ID_LOG_SERVICE);
    ASSERT_EQ(g_syslog.running.load(), 1);
    const auto lines = numbered(4, 64);
    Send(lines);
    view.save_path = home + "tray.txt";
    dlg->OnCommand(ID_LOG_SERVICE);
    ASSERT_TRUE(WaitForMessage("Save the log success!"));
    EXPECT_EQ(read_text(home + "tray.txt"), joined(lines));
}

// Caps the address space just above what the process uses, then starts the
// service; exits 0 when the start failed and left nothing behind. Log lines
// go to standard error, where the death test reads them.
[[noreturn]] void start_without_memory() {
    dup2(STDERR_FILENO, STDOUT_FILENO);
    std::ifstream status("/proc/self/status");
    long vm_kib = 0;
    for (std::string key; status >> key;) {
        if (key == "VmSize:") {
            status >> vm_kib;
            break;
        }
    }
    const rlim_t cap = rlim_t(vm_kib) * 1024 + 2 * 1024 * 1024;
    const rlimit limit{cap, cap};
    if (vm_kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const int started = start_log_service();
    const int fd = udp_bind(SYSLOG_PORT);
    const bool clean = started == -1 && g_syslog.socket == -1 && g_syslog.running == 0 && fd >= 0;
    fflush(stdout);
    _exit(clean ? 0 : 1);
}

// The 8 MiB buffer is taken before the port: with too little memory the
// service reports it and leaves nothing behind. The child is a fresh
// process, so no freed buffer of an earlier test can be reused.
TEST(LogServiceMemoryDeathTest, NoBufferMeansNoService) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers reserve far more address space than the cap leaves.
    GTEST_SKIP() << "a capped address space cannot hold the sanitizer's shadow memory";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(start_without_memory(), testing::ExitedWithCode(0),
                "SYSLOG: No memory for the 8388608-byte log buffer!");
}

}  // namespace
}  // namespace quor::test
