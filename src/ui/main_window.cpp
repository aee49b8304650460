#include "ui/main_window.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include "base/strings.h"
#include "ui/about_dlg.h"
#include "ui/link_ctrl.h"
#include "ui/parameter_dlg.h"
#include "ui/ui_images.h"

namespace quor {

namespace {
constexpr int SC_MINIMIZE = 0xF020;
constexpr int AUTO_TIP_DELAY_MS = 500;
const QColor AUTO_TIP_TEXT(50, 50, 50);
const QColor AUTO_TIP_BACKGROUND(255, 255, 255);
constexpr const char* SAVE_SUFFIX = "txt";

// A URL (scheme and colon) goes to its handler; a path must name a file.
bool open_with_desktop(const std::string& target) {
    const QString text = QString::fromStdString(target);
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid() && url.scheme().size() > 1) return QDesktopServices::openUrl(url);
    return QFileInfo::exists(text) && QDesktopServices::openUrl(QUrl::fromLocalFile(text));
}

// "Text file(*.txt)|*.txt|All file(*.*)|*.*||" as the file dialog's
// "Text file(*.txt) (*.txt);;All file(*.*) (*)".
QString qt_filter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) break;
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1String("*.*"), QLatin1String("*"));
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        entries << parts[i] + " (" + patterns + ")";
    }
    return entries.join(QLatin1String(";;"));
}

std::string ask_save_path_dialog(QWidget* owner, const std::string& default_name,
                                 const std::string& filter) {
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QLatin1String(SAVE_SUFFIX));
    dialog.setNameFilter(qt_filter(filter));
    dialog.setDirectory(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    dialog.selectFile(QString::fromStdString(default_name) + "." + SAVE_SUFFIX);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().front().toStdString();
}
}  // namespace

CMainWindow::CMainWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_opener(open_with_desktop),
      m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }),
      m_savePath(ask_save_path_dialog) {
    m_built = build_dialog(this, dialog_template(IDD_MAIN, current_language()));
    setWindowIcon(load_icon(ICON_PAIRED_SIGNED_OUT));
    CTrayIcon::Handlers handlers;
    handlers.state = [this] { return m_pDlg ? m_pDlg->State() : STATE_NOT_PAIRED; };
    handlers.log_running = [this] { return m_logRunning(); };
    handlers.command = [this](int id) {
        if (m_pDlg) m_pDlg->OnCommand(id);
    };
    handlers.toggle = [this] {
        if (m_pDlg) m_pDlg->ShowHide(2);
    };
    m_tray = std::make_unique<CTrayIcon>(std::move(handlers));
    ConnectControls();
}

CMainWindow::~CMainWindow() = default;

void CMainWindow::ConnectControls() {
    connect(PairButton(), &QPushButton::clicked, this, [this] {
        if (m_pDlg) m_pDlg->OnOK();
    });
    connect(AddressCtrl(), &CIpAddressCtrl::addressEdited, this,
            [this](uint32_t addr, int nonblank) {
                if (m_pDlg) m_pDlg->OnAddressEdited(addr, nonblank);
            });
    connect(AutoBox(), &QCheckBox::clicked, this, [this](bool checked) {
        if (m_pDlg) m_pDlg->OnAutoToggledByUser(checked);
    });
    connect(m_built.control<QPushButton>(IDC_SET), &QPushButton::clicked, this, [this] {
        if (m_pDlg) m_pDlg->OnSetClicked();
    });
    connect(m_built.control<QPushButton>(IDC_HELP), &QPushButton::clicked, this, [this] {
        if (m_pDlg) m_pDlg->OnHelpClicked();
    });
}

// ------------------------------------------------------------ start-up

void CMainWindow::init_window() {
    CButtonLink::SetLinkCursor(load_cursor(IDC_LINK_CURSOR));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    m_tray->SetIcon(ICON_NOT_PAIRED);
    m_tray->Add();
    m_autoTip =
        std::make_unique<CToolTipCtrl>(AutoBox(), QString::fromStdString(LoadString(IDS_AUTO_TIP)));
    m_autoTip->SetDelayTime(AUTO_TIP_DELAY_MS);
    m_autoTip->SetTipTextColor(AUTO_TIP_TEXT);
    m_autoTip->SetTipBkColor(AUTO_TIP_BACKGROUND);
    m_autoTip->Activate(true);
}

// ------------------------------------------------------------- showing

