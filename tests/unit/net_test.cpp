#include "platform/net.h"

#include <gtest/gtest.h>

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

}  // namespace
