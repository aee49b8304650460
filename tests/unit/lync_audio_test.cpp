// Requests to the audio interfaces: the mute and volume controls, and the
// streaming interfaces' alternate settings that open and close the call's
// stream under both "AsNmDev" policies.
#include "platform/event.h"
#include "soft_dev/audio_requests.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/softdev_thread.h"
#include "support/controller_fixture.h"
#include "unit/lync_test_support.h"

namespace quor::test {
namespace {

class AudioRequests : public ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        ShellHooks hooks = RecordingHooks();
        hooks.send_srtp_close = [] { send_srtp_close(); };
        Start(std::move(hooks));
        g_lync.mute_setting = 0;
        g_lync.volume_setting = 0;
        g_lync.srtp_stream_active = 0;
        g_lync.invite_on_dialog = 0;
        g_lync.dialog_active = 0;
        g_lync.pb_stream_started = 0;
        g_lync.cp_stream_started = 0;
    }
    int Handle(const Submit& s) {
        const Bytes req = Converted(s);
        return process_audio_class_specific_requests(*dlg, bus, req.data(), req.size());
    }
    // A class request to the feature unit of interface 0.
    int Control(uint8_t request, uint8_t selector, Bytes data = {}) {
        const bool in = request & 0x80;
        Submit s = control(++seq, in ? 0xA1 : 0x21, request, uint16_t(selector << 8), 0x0500,
                           uint16_t(in ? 2 : data.size()));
        if (!in) s.out_data = data;
        return Handle(s);
    }
    int SetInterface(uint8_t interface, uint8_t alt) {
        return Handle(control(++seq, 0x01, 0x0B, alt, interface, 0));
    }
    Bytes LastData() const {
        return Bytes(bus.replies.back().begin() + 48, bus.replies.back().end());
    }
    void Paired(unsigned state, int as_nm_dev) {
        dlg->SetState(state);
        dlg->UpdateSettings([&](ControllerSettings& s) { s.as_nm_dev = as_nm_dev; });
    }
    // Control frames the phone received, by type, keep-alives left out.
    std::vector<int> Sent() {
        std::vector<int> types = phone.Types();
        std::erase(types, int(KEEPALIVE));
        return types;
    }

    FakeBus bus;
    PhoneEnd phone;
    uint32_t seq = 0;
};

TEST_F(AudioRequests, MuteAndVolumeTable) {
    EXPECT_EQ(Control(0x81, 1), 0);
    EXPECT_EQ(LastData(), (Bytes{0x00}));
    EXPECT_EQ(Control(0x81, 2), 0);
    EXPECT_EQ(LastData(), (Bytes{0x00, 0x00}));
    EXPECT_EQ(Control(0x01, 1, {1}), 0);
    EXPECT_EQ(bus.replies.back().size(), 48u);
    EXPECT_EQ(Control(0x81, 1), 0);
    EXPECT_EQ(LastData(), (Bytes{0x01}));
    EXPECT_EQ(Control(0x01, 2, {0x00, 0xF0}), 0);
    EXPECT_EQ(g_lync.volume_setting, 0xF000);
    struct Case {
        uint8_t request;
        Bytes data;
    };
    for (const Case& c : {Case{0x82, {0xFF, 0xE2}}, Case{0x83, {0x00, 0x00}},
                          Case{0x84, {0x00, 0x01}}, Case{0x81, {0x00, 0xF0}}}) {
        EXPECT_EQ(Control(c.request, 2), 0);
        EXPECT_EQ(LastData(), c.data) << int(c.request);
        EXPECT_EQ(pdu_word(bus.replies.back().data(), USBIP_LENGTH), 2u);
    }
    EXPECT_EQ(Control(0x81, 7), 0);  // other selectors: empty success
    EXPECT_EQ(bus.replies.back().size(), 48u);
}

