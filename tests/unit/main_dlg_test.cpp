// The main window's controller: start-up, the state machine, its timers and
// the ways the program ends, on a manual clock.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "link/pair_session.h"
#include "settings/ini_store.h"
#include "support/controller_fixture.h"

namespace quor::test {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

using MainDlg = ControllerFixture;

TEST_F(MainDlg, FirstStartWritesEveryDefaultInOrderAndShowsNotPaired) {
    Start();
    EXPECT_EQ(ReadFile(home + "config.ini"),
              "[SECTION 1]\nPhoneIP=0\nAutoIP=0\nAutoMin=1\nAutoPair=1\nAutoRepair=1\n"
              "AutoRun=1\nAsNmDev=0\nPairTimeout=10\nRepairTime=15\nRetryTimes=0\n"
              "ResendGruu=15\n");
    EXPECT_EQ(view.Status(), "Not Paired");
    EXPECT_EQ(view.icon, ICON_NOT_PAIRED);
    EXPECT_EQ(view.tip, "Not Paired");
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    // No address and no automatic address: AutoPair does nothing.
    EXPECT_EQ(sessions_started, 0);
    // The firewall's exception: the running executable, named without its extension.
    EXPECT_EQ(calls, (std::vector<std::string>{"update", "autorun 1", "firewall main_dlg_test",
                                               "srtp-load", "srtp-init", "net"}));
    EXPECT_NE(firewall_image.find("main_dlg_test"), std::string::npos);
    EXPECT_EQ(firewall_image.find("main_dlg_test"), firewall_image.find_last_of("/\\") + 1);
    EXPECT_EQ(view.init_window_calls, 1);
}

TEST_F(MainDlg, StoredAddressWithAutoPairStartsPairingAtOnce) {
    WriteConfig("[SECTION 1]\nPhoneIP=-1062731510\n");
    Start();
    EXPECT_EQ(view.shown_address, 0xC0A8010Au);  // 192.168.1.10
    EXPECT_EQ(sessions_started, 1);
    EXPECT_EQ(view.Status(), "Pairing...");
    EXPECT_TRUE(loop.timer_running(TIMER_PAIR));
    EXPECT_EQ(dlg->RepairArmed(), 1);
}

TEST_F(MainDlg, MissingSrtpLibraryIsReportedWithItsErrorCodeAndStartUpGoesOn) {
    srtp_load_result = -1;
    srtp_error = 2;
    Start();
    ASSERT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(view.messages[0], "Failed to load the srtp library. Error id: 2.");
    EXPECT_EQ(view.captions[0], "Kestrow Hint");
    EXPECT_EQ(view.styles[0], MB_EXCLAMATION_OK);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "srtp-init"), 0);
    EXPECT_EQ(view.Status(), "Not Paired");
}

TEST_F(MainDlg, FailedSrtpInitialisationShowsItsOwnText) {
    srtp_init_result = -5;
    Start();
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Failed to initialize the srtp library."});
}

TEST_F(MainDlg, NetworkFailureTellsTheUserAndCloses) {
    net_result = -1;
    Start();
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"Network error! Please check your network first."});
    EXPECT_EQ(view.end_dialog_calls, 1);
}

TEST_F(MainDlg, FailedAutoRunIsShownAndTheLoadGoesOn) {
    autorun_result = 0;
    Start();
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"Set auto run failed."});
    EXPECT_EQ(dlg->Settings().resend_gruu_s, 15);
}

TEST_F(MainDlg, EveryStateShowsItsTextIconAndButton) {
    Start();
    struct Row {
        unsigned state;
        const char* status;
        int icon;
        bool enabled;
        const char* button;
    };
    const Row rows[] = {
        {STATE_PAIRING, "Pairing...", ICON_BUSY, false, "Pair"},
        {STATE_PAIRED_SIGNED_OUT, "Paired(Sign Out)", ICON_PAIRED_SIGNED_OUT, true, "Unpair"},
        {STATE_PAIRED_SIGNED_IN, "Paired(Sign In)", ICON_SIGNED_IN, true, "Unpair"},
        {STATE_UNPAIRING, "Unpairing...", ICON_BUSY, false, "Unpair"},
        {STATE_FINDING_ADDRESS, "Started", ICON_NOT_PAIRED, true, "Stop"},
        {STATE_NOT_PAIRED, "Not Paired", ICON_NOT_PAIRED, true, "Pair"},
    };
    for (const Row& r : rows) {
        dlg->SetState(r.state);
        Settle();
        EXPECT_EQ(view.Status(), r.status);
        EXPECT_EQ(view.icon, r.icon) << r.status;
        EXPECT_EQ(view.pair_enabled, r.enabled) << r.status;
        EXPECT_EQ(view.pair_text, r.button) << r.status;
        EXPECT_EQ(view.tip, std::string("Kestrow Quor Connector\r\nStatus: ") + r.status);
    }
}

