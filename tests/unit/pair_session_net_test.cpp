// The pairing session against an in-process phone on 127.0.0.1:7063 (in a
// network namespace of its own), with the main window on a manual clock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "link/addr_discovery.h"
#include "link/pair_session.h"
#include "media/media_api.h"
#include "platform/byte_order.h"
#include "soft_dev/call_stream.h"
#include "support/controller_fixture.h"
#include "support/fake_phone.h"

namespace quor::test {
namespace {

constexpr uint32_t LOOPBACK = 0x7F000001;

class PairSession : public ControllerFixture {
  protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        ASSERT_TRUE(phone.ok());
        SessionServices& svc = services;
        svc.set_device_identity = [this](const char* model, uint16_t vid, uint16_t pid,
                                         uint16_t rel) {
            std::lock_guard lk(record_mu);
            identities.push_back(std::string(model) + " " + std::to_string(vid) + " " +
                                 std::to_string(pid) + " " + std::to_string(rel));
            return (*model && vid && pid && rel) ? 0 : -1;
        };
        svc.start_device = [this](Controller& c) {
            std::lock_guard lk(record_mu);
            devices.emplace_back([&c] { FakeDeviceThread(c); });
        };
        svc.set_gruu = [this](const char* g) {
            std::lock_guard lk(record_mu);
            gruus.push_back(g);
            return 0;
        };
        svc.open_rtp_socket = [this](uint16_t local, uint16_t remote, uint32_t addr) {
            return open_rtp(local, remote, addr);
        };
        open_rtp = [this](uint16_t local, uint16_t remote, uint32_t addr) {
            std::lock_guard lk(record_mu);
            rtp_opens.push_back(std::to_string(local) + " " + std::to_string(remote) + " " +
                                std::to_string(addr));
            return 0;
        };
        svc.create_srtp_session = [this](const char* crypto) {
            std::lock_guard lk(record_mu);
            cryptos.push_back(crypto);
            return -1;
        };
        svc.phone_paired = [this](uint32_t addr) {
            std::lock_guard lk(record_mu);
            firewall.push_back("open " + std::to_string(addr));
        };
        svc.pairing_ended = [this] {
            std::lock_guard lk(record_mu);
            firewall.push_back("close");
        };
    }
    void TearDown() override {
        phone.CloseAll();
        for (auto& t : sessions)
            if (t.joinable()) t.join();
        g_dev.stop = DEV_STOP;
        for (auto& t : devices) t.join();
        ControllerFixture::TearDown();
    }

    // Stands in for the virtual device: plugged in at once, unplugged when
    // asked to stop.
    static void FakeDeviceThread(Controller& c) {
        g_dev.stop = DEV_RUN;
        c.SetState(STATE_PAIRED_SIGNED_OUT);
        while (g_dev.stop == DEV_RUN) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (g_dev.stop == DEV_STOP_AND_EXIT)
            c.EndDialog();
        else
            c.SetState(STATE_NOT_PAIRED);
    }

    ShellHooks SessionHooks() {
        ShellHooks h = RecordingHooks();
        h.start_pair_session = [this](Controller& c) {
            ++sessions_started;
            sessions.emplace_back(pair_session_thread, std::ref(c), services);
        };
        return h;
    }
    void StartWithPhoneAt(uint32_t addr, const std::string& extra = "") {
        WriteConfig("[SECTION 1]\nPhoneIP=" + std::to_string(int32_t(addr)) + "\n" + extra);
        Start(SessionHooks());
    }

    // Copies of what the session recorded, taken under the lock.
    std::vector<std::string> Recorded(const std::vector<std::string>& v) {
        std::lock_guard lk(record_mu);
        return v;
    }
    size_t DeviceCount() {
        std::lock_guard lk(record_mu);
        return devices.size();
    }

