// One attachment from look-up to unplug on a recording bus, on a manual
// clock: retries, refusals, the stop requests, threads of an earlier
// attachment, and what the phone and the main window see.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "link/ctrl_channel.h"
#include "link/ctrl_frame.h"
#include "link/pair_session.h"
#include "media/media_api.h"
#include "platform/event.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "soft_dev/attach.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/soft_dev_hooks.h"
#include "support/fake_view.h"
#include "unit/soft_dev_test_support.h"
#include "unit/temp_dir.h"

namespace quor::test {
namespace {

class Attachment : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(set_device_identity("ABC", 0x1234, 0x5678, 0x0102), 0);
        connect_device_to_channel();
        g_dev.stop = DEV_RUN;
        dlg.PresetState(STATE_PAIRING);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        phone_ = sv[0];
        ctrl_channel_open(sv[1], 0x7F000001);
    }
    void TearDown() override {
        ctrl_channel_close();
        close(phone_);
        g_dev.stop = DEV_RUN;
    }

    // One attachment of the device on BUS, with the test's hooks.
    int attach(VirtualBus& bus) {
        DeviceContext device(dlg, hooks);
        return run_attachment(device, bus);
    }

    // Runs the attachment on its own thread, moving the manual clock on in
    // 10 ms ticks, each only while a thread sleeps on it, so the clock never
    // runs ahead of the attachment's work; STEP is called on the test thread
    // at every tick. The clock then reads the time the attachment ended.
    // Ticks are 200 us apart in real time: the device's own threads wait in
    // real time, and the stop polls must not outrun them.
    void run(const std::function<void(int64_t now)>& step = {}) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            attach(bus);
            done = true;
        });
        for (int i = 0; i < 20000 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (!wait_for_sleeper(done)) {
                ADD_FAILURE() << "the attachment neither sleeps on the clock nor ends";
                break;
            }
            if (done) break;
            clock.advance(10);
            loop.run_pending();
            read_phone();
            if (step) step(clock.now_ms());
        }
        t.join();
        loop.run_pending();
    }
    // Waits until a thread sleeps on the clock or DONE is set; false when
    // neither happens within 10 s.
    bool wait_for_sleeper(const std::atomic<bool>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done && clock.sleepers() == 0) {
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return true;
    }

    // Types of the control frames the phone received so far.
    std::vector<uint8_t> phone_frames() {
        const Bytes b = phone_received();
        std::vector<uint8_t> types;
        for (size_t at = 0; at + 1 < b.size(); at += 2 + b[at + 1]) types.push_back(b[at]);
        return types;
    }
    // Bytes the phone received on the control channel since the last call.
    Bytes phone_received() {
        read_phone();
        return std::exchange(phone_bytes_, {});
    }
    // Takes in what the channel carried, as a phone does: the window's
    // keep-alives would otherwise fill the socket and block the UI loop.
    void read_phone() {
        uint8_t buf[256];
        ssize_t n;
        while ((n = recv(phone_, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
            phone_bytes_.insert(phone_bytes_.end(), buf, buf + n);
    }

    // The window's settings (a lost link's unpair saves the address) go to
    // a folder of the test's own.
    TempDir home_;
    const bool home_set_ = setenv("QUOR_HOME", home_.path.c_str(), 1) == 0;
    ManualClock clock;
    EventLoop loop{clock};
    FakeView view;
    CKestrowQuorConnectorDlg dlg{view, loop, clock, default_shell_hooks()};
    FakeBus bus;
    int phone_ = -1;
    Bytes phone_bytes_;
    SoftDevHooks hooks;  // none: the device's requests go unanswered
};

TEST_F(Attachment, AttachesServesUntilStopThenUnplugsTheSamePort) {
    bus.port_table[1] = 1;
    bus.port_table[5] = 0;
    bus.requests.push_back(control(1, 0x80, 6, 0x0100, 0, 64).wire());
    int64_t stop_at = -1;
    LogCapture log;
    run([&](int64_t now) {
        if (stop_at < 0 && dlg.State() == STATE_PAIRED_SIGNED_OUT && g_dev.softdev_alive) {
            stop_at = now;
            g_dev.stop = DEV_STOP;
        }
    });
    const std::string text = log.text();
    ASSERT_EQ(bus.plugin_records.size(), 1u);
    EXPECT_EQ(bus.plugin_records[0], (Bytes{0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x78, 0x56, 0x02,
                                            0x01, 0x05, 0x04, 0x00, 0x00, 0x00, 0x01}));
    ASSERT_EQ(bus.unplug_records.size(), 1u);
    EXPECT_EQ(bus.unplug_records[0], (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(bus.close_calls, 1);
    EXPECT_NE(text.find("STARTDEV: DevPath fake-bus\n"), std::string::npos);
    // The request was served while attached.
    EXPECT_EQ(bus.replies.size(), 1u);
    EXPECT_EQ(bus.finished, std::vector<uint32_t>{1});
    EXPECT_NE(text.find("DEV: Received SoftDevice Shutdown event"), std::string::npos);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
    EXPECT_EQ(view.end_dialog_calls, 0);
    EXPECT_EQ(g_dev.softdev_alive, 0);
    EXPECT_EQ(named_event_count(), 0u);
    for (uint8_t type : phone_frames()) EXPECT_NE(type, 42) << "UNPAIR sent";
}

TEST_F(Attachment, PerAttachmentStateIsClearedAtPlugIn) {
    g_lync.signin_request_pending = 1;
    g_lync.hid_send_window = 1;
    g_lync.lync_status_word = 0x1234;
    g_lync.srtp_stream_active = 1;
    bus.port_table[1] = 0;
    bus.on_plugin = [](int) { g_dev.stop = DEV_STOP; };
    run();
    EXPECT_EQ(g_lync.signin_request_pending, 0);
    EXPECT_EQ(g_lync.hid_send_window, 0);
    EXPECT_EQ(g_lync.lync_status_word, 0);
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
}

TEST_F(Attachment, DriverThatRefusesEverythingIsAsked21Times200msApart) {
    bus.port_table[1] = 0;
    bus.refusals = -1;
    std::vector<int64_t> times;
    bus.on_plugin = [&](int) { times.push_back(clock.now_ms()); };
    LogCapture log;
    run();
    ASSERT_EQ(times.size(), 21u);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 200) << i;
    // The last refusal is waited out too before the attachment gives up.
    EXPECT_EQ(clock.now_ms() - times[0], 4200);
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "STARTDEV: Import device failed\n"), 1u);
    EXPECT_TRUE(bus.unplug_records.empty());
    EXPECT_EQ(bus.close_calls, 1);
    // Still pairing: the phone is told, and the device stop is raised.
    EXPECT_EQ(phone_received(), (Bytes{0x2A, 0x00}));
    EXPECT_EQ(g_dev.stop, DEV_STOP);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

TEST_F(Attachment, LateAcceptanceAttaches) {
    bus.port_table[1] = 0;
    bus.refusals = 3;
    bus.on_plugin = [](int call) {
        if (call == 4) g_dev.stop = DEV_STOP;
    };
    run();
    EXPECT_EQ(bus.plugin_records.size(), 4u);
    EXPECT_EQ(bus.unplug_records.size(), 1u);
}

const std::string DRIVER_FAILED =
    "Loading the driver failed, please retry or re install the software.";

TEST_F(Attachment, MissingBusFailsAtTheLookUpAndTellsThePhone) {
    bus.find_ok = false;
    LogCapture log;
    run();
    EXPECT_EQ(log.text(), "STARTDEV: Get DevPath failed\n");
    EXPECT_EQ(phone_received(), (Bytes{0x2A, 0x00}));
    EXPECT_EQ(bus.close_calls, 0);  // never opened
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

// A pairing whose device cannot be plugged in tells the user once and does
// not pair again by itself, whichever step failed, also when the phone's
// SIGNED_IN came first.
TEST_F(Attachment, APairingThatCannotPlugInTheDeviceTellsTheUserAndStops) {
    const std::vector<std::function<void(FakeBus&)>> failures = {
        [](FakeBus& b) { b.find_ok = false; },
        [](FakeBus& b) { b.open_ok = false; },
        [](FakeBus& b) { b.port_table = Bytes(PORT_STATUS_SIZE, 1); },
        [](FakeBus& b) {
            b.port_table[1] = 0;
            b.refusals = -1;
        },
    };
    dlg.UpdateSettings([&](ControllerSettings& s) { s.auto_repair = 1; });
    dlg.UpdateSettings([&](ControllerSettings& s) { s.repair_time_s = 15; });
    for (size_t i = 0; i < 2 * failures.size(); ++i) {
        FakeBus fresh;
        failures[i % failures.size()](fresh);
        const unsigned state = i < failures.size() ? STATE_PAIRING : STATE_PAIRED_SIGNED_IN;
        dlg.PresetState(state);
        dlg.SetRepairArmed(1);  // as the Pair action leaves it
        const size_t shown_before = view.Messages().size();
        std::atomic<bool> done{false};
        std::thread t([&] {
            attach(fresh);
            done = true;
        });
        while (!done) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            clock.advance(10);
        }
        t.join();
        loop.run_pending();
        const std::vector<std::string> shown = view.Messages();
        EXPECT_EQ(std::vector<std::string>(shown.begin() + long(shown_before), shown.end()),
                  std::vector<std::string>{DRIVER_FAILED})
            << i;
        EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED) << i;  // no re-pair countdown
        EXPECT_EQ(dlg.RepairArmed(), 0) << i;
        phone_received();
    }
}

TEST_F(Attachment, AFailureAfterThePairingEndedTellsNobody) {
    bus.find_ok = false;
    dlg.PresetState(STATE_NOT_PAIRED);  // e.g. the pairing timed out meanwhile
    run();
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_TRUE(phone_received().empty());
}

TEST_F(Attachment, FailureWhilePairedShowsUnpairingWithoutTellingThePhone) {
    dlg.PresetState(STATE_PAIRED_SIGNED_IN);  // every port taken
    unsigned state_at_close = 0;
    bus.on_close = [&] { state_at_close = dlg.State(); };
    LogCapture log;
    run();
    EXPECT_NE(log.text().find("STARTDEV: Open port failed\n"), std::string::npos);
    EXPECT_EQ(state_at_close, STATE_UNPAIRING);
    EXPECT_TRUE(phone_received().empty());
    EXPECT_EQ(g_dev.stop, DEV_RUN);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

TEST_F(Attachment, UnopenableBusIsNotClosed) {
    bus.open_ok = false;
    LogCapture log;
    run();
    EXPECT_EQ(log.text(), "STARTDEV: DevPath fake-bus\nSTARTDEV: Open device file failed\n");
    EXPECT_EQ(bus.close_calls, 0);
    EXPECT_EQ(phone_received(), (Bytes{0x2A, 0x00}));
}

TEST_F(Attachment, NoFreePortOrAShortPortTable) {
    for (Bytes table : {Bytes(PORT_STATUS_SIZE, 1), Bytes(64, 0)}) {
        FakeBus fresh;
        fresh.port_table = table;
        dlg.PresetState(STATE_PAIRING);
        LogCapture log;
        std::thread t([&] { attach(fresh); });
        t.join();
        EXPECT_NE(log.text().find("STARTDEV: Open port failed\n"), std::string::npos);
        EXPECT_TRUE(fresh.plugin_records.empty());
        EXPECT_EQ(fresh.close_calls, 1);
    }
}

TEST_F(Attachment, ThreadStillAliveFromBeforeMakesTheDeviceDetachAtOnce) {
    bus.port_table[1] = 0;
    g_dev.softdev_alive = 1;
    LogCapture log;
    run();
    g_dev.softdev_alive = 0;
    EXPECT_NE(log.text().find("STARTDEV: Some thread is alive, exit now\n"), std::string::npos);
    EXPECT_EQ(bus.reads, 0);  // no reader was started
    EXPECT_EQ(bus.unplug_records.size(), 1u);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

TEST_F(Attachment, StopRequestTwoEndsTheDialogAfterTheUnplug) {
    bus.port_table[1] = 0;
    run([&](int64_t) {
        if (dlg.State() == STATE_PAIRED_SIGNED_OUT) g_dev.stop = DEV_STOP_AND_EXIT;
    });
    EXPECT_EQ(bus.unplug_records.size(), 1u);
    EXPECT_EQ(bus.close_calls, 1);
    EXPECT_EQ(view.end_dialog_calls, 1);
    EXPECT_EQ(dlg.State(), STATE_PAIRED_SIGNED_OUT);  // not returned to 0
}

TEST_F(Attachment, StopAskedDuringThePlugInIsHonouredWithoutShowingPaired) {
    bus.port_table[1] = 0;
    bus.refusals = 2;
    int64_t accepted_at = -1;
    bus.on_plugin = [&](int call) {
        if (call == 2) g_dev.stop = DEV_STOP;  // e.g. the pairing timed out
        if (call == 3) accepted_at = clock.now_ms();
    };
    bool paired_seen = false;
    run([&](int64_t) { paired_seen |= dlg.State() == STATE_PAIRED_SIGNED_OUT; });
    EXPECT_FALSE(paired_seen);
    ASSERT_GE(accepted_at, 0);
    ASSERT_EQ(bus.unplug_records.size(), 1u);
    // 100 ms for the threads to start, 200 ms polls for as long as they take
    // to end in real time, and 1 s before the unplug, which ends the
    // attachment; a 500 ms stop poll would put the unplug off that grid.
    const int64_t unplugged_at = clock.now_ms();
    EXPECT_GE(unplugged_at - accepted_at, 1100);
    EXPECT_EQ((unplugged_at - accepted_at - 1100) % 200, 0) << unplugged_at - accepted_at;
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

// The phone signs in right after its identity (it re-paired while its
// softphone session stayed signed in): during the plug-in, or even before
// the device thread ran, with the previous pairing's stop request still
// raised. The plug-in keeps "Paired(Sign In)" and the device runs on.
TEST_F(Attachment, ASignInBeforeThePlugInEndsStands) {
    for (const bool before_the_thread : {false, true}) {
        FakeBus fresh;
        fresh.port_table[1] = 0;
        g_dev.stop = DEV_STOP;  // the previous pairing's unpair
        dlg.PresetState(STATE_PAIRING);
        if (before_the_thread) dlg.SetState(STATE_PAIRED_SIGNED_IN);
        fresh.on_plugin = [&](int) { dlg.SetState(STATE_PAIRED_SIGNED_IN); };
        loop.run_pending();
        {
            std::lock_guard lk(view.mu);
            view.statuses.clear();
        }
        const int64_t start = clock.now_ms();
        int64_t plugged_at = -1;
        std::atomic<bool> done{false};
        std::thread t([&] {
            attach(fresh);
            done = true;
        });
        bool ran_on = false;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            clock.advance(10);
            loop.run_pending();
            read_phone();
            if (plugged_at < 0 && g_dev.softdev_alive) plugged_at = clock.now_ms();
            // Well past the threads' 100 ms start and two stop polls, the
            // device still runs, signed in, and the button unpairs.
            if (plugged_at >= 0 && clock.now_ms() - plugged_at >= 1500 && g_dev.stop == DEV_RUN) {
                ran_on = dlg.State() == STATE_PAIRED_SIGNED_IN && fresh.unplug_count() == 0 &&
                         view.pair_enabled && view.pair_text == "Unpair";
                g_dev.stop = DEV_STOP;
            }
            if (clock.now_ms() - start > 10000) g_dev.stop = DEV_STOP;
        }
        t.join();
        loop.run_pending();
        EXPECT_TRUE(ran_on) << before_the_thread;
        std::lock_guard lk(view.mu);
        EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), "Paired(Sign Out)"), 0)
            << before_the_thread;
    }
}

