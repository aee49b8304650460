// Lync's requests to the HID interface other than the credentials: feature
// reports, the report descriptor, presence, polling, the call dialog, the
// display name and reference texts, and the GBK log lines.
#include "soft_dev/call_texts.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/gbk_log.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/lync_state.h"
#include "support/controller_fixture.h"
#include "unit/lync_test_support.h"

namespace quor::test {
namespace {

// UTF-16LE bytes of an ASCII or UTF-8 text.
Bytes Utf16(const std::u16string& text) {
    Bytes b;
    for (char16_t c : text) {
        b.push_back(uint8_t(c));
        b.push_back(uint8_t(c >> 8));
    }
    return b;
}

class HidRequests : public ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        ShellHooks hooks = RecordingHooks();
        hooks.close_hid_send_window = close_hid_send_window;
        Start(std::move(hooks));
        g_lync.lync_status_word = 0;
        g_lync.dialog_active = 0;
        g_lync.srtp_stream_active = 0;
        g_lync.invite_on_dialog = 0;
        g_lync.hid_send_window = 0;
        g_lync.ack_report_pending = 0;
        g_lync.gruu_pending = 0;
        release_gruu();
        g_lync.text_target_is_name = 0;
        g_lync.sel12_capture_pending = 0;
    }
    int Handle(const Bytes& req) {
        return process_hid_class_specific_requests(*dlg, bus, req.data(), req.size());
    }
    int Request(uint8_t type, uint8_t request, uint16_t value, uint16_t length) {
        return Handle(Converted(control(9, type, request, value, 3, length)));
    }
    void Status(uint8_t a, uint8_t b) { EXPECT_EQ(Handle(SetReport(0x16, {0x16, a, b})), 0); }
    void Dialog(uint8_t on) { EXPECT_EQ(Handle(SetReport(6, {6, on})), 0); }
    void Select(uint8_t selector) { EXPECT_EQ(Handle(SetReport(0x14, {0x14, selector, 0x80})), 0); }
    // Sends TEXT in 0x15 pieces of 16 text bytes.
    void Text(const Bytes& text) {
        for (size_t at = 0; at < text.size() || at == 0; at += 16) {
            const size_t n = std::min<size_t>(16, text.size() - at);
            Bytes piece = {0x15, uint8_t(at + n >= text.size() ? 0x80 : 0)};
            piece.insert(piece.end(), text.begin() + long(at), text.begin() + long(at + n));
            EXPECT_EQ(Handle(SetReport(0x15, piece)), 0);
            if (at + n >= text.size()) break;
        }
    }
    void SignIn() { dlg->SetState(STATE_PAIRED_SIGNED_IN); }
    Bytes ReplyData(size_t i) const {
        return Bytes(bus.replies[i].begin() + 48, bus.replies[i].end());
    }

    FakeBus bus;
    PhoneEnd phone;
};

TEST_F(HidRequests, FeatureReportsAndDescriptorAreFixedWhateverWLengthAsks) {
    EXPECT_EQ(Request(0xA1, 0x01, 0x0311, 2), 0);
    EXPECT_EQ(Request(0xA1, 0x01, 0x0312, 255), 0);
    {
        LogCapture log;
        EXPECT_EQ(Request(0x81, 0x06, 0x2200, 64), 0);
        EXPECT_EQ(log.text(), "HIDDEV: Paired..\n");
    }
    ASSERT_EQ(bus.replies.size(), 3u);
    EXPECT_EQ(ReplyData(0), (Bytes{0x11, 0x5E, 0x04, 0x02, 0x00}));
    EXPECT_EQ(ReplyData(1), (Bytes{0x12, 0x02, 0x48, 0x20, 0x08}));
    EXPECT_EQ(ReplyData(2), Bytes(HID_REPORT_DESCRIPTOR, HID_REPORT_DESCRIPTOR + 457));
    EXPECT_EQ(pdu_word(bus.replies[2].data(), USBIP_LENGTH), 457u);
    EXPECT_EQ(pdu_word(bus.replies[0].data(), USBIP_COMMAND), USBIP_RET_SUBMIT);
    EXPECT_EQ(pdu_word(bus.replies[0].data(), USBIP_SEQNUM), 9u);
}