    template <class Pred>
    bool WaitFor(Pred pred, int timeout_ms = 5000) {
        for (int waited = 0; waited < timeout_ms; waited += 2) {
            loop.run_pending();
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    bool WaitState(unsigned state) {
        return WaitFor([&] { return dlg->State() == state; });
    }
    // The state word changes at once, its effects reach the view a little
    // later through the UI loop.
    bool WaitStatus(const std::string& status) {
        return WaitFor([&] { return view.Status() == status; });
    }

    // The opening exchange with a free phone, up to the device start.
    void PairUpToDevice() {
        ASSERT_TRUE(phone.Accept());
        EXPECT_EQ(phone.Read(), "19 00");
        phone.Send(PAIR_ANSWER);
        EXPECT_EQ(phone.Read(), "16 00");
        phone.SendIdentity();
        ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_OUT));
    }

    // The user gives up on the pairing in progress (Unpair in state 1) and
    // pairs again while the first session still waits in its read.
    void PairAgain() {
        dlg->OnOK();
        Settle();
        dlg->SetState(STATE_NOT_PAIRED);
        dlg->OnOK();
    }

    // Returns once the session has handled everything the phone sent
    // before: it handles messages in order, and HANG_UP raises its flag.
    void SyncWithSession() {
        g_lync.hungup_pending = 0;
        phone.Send(HANG_UP);
        ASSERT_TRUE(WaitFor([] { return g_lync.hungup_pending == 1; }));
    }

    // A call's MEDIA_OFFER and MEDIA_STOP as the device sends them, each
    // seen by the phone.
    void Offer() {
        ASSERT_EQ(open_call_stream("HIDDEV: Invite to create srtp stream\n"), 0);
        EXPECT_EQ(phone.Read().substr(0, 5), "40 84");
    }
    void Stop() {
        send_srtp_close();
        EXPECT_EQ(phone.Read(), "41 00");
    }

    FakePhone phone;
    SessionServices services;
    std::function<int(uint16_t, uint16_t, uint32_t)> open_rtp;
    std::mutex record_mu;
    std::vector<std::thread> sessions, devices;
    std::vector<std::string> identities, gruus, rtp_opens, cryptos, firewall;
};

TEST_F(PairSession, CompletePairingOnTheWire) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    EXPECT_EQ(Recorded(identities), std::vector<std::string>{"Q55 12060 1109 532"});
    EXPECT_FALSE(loop.timer_running(TIMER_PAIR));
    phone.Send(SIGNED_IN);
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_IN));
    ASSERT_TRUE(WaitStatus("Paired(Sign In)"));
    // Keep-alive every 2 s; each answer restarts the 19 s watchdog.
    for (int i = 0; i < 12; ++i) {
        Advance(2000);
        ASSERT_EQ(phone.Read(), "60 00") << i;
        phone.Send(KEEPALIVE_ACK);
        ASSERT_TRUE(WaitFor([&] { return loop.timer_due(TIMER_LINK) == clock.now_ms() + 19000; }));
    }
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_IN);
    dlg->OnOK();  // the user unpairs
    EXPECT_EQ(phone.Read(), "2A 00");
    Settle();
    EXPECT_EQ(view.Status(), "Unpairing...");
    phone.Send(UNPAIR_ACK);
    ASSERT_TRUE(WaitState(STATE_NOT_PAIRED));
    EXPECT_EQ(phone.Read(), "closed");
    EXPECT_TRUE(WaitStatus("Not Paired"));  // no re-pair after a user unpair
    sessions[0].join();                     // the session forgets the phone as it ends
    EXPECT_EQ(g_ctrl_socket, -1);
    EXPECT_EQ(g_ctrl_peer, 0u);
    // The phone was let through the firewall for the pairing only.
    EXPECT_EQ(Recorded(firewall), (std::vector<std::string>{"open 2130706433", "close"}));
}

TEST_F(PairSession, HeldPhoneTakenOverReconnectsWithoutASecondQuery) {
    view.answer = IDOK;
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER, {192, 168, 1, 20});
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "16 00");
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"The device has been connected by IP: 192.168.1.20, force "
                                       "connect?"});
    EXPECT_EQ(view.styles[0], MB_EXCLAMATION_OKCANCEL);
    phone.SendIdentity();
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_OUT));
}

