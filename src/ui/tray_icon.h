// The notification-area icon: its picture, tip and balloon, show/hide on a
// left click, and the context menu (129, or 130 with Ctrl held) rebuilt for
// the connection state each time it opens.
#pragma once

#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <string>
#include <vector>

#include "ui/tray_menus.h"

namespace quor {

// Fills MENU with ITEMS (TrayMenuItem::id 0 a separator); choosing an
// active item calls COMMAND with its id once the menu has closed, as a
// command may open a dialog. CONTEXT owns the connections.
void fill_command_menu(QMenu* menu, const std::vector<TrayMenuItem>& items, QObject* context,
                       const std::function<void(int id)>& command);

class CTrayIcon : public QObject {
    Q_OBJECT

  public:
    struct Handlers {
        std::function<unsigned()> state;      // the connection state
        std::function<bool()> log_running;    // the phone-log service runs
        std::function<void(int id)> command;  // a chosen menu command
        std::function<void()> toggle;         // a left click or double click
        std::function<bool()> ctrl_held;      // the Ctrl key is down now
    };

    CTrayIcon(Handlers handlers, QObject* parent = nullptr);

    // Puts the icon into the notification area with its current picture and
    // tip; the icon comes back by itself when the tray host restarts.
    void Add();
    void SetIcon(int id);
    void SetTip(const std::string& tip);
    // Shows TEXT in a balloon titled TITLE for 10 s.
    void ShowBalloon(const std::string& title, const std::string& text);

    // How the menu learns whether Ctrl is held when it opens.
    void SetCtrlHeldQuery(std::function<bool()> query) { m_handlers.ctrl_held = std::move(query); }
    // Refills the context menu as it is about to open.
    void RebuildMenu();
    void FillMenu(bool with_logs);

    QMenu* Menu() { return &m_menu; }
    // The items the menu shows now, for a menu of the window's own when no
    // notification area exists; WITH_LOGS as for FillMenu.
    std::vector<TrayMenuItem> Items(bool with_logs) const;
    bool CtrlHeld() const { return m_handlers.ctrl_held(); }
    void RunCommand(int id) { m_handlers.command(id); }
    QSystemTrayIcon* Icon() { return &m_tray; }
    int IconId() const { return m_nIconId; }
    QString Tip() const { return m_tray.toolTip(); }
    QString LastBalloon() const { return m_strLastBalloon; }
    bool WithLogs() const { return m_bWithLogs; }

    static constexpr int BALLOON_MS = 10000;

  private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);

    Handlers m_handlers;
    QSystemTrayIcon m_tray;
    QMenu m_menu;
    int m_nIconId = 0;
    bool m_bWithLogs = false;
    QString m_strLastBalloon;
};

}  // namespace quor
