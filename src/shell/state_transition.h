// What one change of the connection state does, computed without touching
// anything: SetState gathers the inputs, asks plan_state_change and applies
// the answer (controls, texts, tray, timers, the re-pair countdown).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quor {

// The settings the state machine reads, as loaded from config.ini.
struct StateSettings {
    int auto_ip = 0;             // m_nAutoIP
    int auto_repair = 0;         // m_nAutoRepair
    int retry_times = 0;         // m_nRetryTimes, 0: no limit
    int repair_time_s = 0;       // m_nRepairTime
    int resend_gruu_s = 0;       // m_nResendGruu
    int keepalive_period_s = 0;  // m_nKeepAlivePeriod
    int link_watchdog_s = 0;     // m_nLinkWatchdog
};

// The program's condition at the moment of the change.
struct StateConditions {
    bool minimized = false;    // the main window, noted before the change
    int repair_armed = 0;      // m_bRepairArmed
    int repair_count = 0;      // m_nRepairCount
    int countdown = 0;         // m_nCountdown, the seconds that state 5 shows
    bool pending_msg = false;  // m_strPendingMsg is not empty
};

struct TimerOp {
    bool start = false;  // false: stop
    int id = 0;
    int64_t period_ms = 0;  // when started
    bool operator==(const TimerOp&) const = default;
};

// The re-pair countdown that a return to state 0 begins: TICK starts,
// m_nCountdown becomes COUNTDOWN, SetState with 5 shows it, and the attempt
// is counted.
struct RepairCountdown {
    TimerOp tick;
    int countdown = 0;
};

struct StateTransition {
    // Log lines, written before the timer operations.
    std::vector<std::string> log;
    // Applied in order, before the view is updated.
    std::vector<TimerOp> timers;

    // Controls; unset ones stay as they are.
    std::optional<bool> address_enabled;  // IP address control 1000
    std::optional<bool> auto_enabled;     // check box 1030
    std::optional<bool> pair_enabled;     // button 1
    int pair_text = 0;                    // string id of the button's text; 0 keeps it

    // Status line, tray icon, tip and balloon; unset when the countdown
    // begins instead (its own SetState shows them). The status is the text
    // of this string id (empty for an unknown state), followed by
    // "(<seconds>s)" when status_seconds is set.
    std::optional<int> status;
    std::optional<int> status_seconds;
    int icon = 0;
    bool balloon = false;  // the balloon shows the status text

    bool reset_repair_count = false;  // m_nRepairCount becomes 0
    bool show_pending_msg = false;    // show and clear m_strPendingMsg
    std::optional<RepairCountdown> repair;
};

// The change from PREV (the state the previous SetState applied) to NEXT.
StateTransition plan_state_change(unsigned prev, unsigned next, const StateSettings& settings,
                                  const StateConditions& now);

}  // namespace quor