TEST_F(PairSession, HeldPhoneDeclinedReturnsToNotPairedWithoutRePair) {
    view.answer = IDCANCEL;
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER, {192, 168, 1, 20});
    ASSERT_TRUE(WaitFor([&] { return !view.Messages().empty(); }));
    EXPECT_EQ(phone.Read(), "closed");
    // The session ended in state 1: the pairing time-out follows in 500 ms.
    ASSERT_TRUE(WaitFor([&] { return loop.timer_due(TIMER_PAIR) == clock.now_ms() + 500; }));
    Advance(500);
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    Advance(20000);
    EXPECT_EQ(sessions_started, 1);
    EXPECT_EQ(view.Status(), "Not Paired");
}

TEST_F(PairSession, AnswerOfAnotherSizeCountsAsFreeAndOtherFirstRepliesEndTheSession) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER, {1, 2});
    EXPECT_EQ(phone.Read(), "16 00");
    phone.Drop();
    // The session ends in state 1: the pairing time-out follows in 500 ms
    // (armed after the channel is closed).
    ASSERT_TRUE(WaitFor([&] { return loop.timer_due(TIMER_PAIR) == clock.now_ms() + 500; }));
    Advance(500);
    // The re-pair countdown (15 s) then a new session, which gets SIGNED_IN
    // as its first reply.
    Advance(15000);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(SIGNED_IN);
    EXPECT_EQ(phone.Read(), "closed");
}

TEST_F(PairSession, IdentityNeedsAllFourPartsAndStartsOneDeviceOnly) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER);
    EXPECT_EQ(phone.Read(), "16 00");
    phone.Send(DEVICE_RELEASE, {0x02, 0x14});  // before the name: refused
    phone.SendIdentity();
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_OUT));
    phone.SendIdentity();  // again in state 2: no second device
    phone.Send(SIGNED_IN);
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_IN));
    EXPECT_EQ(Recorded(identities).size(), 3u);
    EXPECT_EQ(Recorded(identities)[0], " 0 0 532");
    EXPECT_EQ(DeviceCount(), 1u);
}

TEST_F(PairSession, PhoneUnpairIsAnsweredAndFollowedByARePair) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    phone.Send(UNPAIR);
    EXPECT_EQ(phone.Read(), "3A 00");
    EXPECT_EQ(phone.Read(), "closed");
    ASSERT_TRUE(WaitFor([&] { return view.Status() == "Waiting...(15s)"; }));
}

TEST_F(PairSession, PhoneUnpairDuringExitKeepsTheExitRequest) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    dlg->OnCommand(ID_EXIT);
    EXPECT_EQ(phone.Read(), "2A 00");
    EXPECT_EQ(g_dev.stop, DEV_STOP_AND_EXIT);
    phone.Send(UNPAIR);
    EXPECT_EQ(phone.Read(), "3A 00");
    ASSERT_TRUE(WaitFor([&] { return view.end_dialog_calls == 1; }));
}

TEST_F(PairSession, ConnectionDropWhilePairedUnpairsAndRePairs) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    phone.Send(SIGNED_IN);
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_IN));
    phone.Drop();
    ASSERT_TRUE(WaitFor([&] { return view.Status() == "Waiting...(15s)"; }));
    EXPECT_NE(std::find(view.statuses.begin(), view.statuses.end(), "Unpairing..."),
              view.statuses.end());
    Advance(15000);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
}

TEST_F(PairSession, TakenOverThenDropShowsTheTextOnceAndStaysNotPaired) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    phone.Send(TAKEN_OVER, {10, 0, 0, 9});
    phone.Drop();
    ASSERT_TRUE(WaitState(STATE_NOT_PAIRED));
    ASSERT_TRUE(WaitFor([&] { return view.Messages().size() == 1; }));
    EXPECT_EQ(view.messages[0], "The device has been connected by IP: 10.0.0.9.");
    Advance(30000);
    EXPECT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(sessions_started, 1);
}

