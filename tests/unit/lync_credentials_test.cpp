// Reassembly of the sign-in texts from report 3 chunks, its bounds, and what
// the phone and the log see of a completed set.
#include "soft_dev/credentials.h"
#include "soft_dev/hid_requests.h"
#include "support/fake_controller.h"
#include "unit/lync_test_support.h"

namespace quor::test {
namespace {

std::string Repeat(const std::string& unit, size_t n) {
    std::string s;
    while (s.size() < n) s += unit;
    return s.substr(0, n);
}

class Assembler : public ::testing::Test {
  protected:
    // Feeds CHUNKS; returns whether the last completed the set.
    bool Feed(const std::vector<Bytes>& chunks) {
        bool done = false;
        for (const Bytes& c : chunks) done = a.take_chunk(c.data());
        return done;
    }
    CredentialAssembler a;
};

TEST_F(Assembler, FirstAndLastChunkMakeOneText) {
    const std::string password = Repeat("0123456789", 40);
    const std::vector<Bytes> chunks = CredentialChunks(password);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0][1], 0x45);
    EXPECT_EQ(chunks[1][1], 0x85);
    EXPECT_FALSE(Feed(chunks));
    EXPECT_EQ(a.count(), 1);
    EXPECT_EQ(std::string(a.slot(0)), password);
}

TEST_F(Assembler, TextsOfEveryChunkShapeArriveWhole) {
    for (size_t n : {1u, 29u, 30u, 60u, 61u, 91u, 199u}) {
        CredentialAssembler fresh;
        const std::string text = Repeat("abcdefghijklmnopq", n);
        for (const Bytes& c : CredentialChunks(text)) fresh.take_chunk(c.data());
        EXPECT_EQ(std::string(fresh.slot(0)), text) << n << " bytes";
    }
}

TEST_F(Assembler, ThirdTextCompletesTheSetAndRestartsTheCount) {
    EXPECT_FALSE(Feed(CredentialChunks("example.org")));
    EXPECT_FALSE(Feed(CredentialChunks("someone")));
    EXPECT_TRUE(Feed(CredentialChunks(Repeat("pw", 40))));
    EXPECT_EQ(a.count(), 0);
    EXPECT_STREQ(a.slot(SLOT_DOMAIN), "example.org");
    EXPECT_STREQ(a.slot(SLOT_USER_NAME), "someone");
    EXPECT_EQ(std::string(a.slot(SLOT_PASSWORD)), Repeat("pw", 40));
    a.wipe_slots();
    EXPECT_STREQ(a.slot(SLOT_PASSWORD), "");
}

TEST_F(Assembler, AnnouncedLengthOver199IsCutWithoutOverrun) {
    LogCapture log;
    const std::string text = Repeat("xyz", 250);
    EXPECT_FALSE(Feed(CredentialChunks(text)));
    EXPECT_EQ(std::string(a.slot(0)), text.substr(0, CREDENTIAL_TEXT_MAX));
    EXPECT_EQ(a.count(), 1);
    EXPECT_NE(log.text().find("HIDDEV: credential text of 250 bytes cut to 199\n"),
              std::string::npos);
}

TEST_F(Assembler, ChunksBeyondTheAnnouncedLengthAreIgnored) {
    LogCapture log;
    std::vector<Bytes> chunks = CredentialChunks(Repeat("k", 40));
    // Ten extra middle chunks of 0xEE before the last one.
    chunks.insert(chunks.begin() + 1, 10, LyncReport(0x05, Bytes(31, 0xEE)));
    EXPECT_FALSE(Feed(chunks));
    EXPECT_EQ(std::string(a.slot(0)).substr(0, 29), Repeat("k", 29));
    EXPECT_EQ(strlen(a.slot(0)), 40u);
    EXPECT_EQ(count_of(log.text(), "beyond the announced 40 bytes ignored"), 9u);
}

TEST_F(Assembler, LastOrMiddleChunkWithoutAFirstIsDropped) {
    LogCapture log;
    EXPECT_FALSE(Feed({LyncReport(0x85, Bytes(31, 'a')), LyncReport(0x05, Bytes(31, 'b'))}));
    EXPECT_EQ(a.count(), 0);
    EXPECT_EQ(count_of(log.text(), "credential chunk without a first chunk dropped"), 2u);
    // A completed text closes the reassembly: a second last chunk is dropped too.
    Feed(CredentialChunks(Repeat("c", 35)));
    EXPECT_FALSE(Feed({LyncReport(0x85, Bytes(31, 'd'))}));
    EXPECT_EQ(a.count(), 1);
}

TEST_F(Assembler, LastChunkOfAShortAnnouncementTakesOnlyWhatWasAnnounced) {
    // First chunk says 10 bytes but carries 29: only 10 count.
    Bytes first = {10, 0};
    for (int i = 0; i < 29; ++i) first.push_back(uint8_t('A' + i));
    Feed({LyncReport(0x45, first), LyncReport(0x85, Bytes(31, 'z'))});
    EXPECT_STREQ(a.slot(0), "ABCDEFGHIJ");
}

