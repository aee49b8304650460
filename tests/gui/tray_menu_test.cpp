// The tray's context menu: menu 129 or, with Ctrl held, 130; the texts,
// greying and inactive items per connection state; the log service's item;
// the Korean texts; and the routing of a chosen item to the controller.
#include <QMenu>
#include <QTest>

#include "gui_fixture.h"
#include "soft_dev/dev_globals.h"
#include "ui/tray_menus.h"

namespace quor {

namespace {

QString text(int id) {
    return QString::fromStdString(LoadString(id));
}

const TrayMenuItem* find(const std::vector<TrayMenuItem>& items, int id) {
    for (const TrayMenuItem& item : items)
        if (item.id == id) return &item;
    return nullptr;
}

QAction* action(QMenu* menu, int id) {
    for (QAction* a : menu->actions())
        if (a->data().toInt() == id) return a;
    return nullptr;
}

}  // namespace

class TrayMenuTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { set_language(UiLanguage::English); }

    void items_without_and_with_ctrl() {
        const auto plain = tray_menu_items(false, STATE_NOT_PAIRED, false);
        std::vector<int> ids;
        for (const auto& item : plain) ids.push_back(item.id);
        const std::vector<int> menu129 = {
            ID_SHOW_HIDE, 0, ID_PAIR_SIGN_IN, ID_SIGN_IN_BY_LYNC, 0, ID_SETTING, 0,
            ID_ABOUT,     0, ID_EXIT};
        QCOMPARE(ids, menu129);
        const auto logs = tray_menu_items(true, STATE_NOT_PAIRED, false);
        ids.clear();
        for (const auto& item : logs) ids.push_back(item.id);
        const std::vector<int> menu130 = {ID_SHOW_HIDE,
                                          0,
                                          ID_LOG_SERVICE,
                                          ID_LOGS_TO_PC,
                                          ID_LOGS_TO_PHONE,
                                          0,
                                          ID_PAIR_SIGN_IN,
                                          ID_SIGN_IN_BY_LYNC,
                                          0,
                                          ID_SETTING,
                                          0,
                                          ID_ABOUT,
                                          0,
                                          ID_EXIT};
        QCOMPARE(ids, menu130);
        QCOMPARE(find(logs, ID_LOG_SERVICE)->text, std::string("Start Log Service(&K)"));
        QCOMPARE(find(logs, ID_LOGS_TO_PC)->text, std::string("Phone Logs->PC(&Z)"));
    }

    void per_state_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("pair_text");  // 0: as loaded
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("greyed");
        QTest::newRow("0") << 0 << int(IDS_MENU_PAIR) << false << true;
        QTest::newRow("1") << 1 << 0 << false << false;
        QTest::newRow("2") << 2 << int(IDS_MENU_UNPAIR) << true << false;
        QTest::newRow("3") << 3 << int(IDS_MENU_UNSIGN_UNPAIR) << true << false;
        QTest::newRow("4") << 4 << 0 << false << false;
        QTest::newRow("5") << 5 << int(IDS_MENU_STOP) << false << true;
        QTest::newRow("6") << 6 << int(IDS_MENU_STOP) << false << true;
    }

    void per_state() {
        QFETCH(int, state);
        QFETCH(int, pair_text);
        QFETCH(bool, active);
        QFETCH(bool, greyed);
        for (const bool with_logs : {false, true}) {
            const auto items = tray_menu_items(with_logs, unsigned(state), false);
            const std::string expected =
                pair_text ? LoadString(pair_text) : std::string("Pair && Sign in(&G)");
            QCOMPARE(find(items, ID_PAIR_SIGN_IN)->text, expected);
            for (const int id : {ID_SIGN_IN_BY_LYNC, ID_LOGS_TO_PC, ID_LOGS_TO_PHONE}) {
                const TrayMenuItem* item = find(items, id);
                if (!with_logs && id != ID_SIGN_IN_BY_LYNC) {
                    QVERIFY(!item);
                    continue;
                }
                QCOMPARE(item->active, active);
                QCOMPARE(item->greyed, greyed);
            }
            for (const int id : {ID_SHOW_HIDE, ID_SETTING, ID_ABOUT, ID_EXIT})
                QVERIFY(find(items, id)->active && !find(items, id)->greyed);
        }
    }

    void log_service_item_names_stop_while_running() {
        const auto items = tray_menu_items(true, STATE_PAIRED_SIGNED_IN, true);
        QCOMPARE(find(items, ID_LOG_SERVICE)->text, LoadString(IDS_MENU_STOP_LOGGING));
        QVERIFY(!find(tray_menu_items(false, STATE_PAIRED_SIGNED_IN, true), ID_LOG_SERVICE));
    }

    void korean_texts() {
        set_language(UiLanguage::Korean);
        const auto items = tray_menu_items(true, STATE_PAIRING, false);
        QCOMPARE(find(items, ID_SIGN_IN_BY_LYNC)->text, std::string("은 Lync에 로그인(&L)"));
        QCOMPARE(find(items, ID_EXIT)->text, std::string("나가기(&E)"));
        set_language(UiLanguage::Chinese);
        QCOMPARE(find(tray_menu_items(false, STATE_NOT_PAIRED, false), ID_PAIR_SIGN_IN)->text,
                 LoadString(IDS_MENU_PAIR));
    }

    void menu_follows_ctrl_and_state() {
        MainWindowRig rig;
        CTrayIcon* tray = rig.window.Tray();
        bool ctrl = false;
        tray->SetCtrlHeldQuery([&] { return ctrl; });
        tray->RebuildMenu();
        QVERIFY(!action(tray->Menu(), ID_LOG_SERVICE));
        QCOMPARE(action(tray->Menu(), ID_PAIR_SIGN_IN)->text(), text(IDS_MENU_PAIR));
        QVERIFY(!action(tray->Menu(), ID_SIGN_IN_BY_LYNC)->isEnabled());
        ctrl = true;
        rig.set_state(STATE_PAIRING);
        rig.set_state(STATE_PAIRED_SIGNED_OUT);
        tray->RebuildMenu();
        QVERIFY(tray->WithLogs());
        QVERIFY(action(tray->Menu(), ID_LOGS_TO_PC)->isEnabled());
        QCOMPARE(action(tray->Menu(), ID_PAIR_SIGN_IN)->text(), text(IDS_MENU_UNPAIR));
    }

    void chosen_items_reach_the_controller() {
        MainWindowRig rig;
        CTrayIcon* tray = rig.window.Tray();
        g_lync.signin_request_pending = 0;
        // Inactive in state 1: looks normal, does nothing.
        rig.set_state(STATE_PAIRING);
        tray->FillMenu(false);
        QAction* lync = action(tray->Menu(), ID_SIGN_IN_BY_LYNC);
        QVERIFY(lync->isEnabled());
        lync->trigger();
        rig.settle();
        QCOMPARE(g_lync.signin_request_pending.load(), 0);
        rig.set_state(STATE_PAIRED_SIGNED_OUT);
        tray->FillMenu(false);
        action(tray->Menu(), ID_SIGN_IN_BY_LYNC)->trigger();
        rig.settle();
        QCOMPARE(g_lync.signin_request_pending.load(), 1);
        g_lync.signin_request_pending = 0;
        // Show/Hide toggles the window.
        rig.window.show();
        action(tray->Menu(), ID_SHOW_HIDE)->trigger();
        rig.settle();
        QVERIFY(rig.window.is_minimized());
    }
};

}  // namespace quor

QTEST_MAIN(quor::TrayMenuTest)
#include "tray_menu_test.moc"