TEST_F(PairSession, PhoneEventsRaiseTheirReportFlagsAndGruuRestartsItsTimer) {
    // The flags are process-wide; a repeated run starts from none.
    g_lync.signin_request_pending = g_lync.signin_failed_pending = g_lync.signout_request_pending =
        0;
    g_lync.hungup_pre_pending = g_lync.hungup_pending = 0;
    StartWithPhoneAt(LOOPBACK, "ResendGruu=30\n");
    PairUpToDevice();
    // The GRUU timer runs from the device start (the state word changes
    // before the timers are started); SET_GRUU starts its full period again
    // from the moment the text arrives.
    ASSERT_TRUE(WaitFor([&] { return loop.timer_running(TIMER_GRUU); }));
    Advance(4000);
    const int64_t restarted_due = clock.now_ms() + 30000;
    ASSERT_LT(loop.timer_due(TIMER_GRUU), restarted_due);
    phone.SendText(SET_GRUU, "sip:alice@example.com;gruu");
    ASSERT_TRUE(WaitFor([&] { return loop.timer_due(TIMER_GRUU) == restarted_due; }));
    phone.Send(SIGNIN_REQUEST);
    phone.Send(SIGNIN_FAILED);
    phone.Send(SIGNOUT_REQUEST);
    phone.Send(HANG_UP);
    ASSERT_TRUE(WaitFor([&] { return g_lync.hungup_pending == 1; }));
    EXPECT_EQ(Recorded(gruus), std::vector<std::string>{"sip:alice@example.com;gruu"});
    EXPECT_EQ(g_lync.signin_request_pending, 1);
    EXPECT_EQ(g_lync.signin_failed_pending, 1);
    EXPECT_EQ(g_lync.signout_request_pending, 1);
    EXPECT_EQ(g_lync.hungup_pre_pending, 1);
}

// PHONE_MEDIA_OFFER's payload: port 0x4A38 in the low 16 bits, LINE, NUL.
std::vector<uint8_t> MediaAnswer(const std::string& line) {
    std::vector<uint8_t> answer(4 + line.size() + 1, 0);
    put_be32(answer.data(), 0x00014A38);
    std::copy(line.begin(), line.end(), answer.begin() + 4);
    return answer;
}

TEST_F(PairSession, PhoneMediaOfferOpensRtpToThePhoneAndPassesItsKey) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    Offer();
    const std::string line = "1 AES_CM_128_HMAC_SHA1_80 inline:abc";
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer(line));
    ASSERT_TRUE(WaitFor([&] { return !Recorded(cryptos).empty(); }));
    EXPECT_EQ(Recorded(rtp_opens), std::vector<std::string>{"18747 19000 2130706433"});
    EXPECT_EQ(Recorded(cryptos)[0], line);
    Stop();
}

// A Linux host toggles the streaming interfaces while it probes them, so an
// offer can be stopped before the phone answers it, and its answer can come
// before or after the next offer. The phone's keys of a stopped offer are
// not the ones it uses for the next call: only the answer to the newest
// open offer may key the call.
TEST_F(PairSession, AnswersToStoppedOffersOpenNothing) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    Offer();
    Stop();
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer("1 AES_CM_128_HMAC_SHA1_80 inline:first"));
    SyncWithSession();
    Offer();
    Stop();
    Offer();
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer("1 AES_CM_128_HMAC_SHA1_80 inline:second"));
    const std::string line = "1 AES_CM_128_HMAC_SHA1_80 inline:third";
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer(line));
    // A repeated answer answers nothing.
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer("1 AES_CM_128_HMAC_SHA1_80 inline:again"));
    SyncWithSession();
    EXPECT_EQ(Recorded(cryptos), std::vector<std::string>{line});
    EXPECT_EQ(Recorded(rtp_opens).size(), 1u);
    Stop();
}

