// quor-phone-sim's faults: the datagrams its RTP sender adds on command, and
// the options that make it drop the link inside the identity or answer a
// media offer twice.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "sim_options.h"
#include "sim_rtp_fault.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes packet_of(size_t len, uint8_t first) {
    Bytes p(len);
    std::iota(p.begin(), p.end(), first);
    return p;
}

TEST(PhoneSimRtpFault, NamesParseBackAndOthersAreRefused) {
    for (RtpFault f : {RtpFault::GARBAGE, RtpFault::REPLAY, RtpFault::TRUNCATE}) {
        RtpFault parsed = RtpFault::GARBAGE;
        ASSERT_TRUE(parse_rtp_fault(rtp_fault_name(f), &parsed));
        EXPECT_EQ(parsed, f);
    }
    RtpFault unused;
    for (const char* bad : {"", "Garbage", "replays", "drop"})
        EXPECT_FALSE(parse_rtp_fault(bad, &unused)) << bad;
}

TEST(PhoneSimRtpFault, UnarmedPacketsGoOutAlone) {
    RtpFaultInjector faults;
    const Bytes p = packet_of(342, 0);
    const auto out = faults.shape(p.data(), p.size());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, p);
    EXPECT_FALSE(out[0].faulty);
    EXPECT_EQ(faults.injected(), 0u);
}

TEST(PhoneSimRtpFault, EachKindAddsOneBadDatagramToTheArmedNumberOfPackets) {
    RtpFaultInjector faults;
    faults.arm(RtpFault::GARBAGE, 2);
    Bytes previous_noise;
    for (int i = 0; i < 2; ++i) {
        const Bytes p = packet_of(342, uint8_t(i));
        const auto out = faults.shape(p.data(), p.size());
        ASSERT_EQ(out.size(), 2u);
        // The noise comes first, as long as the packet and unlike it, and
        // changes from packet to packet; the real packet follows unchanged.
        EXPECT_TRUE(out[0].faulty);
        EXPECT_EQ(out[0].bytes.size(), p.size());
        EXPECT_NE(out[0].bytes, p);
        EXPECT_NE(out[0].bytes, previous_noise);
        previous_noise = out[0].bytes;
        EXPECT_EQ(out[1].bytes, p);
        EXPECT_FALSE(out[1].faulty);
    }
    RtpFault spent = RtpFault::REPLAY;
    ASSERT_TRUE(faults.take_spent(&spent));
    EXPECT_EQ(spent, RtpFault::GARBAGE);
    EXPECT_FALSE(faults.take_spent(&spent));
    const Bytes after = packet_of(342, 9);
    EXPECT_EQ(faults.shape(after.data(), after.size()).size(), 1u);
    EXPECT_FALSE(faults.take_spent(&spent));

    faults.arm(RtpFault::REPLAY, 1);
    const Bytes p = packet_of(342, 3);
    const auto replayed = faults.shape(p.data(), p.size());
    ASSERT_EQ(replayed.size(), 2u);
    EXPECT_FALSE(replayed[0].faulty);
    EXPECT_TRUE(replayed[1].faulty);
    EXPECT_EQ(replayed[0].bytes, p);
    EXPECT_EQ(replayed[1].bytes, p);
    EXPECT_EQ(faults.injected(), 3u);
}

TEST(PhoneSimRtpFault, TruncatedCopiesTakeEachCutInTurnAndStayShorterThanThePacket) {
    RtpFaultInjector faults;
    faults.arm(RtpFault::TRUNCATE, 6);
    const Bytes p = packet_of(342, 7);
    std::vector<size_t> cuts;
    for (int i = 0; i < 6; ++i) {
        const auto out = faults.shape(p.data(), p.size());
        ASSERT_EQ(out.size(), 2u);
        ASSERT_TRUE(out[0].faulty);
        EXPECT_EQ(Bytes(p.begin(), p.begin() + long(out[0].bytes.size())), out[0].bytes);
        EXPECT_EQ(out[1].bytes, p);
        cuts.push_back(out[0].bytes.size());
    }
    EXPECT_EQ(cuts, (std::vector<size_t>{1, 11, 12, 171, 341, 1}));
    // A packet too short to cut stays whole and spends nothing.
    faults.arm(RtpFault::TRUNCATE, 1);
    const Bytes tiny = {0x80};
    EXPECT_EQ(faults.shape(tiny.data(), tiny.size()).size(), 1u);
    // The next cut in turn (11 bytes) still leaves a 12-byte packet short.
    const Bytes twelve = packet_of(12, 0);
    const auto out = faults.shape(twelve.data(), twelve.size());
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].bytes.size(), 11u);
    faults.arm(RtpFault::TRUNCATE, 1);
    const Bytes two = packet_of(2, 0);
    const auto cut = faults.shape(two.data(), two.size());
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].bytes.size(), 1u);
}

TEST(PhoneSimRtpFault, AResetStartsTheCountAndKeepsWhatIsStillArmed) {
    RtpFaultInjector faults;
    faults.arm(RtpFault::REPLAY, 3);
    const Bytes p = packet_of(40, 0);
    faults.shape(p.data(), p.size());
    faults.reset();
    EXPECT_EQ(faults.injected(), 0u);
    EXPECT_EQ(faults.shape(p.data(), p.size()).size(), 2u);
    EXPECT_EQ(faults.shape(p.data(), p.size()).size(), 2u);
    EXPECT_EQ(faults.shape(p.data(), p.size()).size(), 1u);
    EXPECT_EQ(faults.injected(), 2u);
}

int parse(std::vector<std::string> args, SimOptions* opt) {
    args.insert(args.begin(), "quor-phone-sim");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return parse_sim_options(int(argv.size()), argv.data(), opt);
}

TEST(PhoneSimFaultOptions, DropInIdentityTakesZeroToFourAndAnswerTwiceIsAFlag) {
    SimOptions plain;
    ASSERT_EQ(parse({}, &plain), 0);
    EXPECT_EQ(plain.identity_drop_after, -1);
    EXPECT_FALSE(plain.answer_media_twice);
    for (int n = 0; n <= SIM_IDENTITY_FRAMES; ++n) {
        SimOptions o;
        ASSERT_EQ(parse({"--drop-in-identity", std::to_string(n), "--answer-media-twice"}, &o), 0);
        EXPECT_EQ(o.identity_drop_after, n);
        EXPECT_TRUE(o.answer_media_twice);
    }
    for (const char* bad : {"5", "-1", "1.5", "two", ""}) {
        SimOptions o;
        EXPECT_EQ(parse({"--drop-in-identity", bad}, &o), -1) << bad;
    }
    SimOptions o;
    EXPECT_EQ(parse({"--drop-in-identity", "2", "--no-identity"}, &o), -1);
}

}  // namespace