TEST_F(AudioRequests, UnsupportedControlRequestsAreNotAnswered) {
    LogCapture log;
    const size_t before = bus.replies.size();
    EXPECT_EQ(Control(0x82, 1), -1);          // GET_MIN of mute
    EXPECT_EQ(Control(0x04, 2, {0, 1}), -1);  // SET_RES of volume
    EXPECT_EQ(Control(0x01, 2, {0x05}), -1);  // volume with one data byte
    EXPECT_EQ(Control(0x01, 1, {}), -1);      // mute without data
    EXPECT_EQ(Handle(control(50, 0x01, 0x0B, 1, 4, 0)), -1);
    EXPECT_EQ(Handle(control(51, 0x81, 0x0A, 0, 1, 1)), -1);  // GET_INTERFACE
    EXPECT_EQ(bus.replies.size(), before);
    EXPECT_EQ(g_lync.volume_setting, 0);
    EXPECT_EQ(g_lync.mute_setting, 0);
    EXPECT_EQ(log.text(),
              "AUDIODEV: What's precdata[1] 4!\n"
              "AUDIODEV: SET_CUR with 1 of 2 data bytes dropped\n"
              "AUDIODEV: SET_CUR with 0 of 1 data bytes dropped\n"
              "AUDIODEV: What's precdata[4] 4!\n");
}

TEST_F(AudioRequests, SelectingStreamsSetsTheStartedFlagsAndEvents) {
    const EventHandle pb = open_named_event(EVENT_PB_START_STOP, EventReset::MANUAL);
    const EventHandle cp = open_named_event(EVENT_CP_START_STOP, EventReset::MANUAL);
    EXPECT_EQ(SetInterface(1, 1), 0);
    EXPECT_EQ(SetInterface(2, 1), 0);
    EXPECT_EQ(g_lync.pb_stream_started + g_lync.cp_stream_started, 2);
    EXPECT_EQ(pb->wait(0), 0);
    EXPECT_EQ(pb->wait(0), 0);  // manual reset: stays set
    EXPECT_EQ(cp->wait(0), 0);
    EXPECT_EQ(SetInterface(1, 0), 0);
    EXPECT_EQ(SetInterface(2, 0), 0);
    EXPECT_EQ(g_lync.pb_stream_started + g_lync.cp_stream_started, 0);
    EXPECT_EQ(pb->wait(0), EVENT_WAIT_TIMEOUT);
    EXPECT_EQ(cp->wait(0), EVENT_WAIT_TIMEOUT);
    EXPECT_EQ(SetInterface(2, 5), 0);  // other settings: only the answer
    EXPECT_EQ(bus.replies.size(), 5u);
    for (const Bytes& r : bus.replies) EXPECT_EQ(r.size(), 48u);
}

TEST_F(AudioRequests, AsAudioDeviceTheFirstActiveDirectionOffersTheStreamOnce) {
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    LogCapture log;
    SetInterface(1, 1);
    SetInterface(2, 1);
    EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER}));
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
    EXPECT_EQ(g_lync.invite_on_dialog, 1);
    EXPECT_EQ(log.text(),
              "AUDIODEV: Spk Active\nHIDDEV: Invite to create srtp stream (audio dev)\n"
              "AUDIODEV: Mic Active RtpActive: 1\n");
}

TEST_F(AudioRequests, AsAudioDeviceSignedOutStillOffersButNotPairedNever) {
    Paired(STATE_PAIRED_SIGNED_OUT, 1);
    SetInterface(2, 1);
    EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER}));
    g_lync.srtp_stream_active = 0;
    for (unsigned state : {STATE_NOT_PAIRED, STATE_PAIRING, STATE_UNPAIRING, STATE_WAITING}) {
        Paired(state, 1);
        SetInterface(1, 1);
        SetInterface(2, 1);
    }
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
}

TEST_F(AudioRequests, IdleThenActiveWithinHalfASecondKeepsTheStream) {
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    SetInterface(1, 1);
    ASSERT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER}));
    g_lync.pb_stream_started = 0;  // the playback worker has taken the start
    {
        LogCapture log;
        SetInterface(1, 0);
        EXPECT_EQ(log.text(), "AUDIODEV: Spk Idle\nHIDDEV: Close srtp stream (timmer)\n");
    }
    EXPECT_TRUE(loop.timer_running(TIMER_MEDIA_IDLE));
    Advance(300);
    SetInterface(1, 1);
    EXPECT_FALSE(loop.timer_running(TIMER_MEDIA_IDLE));
    Advance(2000);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
}

