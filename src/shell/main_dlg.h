// The main window's controller: connection state machine, timers, the Pair
// action, start-up and the ways the program ends. Plain C++; a front end
// shows what it decides through MainView.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "base/controller.h"
#include "platform/clock.h"
#include "platform/ui_loop.h"
#include "shell/main_view.h"
#include "shell/resource_ids.h"

namespace quor {

// Calls into other subsystems made by start-up and the exit paths. The
// composition root (shell/composition.h) fills them with the subsystems' own
// operations; tests replace them.
struct ShellHooks {
    std::function<void(Controller&)> start_update_check;
    std::function<int(int* error_code)> load_srtp_library;  // 0 or -1 with the error code
    std::function<int()> init_srtp_library;                 // negative on failure
    std::function<int(int on)> apply_autorun;               // 1 success, 0 failure
    // The firewall's exception for the executable IMAGE under NAME; the
    // result is only logged by the callee.
    std::function<void(const std::string& image, const std::string& name)> add_firewall_exception;
    std::function<int()> net_startup;
    std::function<void(Controller&)> start_pair_session;
    std::function<void()> stop_log_service;  // exit paths: stop without saving
    std::function<void(Controller&)> toggle_log_service;
    std::function<void()> send_log_to_pc;
    std::function<void()> send_log_to_phone;
    std::function<void()> send_srtp_close;
    std::function<void()> send_gruu;
    std::function<void()> close_hid_send_window;
};

class CKestrowQuorConnectorDlg : public Controller {
  public:
    // Built with its wiring by the composition root (shell/composition.h).
    CKestrowQuorConnectorDlg(MainView& view, UiLoop& loop, Clock& clock, ShellHooks hooks);
    ~CKestrowQuorConnectorDlg() override;

    // Start-up, run on the UI thread once the window exists.
    void OnInitDialog();

    // Controller, any thread.
    unsigned State() override { return m_nState; }
    void SetState(unsigned state) override;
    bool SetStateIf(const std::function<bool(unsigned current)>& condition,
                    unsigned state) override;
    void LinkLost(int generation) override;
    ControllerSettings Settings() override;
    void StartTimer(int id, int64_t period_ms) override { loop_.start_timer(id, period_ms); }
    void StopTimer(int id) override { loop_.stop_timer(id); }
    Clock& clock() override { return clock_; }
    int MessageBoxHint(const std::string& text, int style) override;
    int message_box(const std::string& text, const std::string& caption, int style) override {
        return view_.message_box(text, caption, style);
    }
    std::string ask_save_path(const std::string& default_name, const std::string& filter) override {
        return view_.ask_save_path(default_name, filter);
    }
    int AskForceConnect(const uint8_t addr[4]) override;
    // Opens FILE on the UI thread.
    void OpenDocument(const std::string& file) override {
        loop_.post([this, file] { view_.open_document(file); });
    }
    void EndDialog() override;  // ends the modal run from any thread
    bool IsMinimized() override { return view_.is_minimized(); }
    void PostMinimize() override;
    // The IP address control 1000.
    int GetAddress(uint32_t* addr) override;
    void SetAddress(uint32_t addr) override;
    void SetTakenOverMsg(const uint8_t addr[4]) override;
    void SetDriverFailedMsg() override;
    void ClearPendingMsg() override;
    void disarm_repair() override { m_bRepairArmed = 0; }

    bool TimerRunning(int id) { return loop_.timer_running(id); }
    MainView& View() { return view_; }

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

    std::string PendingMsg();

    const std::string& ModuleDir() const { return m_szModuleDir; }
    std::string StatusText();

    // Replaces the settings, as LoadConfig does from config.ini.
    void SetSettings(const ControllerSettings& settings);
    void UpdateSettings(const std::function<void(ControllerSettings&)>& edit) {
        ControllerSettings settings = Settings();
        edit(settings);
        SetSettings(settings);
    }
    // Whether an end of the pairing starts the automatic re-pair, and how
    // many re-pairs ran in a row.
    int RepairArmed() { return m_bRepairArmed; }
    void SetRepairArmed(bool armed) { m_bRepairArmed = armed ? 1 : 0; }
    void SetRepairCount(int count) { m_nRepairCount = count; }
    // Takes STATE as the current state and the one last applied, without
    // any of a change's effects: a controller that picks up a pairing in
    // progress.
    void PresetState(unsigned state);

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

    // Connection state and settings, read by worker threads.
    std::atomic<unsigned> m_nState{STATE_NOT_PAIRED};
    std::atomic<unsigned> m_nLastState{STATE_NOT_PAIRED};  // what the previous SetState applied
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

    std::recursive_mutex state_mu_;  // SetState bookkeeping and the texts below
    std::string m_strStatus;
    std::string m_strPendingMsg;

    std::mutex addr_mu_;
    uint32_t address_ = 0;
    int address_fields_ = 0;
};

}  // namespace quor
