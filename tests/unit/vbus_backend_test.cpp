// The two bus back ends' driver operations: vhci_hcd through a stand-in
// sysfs folder, and a user-space host on a Unix or loopback TCP socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "platform/vbus_socket.h"
#include "platform/vbus_vhci.h"
#include "soft_dev/attach.h"
#include "unit/soft_dev_test_support.h"
#include "unit/temp_dir.h"

namespace quor::test {
namespace {

constexpr char STATUS_HEADER[] = "hub port sta spd dev      sockfd local_busid\n";

std::string status_row(const char* hub, unsigned port, unsigned sta) {
    char row[80];
    snprintf(row, sizeof(row), "%s  %04u %03u 000 00000000 000000 0-0\n", hub, port, sta);
    return row;
}

class Vhci : public ::testing::Test {
  protected:
    void SetUp() override {
        dev = tmp.path + "devices/platform/vhci_hcd.0";
        std::filesystem::create_directories(dev);
        write_text(dev + "/attach", "");
        write_text(dev + "/detach", "");
        std::string status = STATUS_HEADER;
        for (unsigned p = 0; p < 15; ++p) status += status_row("hs", p, p < 2 ? 6 : 4);
        for (unsigned p = 15; p < 30; ++p) status += status_row("ss", p, 4);
        write_text(dev + "/status", status);
    }
    TempDir tmp;
    std::string dev;
    VhciBus bus{tmp.path.substr(0, tmp.path.size() - 1)};
};

TEST_F(Vhci, FindsTheControllerFolder) {
    char path[VBUS_PATH_SIZE];
    ASSERT_EQ(bus.find_vbus_device_path(path, sizeof(path)), 0);
    EXPECT_EQ(std::string(path), dev);
    EXPECT_EQ(bus.open_device(path), 0);
}

TEST_F(Vhci, MissingControllerIsReportedAsAnUnregisteredInterface) {
    VhciBus absent(tmp.path + "nothing");
    LogCapture log;
    char path[VBUS_PATH_SIZE];
    EXPECT_EQ(absent.find_vbus_device_path(path, sizeof(path)), -1);
    EXPECT_EQ(log.text(), "Quor ERR: usbvbus interface is not registered\n");
}

TEST_F(Vhci, PathThatDoesNotFitIsRefused) {
    LogCapture log;
    char path[8];
    EXPECT_EQ(bus.find_vbus_device_path(path, sizeof(path)), -1);
}

TEST_F(Vhci, FreeUsb2PortsOnlyAndDecimalPortNumbers) {
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    uint8_t table[PORT_STATUS_SIZE];
    ASSERT_EQ(bus.port_status(table, sizeof(table)), 128);
    EXPECT_EQ(table[1], 1);  // port 0 in use
    EXPECT_EQ(table[2], 1);  // port 1 in use
    for (int i = 3; i <= 15; ++i) EXPECT_EQ(table[i], 0) << i;
    for (int i = 16; i < 128; ++i) EXPECT_EQ(table[i], 1) << i;  // SuperSpeed or absent
    EXPECT_EQ(get_free_port(bus), 3);
}

TEST_F(Vhci, FurtherControllersStatusFilesAddTheirPorts) {
    std::string status = STATUS_HEADER;
    for (unsigned p = 0; p < 15; ++p) status += status_row("hs", p, 6);
    write_text(dev + "/status", status);
    write_text(dev + "/status.1", std::string(STATUS_HEADER) + status_row("hs", 30, 6) +
                                      status_row("hs", 31, 4) + status_row("ss", 45, 4));
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    EXPECT_EQ(get_free_port(bus), 32);
}

TEST_F(Vhci, NoFreePortAndUnreadableStatus) {
    std::string status = STATUS_HEADER;
    for (unsigned p = 0; p < 15; ++p) status += status_row("hs", p, 6);
    write_text(dev + "/status", status);
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    EXPECT_EQ(get_free_port(bus), -1);
    std::filesystem::remove(dev + "/status");
    LogCapture log;
    uint8_t table[PORT_STATUS_SIZE];
    EXPECT_EQ(bus.port_status(table, sizeof(table)), -1);
}

TEST_F(Vhci, PluginWritesPortSocketDevidAndFullSpeedThenDetachTakesThePort) {
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    EXPECT_EQ(plugin_device(bus, 3), 0);
    unsigned port = 99, speed = 0, devid = 0;
    int fd = -1;
    const std::string line = read_text(dev + "/attach");
    ASSERT_EQ(sscanf(line.c_str(), "%u %d %u %u", &port, &fd, &devid, &speed), 4) << line;
    EXPECT_EQ(port, 2u);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(speed, 2u);
    EXPECT_TRUE(bus.stream_alive());
    const uint8_t unplug[UNPLUG_RECORD_SIZE] = {3, 0, 0, 0};
    bus.unplug(unplug, sizeof(unplug));
    EXPECT_EQ(read_text(dev + "/detach"), "2");
    EXPECT_FALSE(bus.stream_alive());
}

TEST_F(Vhci, RefusedAttachIsARefusedPlugin) {
    ASSERT_EQ(bus.open_device(dev.c_str()), 0);
    std::filesystem::remove(dev + "/attach");
    mkdir((dev + "/attach").c_str(), 0700);  // writing fails
    LogCapture log;
    EXPECT_EQ(plugin_device(bus, 3), 1);
    EXPECT_NE(log.text().find("Quor ERR: vhci_hcd refused attach \"2 "), std::string::npos);
    EXPECT_FALSE(bus.stream_alive());
}

// A user-space host listening on a Unix socket.
class Host : public ::testing::Test {
  protected:
    void listen_unix() {
        address = "unix:" + tmp.path + "host.sock";
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof(sa.sun_path), "%shost.sock", tmp.path.c_str());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        ASSERT_EQ(listen(listener, 1), 0);
    }
    void listen_tcp() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
        socklen_t len = sizeof(sa);
        getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
        ASSERT_EQ(listen(listener, 1), 0);
        address = "tcp:127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    }
    int accept_device() {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return -1;
        return accept(listener, nullptr, nullptr);
    }
    // Plugs BUS in and checks that a request travels over the connection.
    void plug_and_exchange(SocketBus& bus) {
        char path[VBUS_PATH_SIZE];
        ASSERT_EQ(bus.find_vbus_device_path(path, sizeof(path)), 0);
        EXPECT_EQ(std::string(path), address);
        ASSERT_EQ(bus.open_device(path), 0);
        const int port = get_free_port(bus);
        ASSERT_EQ(port, 1);
        ASSERT_EQ(plugin_device(bus, port), 0);
        const int conn = accept_device();
        ASSERT_GE(conn, 0);
        EXPECT_EQ(get_free_port(bus), -1);  // the one port is taken now
        const Bytes req = control(1, 0x80, 6, 0x0100, 0, 64).wire();
        ASSERT_EQ(send(conn, req.data(), req.size(), 0), ssize_t(req.size()));
        Bytes buf(USBIP_MAX_PDU);
        EXPECT_EQ(bus.read_request(buf.data(), buf.size(), 2000), 48);
        const uint8_t unplug[UNPLUG_RECORD_SIZE] = {1, 0, 0, 0};
        bus.unplug(unplug, sizeof(unplug));
        uint8_t c;
        pollfd p{conn, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 2000), 1);
        EXPECT_EQ(recv(conn, &c, 1, 0), 0);  // the host sees the device go
        close(conn);
        bus.close_device();
    }
    void TearDown() override {
        if (listener >= 0) close(listener);
    }
    TempDir tmp;
    std::string address;
    int listener = -1;
};

