// The main window's controller: connection state machine, timers, the Pair
// action, start-up and the ways the program ends. Plain C++; a front end
// shows what it decides through MainView.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/ui_loop.h"
#include "shell/main_view.h"
#include "shell/resource_ids.h"

namespace quor {

class CKestrowQuorConnectorDlg;

// Calls into other subsystems made by start-up and the exit paths. Each
// defaults to the subsystem's own operation; tests replace them.
struct ShellHooks {
    std::function<void()> start_update_check;
    std::function<int(const std::string& image_path, const std::string& name)>
        add_firewall_exception;
    std::function<int(int* error_code)> load_srtp_library;  // 0 or -1 with the error code
    std::function<int()> init_srtp_library;                  // negative on failure
    std::function<int(int on)> apply_autorun;                // 1 success, 0 failure
    std::function<int()> net_startup;
    std::function<void(CKestrowQuorConnectorDlg*)> start_pair_session;
    std::function<void()> stop_log_service;  // exit paths: stop without saving
    std::function<void()> toggle_log_service;
    std::function<void()> send_log_to_pc;
    std::function<void()> send_log_to_phone;
    std::function<void()> send_srtp_close;
    std::function<void()> send_gruu;
    std::function<void()> close_hid_send_window;

    static ShellHooks defaults();
};

class CKestrowQuorConnectorDlg {
public:
    CKestrowQuorConnectorDlg(MainView& view, UiLoop& loop, Clock& clock = SystemClock::instance(),
                             ShellHooks hooks = ShellHooks::defaults());
    ~CKestrowQuorConnectorDlg();

    // Start-up, run on the UI thread once the window exists.
    void OnInitDialog();

    // Any thread.
    void SetState(unsigned state);
    // SetState(STATE) only when CONDITION, given the current state, holds.
    // The test and the change are one step: no other SetState comes in
    // between. True when the state was set.
    bool SetStateIf(const std::function<bool(unsigned current)>& condition, unsigned state);
    // The link to the phone or to the USB host was lost while pairing
    // GENERATION was paired: on the UI thread, unpair as the link watchdog
    // does, with the re-pair armed. Nothing happens once that pairing is
    // over or another one began.
    void LinkLost(int generation);
    int MessageBoxHint(const std::string& text, int style);
    void StartTimer(int id, int64_t period_ms) { loop_.start_timer(id, period_ms); }
    void StopTimer(int id) { loop_.stop_timer(id); }
    bool TimerRunning(int id) { return loop_.timer_running(id); }
    // Posts the minimise system command (the window hides to the tray).
    void PostMinimize();
    void EndDialog();  // ends the modal run from any thread
    bool IsMinimized() { return view_.is_minimized(); }
    MainView& View() { return view_; }
    // Any thread: opens FILE (a path or URL) with the desktop's default
    // program, on the UI thread.
    void OpenDocument(const std::string& file) {
        loop_.post([this, file] { view_.open_document(file); });
    }

    // The IP address control 1000: what the user typed, readable from any
    // thread. Returns the number of non-blank fields; blank fields read as 0.
    int GetAddress(uint32_t* addr);
    void SetAddress(uint32_t addr);  // fills all four fields
    // The front end reports the user's edits.
    void OnAddressEdited(uint32_t addr, int nonblank_fields);
    void OnAutoToggledByUser(bool checked);

    // UI thread.
    // The Pair/Unpair/Stop button. An unpair it starts is followed by the
    // automatic re-pair when REPAIR_AFTER_UNPAIR is set (the link watchdog).
    void OnOK(bool repair_after_unpair = false);
    void OnCancel();
    void OnCommand(int id);
    void OnSysCommand(int id);
    void OnTimer(int id);
    void OnAutoClicked();
    void OnHelpClicked();
    void OnSetClicked();
    // Desktop session end: false refuses the end of the session.
    bool OnQueryEndSession();
    void LoadConfig();

    void ShowHide(int mode) { view_.show_hide(mode); }

    // Pending message and re-pair arming, used by the pairing session and
    // the device thread: the text is shown when the state next becomes 0,
    // and no re-pair starts by itself then.
    void SetTakenOverMsg(const uint8_t addr[4]);
    void SetDriverFailedMsg();
    void ClearPendingMsg();
    std::string PendingMsg();
    int AskForceConnect(const uint8_t addr[4]);

    const std::string& ModuleDir() const { return m_szModuleDir; }
    std::string StatusText();
    Clock& clock() { return clock_; }

    // Connection state and settings, read by worker threads.
    std::atomic<unsigned> m_nState{STATE_NOT_PAIRED};
    std::atomic<int> m_nAutoIP{0};
    std::atomic<int> m_nAutoMin{0};
    std::atomic<int> m_nAutoPair{0};
    std::atomic<int> m_nAutoRepair{0};
    std::atomic<int> m_nAutoRun{0};
    std::atomic<int> m_nAsNmDev{0};
    std::atomic<int> m_nPairTimeout{0};
    std::atomic<int> m_nRepairTime{0};
    std::atomic<int> m_nRetryTimes{0};
    std::atomic<int> m_nResendGruu{0};
    std::atomic<int> m_nDebug{0};
    std::atomic<int> m_nKeepAlivePeriod{0};
    std::atomic<int> m_nLinkWatchdog{0};
    std::atomic<int> m_bRepairArmed{0};
    std::atomic<int> m_nRepairCount{0};
    std::atomic<int> m_nCountdown{0};

private:
    void FinishInit();
    bool ApplyState(unsigned state, const std::function<bool(unsigned)>* condition);
    void UnpairLostLink();
    void ExitRequest(bool ask);
    void StartPairing();
    void SetPendingMsgWithoutRePair(std::string text);

    MainView& view_;
    UiLoop& loop_;
    Clock& clock_;
    ShellHooks hooks_;
    std::string m_szModuleDir;

    std::recursive_mutex state_mu_;  // SetState bookkeeping and the texts below
    std::string m_strStatus;
    std::string m_strPendingMsg;

    std::mutex addr_mu_;
    uint32_t address_ = 0;
    int address_fields_ = 0;
};

// The main window, for worker threads of the device and the media.
extern std::atomic<CKestrowQuorConnectorDlg*> g_main_dlg;
// The state that the previous SetState applied.
extern std::atomic<unsigned> g_last_state;

}  // namespace quor