TEST_F(MainDlg, LeavingStateZeroLocksTheAddressAndReturningUnlocksIt) {
    Start();
    dlg->SetState(STATE_PAIRING);
    Settle();
    EXPECT_FALSE(view.address_enabled);
    EXPECT_FALSE(view.auto_enabled);
    dlg->UpdateSettings([&](ControllerSettings& s) { s.auto_ip = 1; });
    dlg->SetState(STATE_NOT_PAIRED);
    Settle();
    EXPECT_FALSE(view.address_enabled);  // the automatic address keeps it locked
    EXPECT_TRUE(view.auto_enabled);
}

TEST_F(MainDlg, BalloonOnlyWhenMinimisedAndNeitherPairingNorWaiting) {
    Start();
    view.minimized = true;
    dlg->SetState(STATE_PAIRING);
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    dlg->SetState(STATE_WAITING);
    view.minimized = false;
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    Settle();
    EXPECT_EQ(view.balloons, std::vector<std::string>{"Paired(Sign Out)"});
}

TEST_F(MainDlg, PairedStatesRunKeepAliveWatchdogAndGruuTimers) {
    Start();
    dlg->SetState(STATE_PAIRING);
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    EXPECT_TRUE(loop.timer_running(TIMER_KEEPALIVE));
    EXPECT_TRUE(loop.timer_running(TIMER_LINK));
    EXPECT_TRUE(loop.timer_running(TIMER_GRUU));
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    EXPECT_FALSE(loop.timer_running(TIMER_GRUU));
    EXPECT_TRUE(loop.timer_running(TIMER_LINK));
    // The same state again skips the timer steps.
    loop.stop_timer(TIMER_LINK);
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    EXPECT_FALSE(loop.timer_running(TIMER_LINK));
    dlg->SetState(STATE_UNPAIRING);
    EXPECT_FALSE(loop.timer_running(TIMER_KEEPALIVE));
}

TEST_F(MainDlg, GruuTimerResendsTheGruuEveryPeriod) {
    Start();
    dlg->SetState(STATE_PAIRING);
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    Advance(31000);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "send-gruu"), 2);
}

TEST_F(MainDlg, PairingTimeOutReturnsToNotPairedThenCountsDownAndPairsAgain) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nRepairTime=3\n");
    Start();
    ASSERT_EQ(dlg->State(), STATE_PAIRING);
    Advance(10000);
    EXPECT_EQ(g_dev.stop, DEV_STOP);
    EXPECT_EQ(dlg->State(), STATE_WAITING);
    EXPECT_EQ(view.Status(), "Waiting...(3s)");
    EXPECT_EQ(view.pair_text, "Stop");
    Advance(1000);
    EXPECT_EQ(view.Status(), "Waiting...(2s)");
    Advance(2000);
    EXPECT_EQ(dlg->State(), STATE_PAIRING);
    EXPECT_EQ(sessions_started, 2);
    EXPECT_FALSE(loop.timer_running(TIMER_REPAIR_TICK));
    // The countdown follows the time-out at once: "Not Paired" never shows.
    const std::vector<std::string> want = {"Pairing...", "Waiting...(3s)", "Waiting...(2s)",
                                           "Waiting...(1s)", "Pairing..."};
    std::vector<std::string> seen(view.statuses.end() - 5, view.statuses.end());
    EXPECT_EQ(seen, want);
}

TEST_F(MainDlg, RepairTimeBelowOneCountsOneSecondAndPairsAgain) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nRepairTime=0\nPairTimeout=1\n");
    Start();
    Advance(1000);
    EXPECT_EQ(view.Status(), "Waiting...(1s)");
    Advance(1000);
    EXPECT_EQ(dlg->State(), STATE_PAIRING);
    EXPECT_EQ(sessions_started, 2);
    EXPECT_EQ(dlg->Settings().repair_time_s, 0);
    EXPECT_NE(ReadFile(home + "config.ini").find("RepairTime=0\n"), std::string::npos);
}

TEST_F(MainDlg, RetryTimesBoundsTheReRepairAttempts) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nRepairTime=1\nRetryTimes=2\nPairTimeout=1\n");
    Start();
    Advance(20000);
    EXPECT_EQ(sessions_started, 3);  // the first pairing and two re-pairs
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    EXPECT_EQ(view.Status(), "Not Paired");
}

