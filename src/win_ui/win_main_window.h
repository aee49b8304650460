// The main window (template 102) as a modal dialog, and the tray icon: what
// the controller decides, shown with Win32 controls, and the user's actions
// handed back to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "shell/main_view.h"
#include "win_ui/win_dialog.h"
#include "win_ui/win_parameter_dlg.h"
#include "win_ui/win_tray.h"

namespace quor {

class CWinMainWindow : public CWinDialog, public MainView {
  public:
    static constexpr int IDD_MAIN_TEMPLATE = 102;
    enum : int {
        IDC_PHONE_IP = 1000,
        IDC_STATUS = 1001,
        IDC_SET_BUTTON = 1021,
        IDC_HELP_BUTTON = 1022,
        IDC_AUTO_IP = 1030,
    };

    // What the window hands to the controller; unset ones are ignored.
    struct Handlers {
        std::function<unsigned()> state;
        std::function<bool()> log_running;
        std::function<void()> init;  // the controller's start-up, once the window exists
        std::function<void()> pair;  // the Pair button (IDOK)
        std::function<void()> cancel;
        std::function<void(int id)> command;      // menu commands
        std::function<void(int id)> sys_command;  // About (16) and SC_MINIMIZE
        std::function<void(uint32_t addr, int nonblank_fields)> address_edited;
        std::function<void(bool checked)> auto_toggled;
        std::function<void()> set_clicked;
        std::function<void()> help_clicked;
    };

    CWinMainWindow(Handlers handlers, CParameterDlg::Store settings);

    // Runs the window modally until the controller ends it.
    INT_PTR Run() { return DoModal(IDD_MAIN_TEMPLATE, nullptr); }

    // MainView.
    void apply_state(const StateEffects& effects) override;
    void show_auto_checked(bool checked) override;
    void show_address(uint32_t addr, bool blank) override;
    void enable_address(bool enabled) override;
    void show_hide(int mode) override;
    void init_window() override;
    void end_dialog() override;
    bool run_settings_dialog() override;
    void run_about_box() override;
    bool open_document(const std::string& file) override;
    std::string ask_save_path(const std::string& default_name, const std::string& filter) override;
    bool is_minimized() override;
    int message_box(const std::string& text, const std::string& caption, int style) override;

    CWinTray& Tray() { return m_tray; }
    // Opens the tray's context menu as a right click on the icon does.
    void OpenTrayMenu();

  protected:
    BOOL OnInitDialog() override;
    INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  private:
    void OnTrayEvent(UINT mouse_message);
    void OnCommand(int id, int code);
    void InitToolTip();

    Handlers m_handlers;
    CParameterDlg::Store m_settings;
    CWinTray m_tray;
    HWND m_tipAuto = nullptr;
    bool m_bSettingAddress = false;
    bool m_bEnded = false;
};

}  // namespace quor
