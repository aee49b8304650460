// What the device's handlers and workers read from and ask of the main
// window. Before the window exists (or after it is gone) the state reads
// as not paired, "AsNmDev" as 0, timer requests do nothing and the clock
// is the system's.
#pragma once

#include <cstdint>

#include "shell/main_dlg.h"

namespace quor {

inline unsigned window_state() {
    CKestrowQuorConnectorDlg* dlg = g_main_dlg.load();
    return dlg ? dlg->m_nState.load() : unsigned(STATE_NOT_PAIRED);
}

inline int window_as_nm_dev() {
    CKestrowQuorConnectorDlg* dlg = g_main_dlg.load();
    return dlg ? dlg->m_nAsNmDev.load() : 0;
}

// The clock the device's workers pace themselves by: the main window's (a
// manual one in tests), the system's while there is no window.
inline Clock& window_clock() {
    CKestrowQuorConnectorDlg* dlg = g_main_dlg.load();
    return dlg ? dlg->clock() : static_cast<Clock&>(SystemClock::instance());
}

inline void window_start_timer(int id, int64_t period_ms) {
    if (CKestrowQuorConnectorDlg* dlg = g_main_dlg.load()) dlg->StartTimer(id, period_ms);
}

inline void window_stop_timer(int id) {
    if (CKestrowQuorConnectorDlg* dlg = g_main_dlg.load()) dlg->StopTimer(id);
}

}  // namespace quor