TEST_F(MainDlg, ZeroRetryTimesMeansNoLimit) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nRepairTime=1\nRetryTimes=0\nPairTimeout=1\n");
    Start();
    Advance(30000);
    EXPECT_GE(sessions_started, 10);
}

TEST_F(MainDlg, StopDuringTheCountdownReturnsToNotPairedAndDisarms) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nPairTimeout=1\n");
    Start();
    Advance(1000);
    ASSERT_EQ(dlg->State(), STATE_WAITING);
    dlg->OnOK();
    Settle();
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    EXPECT_EQ(dlg->RepairArmed(), 0);
    EXPECT_FALSE(loop.timer_running(TIMER_REPAIR_TICK));
    Advance(20000);
    EXPECT_EQ(sessions_started, 1);
}

TEST_F(MainDlg, WatchdogWithoutKeepAliveAnswerUnpairsAndReArmsTheRePair) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\n");
    Start();
    dlg->StopTimer(TIMER_PAIR);              // the session, when the device starts
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);  // the device thread after plug-in
    dlg->SetRepairArmed(0);
    Advance(18990);
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_OUT);
    Advance(20);
    EXPECT_EQ(dlg->State(), STATE_UNPAIRING);
    EXPECT_EQ(view.Status(), "Unpairing...");
    EXPECT_EQ(g_dev.stop, DEV_STOP);
    EXPECT_EQ(dlg->RepairArmed(), 1);
    dlg->SetState(STATE_NOT_PAIRED);  // the device thread after the unplug
    Settle();
    EXPECT_EQ(view.Status(), "Waiting...(15s)");
}

TEST_F(MainDlg, WatchdogUnpairThatEndsAtOnceStillStartsTheRePair) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\n");
    Start();
    dlg->StopTimer(TIMER_PAIR);
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    // The device thread ends the pairing the moment it is told to stop,
    // before the watchdog's handler returns.
    view.on_show_auto_checked = [this] {
        if (g_dev.stop == DEV_STOP) dlg->SetState(STATE_NOT_PAIRED);
    };
    Advance(19010);
    ASSERT_EQ(g_dev.stop, DEV_STOP);
    Settle();
    EXPECT_EQ(view.Status(), "Waiting...(15s)");
    EXPECT_TRUE(loop.timer_running(TIMER_REPAIR_TICK));
}

// The device thread reports the USB host's drop; the unpair runs later on
// the UI thread, and only for the pairing that lost its host: not once that
// pairing is being stopped, nor for a newer pairing that began meanwhile.
TEST_F(MainDlg, ALostHostUnpairsOnlyThePairingThatLostIt) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\n");
    Start();
    dlg->StopTimer(TIMER_PAIR);
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    dlg->SetRepairArmed(0);
    const int generation = g_pair_generation;
    dlg->LinkLost(generation);
    g_dev.stop = DEV_STOP_AND_EXIT;  // the tray Exit came first
    Settle();
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_IN);
    g_dev.stop = DEV_RUN;
    dlg->LinkLost(generation);
    ++g_pair_generation;  // a newer pairing
    Settle();
    EXPECT_EQ(dlg->State(), STATE_PAIRED_SIGNED_IN);
    dlg->LinkLost(generation + 1);
    Settle();
    EXPECT_EQ(dlg->State(), STATE_UNPAIRING);
    EXPECT_EQ(g_dev.stop, DEV_STOP);
    EXPECT_EQ(dlg->RepairArmed(), 1);
}

TEST_F(MainDlg, TakenOverMessageIsShownOnceAndBlocksTheRePair) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\n");
    Start();
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    const uint8_t other[4] = {192, 168, 1, 20};
    dlg->SetTakenOverMsg(other);
    dlg->SetRepairArmed(1);  // even if re-armed, the pending text wins
    dlg->SetState(STATE_NOT_PAIRED);
    Settle();
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"The device has been connected by IP: 192.168.1.20."});
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    dlg->SetState(STATE_NOT_PAIRED);
    Settle();
    EXPECT_EQ(view.Messages().size(), 1u);
}

