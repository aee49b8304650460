// The log service's ring buffer, its saving order, and the LOG_ROUTE
// messages on a control connection over an ephemeral loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "link/syslog_service.h"
#include "unit/temp_dir.h"

namespace quor {
namespace {

std::string as_text(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

struct SmallRing {
    std::vector<uint8_t> buf = std::vector<uint8_t>(16, '.');
    size_t pos = 0;
    int fill = SYSLOG_EMPTY;

    void add(const std::string& bytes) {
        fill = syslog_ring_append(buf.data(), buf.size(), &pos, fill,
                                  reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::string saved(const std::string& path) {
        if (write_log_file(path, pos, buf.data(), buf.size(), fill) != 0) return "<failed>";
        return read_text(path);
    }
};

TEST(SyslogRing, AppendsUntilTheEndThenWrapsOldestFirst) {
    TempDir dir;
    SmallRing r;
    r.add("");
    EXPECT_EQ(r.fill, SYSLOG_EMPTY) << "an empty datagram adds nothing";
    r.add("abcde");
    EXPECT_EQ(r.fill, SYSLOG_DATA);
    EXPECT_EQ(r.pos, 5u);
    EXPECT_EQ(r.saved(dir.path + "a.txt"), "abcde");
    r.add("0123456789");
    EXPECT_EQ(r.fill, SYSLOG_DATA);
    EXPECT_EQ(r.pos, 15u);
    // 3 bytes with 1 left: one goes to the end, two to the start.
    r.add("XYZ");
    EXPECT_EQ(r.fill, SYSLOG_WRAPPED);
    EXPECT_EQ(r.pos, 2u);
    EXPECT_EQ(as_text(r.buf.data(), 16), "YZcde0123456789X");
    EXPECT_EQ(r.saved(dir.path + "b.txt"), "cde0123456789XYZ");
}

TEST(SyslogRing, ADatagramThatExactlyReachesTheEndWrapsToTheStart) {
    TempDir dir;
    SmallRing r;
    r.add("0123456789");
    r.add("abcdef");
    EXPECT_EQ(r.fill, SYSLOG_WRAPPED);
    EXPECT_EQ(r.pos, 0u);
    // The whole buffer is the older part; nothing newer follows it, and the
    // save still succeeds.
    EXPECT_EQ(r.saved(dir.path + "exact.txt"), "0123456789abcdef");
    r.add("gh");
    EXPECT_EQ(r.pos, 2u);
    EXPECT_EQ(r.saved(dir.path + "after.txt"), "23456789abcdefgh");
}

TEST(SyslogRing, ADatagramLongerThanTheBufferKeepsItsLastBytes) {
    TempDir dir;
    SmallRing r;
    r.add("abc");
    r.add("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(r.fill, SYSLOG_WRAPPED);
    EXPECT_EQ(r.saved(dir.path + "long.txt"), "KLMNOPQRSTUVWXYZ");
}

TEST(SyslogRing, NineMebibytesKeepTheLastEightInOrder) {
    TempDir dir;
    std::vector<uint8_t> ring(SYSLOG_RING_SIZE);
    size_t pos = 0;
    int fill = SYSLOG_EMPTY;
    // Datagrams of the receiver's largest size, each byte telling its place
    // in the stream.
    constexpr size_t TOTAL = 9 * 1024 * 1024;
    auto stamp = [](size_t at) { return uint8_t(at ^ (at >> 8) ^ (at >> 16)); };
    std::vector<uint8_t> d(SYSLOG_DATAGRAM_MAX);
    for (size_t sent = 0; sent < TOTAL; sent += d.size()) {
        for (size_t i = 0; i < d.size(); ++i) d[i] = stamp(sent + i);
        fill = syslog_ring_append(ring.data(), ring.size(), &pos, fill, d.data(), d.size());
    }
    const std::string path = dir.path + "nine.txt";
    ASSERT_EQ(write_log_file(path, pos, ring.data(), ring.size(), fill), 0);
    const std::string saved = read_text(path);
    ASSERT_EQ(saved.size(), SYSLOG_RING_SIZE);
    const size_t first = TOTAL - SYSLOG_RING_SIZE;
    for (size_t i = 0; i < saved.size(); ++i) {
        if (uint8_t(saved[i]) != stamp(first + i)) FAIL() << "byte " << i;
    }
}

TEST(SyslogRing, NothingIsWrittenWithoutDataOrPathOrAWritableFile) {
    TempDir dir;
    SmallRing r;
    const std::string path = dir.path + "none.txt";
    EXPECT_EQ(write_log_file(path, 0, r.buf.data(), r.buf.size(), SYSLOG_EMPTY), -1);
    EXPECT_EQ(write_log_file(path, 0, r.buf.data(), r.buf.size(), SYSLOG_DATA), -1);
    EXPECT_FALSE(std::filesystem::exists(path));
    r.add("abc");
    EXPECT_EQ(write_log_file("", r.pos, r.buf.data(), r.buf.size(), r.fill), -1);
    EXPECT_EQ(
        write_log_file(dir.path + "no/such/dir.txt", r.pos, r.buf.data(), r.buf.size(), r.fill),
        -1);
    // A full disk is a failure, not a saved log.
    EXPECT_EQ(write_log_file("/dev/full", r.pos, r.buf.data(), r.buf.size(), r.fill), -1);
    // A file that exists is replaced, not appended to.
    write_text(path, "old content that is longer");
    EXPECT_EQ(write_log_file(path, r.pos, r.buf.data(), r.buf.size(), r.fill), 0);
    EXPECT_EQ(read_text(path), "abc");
}

// A control connection over loopback on an ephemeral port, published as the
// channel to the phone; the test reads what the phone would receive.
class LogRoute : public ::testing::Test {
  protected:
    void SetUp() override {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len), 0);
        port = ntohs(sa.sin_port);
    }
    void TearDown() override {
        ctrl_channel_close();
        if (phone >= 0) close(phone);
        close(listener);
    }
    void Connect() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        phone = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(phone, 0);
        ctrl_channel_open(fd, INADDR_LOOPBACK);
    }
    // Whatever the phone received within a short wait.
    std::vector<uint8_t> Received() {
        std::vector<uint8_t> out(64);
        timeval tv{0, 200000};
        setsockopt(phone, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        const ssize_t n = recv(phone, out.data(), out.size(), 0);
        out.resize(n > 0 ? size_t(n) : 0);
        return out;
    }

    int listener = -1;
    int phone = -1;
    uint16_t port = 0;
};

TEST_F(LogRoute, WithoutAConnectionNothingIsSent) {
    ASSERT_EQ(g_ctrl_socket.load(), -1);
    EXPECT_EQ(send_log_to_pc(), -1);
    EXPECT_EQ(send_log_to_phone(), -1);
}

TEST_F(LogRoute, ToThePcCarriesTheConnectionsLocalAddressAndToThePhoneZeros) {
    Connect();
    EXPECT_EQ(send_log_to_pc(), 0);
    EXPECT_EQ(Received(), (std::vector<uint8_t>{LOG_ROUTE, 8, 1, 1, 7, 0, 127, 0, 0, 1}));
    EXPECT_EQ(send_log_to_phone(), 0);
    EXPECT_EQ(Received(), (std::vector<uint8_t>{LOG_ROUTE, 8, 1, 0, 6, 0, 0, 0, 0, 0}));
    ctrl_channel_close();
    EXPECT_EQ(send_log_to_pc(), -1);
    EXPECT_TRUE(Received().empty());
}

}  // namespace
}  // namespace quor
