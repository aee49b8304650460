// The main window (template 102) and the tray icon: what the controller
// CKestrowQuorConnectorDlg decides, shown with Qt widgets, and the user's
// actions handed back to it.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <functional>
#include <memory>

#include "shell/main_dlg.h"
#include "shell/main_view.h"
#include "ui/dialog_builder.h"
#include "ui/ip_address_ctrl.h"
#include "ui/message_box.h"
#include "ui/parameter_values.h"
#include "ui/tooltip_ctrl.h"
#include "ui/tray_icon.h"

namespace quor {

class CMainWindow : public QDialog, public MainView {
    Q_OBJECT

  public:
    explicit CMainWindow(QWidget* parent = nullptr);
    ~CMainWindow() override;

    void SetController(CKestrowQuorConnectorDlg* dlg) { m_pDlg = dlg; }
    // Replacements for the parts that reach outside the program; set before
    // the controller starts.
    void SetMessageBox(MessageBoxFn fn) { m_messageBox = std::move(fn); }
    void SetApplyAutoRun(ApplyAutoRunFn fn) { m_applyAutoRun = std::move(fn); }
    void SetLogServiceRunning(std::function<bool()> fn) { m_logRunning = std::move(fn); }
    void SetDocumentOpener(std::function<bool(const std::string&)> fn) { m_opener = std::move(fn); }
    // The save-file dialog: returns the chosen path, empty when cancelled.
    using SavePathFn = std::function<std::string(QWidget* owner, const std::string& default_name,
                                                 const std::string& filter)>;
    void SetSavePathDialog(SavePathFn fn) { m_savePath = std::move(fn); }
    // Whether a notification area exists (by default Qt asks the desktop).
    void SetTrayAvailable(std::function<bool()> fn) { m_trayAvailable = std::move(fn); }

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
    bool is_minimized() override { return m_bMinimized; }
    int message_box(const std::string& text, const std::string& caption, int style) override;

    QPushButton* PairButton() const { return m_built.control<QPushButton>(IDC_OK); }
    CIpAddressCtrl* AddressCtrl() const { return m_built.control<CIpAddressCtrl>(IDC_PHONE_IP); }
    QCheckBox* AutoBox() const { return m_built.control<QCheckBox>(IDC_AUTO_IP); }
    QLabel* StatusLabel() const { return m_built.control<QLabel>(IDC_STATUS); }
    CTrayIcon* Tray() const { return m_tray.get(); }
    CToolTipCtrl* AutoTip() const { return m_autoTip.get(); }
    const BuiltDialog& built() const { return m_built; }
    bool Ended() const { return m_bEnded; }
    // The window's context menu, which carries the About entry (null when
    // text 101 is empty), or, where no notification area exists, every
    // command of the tray menu instead (with the phone-log items when Ctrl
    // is held, as the tray's).
    std::unique_ptr<QMenu> WindowMenu();

  signals:
    // The controller closed the main window; the program ends.
    void dialogEnded();

  protected:
    void reject() override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void ConnectControls();
    // Runs TASK on the UI thread, waiting for it when called from a worker.
    template <typename T>
    T OnUiThread(const std::function<T()>& task);

    CKestrowQuorConnectorDlg* m_pDlg = nullptr;
    BuiltDialog m_built;
    std::unique_ptr<CTrayIcon> m_tray;
    std::unique_ptr<CToolTipCtrl> m_autoTip;
    MessageBoxFn m_messageBox = show_message_box;
    ApplyAutoRunFn m_applyAutoRun;
    std::function<bool()> m_logRunning = [] { return false; };
    std::function<bool(const std::string&)> m_opener;
    std::function<bool()> m_trayAvailable;
    SavePathFn m_savePath;
    std::atomic<bool> m_bMinimized{false};
    bool m_bInShowHide = false;
    bool m_bEnded = false;
};

}  // namespace quor
