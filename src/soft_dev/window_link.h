// What the HID and audio-class handlers read from and ask of the main
// window. Before the window exists (or after it is gone) the state reads
// as not paired, "AsNmDev" as 0, and timer requests do nothing.
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

inline void window_start_timer(int id, int64_t period_ms) {
    if (CKestrowQuorConnectorDlg* dlg = g_main_dlg.load()) dlg->StartTimer(id, period_ms);
}

inline void window_stop_timer(int id) {
    if (CKestrowQuorConnectorDlg* dlg = g_main_dlg.load()) dlg->StopTimer(id);
}

}  // namespace quor