void CMainWindow::apply_state(const StateEffects& fx) {
    if (fx.address_enabled) AddressCtrl()->setEnabled(*fx.address_enabled);
    if (fx.auto_enabled) AutoBox()->setEnabled(*fx.auto_enabled);
    if (fx.pair_enabled) PairButton()->setEnabled(*fx.pair_enabled);
    if (fx.pair_text) PairButton()->setText(QString::fromStdString(*fx.pair_text));
    if (!fx.status) return;
    StatusLabel()->setText(QString::fromStdString(*fx.status));
    m_tray->SetIcon(fx.icon);
    m_tray->SetTip(fx.tip);
    if (!fx.balloon.empty()) m_tray->ShowBalloon(LoadString(IDS_BALLOON_TITLE), fx.balloon);
}

void CMainWindow::show_auto_checked(bool checked) {
    AutoBox()->setChecked(checked);
}

void CMainWindow::show_address(uint32_t addr, bool blank) {
    if (blank)
        AddressCtrl()->ClearAddress();
    else
        AddressCtrl()->SetAddress(addr);
}

void CMainWindow::enable_address(bool enabled) {
    AddressCtrl()->setEnabled(enabled);
}

void CMainWindow::show_hide(int mode) {
    if (mode == 2) mode = m_bMinimized ? 0 : 1;
    m_bInShowHide = true;
    if (mode == 0) {
        m_bMinimized = false;
        if (windowState() & Qt::WindowMinimized)
            showNormal();
        else
            show();
        raise();
        activateWindow();
    } else {
        m_bMinimized = true;
        // Hidden to the tray the window is not iconified as well: a stale
        // iconify reported by the window system after a later show would
        // hide it again. Without a notification area it stays on the
        // taskbar, the only way back to it.
        if (m_trayAvailable())
            hide();
        else
            showMinimized();
    }
    m_bInShowHide = false;
}

void CMainWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || m_bInShowHide || !isVisible()) return;
    const bool minimized = windowState() & Qt::WindowMinimized;
    if (minimized && !m_bMinimized) {
        // Minimised from the title bar: hide to the tray and raise the
        // balloon, as the minimise system command does.
        m_bMinimized = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_pDlg) m_pDlg->OnSysCommand(SC_MINIMIZE);
            },
            Qt::QueuedConnection);
    } else if (!minimized) {
        m_bMinimized = false;
    }
}

// ---------------------------------------------------------- About entry

std::unique_ptr<QMenu> CMainWindow::WindowMenu() {
    auto menu = std::make_unique<QMenu>(this);
    // Without a notification area the window, which then stays on the
    // taskbar, is the only way to Settings, Sign in by Lync, the log service
    // and Exit; the tray menu's own About stands for the window's.
    if (!m_trayAvailable()) {
        fill_command_menu(menu.get(), m_tray->Items(m_tray->CtrlHeld()), this,
                          [this](int id) { m_tray->RunCommand(id); });
        return menu;
    }
    const std::string about = LoadString(IDS_ABOUT_MENU);
    if (about.empty()) return nullptr;
    QAction* action = menu->addAction(QString::fromStdString(about));
    connect(action, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_pDlg) m_pDlg->OnSysCommand(ID_ABOUT_SYSMENU);
            },
            Qt::QueuedConnection);
    });
    return menu;
}

void CMainWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (auto menu = WindowMenu()) menu->exec(event->globalPos());
}

// -------------------------------------------------------------- dialogs

bool CMainWindow::run_settings_dialog() {
    CParameterDlg dlg(this, m_applyAutoRun, m_messageBox);
    return dlg.DoModal() == QDialog::Accepted;
}

void CMainWindow::run_about_box() {
    CAboutDlg dlg(this);
    dlg.exec();
}

bool CMainWindow::open_document(const std::string& file) {
    return m_opener(file);
}

template <typename T>
T CMainWindow::OnUiThread(const std::function<T()>& task) {
    if (QThread::currentThread() == thread()) return task();
    // A worker waits for the answer; the UI thread never waits for a worker.
    T result{};
    QMetaObject::invokeMethod(
        this, [&] { result = task(); }, Qt::BlockingQueuedConnection);
    return result;
}

std::string CMainWindow::ask_save_path(const std::string& default_name, const std::string& filter) {
    return OnUiThread<std::string>([&] { return m_savePath(this, default_name, filter); });
}

int CMainWindow::message_box(const std::string& text, const std::string& caption, int style) {
    return OnUiThread<int>([&] { return m_messageBox(this, text, caption, style); });
}

// --------------------------------------------------------------- ending

void CMainWindow::reject() {
    if (m_pDlg) m_pDlg->OnCancel();
}

void CMainWindow::end_dialog() {
    if (m_bEnded) return;
    m_bEnded = true;
    m_tray->Icon()->hide();
    hide();
    emit dialogEnded();
}

}  // namespace quor
