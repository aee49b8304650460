// The connector's side of quor-helper against the real helper, started here
// as systemd starts it (the listening socket as descriptor 3) with a
// stand-in vhci_hcd folder and the test's uid authorized.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/helper_client.h"
#include "platform/vbus_vhci.h"
#include "soft_dev/attach.h"
#include "support/fake_firewalld.h"
#include "unit/soft_dev_test_support.h"
#include "unit/temp_dir.h"

namespace quor::test {
namespace {

class HelperProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        dev = tmp.path + "devices/platform/vhci_hcd.0";
        std::filesystem::create_directories(dev);
        write_text(dev + "/attach", "");
        write_text(dev + "/detach", "");
        write_status(2);
    }
    // The status file with ports 0 to USED - 1 in use and the others free,
    // as vhci_hcd shows it.
    void write_status(unsigned used) {
        std::string status = "hub port sta spd dev      sockfd local_busid\n";
        for (unsigned p = 0; p < 8; ++p) {
            char row[80];
            snprintf(row, sizeof(row), "hs  %04u %03u 000 00000000 000000 0-0\n", p,
                     p < used ? 6u : 4u);
            status += row;
        }
        write_text(dev + "/status", status);
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts the helper on a socket made here, authorizing ALLOWED_UID.
    void start(uid_t allowed_uid) {
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", socket_path.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        ASSERT_EQ(listen(fd, 4), 0);
        const std::string uid = std::to_string(allowed_uid);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(fd, 3);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            execl(QUOR_HELPER_PATH, QUOR_HELPER_PATH, "--allow-uid", uid.c_str(), "--vhci-dir",
                  dev.c_str(), nullptr);
            _exit(127);
        }
        close(fd);
    }

    // Waits until FILE holds something.
    std::string wait_text(const std::string& file) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string text = read_text(file);
        while (text.empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
            text = read_text(file);
        }
        return text;
    }

    TempDir tmp;
    std::string dev;
    std::string socket_path = tmp.path + "helper.sock";
    pid_t pid = -1;
};

TEST_F(HelperProcess, BusPlugsInAndOutThroughTheHelperAndClosingUnplugs) {
    start(getuid());
    VhciBus bus(tmp.path.substr(0, tmp.path.size() - 1), socket_path);
    char path[VBUS_PATH_SIZE];
    ASSERT_EQ(bus.find_vbus_device_path(path, sizeof(path)), 0);
    ASSERT_EQ(bus.open_device(path), 0);
    ASSERT_EQ(plugin_device(bus, get_free_port(bus)), 0);
    unsigned port = 99, devid = 0, speed = 0;
    int fd = -1;
    const std::string line = read_text(dev + "/attach");
    ASSERT_EQ(sscanf(line.c_str(), "%u %d %u %u", &port, &fd, &devid, &speed), 4) << line;
    EXPECT_EQ(port, 2u);  // the first free row
    EXPECT_GE(fd, 3);
    EXPECT_EQ(speed, 2u);
    EXPECT_TRUE(bus.stream_alive());
    const uint8_t unplug[UNPLUG_RECORD_SIZE] = {3, 0, 0, 0};
    bus.unplug(unplug, sizeof(unplug));
    EXPECT_EQ(read_text(dev + "/detach"), "2\n");
    EXPECT_FALSE(bus.stream_alive());

    bus.close_device();

    // Plugged in again and never unplugged: closing the bus closes its end
    // of the device's socket too, on which vhci_hcd unplugs the port itself;
    // the helper leaves it alone. It has seen the close once it answered the
    // next connection's request.
    write_text(dev + "/detach", "");
    ASSERT_EQ(bus.open_device(path), 0);
    ASSERT_EQ(plugin_device(bus, 3), 0);
    write_status(3);  // the kernel shows the port in use
    bus.close_device();
    ASSERT_EQ(bus.open_device(path), 0);
    ASSERT_EQ(plugin_device(bus, 4), 0);
    EXPECT_EQ(read_text(dev + "/detach"), "");
}