TEST_F(AudioRequests, IdleForLongerClosesTheStreamOnce) {
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    SetInterface(2, 1);
    ASSERT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER}));
    g_lync.cp_stream_started = 0;
    SetInterface(2, 0);
    EXPECT_EQ(g_lync.invite_on_dialog, 0);
    Advance(490);
    EXPECT_TRUE(Sent().empty());
    Advance(2000);
    EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_STOP}));
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
    EXPECT_FALSE(loop.timer_running(TIMER_MEDIA_IDLE));
}

// As audio device the call starts when the microphone is switched on; the
// display name of one call must not go out in the next.
TEST_F(AudioRequests, AsAudioDeviceASecondCallCarriesNoNameFromTheFirst) {
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    const auto hid = [&](uint8_t id, const Bytes& data) {
        const Bytes req = SetReport(id, data);
        EXPECT_EQ(process_hid_class_specific_requests(*dlg, bus, req.data(), req.size()), 0);
    };
    const auto text = [&](uint8_t selector, char c) {
        hid(0x14, {0x14, selector, 0x80});
        hid(0x15, {0x15, 0x80, uint8_t(c), 0});
    };
    for (int call = 1; call <= 2; ++call) {
        SetInterface(2, 1);
        EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER})) << call;
        hid(6, {6, 1});
        if (call == 1) text(6, 'A');  // the display name
        text(12, 'r');                // the reference text
        EXPECT_EQ(Sent(), call == 1 ? std::vector<int>{DISPLAY_NAME} : std::vector<int>{}) << call;
        hid(6, {6, 0});
        g_lync.cp_stream_started = 0;  // the capture worker has taken the start
        SetInterface(2, 0);
        Advance(600);
        EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_STOP})) << call;
    }
}

TEST_F(AudioRequests, IdleWhileTheOtherDirectionIsFreshlySelectedArmsNothing) {
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    SetInterface(1, 1);
    SetInterface(2, 1);
    Sent();
    SetInterface(1, 0);  // capture's started flag is still up
    EXPECT_FALSE(loop.timer_running(TIMER_MEDIA_IDLE));
}

// A Linux host plays and records as two independent streams: the speaker
// stopping must not end the phone's audio to a microphone still recording.
TEST_F(AudioRequests, IdleWhileTheOtherDirectionStreamsKeepsTheStream) {
    const EventHandle pb = open_named_event(EVENT_PB_START_STOP, EventReset::MANUAL);
    const EventHandle cp = open_named_event(EVENT_CP_START_STOP, EventReset::MANUAL);
    Paired(STATE_PAIRED_SIGNED_IN, 1);
    SetInterface(1, 1);
    SetInterface(2, 1);
    ASSERT_EQ(Sent(), (std::vector<int>{MEDIA_OFFER}));
    g_lync.pb_stream_started = g_lync.cp_stream_started =
        0;  // both workers have taken their starts
    SetInterface(1, 0);
    EXPECT_FALSE(loop.timer_running(TIMER_MEDIA_IDLE));
    Advance(2000);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
    SetInterface(2, 0);  // the last direction falls idle
    Advance(600);
    EXPECT_EQ(Sent(), (std::vector<int>{MEDIA_STOP}));
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
}

TEST_F(AudioRequests, WithAsNmDevZeroTheAudioInterfacesNeverOpenNorClose) {
    Paired(STATE_PAIRED_SIGNED_IN, 0);
    SetInterface(1, 1);
    SetInterface(2, 1);
    EXPECT_EQ(g_lync.invite_on_dialog, 1);
    g_lync.srtp_stream_active = 1;  // as if a call dialog had opened it
    g_lync.pb_stream_started = g_lync.cp_stream_started = 0;
    SetInterface(1, 0);
    SetInterface(2, 0);
    EXPECT_FALSE(loop.timer_running(TIMER_MEDIA_IDLE));
    Advance(1000);
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(g_lync.srtp_stream_active, 1);
}

}  // namespace
}  // namespace quor::test
