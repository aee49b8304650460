// The host simulator's decoding of the phone's input reports, GRUU
// reassembly included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

// The simulator's sources are built into its program only; the pieces under
// test are compiled into this test directly.
#include "../../tools/host_sim/host_text.cpp"
#include "../../tools/host_sim/lync_input.cpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes vendor(std::initializer_list<uint8_t> head, const std::string& text = "", size_t at = 0) {
    Bytes r(33, 0);
    std::copy(head.begin(), head.end(), r.begin());
    std::copy(text.begin(), text.end(), r.begin() + long(at));
    return r;
}

class Decoder : public ::testing::Test {
  protected:
    std::vector<std::string> Decode(const Bytes& report) {
        return decoder.decode(report.data(), report.size(), &failed);
    }
    // The pieces a device cuts GRUU into.
    static std::vector<Bytes> Pieces(const std::string& gruu) {
        std::vector<Bytes> out;
        out.push_back(vendor({0x04, 0x42, uint8_t(gruu.size()), 0x00}, gruu.substr(0, 29), 4));
        size_t at = std::min<size_t>(29, gruu.size());
        for (; gruu.size() - at >= 31; at += 31)
            out.push_back(vendor({0x04, 0x02}, gruu.substr(at, 31), 2));
        out.push_back(vendor({0x04, 0x82}, gruu.substr(at), 2));
        return out;
    }
    LyncInputDecoder decoder;
    std::vector<std::string> failed;
};

using Lines = std::vector<std::string>;

TEST_F(Decoder, FlagReports) {
    EXPECT_EQ(Decode(vendor({0x04, 0xC2})), Lines{"input signout-request"});
    EXPECT_EQ(Decode({0x01, 0x00, 0x00}), Lines{"input hungup-pre"});
    EXPECT_EQ(Decode({0x01, 0x03, 0x00}), Lines{"input hungup"});
    EXPECT_EQ(Decode(vendor({0x04, 0xC1, 0x02, 0x00})), Lines{"input ack"});
    EXPECT_EQ(Decode(vendor({0x04, 0xC3, 0x04, 0x00, 0x05, 0x40})), Lines{"input signin-failed"});
    EXPECT_EQ(Decode(vendor({0x04, 0xC3, 0x04, 0x00})), Lines{"input signin-request"});
    EXPECT_EQ(Decode({0x01, 0x01, 0x00}), Lines{"input other data=010100"});
    EXPECT_TRUE(Decode({}).empty());
    EXPECT_EQ(decoder.empty_reports(), 1);
    EXPECT_TRUE(failed.empty());
}

TEST_F(Decoder, GruuOfEveryShapeIsReassembled) {
    struct Case {
        size_t len;
        int pieces;
    };
    for (const Case c : {Case{5, 2}, Case{29, 2}, Case{59, 2}, Case{60, 3}, Case{254, 9}}) {
        std::string gruu;
        for (size_t i = 0; i < c.len; ++i) gruu += char('a' + i % 26);
        Lines all;
        for (const Bytes& p : Pieces(gruu))
            for (const std::string& l : Decode(p)) all.push_back(l);
        EXPECT_EQ(all, Lines{"input gruu length=" + std::to_string(c.len) +
                             " pieces=" + std::to_string(c.pieces) + " text=" + gruu});
    }
    EXPECT_TRUE(failed.empty());
}

TEST_F(Decoder, PiecesOutOfPlaceAreReported) {
    EXPECT_TRUE(Decode(vendor({0x04, 0x02}, std::string(31, 'x'), 2)).empty());
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0], "gruu piece 02 without a first piece");
    // Announced 10 bytes, then a middle piece of 31.
    Decode(vendor({0x04, 0x42, 10, 0}, "0123456789", 4));
    Decode(vendor({0x04, 0x02}, std::string(31, 'y'), 2));
    EXPECT_EQ(failed.back(), "gruu middle piece with only 0 bytes left");
    EXPECT_EQ(Decode(vendor({0x04, 0x82})), Lines{"input gruu length=10 pieces=3 text=0123456789"});
    Decode({0x04, 0x42, 3});
    EXPECT_EQ(failed.back(), "gruu piece of 3 bytes, expected 33");
}

}  // namespace