TEST_F(Host, UnixSocketHost) {
    listen_unix();
    SocketBus bus(address);
    plug_and_exchange(bus);
}

TEST_F(Host, LoopbackTcpHost) {
    listen_tcp();
    SocketBus bus(address);
    plug_and_exchange(bus);
}

TEST_F(Host, UnreachableHostRefusesThePlugin) {
    SocketBus bus("unix:" + tmp.path + "nobody.sock");
    char path[VBUS_PATH_SIZE];
    ASSERT_EQ(bus.find_vbus_device_path(path, sizeof(path)), 0);
    ASSERT_EQ(bus.open_device(path), 0);
    LogCapture log;
    EXPECT_EQ(plugin_device(bus, 1), 1);
    EXPECT_NE(log.text().find("Quor ERR: USB host at unix:"), std::string::npos);
}

TEST_F(Host, AddressesThatAreNotUnixOrNumericTcpAreRefused) {
    for (const char* bad :
         {"", "unix:", "tcp:localhost:3240", "tcp:127.0.0.1", "tcp:127.0.0.1:0",
          "tcp:127.0.0.1:70000", "tcp:127.0.0.1:12x", "udp:127.0.0.1:3240", "/run/host.sock"}) {
        SocketBus bus(bad);
        LogCapture log;
        char path[VBUS_PATH_SIZE];
        EXPECT_EQ(bus.find_vbus_device_path(path, sizeof(path)), -1) << bad;
        EXPECT_NE(log.text().find("Quor ERR: usbvbus interface is not registered"),
                  std::string::npos);
    }
}

TEST_F(Host, FactoryFollowsQuorVbus) {
    setenv("QUOR_VBUS", "unix:/tmp/x.sock", 1);
    char path[VBUS_PATH_SIZE];
    EXPECT_EQ(make_virtual_bus()->find_vbus_device_path(path, sizeof(path)), 0);
    EXPECT_EQ(std::string(path), "unix:/tmp/x.sock");
    unsetenv("QUOR_VBUS");
    EXPECT_NE(dynamic_cast<VhciBus*>(make_virtual_bus().get()), nullptr);
}

}  // namespace
}  // namespace quor::test
