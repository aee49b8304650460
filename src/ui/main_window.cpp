#include "ui/main_window.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMenu>
#include <QThread>
#include <QUrl>

#include "shell/strings.h"
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
}  // namespace

CMainWindow::CMainWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_opener([](const std::string& file) {
          const QString path = QString::fromStdString(file);
          return QFileInfo::exists(path) && QDesktopServices::openUrl(QUrl::fromLocalFile(path));
      }) {
    m_built = build_dialog(this, dialog_template(IDD_MAIN, current_language()));
    setWindowIcon(load_icon(ICON_PAIRED_SIGNED_OUT));
    CTrayIcon::Handlers handlers;
    handlers.state = [this] { return m_pDlg ? m_pDlg->m_nState.load() : STATE_NOT_PAIRED; };
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
    m_tray->Add();
    m_autoTip = std::make_unique<CToolTipCtrl>(AutoBox(), QString::fromStdString(LoadString(IDS_AUTO_TIP)));
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

void CMainWindow::show_auto_checked(bool checked) { AutoBox()->setChecked(checked); }

void CMainWindow::show_address(uint32_t addr, bool blank) {
    if (blank)
        AddressCtrl()->ClearAddress();
    else
        AddressCtrl()->SetAddress(addr);
}

void CMainWindow::enable_address(bool enabled) { AddressCtrl()->setEnabled(enabled); }

void CMainWindow::show_hide(int mode) {
    if (mode == 2) mode = m_bMinimized ? 0 : 1;
    m_bInShowHide = true;
    if (mode == 0) {
        m_bMinimized = false;
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    } else {
        m_bMinimized = true;
        showMinimized();
        // Without a notification area the window stays on the taskbar, the
        // only way back to it.
        if (QSystemTrayIcon::isSystemTrayAvailable()) hide();
    }
    m_bInShowHide = false;
}

void CMainWindow::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || m_bInShowHide) return;
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
    const std::string about = LoadString(IDS_ABOUT_MENU);
    if (about.empty()) return nullptr;
    auto menu = std::make_unique<QMenu>(this);
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

bool CMainWindow::open_document(const std::string& file) { return m_opener(file); }

int CMainWindow::message_box(const std::string& text, const std::string& caption, int style) {
    if (QThread::currentThread() == thread()) return m_messageBox(this, text, caption, style);
    // A worker waits for the answer; the UI thread never waits for a worker.
    int answer = IDCANCEL;
    QMetaObject::invokeMethod(
        this, [&] { answer = m_messageBox(this, text, caption, style); },
        Qt::BlockingQueuedConnection);
    return answer;
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
