#include "ui/tray_icon.h"

#include <QGuiApplication>

#include "ui/ui_images.h"

namespace quor {

CTrayIcon::CTrayIcon(Handlers handlers, QObject* parent)
    : QObject(parent), m_handlers(std::move(handlers)) {
    if (!m_handlers.ctrl_held)
        m_handlers.ctrl_held = [] {
            return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier);
        };
    m_tray.setContextMenu(&m_menu);
    connect(&m_menu, &QMenu::aboutToShow, this, &CTrayIcon::RebuildMenu);
    connect(&m_tray, &QSystemTrayIcon::activated, this, &CTrayIcon::OnActivated);
}

void CTrayIcon::Add() {
    m_tray.show();
}

void CTrayIcon::SetIcon(int id) {
    if (id == m_nIconId) return;
    m_nIconId = id;
    m_tray.setIcon(load_icon(id));
}

void CTrayIcon::SetTip(const std::string& tip) {
    QString text = QString::fromStdString(tip);
    text.remove(QLatin1Char('\r'));
    m_tray.setToolTip(text);
}

void CTrayIcon::ShowBalloon(const std::string& title, const std::string& text) {
    m_strLastBalloon = QString::fromStdString(text);
    m_tray.showMessage(QString::fromStdString(title), m_strLastBalloon,
                       QSystemTrayIcon::Information, BALLOON_MS);
}

void CTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        m_handlers.toggle();
}

void CTrayIcon::RebuildMenu() {
    FillMenu(m_handlers.ctrl_held());
}

std::vector<TrayMenuItem> CTrayIcon::Items(bool with_logs) const {
    return tray_menu_items(with_logs, m_handlers.state(), m_handlers.log_running());
}

void CTrayIcon::FillMenu(bool with_logs) {
    m_bWithLogs = with_logs;
    m_menu.clear();
    fill_command_menu(&m_menu, Items(with_logs), this, m_handlers.command);
}

void fill_command_menu(QMenu* menu, const std::vector<TrayMenuItem>& items, QObject* context,
                       const std::function<void(int id)>& command) {
    for (const TrayMenuItem& item : items) {
        if (item.id == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromStdString(item.text));
        action->setData(item.id);
        action->setEnabled(!item.greyed);
        // An inactive item that is not greyed looks normal but does nothing.
        // A command runs once the menu has closed, as it may open a dialog.
        if (item.active)
            QObject::connect(action, &QAction::triggered, context,
                             [context, command, id = item.id] {
                                 QMetaObject::invokeMethod(
                                     context, [command, id] { command(id); }, Qt::QueuedConnection);
                             });
    }
}

}  // namespace quor
