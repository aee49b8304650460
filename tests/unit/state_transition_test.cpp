// The connection state machine as a table: what each change of state does to
// the controls, the status and tray, the timers and the re-pair countdown.
// Expected numbers are the main window's fixed ones: string ids 103-130,
// icons 128-140, timer ids 1125-1130.
#include "shell/state_transition.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quor {
namespace {

// Non-default periods, so that a period taken from elsewhere shows.
StateSettings Settings() {
    StateSettings s;
    s.auto_ip = 0;
    s.auto_repair = 1;
    s.retry_times = 0;
    s.repair_time_s = 15;
    s.resend_gruu_s = 7;
    s.keepalive_period_s = 2;
    s.link_watchdog_s = 19;
    return s;
}

TimerOp Start(int id, int64_t ms) {
    return {true, id, ms};
}
TimerOp Stop(int id) {
    return {false, id, 0};
}

TEST(StateTransition, EveryStateShowsItsStatusIconAndButton) {
    struct Row {
        unsigned state;
        int status;
        int icon;
        std::optional<bool> pair_enabled;  // unset: the button is left as it is
        int pair_text;                     // 0: its text is left as it is
    };
    const Row rows[] = {
        {0, 103, 140, true, 108},        // Not Paired, Pair
        {1, 107, 138, false, 0},         // Pairing...
        {2, 111, 128, true, 109},        // Paired(Sign Out), Unpair
        {3, 112, 137, std::nullopt, 0},  // Paired(Sign In)
        {4, 110, 138, false, 0},         // Unpairing...
        {5, 122, 140, std::nullopt, 0},  // Waiting...(Ns)
        {6, 130, 140, true, 123},        // Started, Stop
    };
    StateConditions now;
    now.countdown = 9;
    for (const Row& r : rows) {
        // The same state again: only the texts and the tray are rewritten.
        const StateTransition t = plan_state_change(r.state, r.state, Settings(), now);
        EXPECT_EQ(t.status, r.status) << r.state;
        EXPECT_EQ(t.icon, r.icon) << r.state;
        EXPECT_EQ(t.pair_enabled, r.pair_enabled) << r.state;
        EXPECT_EQ(t.pair_text, r.pair_text) << r.state;
        EXPECT_EQ(t.status_seconds, r.state == 5 ? std::optional<int>(9) : std::nullopt);
        EXPECT_FALSE(t.address_enabled.has_value()) << r.state;
        EXPECT_FALSE(t.auto_enabled.has_value()) << r.state;
        EXPECT_FALSE(t.repair.has_value()) << r.state;
    }
}

TEST(StateTransition, TimersFollowTheChangeBetweenStates) {
    struct Row {
        unsigned prev, next;
        std::vector<TimerOp> timers;
    };
    const Row rows[] = {
        {1, 2, {Start(1127, 7000), Start(1129, 2000), Start(1130, 19000)}},
        {1, 3, {Start(1129, 2000), Start(1130, 19000)}},
        {2, 3, {Stop(1127)}},
        {3, 2, {Start(1127, 7000)}},
        {3, 4, {Stop(1130), Stop(1129)}},
        {2, 0, {Stop(1127), Stop(1130), Stop(1129)}},
        {0, 6, {Stop(1125)}},
        {6, 6, {Stop(1125)}},
        {2, 2, {}},
        {3, 3, {}},
        {0, 1, {}},
        {4, 0, {}},
    };
    for (const Row& r : rows) {
        const StateTransition t = plan_state_change(r.prev, r.next, Settings(), {});
        EXPECT_EQ(t.timers, r.timers) << r.prev << " -> " << r.next;
    }
    EXPECT_EQ(plan_state_change(1, 2, Settings(), {}).log,
              std::vector<std::string>{"GRUU: Set gruu timmer! Time: 7 s\n"});
    EXPECT_EQ(plan_state_change(2, 4, Settings(), {}).log,
              std::vector<std::string>{"GRUU: Gruu timmer has been killed!\n"});
}

TEST(StateTransition, LeavingStateZeroLocksTheAddressAndReturningUnlocksIt) {
    StateSettings automatic = Settings();
    automatic.auto_ip = 1;
    const StateTransition leave = plan_state_change(0, 1, Settings(), {});
    EXPECT_EQ(leave.address_enabled, false);
    EXPECT_EQ(leave.auto_enabled, false);
    const StateTransition back = plan_state_change(4, 0, Settings(), {});
    EXPECT_EQ(back.address_enabled, true);
    EXPECT_EQ(back.auto_enabled, true);
    const StateTransition back_automatic = plan_state_change(4, 0, automatic, {});
    EXPECT_EQ(back_automatic.address_enabled, false);
    EXPECT_EQ(back_automatic.auto_enabled, true);
    // Between other states the two controls are left alone.
    EXPECT_FALSE(plan_state_change(1, 2, Settings(), {}).address_enabled.has_value());
}

TEST(StateTransition, ReturnToStateZeroStartsTheCountdownOnlyWhenArmedWithAttemptsLeft) {
    struct Row {
        int armed, auto_repair, count, retry_times, repair_time;
        bool pending;
        std::optional<int> countdown;  // unset: no re-pair
    };
    const Row rows[] = {
        {1, 1, 0, 0, 15, false, 15},
        {1, 1, 40, 0, 15, false, 15},  // RetryTimes 0: no limit
        {1, 1, 1, 2, 4, false, 4},
        {1, 1, 2, 2, 4, false, std::nullopt},  // both attempts used
        {0, 1, 0, 0, 15, false, std::nullopt},
        {1, 0, 0, 0, 15, false, std::nullopt},
        {1, 1, 0, 0, 15, true, std::nullopt},  // a pending message wins
        {1, 1, 0, 0, 0, false, 1},             // counted from at least 1 second
        {1, 1, 0, 0, -3, false, 1},
    };
    for (const Row& r : rows) {
        StateSettings settings = Settings();
        settings.auto_repair = r.auto_repair;
        settings.retry_times = r.retry_times;
        settings.repair_time_s = r.repair_time;
        StateConditions now;
        now.repair_armed = r.armed;
        now.repair_count = r.count;
        now.pending_msg = r.pending;
        now.minimized = true;
        const StateTransition t = plan_state_change(4, 0, settings, now);
        const int row = int(&r - rows);
        if (r.countdown) {
            ASSERT_TRUE(t.repair.has_value()) << row;
            EXPECT_EQ(t.repair->countdown, *r.countdown) << row;
            EXPECT_EQ(t.repair->tick, Start(1126, 1000)) << row;
            EXPECT_EQ(t.pair_text, 123) << row;
            EXPECT_EQ(t.pair_enabled, true) << row;
            // "Not Paired" never shows: the countdown's own state does.
            EXPECT_FALSE(t.status.has_value()) << row;
            EXPECT_FALSE(t.show_pending_msg) << row;
        } else {
            EXPECT_FALSE(t.repair.has_value()) << row;
            EXPECT_EQ(t.pair_text, 108) << row;
            EXPECT_EQ(t.status, 103) << row;
            EXPECT_TRUE(t.balloon) << row;
            EXPECT_EQ(t.show_pending_msg, r.pending) << row;
        }
    }
}

TEST(StateTransition, BalloonOnlyWhenMinimisedAndNeitherPairingNorWaiting) {
    StateConditions minimized;
    minimized.minimized = true;
    for (unsigned state = 0; state <= 6; ++state) {
        EXPECT_EQ(plan_state_change(state, state, Settings(), minimized).balloon,
                  state != 1 && state != 5)
            << state;
        EXPECT_FALSE(plan_state_change(state, state, Settings(), {}).balloon) << state;
    }
}

TEST(StateTransition, PairedStatesResetTheAttemptCount) {
    for (unsigned state = 0; state <= 6; ++state)
        EXPECT_EQ(plan_state_change(1, state, Settings(), {}).reset_repair_count,
                  state == 2 || state == 3)
            << state;
}

// Signed in straight from the pairing, before the device came up: the
// button still offers the unpair.
TEST(StateTransition, SignedInFromAnUnpairedStateEnablesTheUnpairButton) {
    const StateTransition t = plan_state_change(1, 3, Settings(), {});
    EXPECT_EQ(t.pair_enabled, true);
    EXPECT_EQ(t.pair_text, 109);
    EXPECT_FALSE(plan_state_change(2, 3, Settings(), {}).pair_enabled.has_value());
}

}  // namespace
}  // namespace quor
