#include "shell/main_dlg.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/diag_log.h"
#include "base/strings.h"
#include "link/addr_discovery.h"
#include "link/ctrl_channel.h"
#include "link/pair_session.h"
#include "platform/log_file.h"
#include "platform/process.h"
#include "settings/config.h"
#include "settings/ini_store.h"
#include "settings/loader_script.h"
#include "shell/state_transition.h"
#include "soft_dev/dev_globals.h"

namespace quor {

namespace {
constexpr int SC_MINIMIZE = 0xF020;
constexpr int64_t END_SESSION_WAIT_MS = 8000;

std::string format_address(const uint8_t a[4]) {
    char text[16];
    snprintf(text, sizeof(text), "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    return text;
}

// Fills the %s of a string-table text.
std::string format_text(int id, const std::string& arg) {
    const std::string pattern = LoadString(id);
    std::string out;
    const auto at = pattern.find("%s");
    if (at == std::string::npos) return pattern;
    out = pattern.substr(0, at) + arg + pattern.substr(at + 2);
    return out;
}
}  // namespace

CKestrowQuorConnectorDlg::CKestrowQuorConnectorDlg(MainView& view, UiLoop& loop, Clock& clock,
                                                   ShellHooks hooks)
    : view_(view),
      loop_(loop),
      clock_(clock),
      hooks_(std::move(hooks)),
      m_szModuleDir(GetModuleDir()) {
    loop_.set_timer_handler([this](int id) { OnTimer(id); });
}

CKestrowQuorConnectorDlg::~CKestrowQuorConnectorDlg() = default;

// ---------------------------------------------------------------- start-up

void CKestrowQuorConnectorDlg::OnInitDialog() {
    hooks_.start_update_check(*this);
    m_szModuleDir = GetModuleDir();
    prepare_user_files();
    // The log opens before the settings are applied, so that a failure to
    // set up the start at log-on or the firewall's exception is in it too.
    const int debug = ini_get_int(config_path(), CONFIG_SECTION, "Debug", -1);
    if (debug != -1 && debug != 0) start_log_file(state_dir().c_str());
    LoadConfig();
    const std::string program = executable_name();
    hooks_.add_firewall_exception(executable_dir() + program, program_base_name(program));
    int error_code = 0;
    if (hooks_.load_srtp_library(&error_code) != 0) {
        char text[256];
        snprintf(text, sizeof(text), LoadString(IDS_SRTP_LOAD_FAILED).c_str(), error_code);
        MessageBoxHint(text, MB_EXCLAMATION_OK);
    } else if (hooks_.init_srtp_library() < 0) {
        MessageBoxHint(LoadString(IDS_SRTP_INIT_FAILED), MB_EXCLAMATION_OK);
    }
    FinishInit();
}

void CKestrowQuorConnectorDlg::FinishInit() {
    if (hooks_.net_startup() != 0) {
        MessageBoxHint(LoadString(IDS_NETWORK_ERROR), MB_EXCLAMATION_OK);
        EndDialog();
    }
    view_.init_window();
    {
        std::lock_guard lk(state_mu_);
        m_strStatus = LoadString(IDS_NOT_PAIRED);
        m_strPendingMsg.clear();
    }
    m_nState = STATE_NOT_PAIRED;
    m_nCountdown = 0;
    StateEffects initial;
    initial.status = StatusText();
    initial.icon = ICON_NOT_PAIRED;
    initial.tip = *initial.status;
    view_.apply_state(initial);
    view_.show_auto_checked(m_nAutoIP == 1);
    if (m_nAutoPair != 0) OnOK();
}

void CKestrowQuorConnectorDlg::LoadConfig() {
    const std::string path = config_path();
    const int phone_ip = ini_get_int(path, CONFIG_SECTION, "PhoneIP", 0);
    SetAddress(uint32_t(phone_ip));
    if (phone_ip == 0) ini_write_string(path, CONFIG_SECTION, "PhoneIP", "0");
    m_nAutoIP = ReadConfigValue(path, "AutoIP", 0);
    if (m_nAutoIP == 1) loop_.post([this] { view_.enable_address(false); });
    m_nAutoMin = ReadConfigValue(path, "AutoMin", 1);
    m_nAutoPair = ReadConfigValue(path, "AutoPair", 1);
    m_nAutoRepair = ReadConfigValue(path, "AutoRepair", 1);
    m_nAutoRun = ReadConfigValue(path, "AutoRun", 1);
    if (hooks_.apply_autorun(m_nAutoRun) == 0)
        MessageBoxHint(LoadString(IDS_AUTORUN_FAILED), MB_EXCLAMATION_OK);
    m_nAsNmDev = ReadConfigValue(path, "AsNmDev", 0);
    m_nPairTimeout = ReadConfigValue(path, "PairTimeout", 10);
    m_nRepairTime = ReadConfigValue(path, "RepairTime", 15);
    m_nRetryTimes = ReadConfigValue(path, "RetryTimes", 0);
    m_nResendGruu = ReadConfigValue(path, "ResendGruu", 15);
    const int debug = ini_get_int(path, CONFIG_SECTION, "Debug", -1);
    if (debug == -1) {
        m_nDebug = 0;
    } else {
        m_nDebug = debug;
        g_debug_level = debug;
    }
    m_nLinkWatchdog = 19;
    m_nKeepAlivePeriod = 2;
}

// ------------------------------------------------------------ state machine

void CKestrowQuorConnectorDlg::SetState(unsigned state) {
    ApplyState(state, nullptr);
}

bool CKestrowQuorConnectorDlg::SetStateIf(const std::function<bool(unsigned)>& condition,
                                          unsigned state) {
    return ApplyState(state, &condition);
}

// Gathers what the change depends on, lets plan_state_change decide, and
// carries the plan out.
bool CKestrowQuorConnectorDlg::ApplyState(unsigned state,
                                          const std::function<bool(unsigned)>* condition) {
    const bool minimized = view_.is_minimized();
    std::unique_lock lk(state_mu_);
    if (condition && !(*condition)(m_nState)) return false;
    const unsigned prev = m_nLastState;
    m_nState = state;
    StateSettings settings;
    settings.auto_ip = m_nAutoIP;
    settings.auto_repair = m_nAutoRepair;
    settings.retry_times = m_nRetryTimes;
    settings.repair_time_s = m_nRepairTime;
    settings.resend_gruu_s = m_nResendGruu;
    settings.keepalive_period_s = m_nKeepAlivePeriod;
    settings.link_watchdog_s = m_nLinkWatchdog;
    StateConditions now;
    now.minimized = minimized;
    now.repair_armed = m_bRepairArmed;
    now.repair_count = m_nRepairCount;
    now.countdown = m_nCountdown;
    now.pending_msg = !m_strPendingMsg.empty();
    const StateTransition plan = plan_state_change(prev, state, settings, now);

    for (const std::string& line : plan.log) quor_log("%s", line.c_str());
    for (const TimerOp& op : plan.timers) {
        if (op.start)
            loop_.start_timer(op.id, op.period_ms);
        else
            loop_.stop_timer(op.id);
    }
    m_nLastState = state;
    if (plan.reset_repair_count) m_nRepairCount = 0;

    StateEffects fx;
    fx.address_enabled = plan.address_enabled;
    fx.auto_enabled = plan.auto_enabled;
    fx.pair_enabled = plan.pair_enabled;
    if (plan.pair_text != 0) fx.pair_text = LoadString(plan.pair_text);

    if (plan.repair) {
        loop_.post([this, fx] { view_.apply_state(fx); });
        loop_.start_timer(plan.repair->tick.id, plan.repair->tick.period_ms);
        m_nCountdown = plan.repair->countdown;
        SetState(STATE_WAITING);
        ++m_nRepairCount;
        return true;
    }

    std::string pending;
    if (plan.show_pending_msg) pending.swap(m_strPendingMsg);
    m_strStatus = LoadString(plan.status.value_or(0));
    if (plan.status_seconds) m_strStatus += "(" + std::to_string(*plan.status_seconds) + "s)";
    fx.status = m_strStatus;
    fx.icon = plan.icon;
    fx.tip = LoadString(IDS_TRAY_TIP) + m_strStatus;
    if (plan.balloon) fx.balloon = m_strStatus;
    loop_.post([this, fx] { view_.apply_state(fx); });
    lk.unlock();
    // Shown by the thread that applies state 0, without holding the state
    // lock, so the UI thread can go on setting states meanwhile.
    if (!pending.empty()) MessageBoxHint(pending, MB_EXCLAMATION_OK);
    return true;
}

ControllerSettings CKestrowQuorConnectorDlg::Settings() {
    ControllerSettings s;
    s.auto_ip = m_nAutoIP;
    s.auto_min = m_nAutoMin;
    s.auto_pair = m_nAutoPair;
    s.auto_repair = m_nAutoRepair;
    s.auto_run = m_nAutoRun;
    s.as_nm_dev = m_nAsNmDev;
    s.pair_timeout_s = m_nPairTimeout;
    s.repair_time_s = m_nRepairTime;
    s.retry_times = m_nRetryTimes;
    s.resend_gruu_s = m_nResendGruu;
    s.debug = m_nDebug;
    s.keepalive_period_s = m_nKeepAlivePeriod;
    s.link_watchdog_s = m_nLinkWatchdog;
    return s;
}

void CKestrowQuorConnectorDlg::SetSettings(const ControllerSettings& s) {
    m_nAutoIP = s.auto_ip;
    m_nAutoMin = s.auto_min;
    m_nAutoPair = s.auto_pair;
    m_nAutoRepair = s.auto_repair;
    m_nAutoRun = s.auto_run;
    m_nAsNmDev = s.as_nm_dev;
    m_nPairTimeout = s.pair_timeout_s;
    m_nRepairTime = s.repair_time_s;
    m_nRetryTimes = s.retry_times;
    m_nResendGruu = s.resend_gruu_s;
    m_nDebug = s.debug;
    m_nKeepAlivePeriod = s.keepalive_period_s;
    m_nLinkWatchdog = s.link_watchdog_s;
}

void CKestrowQuorConnectorDlg::PresetState(unsigned state) {
    std::lock_guard lk(state_mu_);
    m_nState = state;
    m_nLastState = state;
}

std::string CKestrowQuorConnectorDlg::StatusText() {
    std::lock_guard lk(state_mu_);
    return m_strStatus;
}

// ------------------------------------------------------------- Pair action

void CKestrowQuorConnectorDlg::StartPairing() {
    loop_.start_timer(TIMER_PAIR, int64_t(m_nPairTimeout) * 1000);
    SetState(STATE_PAIRING);
    hooks_.start_pair_session(*this);
}

void CKestrowQuorConnectorDlg::OnOK(bool repair_after_unpair) {
    uint32_t addr = 0;
    const int fields = GetAddress(&addr);
    const std::string path = config_path();
    if (fields > 0)
        ini_write_string(path, CONFIG_SECTION, "PhoneIP", std::to_string(int32_t(addr)).c_str());
    ini_write_string(path, CONFIG_SECTION, "AutoIP", std::to_string(m_nAutoIP.load()).c_str());
    if (addr == 0 && m_nAutoIP == 0) return;

    switch (m_nState.load()) {
        case STATE_NOT_PAIRED:
            // Armed before the session starts: a session that ends at once
            // (a declined take-over disarms) must not be re-armed after it.
            m_bRepairArmed = 1;
            m_nRepairCount = 0;
            StartPairing();
            break;
        case STATE_WAITING:
        case STATE_FINDING_ADDRESS: {
            const bool finding = m_nState == STATE_FINDING_ADDRESS;
            m_bRepairArmed = 0;
            loop_.stop_timer(TIMER_REPAIR_TICK);
            m_nCountdown = 0;
            SetState(STATE_NOT_PAIRED);
            if (finding) stop_address_search();
            break;
        }
        default:
            // Set before the device is told to stop: the device thread may
            // end the pairing at once, and the re-pair is decided then.
            m_bRepairArmed = repair_after_unpair ? 1 : 0;
            send_ctrl_byte(UNPAIR);
            SetState(STATE_UNPAIRING);
            g_dev.stop = DEV_STOP;
            break;
    }
    view_.show_auto_checked(m_nAutoIP == 1);
}

void CKestrowQuorConnectorDlg::OnTimer(int id) {
    switch (id) {
        case TIMER_PAIR:
            send_ctrl_byte(UNPAIR);
            SetState(STATE_NOT_PAIRED);
            loop_.stop_timer(TIMER_PAIR);
            g_dev.stop = DEV_STOP;
            break;
        case TIMER_REPAIR_TICK:
            if (--m_nCountdown == 0) {
                StartPairing();
                loop_.stop_timer(TIMER_REPAIR_TICK);
            } else {
                SetState(STATE_WAITING);
            }
            break;
        case TIMER_GRUU:
            hooks_.send_gruu();
            break;
        case TIMER_HT:
            quor_log("HIDDEV: Lync HT time out, We don't need send now.\n");
            hooks_.close_hid_send_window();
            loop_.stop_timer(TIMER_HT);
            break;
        case TIMER_KEEPALIVE:
            send_ctrl_byte(KEEPALIVE);
            break;
        case TIMER_LINK:
            UnpairLostLink();
            loop_.stop_timer(TIMER_LINK);
            break;
        case TIMER_MEDIA_IDLE:
            hooks_.send_srtp_close();
            loop_.stop_timer(TIMER_MEDIA_IDLE);
            break;
        default:
            break;
    }
}

// A paired link that is lost ends like the user's unpair, but is followed
// by the automatic re-pair.
void CKestrowQuorConnectorDlg::UnpairLostLink() {
    if (is_paired_state(m_nState)) OnOK(true);
}

void CKestrowQuorConnectorDlg::LinkLost(int generation) {
    loop_.post([this, generation] {
        if (g_pair_generation == generation && g_dev.stop == DEV_RUN) UnpairLostLink();
    });
}

void CKestrowQuorConnectorDlg::OnAutoClicked() {
    view_.enable_address(m_nAutoIP != 1);
}

void CKestrowQuorConnectorDlg::OnAutoToggledByUser(bool checked) {
    m_nAutoIP = checked ? 1 : 0;
    OnAutoClicked();
}

void CKestrowQuorConnectorDlg::OnHelpClicked() {
    if (!view_.open_document(m_szModuleDir + "Readme.txt"))
        MessageBoxHint(LoadString(IDS_NO_README), MB_EXCLAMATION_OK);
}

void CKestrowQuorConnectorDlg::OnSetClicked() {
    if (view_.run_settings_dialog()) LoadConfig();
}

// ------------------------------------------------------------ the IP control

int CKestrowQuorConnectorDlg::GetAddress(uint32_t* addr) {
    std::lock_guard lk(addr_mu_);
    *addr = address_;
    return address_fields_;
}

void CKestrowQuorConnectorDlg::SetAddress(uint32_t addr) {
    {
        std::lock_guard lk(addr_mu_);
        address_ = addr;
        address_fields_ = 4;
    }
    loop_.post([this, addr] { view_.show_address(addr, false); });
}

void CKestrowQuorConnectorDlg::OnAddressEdited(uint32_t addr, int nonblank_fields) {
    std::lock_guard lk(addr_mu_);
    address_ = addr;
    address_fields_ = nonblank_fields;
}

// --------------------------------------------------------- messages, tray

int CKestrowQuorConnectorDlg::MessageBoxHint(const std::string& text, int style) {
    return view_.message_box(text, LoadString(IDS_HINT_CAPTION), style);
}

void CKestrowQuorConnectorDlg::PostMinimize() {
    loop_.post([this] { OnSysCommand(SC_MINIMIZE); });
}

void CKestrowQuorConnectorDlg::EndDialog() {
    loop_.post([this] { view_.end_dialog(); });
}

void CKestrowQuorConnectorDlg::SetPendingMsgWithoutRePair(std::string text) {
    std::lock_guard lk(state_mu_);
    m_strPendingMsg = std::move(text);
    m_bRepairArmed = 0;
}

void CKestrowQuorConnectorDlg::SetTakenOverMsg(const uint8_t addr[4]) {
    SetPendingMsgWithoutRePair(format_text(IDS_TAKEN_OVER, format_address(addr)));
}

void CKestrowQuorConnectorDlg::SetDriverFailedMsg() {
    SetPendingMsgWithoutRePair(LoadString(IDS_DRIVER_FAILED));
}

void CKestrowQuorConnectorDlg::ClearPendingMsg() {
    std::lock_guard lk(state_mu_);
    m_strPendingMsg.clear();
}

std::string CKestrowQuorConnectorDlg::PendingMsg() {
    std::lock_guard lk(state_mu_);
    return m_strPendingMsg;
}

int CKestrowQuorConnectorDlg::AskForceConnect(const uint8_t addr[4]) {
    return MessageBoxHint(format_text(IDS_FORCE_CONNECT, format_address(addr)),
                          MB_EXCLAMATION_OKCANCEL) == IDOK
               ? 1
               : 0;
}

void CKestrowQuorConnectorDlg::OnCommand(int id) {
    switch (id) {
        case ID_SHOW_HIDE:
            ShowHide(2);
            break;
        case ID_PAIR_SIGN_IN:
            if (m_nState == STATE_PAIRING || m_nState == STATE_UNPAIRING)
                SetState(m_nState);
            else
                OnOK();
            break;
        case ID_SETTING:
            OnSetClicked();
            break;
        case ID_ABOUT:
            view_.run_about_box();
            break;
        case ID_EXIT:
            ExitRequest(false);
            break;
        case ID_SIGN_IN_BY_LYNC:
            g_lync.signin_request_pending = 1;
            break;
        case ID_LOG_SERVICE:
            hooks_.toggle_log_service(*this);
            break;
        case ID_LOGS_TO_PC:
            hooks_.send_log_to_pc();
            break;
        case ID_LOGS_TO_PHONE:
            hooks_.send_log_to_phone();
            break;
        default:
            break;
    }
}

void CKestrowQuorConnectorDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == ID_ABOUT_SYSMENU) {
        view_.run_about_box();
    } else if (id == SC_MINIMIZE) {
        ShowHide(1);
        SetState(m_nState);
    }
}

// ------------------------------------------------------------------- ending

void CKestrowQuorConnectorDlg::OnCancel() {
    if (MessageBoxHint(LoadString(IDS_QUIT_QUESTION), MB_EXCLAMATION_OKCANCEL) != IDOK) return;
    ExitRequest(true);
}

// The close button (after its question) and the tray Exit: a paired program
// first tells the phone and waits for the device to be unplugged, which then
// closes the window; otherwise the window closes at once.
void CKestrowQuorConnectorDlg::ExitRequest(bool from_close) {
    hooks_.stop_log_service();
    if (is_paired_state(m_nState)) {
        if (from_close) hooks_.send_srtp_close();
        send_ctrl_byte(UNPAIR);
        g_dev.stop = DEV_STOP_AND_EXIT;
    } else {
        view_.end_dialog();
    }
}

bool CKestrowQuorConnectorDlg::OnQueryEndSession() {
    if (!is_paired_state(m_nState)) return true;
    send_ctrl_byte(UNPAIR);
    g_dev.stop = DEV_STOP_AND_EXIT;
    clock_.sleep_ms(END_SESSION_WAIT_MS);
    return false;
}

}  // namespace quor