TEST_F(Assembler, OnlyChunkNeverReadsPastItsTwentyNineBytes) {
    LogCapture log;
    Bytes rest = {200, 0};
    for (int i = 0; i < 29; ++i) rest.push_back(uint8_t('a' + i % 26));
    Feed({LyncReport(0xC5, rest)});
    EXPECT_EQ(strlen(a.slot(0)), 29u);
    EXPECT_NE(log.text().find("only chunk announces 200 bytes and carries 29"), std::string::npos);
}

TEST_F(Assembler, NewFirstChunkAbandonsAnUnfinishedText) {
    LogCapture log;
    Feed({CredentialChunks(Repeat("a", 50))[0]});
    Feed(CredentialChunks(Repeat("b", 50)));
    EXPECT_EQ(std::string(a.slot(0)), Repeat("b", 50));
    EXPECT_EQ(a.count(), 1);
    EXPECT_NE(log.text().find("unfinished credential text dropped"), std::string::npos);
}

// The whole path through the HID handler.
class CredentialRequests : public ::testing::Test {
  protected:
    void Send(const Bytes& report) {
        const Bytes req = SetReport(3, report);
        EXPECT_EQ(process_hid_class_specific_requests(controller, bus, req.data(), req.size()), 0);
    }
    void SendText(const std::string& text) {
        for (const Bytes& c : CredentialChunks(text)) Send(c);
    }
    FakeController controller;
    FakeBus bus;
    PhoneEnd phone;
};

TEST_F(CredentialRequests, CompletedSetGoesOutAsDomainUserNamePasswordAndTheLogHidesThePassword) {
    const std::string password = "S3cret-pass-phrase-that-crosses-chunks";
    ASSERT_GT(password.size(), 29u);
    LogCapture log;
    SendText("corp.example");
    SendText("alice");
    EXPECT_TRUE(phone.Frames().empty());
    SendText(password);
    EXPECT_EQ(phone.Frames(), (std::vector<std::string>{TextFrame(DOMAIN, "corp.example"),
                                                        TextFrame(USER_NAME, "alice"),
                                                        TextFrame(PASSWORD, password)}));
    const std::string text = log.text();
    EXPECT_EQ(text.find("S3cret"), std::string::npos);
    EXPECT_NE(text.find("HIDDEV: Domain corp.example \n"), std::string::npos);
    EXPECT_NE(text.find("HIDDEV: UserName alice \n"), std::string::npos);
    EXPECT_NE(text.find("HIDDEV: Password ******** \n"), std::string::npos);
    // Every chunk was acknowledged with the 33-byte block after an echoing header.
    ASSERT_EQ(bus.replies.size(), 1u + 1u + 2u);
    for (const Bytes& r : bus.replies) {
        ASSERT_EQ(r.size(), 81u);
        EXPECT_EQ(pdu_word(r.data(), USBIP_LENGTH), 33u);
        EXPECT_EQ(pdu_word(r.data(), USBIP_EP), 0u);
        EXPECT_EQ(Bytes(r.begin() + 48, r.begin() + 52), (Bytes{0x04, 0xC1, 0x02, 0x00}));
        EXPECT_EQ(Bytes(r.begin() + 52, r.end()), Bytes(29, 0));
    }
}

TEST_F(CredentialRequests, NamesFromTheHostCannotForgeALogLine) {
    LogCapture log;
    SendText("corp\r\nQuor ERR: forged");
    SendText("alice\nHIDDEV: Password hunter2 ");
    SendText("pw");
    const std::string text = log.text();
    EXPECT_NE(text.find("HIDDEV: Domain corp\\x0d\\x0aQuor ERR: forged \n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("HIDDEV: UserName alice\\x0aHIDDEV: Password hunter2  \n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\nQuor ERR: forged"), std::string::npos);
    EXPECT_EQ(text.find("\nHIDDEV: Password hunter2"), std::string::npos);
    // The phone gets the texts as Lync wrote them.
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], TextFrame(USER_NAME, "alice\nHIDDEV: Password hunter2 "));
}

TEST_F(CredentialRequests, ShortReportIsReadAsZeroPaddedAndLogged) {
    LogCapture log;
    const Bytes req = SetReport(3, {3, 0xC5, 2, 0, 'o', 'k'});
    EXPECT_EQ(process_hid_class_specific_requests(controller, bus, req.data(), req.size()), 0);
    EXPECT_NE(log.text().find("HIDDEV: report 0x03 carries 6 of its 33 bytes\n"),
              std::string::npos);
    SendText("u");
    SendText("p");
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], TextFrame(DOMAIN, "ok"));
}

}  // namespace
}  // namespace quor::test
