// The USB/IP server with a client whose network breaks without an end of
// stream. Runs in a network namespace of its own: the test takes its
// loopback down and up again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/vbus_usbip_server.h"
#include "soft_dev/attach.h"
#include "soft_dev/descriptors.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

// A client that has imported 1-1: its socket, or -1 when refused.
int import(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t req[40] = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0, '1', '-', '1'};
    uint8_t head[8] = {};
    size_t got = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
        send(fd, req, sizeof(req), MSG_NOSIGNAL) == ssize_t(sizeof(req))) {
        pollfd p{fd, POLLIN, 0};
        while (got < sizeof(head) && poll(&p, 1, 5000) == 1) {
            const ssize_t n = recv(fd, head + got, sizeof(head) - got, 0);
            if (n <= 0) break;
            got += size_t(n);
        }
    }
    const uint8_t ok[8] = {0x01, 0x11, 0x00, 0x03, 0, 0, 0, 0};
    if (got == sizeof(head) && memcmp(head, ok, sizeof(ok)) == 0) return fd;
    close(fd);
    return -1;
}

TEST(UsbipServerNet, ClientWhoseNetworkBrokeIsDroppedAndTheDeviceCanBeImportedAgain) {
    ASSERT_EQ(set_device_identity("T54", 0x1234, 0x5678, 0x0102), 0);
    UsbipServerBus server;
    server.set_dead_peer_ms(2000);
    ASSERT_EQ(server.start(0x7F000001, 0, UsbipAllowList{}), 0);
    std::atomic<bool> dropped{false};
    server.set_unlink_handler([&](uint32_t seqnum) { dropped = dropped || seqnum == 5; });
    ASSERT_EQ(plugin_device(server, 1), 0);

    const int client = import(server.port());
    ASSERT_GE(client, 0);
    Submit interrupt;
    interrupt.seqnum = 5;
    interrupt.ep = 3;
    interrupt.length = 64;
    const Bytes wire = interrupt.wire();
    ASSERT_EQ(send(client, wire.data(), wire.size(), MSG_NOSIGNAL), ssize_t(wire.size()));
    Bytes buf(USBIP_MAX_PDU);
    int n = 0;
    for (int i = 0; i < 50 && n == 0; ++i) n = server.read_request(buf.data(), buf.size(), 100);
    ASSERT_EQ(n, 48);  // taken over, and pending like a real interrupt request

    // The client's network goes silent: no end of stream ever arrives.
    ASSERT_EQ(system("ip link set lo down"), 0);
    for (int i = 0; i < 300 && !dropped; ++i) server.read_request(buf.data(), buf.size(), 100);
    ASSERT_EQ(system("ip link set lo up"), 0);
    EXPECT_TRUE(dropped);

    const int again = import(server.port());
    EXPECT_GE(again, 0);
    close(client);
    if (again >= 0) close(again);
    const uint8_t unplug[UNPLUG_RECORD_SIZE] = {1, 0, 0, 0};
    server.unplug(unplug, sizeof(unplug));
    server.close_device();
}

}  // namespace
}  // namespace quor::test