TEST_F(HidRequests, UnservedRequestsAreLoggedAndLeftUnanswered) {
    LogCapture log;
    EXPECT_EQ(Request(0xA1, 0x01, 0x0305, 33), -1);
    EXPECT_EQ(Request(0x81, 0x06, 0x2100, 9), -1);
    EXPECT_EQ(Request(0x81, 0x06, 0x2300, 9), -1);
    EXPECT_EQ(Request(0x81, 0x06, 0x0100, 9), -1);
    EXPECT_EQ(Handle(SetReport(5, {5, 1})), -1);
    EXPECT_TRUE(bus.replies.empty());
    EXPECT_EQ(log.text(),
              "HIDDEV: GET_REPORT of report 0x05 not served\n"
              "HIDDEV: HID Descriptor\nHIDDEV: HID Physical Descriptor\n"
              "HIDDEV: Unsupported Descriptor\n"
              "HIDDEV: What's precdata[2] 5!\n"
              "HIDDEV: YET TO HANDLE THIS CLASS !!!!!!!!!!!!!!!!!!!!!\n");
}

TEST_F(HidRequests, SetIdleAndOtherRequestsGetAnEmptySuccess) {
    EXPECT_EQ(Request(0x21, 0x0A, 0, 0), 0);
    EXPECT_EQ(Request(0x21, 0x0B, 0, 0), 0);
    ASSERT_EQ(bus.replies.size(), 2u);
    EXPECT_EQ(bus.replies[0].size(), 48u);
    EXPECT_EQ(pdu_word(bus.replies[1].data(), USBIP_LENGTH), 0u);
}

TEST_F(HidRequests, OutputReportsAreAcknowledgedWithFeatureReport0x12) {
    EXPECT_EQ(Handle(SetReport(0x13, {0x13, 0})), 0);
    Status(1, 0);
    ASSERT_EQ(bus.replies.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(bus.replies[i].size(), 53u);
        EXPECT_EQ(ReplyData(i), (Bytes{0x12, 0x02, 0x48, 0x20, 0x08}));
        EXPECT_EQ(pdu_word(bus.replies[i].data(), USBIP_DIRECTION), 0u);
    }
}

TEST_F(HidRequests, PresenceSendsOnlineOnceThenLogout) {
    LogCapture log;
    Status(0, 0);  // the stored word is already zero
    Status(0x01, 0x00);
    Status(0x02, 0x01);  // one non-zero word to another
    Status(0x00, 0x00);
    Status(0x00, 0x00);
    EXPECT_EQ(phone.Types(), (std::vector<int>{LYNC_ONLINE, LYNC_LOGOUT}));
    EXPECT_EQ(log.text(), "HIDDEV: Lync Online\nHIDDEV: Lync Logout\n");
}

TEST_F(HidRequests, PollOpensTheSendWindowForFiveSecondsAfterTheLast) {
    EXPECT_EQ(Handle(SetReport(3, LyncReport(1))), 0);
    EXPECT_EQ(g_lync.hid_send_window, 1);
    EXPECT_EQ(g_lync.ack_report_pending, 1);
    Advance(4000);
    EXPECT_EQ(Handle(SetReport(3, LyncReport(1))), 0);  // re-arms the timer
    Advance(4000);
    EXPECT_EQ(g_lync.hid_send_window, 1);
    {
        LogCapture log;
        Advance(1100);
        EXPECT_EQ(log.text(), "HIDDEV: Lync HT time out, We don't need send now.\n");
    }
    EXPECT_EQ(g_lync.hid_send_window, 0);
    EXPECT_FALSE(loop.timer_running(TIMER_HT));
}

TEST_F(HidRequests, PollDuringAGruuTransferAsksForNoAcknowledge) {
    ASSERT_EQ(set_gruu("sip:alice@example.org;gr=urn:uuid:1"), 0);
    EXPECT_EQ(Handle(SetReport(3, LyncReport(1))), 0);
    EXPECT_EQ(g_lync.ack_report_pending, 0);
    release_gruu();  // no cursor: the pending flag alone arms nothing
    EXPECT_EQ(Handle(SetReport(3, LyncReport(1))), 0);
    EXPECT_EQ(g_lync.ack_report_pending, 1);
}

TEST_F(HidRequests, OtherRequestCodes) {
    LogCapture log;
    for (uint8_t code : {4, 7, 0, 2, 15, 0x48})
        EXPECT_EQ(Handle(SetReport(3, LyncReport(code))), 0);
    EXPECT_EQ(phone.Types(), (std::vector<int>{DISMISS_SIGNIN_HELP}));
    EXPECT_EQ(log.text(), std::string("HIDDEV: Send Socket 3! Dismiss signin Help\n") +
                              gbk_line(GbkLine::DISMISSED) + gbk_line(GbkLine::SIGN_OUT) +
                              "HIDDEV: Not Lync request!\nHIDDEV: Not Lync request!\n"
                              "HIDDEV: Not Lync request!\nHIDDEV: Not Lync request!\n");
}

