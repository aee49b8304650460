// The backlog of the phone's payloads: order, its bound, and how it brings
// the delay back down after a burst without touching a steady stream.
#include "media/frame_backlog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quor::test {
namespace {

std::vector<uint8_t> payload(uint8_t n) {
    return std::vector<uint8_t>(FrameBacklog::PAYLOAD_BYTES, n);
}

// The number of the payload taken, or -1 when none waited.
int take(FrameBacklog& b) {
    uint8_t out[FrameBacklog::PAYLOAD_BYTES];
    return b.take(out) ? out[0] : -1;
}

TEST(FrameBacklog, GivesPayloadsInOrderAndKeepsTheNewestWhenFull) {
    FrameBacklog b;
    EXPECT_EQ(take(b), -1);
    for (uint8_t n = 1; n <= 8; ++n) b.push(payload(n).data());
    EXPECT_EQ(b.size(), FrameBacklog::CAPACITY);
    for (int n = 3; n <= 8; ++n) EXPECT_EQ(take(b), n);
    EXPECT_EQ(take(b), -1);
    EXPECT_EQ(b.trimmed(), 2u);
}

TEST(FrameBacklog, ASteadyStreamIsNeverTrimmed) {
    FrameBacklog b;
    for (int i = 0; i < 1000; ++i) {
        b.push(payload(uint8_t(i)).data());
        ASSERT_EQ(take(b), i % 256);
    }
    EXPECT_EQ(b.trimmed(), 0u);
}

TEST(FrameBacklog, ABurstsDelayShrinksByOneFrameAWindow) {
    FrameBacklog b;
    uint8_t next = 0;
    for (int i = 0; i < 4; ++i) b.push(payload(next++).data());
    std::vector<int> taken;
    for (uint32_t i = 0; i < 10 * FrameBacklog::WINDOW; ++i) {
        b.push(payload(next++).data());
        taken.push_back(take(b));
    }
    // Four extra frames waited; one goes at the end of each of the first
    // three windows, then one spare waits beside the fresh one and nothing
    // more is lost.
    EXPECT_EQ(b.trimmed(), 3u);
    EXPECT_EQ(b.size(), 1u);
    int skipped = 0;
    for (size_t i = 1; i < taken.size(); ++i) skipped += (taken[i] - taken[i - 1] + 256) % 256 - 1;
    EXPECT_EQ(skipped, 3);
}

TEST(FrameBacklog, TheSpareLeftByALatePacketCoversTheNextOnes) {
    // A steady stream in which now and then one packet comes 10 ms late,
    // together with the next. The first costs one repeated frame; the frame
    // that then waits spare is kept, so the later ones cost nothing, and
    // nothing is ever skipped.
    FrameBacklog b;
    uint8_t next = 0;
    int missing = 0;
    std::vector<int> taken;
    for (uint32_t i = 0; i < 10 * FrameBacklog::WINDOW; ++i) {
        if (i % 250 == 40) {
            // late: nothing now, two at the next take
        } else if (i % 250 == 41) {
            for (int k = 0; k < 2; ++k) b.push(payload(next++).data());
        } else {
            b.push(payload(next++).data());
        }
        const int t = take(b);
        if (t < 0) {
            ++missing;
        } else {
            taken.push_back(t);
        }
    }
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(b.trimmed(), 0u);
    for (size_t i = 1; i < taken.size(); ++i)
        ASSERT_EQ((taken[i] - taken[i - 1] + 256) % 256, 1) << i;
}

TEST(FrameBacklog, ABacklogThatAbsorbsJitterIsKept) {
    // Two frames wait beyond the fresh one, but once a window the phone is
    // 20 ms late and then sends three at once: the backlog is what covers
    // that gap, so nothing may be dropped.
    FrameBacklog b;
    uint8_t next = 0;
    for (int i = 0; i < 2; ++i) b.push(payload(next++).data());
    std::vector<int> taken;
    for (uint32_t i = 0; i < 10 * FrameBacklog::WINDOW; ++i) {
        const uint32_t phase = i % FrameBacklog::WINDOW;
        if (phase == 52) {
            for (int k = 0; k < 3; ++k) b.push(payload(next++).data());
        } else if (phase < 50 || phase > 52) {
            b.push(payload(next++).data());
        }
        taken.push_back(take(b));
    }
    EXPECT_EQ(b.trimmed(), 0u);
    for (size_t i = 1; i < taken.size(); ++i)
        ASSERT_EQ((taken[i] - taken[i - 1] + 256) % 256, 1) << i;
}

TEST(FrameBacklog, ClearEmptiesAndStartAlsoResetsTheCount) {
    FrameBacklog b;
    for (uint8_t n = 0; n < 8; ++n) b.push(payload(n).data());
    b.clear();
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.trimmed(), 2u);
    b.start();
    EXPECT_EQ(b.trimmed(), 0u);
}

}  // namespace
}  // namespace quor::test