// The pairing time-out fires while the device is being plugged in: its
// "Not Paired" comes just before its stop request. The plug-in that ends
// in between shows no "Paired(Sign Out)" after it.
TEST_F(Attachment, APlugInThatEndsAfterItsPairingEndedSetsNoState) {
    bus.port_table[1] = 0;
    bus.on_plugin = [&](int) { dlg.SetState(STATE_NOT_PAIRED); };
    int64_t plugged_at = -1;
    run([&](int64_t now) {
        if (plugged_at < 0) plugged_at = now;
        if (now - plugged_at >= 1000) g_dev.stop = DEV_STOP;
    });
    std::lock_guard lk(view.mu);
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Not Paired"});
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

// The USB host ends the device's connection (the kernel or the user
// detached the port, the socket broke) in the middle of the pairing or of
// a call: as a lost link, the phone is told UNPAIR, the window shows Not
// Paired and, with AutoRepair on, counts down to the re-pair.
TEST_F(Attachment, AUsbHostThatDropsTheDeviceEndsThePairingAsALostLink) {
    dlg.SetAddress(0x7F000001);
    dlg.UpdateSettings([&](ControllerSettings& s) { s.repair_time_s = 15; });
    dlg.UpdateSettings([&](ControllerSettings& s) { s.keepalive_period_s = 2; });
    dlg.UpdateSettings([&](ControllerSettings& s) {
        s.link_watchdog_s = 19;
    });  // not the phone link's watchdog that ends it
    for (const bool in_call : {false, true}) {
        for (const int auto_repair : {0, 1}) {
            SCOPED_TRACE(testing::Message()
                         << "in call " << in_call << ", AutoRepair " << auto_repair);
            FakeBus fresh;
            fresh.port_table[1] = 0;
            // Mid-pairing: the host is gone as soon as the device is in.
            fresh.host_gone = !in_call;
            g_dev.stop = DEV_RUN;
            dlg.PresetState(STATE_PAIRING);
            dlg.UpdateSettings([&](ControllerSettings& s) { s.auto_repair = auto_repair; });
            dlg.SetRepairArmed(0);
            dlg.SetRepairCount(0);
            phone_received();
            LogCapture log;
            std::atomic<bool> done{false};
            std::thread t([&] {
                attach(fresh);
                done = true;
            });
            const int64_t start = clock.now_ms();
            bool dropped = !in_call, fallback_stop = false;
            while (!done) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                clock.advance(10);
                loop.run_pending();
                read_phone();
                if (!dropped && dlg.State() == STATE_PAIRED_SIGNED_OUT) {
                    dlg.SetState(STATE_PAIRED_SIGNED_IN);
                    g_lync.srtp_stream_active = 1;
                    EXPECT_EQ(open_rtp_socket(0, 9, 0x7F000001), 0);
                    dropped = true;
                    std::lock_guard lk(fresh.mu);
                    fresh.host_gone = true;
                }
                // Should nobody notice, a stop lets the threads be joined.
                if (!fallback_stop && clock.now_ms() - start > 8000) {
                    fallback_stop = true;
                    g_dev.stop = DEV_STOP;
                }
            }
            t.join();
            loop.run_pending();
            const std::string text = log.text();
            EXPECT_FALSE(fallback_stop);
            EXPECT_EQ(count_of(text, "STARTDEV: The USB host dropped the device, unpairing\n"), 1u);
            std::vector<uint8_t> told = phone_frames();
            std::erase(told, KEEPALIVE);
            EXPECT_EQ(told, std::vector<uint8_t>{UNPAIR});
            EXPECT_EQ(fresh.unplug_count(), 1u);
            EXPECT_EQ(g_rtp_socket, -1);
            EXPECT_EQ(dlg.RepairArmed(), 1);
            if (auto_repair) {
                EXPECT_EQ(dlg.State(), STATE_WAITING);
                EXPECT_EQ(view.Status(), "Waiting...(15s)");
                EXPECT_TRUE(loop.timer_running(TIMER_REPAIR_TICK));
            } else {
                EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
                EXPECT_EQ(view.Status(), "Not Paired");
            }
            loop.stop_timer(TIMER_REPAIR_TICK);
        }
    }
}

