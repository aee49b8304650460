#include "platform/net.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(DottedAddress, FourDecimalPartsInHostOrderAndNothingElse) {
    uint32_t addr = 0;
    ASSERT_EQ(quor::ipv4_from_dotted("192.168.1.20", &addr), 0);
    EXPECT_EQ(addr, 0xC0A80114u);
    ASSERT_EQ(quor::ipv4_from_dotted("10.0.0.255", &addr), 0);
    EXPECT_EQ(addr, 0x0A0000FFu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "0x1.2.3.4", "1.2.3.4 ",
                            " 1.2.3.4", "1..2.3", "a.b.c.d", "-1.2.3.4", "-"}) {
        addr = 77;
        EXPECT_EQ(quor::ipv4_from_dotted(bad, &addr), -1) << bad;
        EXPECT_EQ(addr, 77u) << bad;
    }
}

// A receive that waits on a socket ends, with nothing received, once another
// thread wakes the socket; the socket stays open for its owner to close.
TEST(WakeSocket, EndsAWaitingDatagramReceive) {
    ASSERT_EQ(quor::net_startup(), 0);
    const int fd = quor::udp_bind_at(0x7F000001, 0);
    ASSERT_GE(fd, 0);
    ssize_t got = -2;
    std::thread receiver([&] {
        uint8_t buf[16];
        got = quor::udp_receive(fd, buf, sizeof(buf), true, nullptr);
    });
    quor::wake_socket(fd);
    receiver.join();
    EXPECT_EQ(got, 0);
    uint32_t addr = 0;
    EXPECT_EQ(quor::local_ipv4(fd, &addr), 0);
    EXPECT_EQ(addr, 0x7F000001u);
    quor::close_socket(fd);
}

}  // namespace
