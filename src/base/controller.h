// What the subsystems below the shell (the pairing session, the device and
// its workers, the log service, the update check) ask of the main window's
// controller. The shell implements it; each subsystem is handed the
// controller when it is started, so none of them depends on the shell.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/ids.h"

namespace quor {

// The settings the workers read, as one snapshot (config.ini names in the
// comments).
struct ControllerSettings {
    int auto_ip = 0;             // AutoIP: find the phone's address by broadcast
    int auto_min = 0;            // AutoMin: minimise once pairing starts
    int auto_pair = 0;           // AutoPair
    int auto_repair = 0;         // AutoRepair
    int auto_run = 0;            // AutoRun
    int as_nm_dev = 0;           // AsNmDev: the device serves as the normal audio device
    int pair_timeout_s = 0;      // PairTimeout
    int repair_time_s = 0;       // RepairTime
    int retry_times = 0;         // RetryTimes
    int resend_gruu_s = 0;       // ResendGruu
    int debug = 0;               // Debug
    int keepalive_period_s = 0;  // keep-alive period while paired
    int link_watchdog_s = 0;     // link watchdog while paired
};

class Controller {
  public:
    virtual ~Controller() = default;

    // Connection state (ConnState); any thread.
    virtual unsigned State() = 0;
    virtual void SetState(unsigned state) = 0;
    // SetState(STATE) only when CONDITION, given the current state, holds.
    // The test and the change are one step: no other SetState comes in
    // between. True when the state was set.
    virtual bool SetStateIf(const std::function<bool(unsigned current)>& condition,
                            unsigned state) = 0;
    // The link to the phone or to the USB host was lost while pairing
    // GENERATION was paired: on the UI thread, unpair as the link watchdog
    // does, with the re-pair armed. Nothing happens once that pairing is
    // over or another one began.
    virtual void LinkLost(int generation) = 0;

    virtual ControllerSettings Settings() = 0;

    // The controller's timers (TimerId); any thread.
    virtual void StartTimer(int id, int64_t period_ms) = 0;
    virtual void StopTimer(int id) = 0;
    // The clock every worker paces itself by (a manual one in tests).
    virtual Clock& clock() = 0;

    // Questions and messages; any thread, each blocks until the user
    // answers. MessageBoxHint uses the program's hint caption.
    virtual int MessageBoxHint(const std::string& text, int style) = 0;
    virtual int message_box(const std::string& text, const std::string& caption, int style) = 0;
    // The save-file dialog: the chosen full path, or empty when cancelled.
    virtual std::string ask_save_path(const std::string& default_name,
                                      const std::string& filter) = 0;
    // Asks whether to take the phone over from the PC at ADDR; 1 for yes.
    virtual int AskForceConnect(const uint8_t addr[4]) = 0;
    // Opens FILE (a path or URL) with the desktop's default program.
    virtual void OpenDocument(const std::string& file) = 0;

    // Ends the program (from any thread).
    virtual void EndDialog() = 0;
    virtual bool IsMinimized() = 0;
    // Posts the minimise system command (the window hides to the tray).
    virtual void PostMinimize() = 0;

    // The phone's address as the user typed it: the number of non-blank
    // fields; blank fields read as 0.
    virtual int GetAddress(uint32_t* addr) = 0;
    virtual void SetAddress(uint32_t addr) = 0;  // fills all four fields

    // Pending message and re-pair arming: the text is shown when the state
    // next becomes 0, and no re-pair starts by itself then.
    virtual void SetTakenOverMsg(const uint8_t addr[4]) = 0;
    virtual void SetDriverFailedMsg() = 0;
    virtual void ClearPendingMsg() = 0;
    // No re-pair starts when this pairing ends (the user declined a
    // take-over).
    virtual void disarm_repair() = 0;
};

}  // namespace quor