// The stream can be stopped on another thread while the answer is being
// taken, after it was found current and before its socket is open: the
// stop then finds nothing to close, and the answer must close what it
// opened.
TEST_F(PairSession, AStopWhileTheAnswerOpensTheMediaLeavesThemClosed) {
    StartWithPhoneAt(LOOPBACK);
    PairUpToDevice();
    open_rtp = [](uint16_t local, uint16_t remote, uint32_t addr) {
        send_srtp_close();
        return open_rtp_socket(local, remote, addr);
    };
    Offer();
    phone.Send(PHONE_MEDIA_OFFER, MediaAnswer("1 AES_CM_128_HMAC_SHA1_80 inline:abc"));
    EXPECT_EQ(phone.Read(), "41 00");
    SyncWithSession();
    EXPECT_EQ(g_rtp_socket, -1);
    close_rtp_socket();
}

TEST_F(PairSession, MalformedInputIsSurvived) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER);
    EXPECT_EQ(phone.Read(), "16 00");
    phone.Send(0xEE, std::vector<uint8_t>(10, 0x55));   // unknown type: consumed whole
    phone.Send(VENDOR_ID, {0x01});                      // too short: ignored
    phone.SendText(MODEL_NAME, std::string(254, 'M'));  // longer than the field: cut
    phone.Send(PHONE_MEDIA_OFFER, {0, 0});              // too short: ignored
    // A frame split over many writes behaves like a whole one.
    // Each byte is taken in by the session before the next is sent.
    for (uint8_t b : {uint8_t(VENDOR_ID), uint8_t(2), uint8_t(0x2f), uint8_t(0x1c)}) {
        phone.SendRaw({b});
        ASSERT_TRUE(WaitFor([] {
            int queued = 0;
            return ioctl(g_ctrl_socket, FIONREAD, &queued) == 0 && queued == 0;
        }));
    }
    phone.Send(PRODUCT_ID, {0x04, 0x55});
    phone.Send(DEVICE_RELEASE, {0x02, 0x14});
    ASSERT_TRUE(WaitState(STATE_PAIRED_SIGNED_OUT));
    EXPECT_EQ(Recorded(identities).back(),
              std::string(MODEL_NAME_SIZE - 1, 'M') + " 12060 1109 532");
    EXPECT_TRUE(Recorded(rtp_opens).empty());
    phone.SendRaw({SIGNED_IN, 5, 1, 2});  // the peer closes in the middle of a frame
    phone.Drop();
    ASSERT_TRUE(WaitFor([&] { return view.Status() == "Waiting...(15s)"; }));
}

TEST_F(PairSession, SupersededSessionTouchesNothingShared) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    // The user gives up on this attempt and pairs again while the first
    // session still waits for its answer.
    dlg->OnOK();
    Settle();
    dlg->SetState(STATE_NOT_PAIRED);
    dlg->SetRepairArmed(0);
    dlg->OnOK();
    PairUpToDevice();
    const int newer_socket = g_ctrl_socket;
    ASSERT_GE(newer_socket, 0);
    EXPECT_EQ(sessions.size(), 2u);
    // The older connection ends: its session closes only its own socket.
    phone.DropOldest();
    sessions[0].join();
    EXPECT_EQ(g_ctrl_socket, newer_socket);
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_OUT);
}

// The older session's connection stays published until a newer session
// has one of its own. When the older one ends first, the number it closed
// must not stay published: another socket or file may get it, and an UNPAIR
// or LOG_ROUTE would be written there.
TEST_F(PairSession, ASessionEndingBeforeTheNewerOneConnectsLeavesNoClosedSocketPublished) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    ASSERT_GE(g_ctrl_socket, 0);
    // The newer session waits for the phone's address, without connection.
    dlg->UpdateSettings([&](ControllerSettings& s) { s.auto_ip = 1; });
    PairAgain();
    ASSERT_TRUE(WaitFor([] { return g_autoip_socket != -1; }));
    phone.DropOldest();
    sessions[0].join();
    EXPECT_EQ(g_ctrl_socket, -1);
    EXPECT_EQ(send_ctrl_byte(KEEPALIVE), -1);
    dlg->OnOK();  // Stop
}