TEST_F(HelperProcess, RefusedCallerGetsARefusedPluginAndTheReason) {
    start(getuid() + 1);
    VhciBus bus(tmp.path.substr(0, tmp.path.size() - 1), socket_path);
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    LogCapture log;
    EXPECT_EQ(plugin_device(bus, 3), 1);
    EXPECT_NE(log.text().find("refused attach: Operation not permitted"), std::string::npos)
        << log.text();
    EXPECT_EQ(read_text(dev + "/attach"), "");
    EXPECT_FALSE(bus.stream_alive());
}

TEST_F(HelperProcess, LogPortIsBoundByTheHelperOnTheNamedAddress) {
    start(getuid());
    HelperClient client(socket_path);
    int fd = -1;
    ASSERT_EQ(client.bind_udp(INADDR_LOOPBACK, 514, &fd), 0);
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    EXPECT_EQ(ntohs(sa.sin_port), 514);
    EXPECT_EQ(ntohl(sa.sin_addr.s_addr), INADDR_LOOPBACK);
    close(fd);
    // A port the helper does not bind is refused before anything is bound.
    EXPECT_EQ(client.bind_udp(INADDR_LOOPBACK, 515, &fd), EINVAL);
}

// The rules that let the phone at ADDRESS reach UDP 14897, 514 and 18747.
std::set<std::string> phone_rules(const std::string& address) {
    std::set<std::string> rules;
    for (const char* port : {"14897", "514", "18747"})
        rules.insert("rule family=\"ipv4\" source address=\"" + address + "\" port port=\"" + port +
                     "\" protocol=\"udp\" accept");
    return rules;
}

TEST_F(HelperProcess, FirewallLetsInOnePhoneAtRunTimeUntilClosedOrDisconnected) {
    FakeFirewalld firewalld;
    ASSERT_TRUE(firewalld.ok());
    start(getuid());
    HelperClient client(socket_path);
    ASSERT_EQ(client.firewall_open(0xC0A80114), 0);
    EXPECT_EQ(firewalld.RuntimeRules(), phone_rules("192.168.1.20"));
    ASSERT_EQ(client.firewall_close(0xC0A80114), 0);
    EXPECT_EQ(firewalld.RuntimeRules(), std::set<std::string>{});
    EXPECT_EQ(client.firewall_close(0xC0A80114), ENOENT);

    ASSERT_EQ(client.firewall_open(0x0A000005), 0);
    client.disconnect();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!firewalld.RuntimeRules().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(firewalld.RuntimeRules(), std::set<std::string>{});
    // Nothing went to the permanent configuration.
    for (const std::string& call : firewalld.Calls())
        EXPECT_TRUE(call == "addRichRule" || call == "removeRichRule") << call;

    firewalld.Fail("addRichRule");
    EXPECT_NE(client.firewall_open(0xC0A80114), 0);
    EXPECT_EQ(firewalld.RuntimeRules(), std::set<std::string>{});
}

TEST_F(HelperProcess, PairedPhoneReplacesThePhoneLetInBefore) {
    FakeFirewalld firewalld;
    ASSERT_TRUE(firewalld.ok());
    start(getuid());
    setenv("QUOR_HELPER_SOCKET", socket_path.c_str(), 1);
    LogCapture log;
    phone_firewall_open(0xC0A80114);
    EXPECT_EQ(firewalld.RuntimeRules(), phone_rules("192.168.1.20"));
    phone_firewall_open(0xC0A80115);
    EXPECT_EQ(firewalld.RuntimeRules(), phone_rules("192.168.1.21"));
    phone_firewall_close();
    EXPECT_EQ(firewalld.RuntimeRules(), std::set<std::string>{});
    unsetenv("QUOR_HELPER_SOCKET");
}

}  // namespace
}  // namespace quor::test