TEST_F(MainDlg, ASessionThatDeclinesBeforeThePairPressReturnsStaysDisarmed) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\nAutoPair=0\nRepairTime=1\n");
    ShellHooks hooks = RecordingHooks();
    // The session thread can finish its whole exchange before the press's
    // handler returns: the user declines the take-over at once.
    hooks.start_pair_session = [this](Controller& c) {
        ++sessions_started;
        // Declined: disarmed, and the session ends in state 1, which the
        // short pairing time-out then takes back to state 0.
        c.disarm_repair();
        c.StartTimer(TIMER_PAIR, 500);
    };
    Start(std::move(hooks));
    dlg->OnOK();
    Advance(5000);
    EXPECT_EQ(dlg->State(), STATE_NOT_PAIRED);
    EXPECT_EQ(sessions_started, 1);
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), "Waiting...(1s)"), 0);
}

TEST_F(MainDlg, PairWithoutAddressOnlySavesAutoIp) {
    WriteConfig("[SECTION 1]\nAutoPair=0\n");
    Start();
    dlg->OnOK();
    EXPECT_EQ(sessions_started, 0);
    EXPECT_EQ(ini_get_int(home + "config.ini", "SECTION 1", "AutoIP", -7), 0);
    dlg->OnAddressEdited(167772165, 4);  // 10.0.0.5
    dlg->OnOK();
    EXPECT_EQ(sessions_started, 1);
    EXPECT_EQ(ini_get_int(home + "config.ini", "SECTION 1", "PhoneIP", 0), 167772165);
}

TEST_F(MainDlg, MenuPairCommandInPairingOnlyRefreshesTheTexts) {
    WriteConfig("[SECTION 1]\nPhoneIP=167772165\n");
    Start();
    dlg->OnCommand(ID_PAIR_SIGN_IN);
    Settle();
    EXPECT_EQ(sessions_started, 1);
    EXPECT_EQ(dlg->State(), STATE_PAIRING);
    dlg->OnCommand(ID_SIGN_IN_BY_LYNC);
    EXPECT_EQ(g_lync.signin_request_pending, 1);
}

TEST_F(MainDlg, CloseAsksAndEndsAtOnceWhenNotPaired) {
    Start();
    view.answer = IDCANCEL;
    dlg->OnCancel();
    EXPECT_EQ(view.end_dialog_calls, 0);
    view.answer = IDOK;
    dlg->OnCancel();
    EXPECT_EQ(view.Messages().back(), "Are you sure to quit the connector?");
    EXPECT_EQ(view.styles.back(), MB_EXCLAMATION_OKCANCEL);
    EXPECT_EQ(view.end_dialog_calls, 1);
}

TEST_F(MainDlg, CloseWhilePairedStopsTheMediaAndWaitsForTheUnplug) {
    Start();
    dlg->SetState(STATE_PAIRED_SIGNED_IN);
    view.answer = IDOK;
    dlg->OnCancel();
    EXPECT_EQ(view.end_dialog_calls, 0);
    EXPECT_EQ(g_dev.stop, DEV_STOP_AND_EXIT);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "srtp-close"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "stop-log"), calls.end());
}

TEST_F(MainDlg, TrayExitNeverAsks) {
    Start();
    dlg->SetState(STATE_PAIRING);
    dlg->OnCommand(ID_EXIT);
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_EQ(view.end_dialog_calls, 1);
}

TEST_F(MainDlg, SessionEndWhilePairedIsRefusedAfterEightSeconds) {
    Start();
    EXPECT_TRUE(dlg->OnQueryEndSession());
    dlg->SetState(STATE_PAIRED_SIGNED_OUT);
    std::atomic<int> answer{-1};
    std::thread ui([&] { answer = dlg->OnQueryEndSession() ? 1 : 0; });
    // The clock moves only once the handler sleeps on it, or its eight
    // seconds would start after part of the advance.
    while (clock.sleepers() == 0) std::this_thread::yield();
    EXPECT_EQ(g_dev.stop, DEV_STOP_AND_EXIT);
    clock.advance(7999);
    EXPECT_EQ(answer, -1);
    clock.advance(1);
    ui.join();
    EXPECT_EQ(answer, 0);
}

TEST_F(MainDlg, HelpOpensReadmeOrSaysItIsMissing) {
    Start();
    dlg->OnHelpClicked();
    EXPECT_EQ(view.opened, std::vector<std::string>{home + "Readme.txt"});
    view.open_ok = false;
    dlg->OnHelpClicked();
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"Can't find helping file Readme.txt in the directory."});
}

TEST_F(MainDlg, MinimiseHidesAndRaisesTheBalloon) {
    Start();
    dlg->OnSysCommand(0xF020);
    Settle();
    EXPECT_TRUE(view.minimized);
    EXPECT_EQ(view.balloons, std::vector<std::string>{"Not Paired"});
}

}  // namespace
}  // namespace quor::test