TEST_F(HidRequests, ChineseLinesAreWrittenInGbk) {
    EXPECT_STREQ(gbk_line(GbkLine::DISMISSED), "HIDDEV: \xD2\xD1\xC8\xA1\xCF\xFB\n");
    // 退出登录: 0xCD 0xCB 0xB3 0xF6 0xB5 0xC7 0xC2 0xBC
    EXPECT_STREQ(gbk_line(GbkLine::SIGN_OUT),
                 "HIDDEV: Send Socket 6! \xCD\xCB\xB3\xF6\xB5\xC7\xC2\xBC!\n");
    std::string out;
    EXPECT_EQ(utf8_to_gbk("\xEF\xBC\x88", &out), 0);  // full-width parenthesis
    EXPECT_EQ(out, "\xA3\xA8");
    EXPECT_EQ(utf8_to_gbk("\xF0\x9F\x98\x80", &out), -1);  // no GBK form
}

TEST_F(HidRequests, DialogInStateThreeOpensTheStreamWhenTheMicrophoneAskedForIt) {
    SignIn();
    g_lync.invite_on_dialog = 1;
    LogCapture log;
    Dialog(1);
    Dialog(1);  // repeating the value does nothing
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].substr(0, 5), "40 84");
    EXPECT_NE(frames[0].find("00 00 49 3B"), std::string::npos);  // port 18747
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
    EXPECT_EQ(g_lync.sel12_capture_pending, 1);
    EXPECT_EQ(log.text(), "HIDDEV: Dlg now\nHIDDEV: Invite to create srtp stream\n");
}

TEST_F(HidRequests, DialogWhileSignedOutOrWithoutInviteOpensNothing) {
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    g_lync.invite_on_dialog = 1;
    {
        LogCapture log;
        Dialog(1);
        Dialog(0);
        EXPECT_EQ(log.text(), "HIDDEV: Dlg now\nHIDDEV: End Dlg now\n");
    }
    SignIn();
    g_lync.invite_on_dialog = 0;
    LogCapture log;
    Dialog(1);
    EXPECT_TRUE(phone.Frames().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
    EXPECT_EQ(log.text(), "HIDDEV: Dlg now\n");
}

TEST_F(HidRequests, DialogEndClosesTheStreamOnlyWithAsNmDevZero) {
    SignIn();
    g_lync.srtp_stream_active = 1;
    dlg->UpdateSettings([&](ControllerSettings& s) { s.as_nm_dev = 1; });
    Dialog(1);
    Dialog(0);
    EXPECT_TRUE(phone.Frames().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
    dlg->UpdateSettings([&](ControllerSettings& s) { s.as_nm_dev = 0; });
    LogCapture log;
    Dialog(1);
    Dialog(0);
    EXPECT_EQ(phone.Frames(), (std::vector<std::string>{"41 00"}));
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
    EXPECT_EQ(log.text(), "HIDDEV: Dlg now\nHIDDEV: End Dlg now\nHIDDEV: Close srtp stream\n");
}

class DisplayName : public HidRequests {
  protected:
    // A call dialog whose stream was just offered.
    void SetUp() override {
        HidRequests::SetUp();
        SignIn();
        g_lync.invite_on_dialog = 1;
        Dialog(1);
        ASSERT_EQ(phone.Frames().size(), 1u);
    }
    void Name(const std::u16string& name) {
        Select(6);
        Text(Utf16(name));
    }
    void Reference(const std::u16string& ref) {
        Select(12);
        Text(Utf16(ref));
    }
};

TEST_F(DisplayName, GoesOutWhenAReferenceTextMatchesTheOneKeptAfterTheOffer) {
    Name(u"Alice Example");
    EXPECT_TRUE(phone.Frames().empty());  // the name alone sends nothing
    LogCapture log;
    Reference(u"ref-1");  // kept, and equal to itself
    EXPECT_EQ(phone.Frames(), (std::vector<std::string>{TextFrame(DISPLAY_NAME, "Alice Example")}));
    EXPECT_EQ(log.text(), "HIDDEV: Send Dsp Name: Alice Example\n\n");
    Reference(u"ref-2");  // differs from the kept one
    EXPECT_TRUE(phone.Frames().empty());
    Name(u"Bob");
    Reference(u"ref-1");
    EXPECT_EQ(phone.Frames(), (std::vector<std::string>{TextFrame(DISPLAY_NAME, "Bob")}));
}

TEST_F(DisplayName, ASecondCallCarriesNoNameFromTheFirst) {
    Name(u"Alice Example");
    Reference(u"ref-1");
    ASSERT_EQ(phone.Frames(), (std::vector<std::string>{TextFrame(DISPLAY_NAME, "Alice Example")}));
    Dialog(0);
    Dialog(1);
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], "41 00");
    EXPECT_EQ(frames[1].substr(0, 5), "40 84");
    // The first reference text of the new offer is kept; with no name given
    // in this call, there is nothing to send.
    Reference(u"ref-1");
    EXPECT_TRUE(phone.Frames().empty());
    EXPECT_EQ(display_name_utf8(), "");
}