// A superseded session only closes its own connection, whatever the phone
// still sends on it: neither a late answer to its query (which would stop
// the newer pairing's time-out) nor a later message acts.
TEST_F(PairSession, ALateHeldAnswerOfASupersededSessionLeavesTheNewerPairing) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    PairAgain();
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER);
    EXPECT_EQ(phone.Read(), "16 00");
    ASSERT_TRUE(loop.timer_running(TIMER_PAIR));
    phone.Use(0);
    EXPECT_EQ(phone.Read(), "2A 00");  // the user's unpair went there
    phone.Send(PAIR_ANSWER, {10, 0, 0, 9});
    ASSERT_EQ(phone.Read(), "closed");
    sessions[0].join();
    Settle();
    EXPECT_TRUE(loop.timer_running(TIMER_PAIR));
    EXPECT_EQ(dlg->State(), STATE_PAIRING);
    EXPECT_TRUE(view.Messages().empty());
}

TEST_F(PairSession, ALateMessageOfASupersededSessionChangesNothing) {
    StartWithPhoneAt(LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
    phone.Send(PAIR_ANSWER);
    EXPECT_EQ(phone.Read(), "16 00");
    PairAgain();
    PairUpToDevice();
    phone.Use(0);
    EXPECT_EQ(phone.Read(), "2A 00");
    phone.Send(SIGNED_IN);
    const std::string end = phone.Read();
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_OUT);
    ASSERT_EQ(end, "closed");
    sessions[0].join();
    // The older session's end leaves the newer pairing's firewall rules.
    EXPECT_EQ(Recorded(firewall), (std::vector<std::string>{"open 2130706433", "open 2130706433"}));
}

void SendDatagram(const std::vector<uint8_t>& bytes) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ADDRESS_DATAGRAM_PORT);
    sa.sin_addr.s_addr = htonl(LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    close(fd);
}

TEST_F(PairSession, AutomaticAddressWaitsInStartedThenPairsWithTheAnnouncedPhone) {
    WriteConfig("[SECTION 1]\nAutoIP=1\nAutoMin=0\n");
    Start(SessionHooks());
    ASSERT_TRUE(WaitStatus("Started"));
    EXPECT_EQ(view.pair_text, "Stop");
    EXPECT_FALSE(loop.timer_running(TIMER_PAIR));
    // A wrong check value and a datagram of 7 bytes are ignored.
    ASSERT_TRUE(WaitFor([] { return g_autoip_socket != -1; }));
    SendDatagram({0x7F, 0x00, 0x00, 0x01, 0x00, 0x81});
    ASSERT_TRUE(WaitFor([] { return g_autoip_socket == -1; }));
    // The next attempt follows a second later.
    ASSERT_TRUE(WaitFor([&] {
        clock.advance(10);
        return g_autoip_socket != -1;
    }));
    SendDatagram({0x7F, 0x00, 0x00, 0x01, 0x00, 0x80});
    ASSERT_TRUE(WaitState(STATE_PAIRING));
    EXPECT_TRUE(loop.timer_running(TIMER_PAIR));
    Settle();
    EXPECT_EQ(view.shown_address, LOOPBACK);
    ASSERT_TRUE(phone.Accept());
    EXPECT_EQ(phone.Read(), "19 00");
}

TEST_F(PairSession, StopWhileFindingTheAddressEndsTheSearch) {
    WriteConfig("[SECTION 1]\nAutoIP=1\nAutoMin=0\n");
    Start(SessionHooks());
    ASSERT_TRUE(WaitFor([] { return g_autoip_socket != -1; }));
    dlg->OnOK();  // Stop
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    sessions[0].join();
    EXPECT_EQ(g_autoip_socket, -1);
    Settle();
    EXPECT_EQ(view.Status(), "Not Paired");
    EXPECT_EQ(dlg->RepairArmed(), 0);
}

}  // namespace
}  // namespace quor::test
