#include "shell/state_transition.h"

#include <algorithm>
#include <cstdio>

#include "shell/resource_ids.h"

namespace quor {

namespace {
constexpr int64_t REPAIR_TICK_MS = 1000;

TimerOp start(int id, int64_t period_ms) {
    return {true, id, period_ms};
}
TimerOp stop(int id) {
    return {false, id, 0};
}

int status_for(unsigned state) {
    switch (state) {
        case STATE_NOT_PAIRED:
            return IDS_NOT_PAIRED;
        case STATE_PAIRING:
            return IDS_PAIRING;
        case STATE_PAIRED_SIGNED_OUT:
            return IDS_PAIRED_SIGNED_OUT;
        case STATE_PAIRED_SIGNED_IN:
            return IDS_PAIRED_SIGNED_IN;
        case STATE_UNPAIRING:
            return IDS_UNPAIRING;
        case STATE_WAITING:
            return IDS_WAITING;
        case STATE_FINDING_ADDRESS:
            return IDS_STARTED;
        default:
            return 0;
    }
}

int icon_for(unsigned state) {
    switch (state) {
        case STATE_PAIRING:
        case STATE_UNPAIRING:
            return ICON_BUSY;
        case STATE_PAIRED_SIGNED_OUT:
            return ICON_PAIRED_SIGNED_OUT;
        case STATE_PAIRED_SIGNED_IN:
            return ICON_SIGNED_IN;
        default:
            return ICON_NOT_PAIRED;
    }
}
}  // namespace

StateTransition plan_state_change(unsigned prev, unsigned next, const StateSettings& settings,
                                  const StateConditions& now) {
    StateTransition t;
    // Controls and timers follow a change only: the same state again just
    // rewrites the texts and the tray.
    if (next != prev) {
        if (prev == STATE_NOT_PAIRED) {
            t.address_enabled = false;
            t.auto_enabled = false;
        }
        if (next == STATE_NOT_PAIRED) {
            t.address_enabled = settings.auto_ip == 0;
            t.auto_enabled = true;
        }
        if (prev == STATE_PAIRED_SIGNED_OUT) {
            t.log.emplace_back("GRUU: Gruu timmer has been killed!\n");
            t.timers.push_back(stop(TIMER_GRUU));
        }
        if (next == STATE_PAIRED_SIGNED_OUT) {
            char line[64];
            snprintf(line, sizeof(line), "GRUU: Set gruu timmer! Time: %d s\n",
                     settings.resend_gruu_s);
            t.log.emplace_back(line);
            t.timers.push_back(start(TIMER_GRUU, int64_t(settings.resend_gruu_s) * 1000));
        }
        if (is_paired_state(prev) && !is_paired_state(next)) {
            t.timers.push_back(stop(TIMER_LINK));
            t.timers.push_back(stop(TIMER_KEEPALIVE));
        }
        if (!is_paired_state(prev) && is_paired_state(next)) {
            t.timers.push_back(start(TIMER_KEEPALIVE, int64_t(settings.keepalive_period_s) * 1000));
            t.timers.push_back(start(TIMER_LINK, int64_t(settings.link_watchdog_s) * 1000));
        }
    }

    switch (next) {
        case STATE_NOT_PAIRED: {
            t.pair_enabled = true;
            t.pair_text = IDS_PAIR;
            const bool attempts_left =
                now.repair_count < settings.retry_times || settings.retry_times == 0;
            if (now.repair_armed == 1 && settings.auto_repair == 1 && attempts_left &&
                !now.pending_msg) {
                t.pair_text = IDS_STOP;
                // Counted down to 0 from at least 1: a RepairTime below 1
                // would never reach it.
                t.repair = RepairCountdown{start(TIMER_REPAIR_TICK, REPAIR_TICK_MS),
                                           std::max(1, settings.repair_time_s)};
                return t;
            }
            t.show_pending_msg = now.pending_msg;
            break;
        }
        case STATE_PAIRING:
            t.pair_enabled = false;
            break;
        case STATE_PAIRED_SIGNED_OUT:
            t.reset_repair_count = true;
            t.pair_enabled = true;
            t.pair_text = IDS_UNPAIR;
            break;
        case STATE_PAIRED_SIGNED_IN:
            t.reset_repair_count = true;
            // Signed in straight from the pairing (the phone's SIGNED_IN
            // came before the device was plugged in): the button unpairs.
            if (!is_paired_state(prev)) {
                t.pair_enabled = true;
                t.pair_text = IDS_UNPAIR;
            }
            break;
        case STATE_UNPAIRING:
            t.pair_enabled = false;
            break;
        case STATE_WAITING:
            t.status_seconds = now.countdown;
            break;
        case STATE_FINDING_ADDRESS:
            t.timers.push_back(stop(TIMER_PAIR));
            t.pair_text = IDS_STOP;
            t.pair_enabled = true;
            break;
        default:
            break;
    }
    t.status = status_for(next);
    t.icon = icon_for(next);
    t.balloon = now.minimized && next != STATE_PAIRING && next != STATE_WAITING;
    return t;
}

}  // namespace quor