TEST_F(DisplayName, SeventyBytesAreCutToSixtyThreeAndANul) {
    std::u16string name;
    for (int i = 0; i < 70; ++i) name += char16_t('a' + i % 26);
    Name(name);
    Reference(u"r");
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 1u);
    std::string ascii;
    for (int i = 0; i < 63; ++i) ascii += char('a' + i % 26);
    EXPECT_EQ(frames[0], TextFrame(DISPLAY_NAME, ascii));
    EXPECT_EQ(frames[0].substr(0, 5), "42 40");
}

TEST_F(DisplayName, LongNonAsciiNameIsCutAtACharacterBoundaryNotEmptied) {
    // 300 CJK characters: 900 UTF-8 bytes, far beyond a 200-byte buffer.
    Name(std::u16string(300, u'\u4E2D'));
    Reference(u"r");
    const std::vector<std::string> frames = phone.Frames();
    ASSERT_EQ(frames.size(), 1u);
    std::string cut;
    for (int i = 0; i < 21; ++i) cut += "\xE4\xB8\xAD";  // 63 bytes, 21 whole characters
    EXPECT_EQ(frames[0], TextFrame(DISPLAY_NAME, cut));
}

TEST_F(DisplayName, NothingGoesOutOutsideADialog) {
    Dialog(0);
    EXPECT_EQ(phone.Frames(), (std::vector<std::string>{"41 00"}));
    Name(u"Carol");
    Reference(u"r");
    EXPECT_TRUE(phone.Frames().empty());
}

TEST_F(DisplayName, TextPiecesNeverWritePastTheirBufferNorReadPastTheRequest) {
    LogCapture log;
    Select(6);
    // 80 pieces of 16 bytes: 1280 bytes for a 1022-byte room.
    for (int i = 0; i < 80; ++i) {
        Bytes piece = {0x15, uint8_t(i == 79 ? 0x80 : 0)};
        for (int u = 0; u < 8; ++u) piece.insert(piece.end(), {'n', 0});
        Handle(SetReport(0x15, piece));
    }
    EXPECT_EQ(display_name_utf8(), std::string(511, 'n'));
    // A piece shorter than its two header bytes.
    Submit s = control(5, 0x21, 0x09, 0x0215, 3, 1);
    s.out_data = {0x15};
    EXPECT_EQ(Handle(Converted(s)), 0);
    // wLength larger than the data that arrived: only what arrived is read.
    Select(12);
    Submit big = control(6, 0x21, 0x09, 0x0215, 3, 200);
    big.out_data = {0x15, 0x80, 'x', 0};
    big.length = 4;
    EXPECT_EQ(Handle(Converted(big)), 0);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "HIDDEV: text longer than 1022 bytes, 16 cut\n"), 16u);
    EXPECT_NE(text.find("HIDDEV: text longer than 1022 bytes, 2 cut\n"), std::string::npos);
    EXPECT_NE(text.find("HIDDEV: text piece of 1 bytes ignored\n"), std::string::npos);
    // The two-byte reference text "x" completed and confirmed the name.
    EXPECT_EQ(phone.Frames(),
              (std::vector<std::string>{TextFrame(DISPLAY_NAME, std::string(63, 'n'))}));
}

TEST(Utf16ToUtf8, SurrogatePairsAndUnpairedHalves) {
    const Bytes pair = Utf16(u"a\U0001F600b");
    EXPECT_EQ(utf16le_to_utf8(pair.data(), pair.size() / 2),
              "a\xF0\x9F\x98\x80"
              "b");
    const Bytes lone = {0x00, 0xD8, 'c', 0};
    EXPECT_EQ(utf16le_to_utf8(lone.data(), 2),
              "\xEF\xBF\xBD"
              "c");
}

}  // namespace
}  // namespace quor::test