TEST_F(Attachment, AttachedWindowHidesToTheTrayWhenAutoMinIsOn) {
    dlg.UpdateSettings([&](ControllerSettings& s) { s.auto_min = 1; });
    bus.port_table[1] = 0;
    // The workers sleep on the same clock, so the attachment may still be
    // between pairing and its minimise when the clock moves on: the stop
    // waits for the minimise, or for a minute of the clock without one.
    run([&](int64_t now) {
        if (view.minimized || now > 60'000) g_dev.stop = DEV_STOP;
    });
    EXPECT_TRUE(view.minimized);
}

TEST_F(Attachment, InterruptWorkerIsStartedAndAwaitedBeforeTheUnplug) {
    std::atomic<bool> unplugged_while_running{false};
    std::atomic<bool> given_the_controllers_clock{false};
    hooks.interrupt_worker = [&](DeviceContext& device, VirtualBus&) {
        // The worker paces itself by the controller's clock, not the system's.
        given_the_controllers_clock = &device.clock == &clock && &device.controller == &dlg;
        g_dev.intr_thread_alive = 1;
        while (g_dev.stop == DEV_RUN) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Still running for five seconds of the attachment's time after the
        // stop, unless the device is unplugged first (or the attachment
        // waits for the worker without sleeping on the clock).
        const int64_t stopped_at = clock.now_ms();
        for (int still_ms = 0;
             clock.now_ms() < stopped_at + 5000 && bus.unplug_count() == 0 && still_ms < 5000;) {
            const int64_t before = clock.now_ms();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            still_ms = clock.now_ms() == before ? still_ms + 1 : 0;
        }
        unplugged_while_running = bus.unplug_count() > 0;
        g_dev.intr_thread_alive = 0;
        return 1;
    };
    bus.port_table[1] = 0;
    run([&](int64_t) {
        if (dlg.State() == STATE_PAIRED_SIGNED_OUT) g_dev.stop = DEV_STOP;
    });
    EXPECT_TRUE(given_the_controllers_clock);
    EXPECT_FALSE(unplugged_while_running);
    EXPECT_EQ(bus.unplug_records.size(), 1u);
    EXPECT_EQ(g_dev.intr_thread_alive, 0);
}

TEST_F(Attachment, APairingThatEndsDuringACallReleasesTheCallsStream) {
    // The call's stream is open as the phone's answer left it: the RTP
    // socket bound (here to a port of the system's choosing) and the stream
    // marked active. The pairing then ends without the call ending first.
    bus.port_table[1] = 0;
    bool call_opened = false;
    run([&](int64_t) {
        if (!call_opened && dlg.State() == STATE_PAIRED_SIGNED_OUT) {
            call_opened = true;
            g_lync.srtp_stream_active = 1;
            ASSERT_EQ(open_rtp_socket(0, 9, 0x7F000001), 0);
            g_dev.stop = DEV_STOP;
        }
    });
    ASSERT_TRUE(call_opened);
    EXPECT_EQ(g_rtp_socket, -1);
    EXPECT_EQ(g_lync.srtp_stream_active, 0);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
    // The phone ends its side with the pairing: no MEDIA_STOP (65) after it.
    for (uint8_t type : phone_frames()) EXPECT_NE(type, 65) << "MEDIA_STOP sent";
}

// The pairing time-out returned the window to Not Paired while the device
// was being plugged in, and a new pairing began at once: its device waits
// for the old one to be unplugged, the old one's stop is not undone (its
// interrupt worker still sees it), and the old one's end leaves the new
// pairing's state alone.
TEST_F(Attachment, ANewPairingsDeviceWaitsForTheOldOneAndKeepsItsState) {
    std::atomic<int> workers{0};
    hooks.interrupt_worker = [&](DeviceContext&, VirtualBus&) {
        g_dev.intr_thread_alive = 1;
        ++workers;
        while (g_dev.stop == DEV_RUN) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_dev.intr_thread_alive = 0;
        return 1;
    };
    FakeBus old_bus, new_bus;
    old_bus.port_table[1] = 0;
    new_bus.port_table[1] = 0;
    std::atomic<unsigned> state_at_new_plugin{99};
    std::atomic<size_t> old_unplugs_at_new_plugin{99};
    new_bus.on_plugin = [&](int) {
        state_at_new_plugin = dlg.State();
        old_unplugs_at_new_plugin = old_bus.unplug_count();
    };
    std::atomic<int> done{0};
    std::thread old_device([&] {
        attach(old_bus);
        ++done;
    });
    std::thread new_device;
    bool timed_out = false, stopped = false;
    for (int i = 0; i < 80000 && done < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        clock.advance(10);
        loop.run_pending();
        read_phone();
        // Should a device never end, a last stop lets the threads be joined.
        if (i >= 40000) g_dev.stop = DEV_STOP;
        if (!timed_out && dlg.State() == STATE_PAIRED_SIGNED_OUT && workers == 1) {
            // The pairing time-out, then the user's Pair: a new session
            // whose identity starts the next attachment.
            timed_out = true;
            dlg.SetState(STATE_NOT_PAIRED);
            g_dev.stop = DEV_STOP;
            ++g_pair_generation;
            dlg.SetState(STATE_PAIRING);
            new_device = std::thread([&] {
                attach(new_bus);
                ++done;
            });
        }
        if (timed_out && !stopped && workers == 2 && dlg.State() == STATE_PAIRED_SIGNED_OUT) {
            stopped = true;
            g_dev.stop = DEV_STOP;
        }
    }
    old_device.join();
    if (new_device.joinable()) new_device.join();
    ASSERT_TRUE(stopped);
    EXPECT_EQ(old_bus.unplug_count(), 1u);
    EXPECT_EQ(old_unplugs_at_new_plugin, 1u);
    EXPECT_EQ(state_at_new_plugin, unsigned(STATE_PAIRING));
    EXPECT_EQ(new_bus.unplug_count(), 1u);
    EXPECT_EQ(g_dev.intr_thread_alive + g_dev.softdev_alive, 0);
    EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
}

TEST_F(Attachment, FiveAttachmentsInARowLeaveNothingBehind) {
    for (int i = 0; i < 5; ++i) {
        FakeBus fresh;
        fresh.port_table[1] = 0;
        fresh.requests.push_back(control(1, 0x80, 6, 0x0100, 0, 64).wire());
        Submit capture;
        capture.seqnum = 2;
        capture.ep = 2;
        capture.length = 96;
        capture.packets = 1;
        capture.iso.push_back({0, 96});
        fresh.requests.push_back(capture.wire());
        dlg.PresetState(STATE_PAIRING);
        std::atomic<bool> done{false};
        std::thread t([&] {
            attach(fresh);
            done = true;
        });
        while (!done) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            clock.advance(10);
            if (dlg.State() == STATE_PAIRED_SIGNED_OUT && fresh.finished_count() == 2)
                g_dev.stop = DEV_STOP;
        }
        t.join();
        EXPECT_EQ(fresh.unplug_records.size(), 1u);
        EXPECT_EQ(fresh.replies.size(), 1u);
        EXPECT_EQ(named_event_count(), 0u);
        EXPECT_EQ(g_dev.softdev_alive + g_dev.intr_thread_alive + g_dev.pb_worker_alive +
                      g_dev.cp_worker_alive,
                  0);
        EXPECT_EQ(g_dev.cp_queue.size() + g_dev.pb_queue.size() + g_dev.intr_queue.size(), 0u);
        EXPECT_EQ(dlg.State(), STATE_NOT_PAIRED);
    }
}

}  // namespace
}  // namespace quor::test
