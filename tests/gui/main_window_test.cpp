// The main window driven through its controller: what each connection state
// shows, the balloon rule, the Pair button, the address control, the Auto
// box, closing, the tray icon's clicks, the hidden buttons and the message
// boxes that workers ask for.
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <thread>

#include "gui_fixture.h"
#include "settings/ini_store.h"
#include "ui/about_dlg.h"
#include "ui/message_box.h"

namespace quor {

namespace {

struct StateView {
    unsigned state;
    int status_id;
    int icon;
    bool pair_enabled;
    int pair_text_id;
};

QString text(int id) {
    return QString::fromStdString(LoadString(id));
}

// Walks the controller from state 0 to STATE the way the program does.
void reach(MainWindowRig& rig, unsigned state) {
    switch (state) {
        case STATE_NOT_PAIRED:
            rig.set_state(STATE_PAIRING);
            rig.set_state(STATE_NOT_PAIRED);
            break;
        case STATE_PAIRING:
            rig.set_state(STATE_PAIRING);
            break;
        case STATE_PAIRED_SIGNED_OUT:
            rig.set_state(STATE_PAIRING);
            rig.set_state(STATE_PAIRED_SIGNED_OUT);
            break;
        case STATE_PAIRED_SIGNED_IN:
            reach(rig, STATE_PAIRED_SIGNED_OUT);
            rig.set_state(STATE_PAIRED_SIGNED_IN);
            break;
        case STATE_UNPAIRING:
            reach(rig, STATE_PAIRED_SIGNED_IN);
            rig.set_state(STATE_UNPAIRING);
            break;
        case STATE_WAITING:
            reach(rig, STATE_UNPAIRING);
            rig.dlg->SetRepairArmed(1);
            rig.set_state(STATE_NOT_PAIRED);
            break;
        case STATE_FINDING_ADDRESS:
            rig.set_state(STATE_PAIRING);
            rig.set_state(STATE_FINDING_ADDRESS);
            break;
        default:
            break;
    }
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void init() { set_language(UiLanguage::English); }

    void states_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("status_id");
        QTest::addColumn<int>("icon");
        QTest::addColumn<bool>("pair_enabled");
        QTest::addColumn<int>("pair_text_id");
        QTest::addColumn<bool>("controls_enabled");
        QTest::newRow("0 not paired")
            << 0 << int(IDS_NOT_PAIRED) << int(ICON_NOT_PAIRED) << true << int(IDS_PAIR) << true;
        QTest::newRow("1 pairing")
            << 1 << int(IDS_PAIRING) << int(ICON_BUSY) << false << int(IDS_PAIR) << false;
        QTest::newRow("2 signed out")
            << 2 << int(IDS_PAIRED_SIGNED_OUT) << int(ICON_PAIRED_SIGNED_OUT) << true
            << int(IDS_UNPAIR) << false;
        QTest::newRow("3 signed in") << 3 << int(IDS_PAIRED_SIGNED_IN) << int(ICON_SIGNED_IN)
                                     << true << int(IDS_UNPAIR) << false;
        QTest::newRow("4 unpairing")
            << 4 << int(IDS_UNPAIRING) << int(ICON_BUSY) << false << int(IDS_UNPAIR) << false;
        QTest::newRow("5 waiting")
            << 5 << int(IDS_WAITING) << int(ICON_NOT_PAIRED) << true << int(IDS_STOP) << false;
        QTest::newRow("6 finding")
            << 6 << int(IDS_STARTED) << int(ICON_NOT_PAIRED) << true << int(IDS_STOP) << false;
    }

    void states() {
        QFETCH(int, state);
        QFETCH(int, status_id);
        QFETCH(int, icon);
        QFETCH(bool, pair_enabled);
        QFETCH(int, pair_text_id);
        QFETCH(bool, controls_enabled);
        MainWindowRig rig;
        reach(rig, unsigned(state));
        QCOMPARE(rig.dlg->State(), unsigned(state));
        QString status = text(status_id);
        if (state == STATE_WAITING) status += "(15s)";
        CMainWindow& w = rig.window;
        QCOMPARE(w.StatusLabel()->text(), status);
        QCOMPARE(w.PairButton()->text(), text(pair_text_id));
        QCOMPARE(w.PairButton()->isEnabled(), pair_enabled);
        QCOMPARE(w.AddressCtrl()->isEnabled(), controls_enabled);
        QCOMPARE(w.AutoBox()->isEnabled(), controls_enabled);
        QCOMPARE(w.Tray()->IconId(), icon);
        QString tip = text(IDS_TRAY_TIP) + status;
        QCOMPARE(w.Tray()->Tip(), tip.remove('\r'));
        QVERIFY(w.Tray()->LastBalloon().isEmpty());
    }

    void start_up_shows_not_paired_with_bare_tip() {
        MainWindowRig rig;
        QCOMPARE(rig.window.StatusLabel()->text(), text(IDS_NOT_PAIRED));
        QCOMPARE(rig.window.Tray()->Tip(), text(IDS_NOT_PAIRED));
        QCOMPARE(rig.window.Tray()->IconId(), int(ICON_NOT_PAIRED));
        QVERIFY(rig.window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    }

    void balloon_only_when_minimised_and_not_pairing_or_waiting() {
        MainWindowRig rig;
        rig.window.show();
        rig.dlg->ShowHide(1);
        QVERIFY(rig.window.is_minimized());
        rig.set_state(STATE_PAIRING);
        QVERIFY(rig.window.Tray()->LastBalloon().isEmpty());
        rig.set_state(STATE_PAIRED_SIGNED_OUT);
        QCOMPARE(rig.window.Tray()->LastBalloon(), text(IDS_PAIRED_SIGNED_OUT));
        // A drop with the re-pair armed goes on to the countdown: the
        // balloon keeps the last text, no new one for "Waiting...".
        rig.dlg->SetRepairArmed(1);
        rig.set_state(STATE_UNPAIRING);
        QCOMPARE(rig.window.Tray()->LastBalloon(), text(IDS_UNPAIRING));
        rig.set_state(STATE_NOT_PAIRED);
        QCOMPARE(rig.dlg->State(), unsigned(STATE_WAITING));
        QCOMPARE(rig.window.Tray()->LastBalloon(), text(IDS_UNPAIRING));
        rig.dlg->ShowHide(0);
        QVERIFY(!rig.window.is_minimized());
        rig.set_state(STATE_PAIRING);
        rig.set_state(STATE_PAIRED_SIGNED_OUT);
        QCOMPARE(rig.window.Tray()->LastBalloon(), text(IDS_UNPAIRING));
    }

    void minimise_from_title_bar_hides_and_raises_balloon() {
        MainWindowRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        rig.window.setWindowState(Qt::WindowMinimized);
        QTRY_COMPARE(rig.window.Tray()->LastBalloon(), text(IDS_NOT_PAIRED));
        QVERIFY(rig.window.is_minimized());
    }

    void tray_click_toggles_window() {
        MainWindowRig rig;
        rig.window.show();
        QVERIFY(!rig.window.is_minimized());
        emit rig.window.Tray()->Icon()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(rig.window.is_minimized());
        emit rig.window.Tray()->Icon()->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(!rig.window.is_minimized());
        QVERIFY(rig.window.isVisible());
        emit rig.window.Tray()->Icon()->activated(QSystemTrayIcon::MiddleClick);
        QVERIFY(!rig.window.is_minimized());
    }

    void pair_saves_typed_address_with_blank_fields_as_zero() {
        MainWindowRig rig;
        CIpAddressCtrl* ip = rig.window.AddressCtrl();
        ip->ClearAddress();
        QTest::keyClicks(ip->field(0), "10");
        QTest::keyClicks(ip->field(3), "5");
        uint32_t addr = 0;
        QCOMPARE(ip->GetAddress(&addr), 2);
        QCOMPARE(addr, 0x0A000005u);
        QTest::mouseClick(rig.window.PairButton(), Qt::LeftButton);
        rig.settle();
        QCOMPARE(ini_get_int(rig.home.config(), "SECTION 1", "PhoneIP", -1), 167772165);
        QCOMPARE(rig.dlg->State(), unsigned(STATE_PAIRING));
        QCOMPARE(rig.pair_sessions, 1);
        QVERIFY(!rig.window.PairButton()->isEnabled());
    }

    void pair_with_empty_address_only_saves_auto() {
        MainWindowRig rig;
        rig.window.AddressCtrl()->ClearAddress();
        emit rig.window.AddressCtrl()->addressEdited(0, 0);
        QTest::mouseClick(rig.window.PairButton(), Qt::LeftButton);
        rig.settle();
        QCOMPARE(rig.dlg->State(), unsigned(STATE_NOT_PAIRED));
        QCOMPARE(rig.pair_sessions, 0);
        QCOMPARE(ini_get_int(rig.home.config(), "SECTION 1", "AutoIP", -1), 0);
    }

    void address_fields_accept_0_to_255_and_move_on() {
        MainWindowRig rig;
        CIpAddressCtrl* ip = rig.window.AddressCtrl();
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        ip->ClearAddress();
        ip->field(0)->setFocus();
        QTest::keyClicks(ip->field(0), "300");
        QCOMPARE(ip->field(0)->text(), QString("255"));
        QCOMPARE(rig.window.focusWidget(), ip->field(1));
        QTest::keyClicks(ip->field(1), "7.x");
        QCOMPARE(ip->field(1)->text(), QString("7"));
        QCOMPARE(rig.window.focusWidget(), ip->field(2));
        QTest::keyClick(ip->field(2), Qt::Key_Backspace);
        QCOMPARE(rig.window.focusWidget(), ip->field(1));
        uint32_t addr = 0;
        QCOMPARE(ip->GetAddress(&addr), 2);
        QCOMPARE(addr, 0xFF070000u);
    }

    // Typed as one would, over the 0.0.0.0 the control shows after a first
    // start: the dot after a third digit does not skip the next field.
    void a_whole_address_typed_fills_the_fields_in_turn() {
        MainWindowRig rig;
        CIpAddressCtrl* ip = rig.window.AddressCtrl();
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        for (const char* typed : {"192.168.1.20", "10.0.0.5"}) {
            ip->SetAddress(0);
            ip->field(0)->setFocus();
            ip->field(0)->selectAll();
            for (const char c : std::string(typed)) QTest::keyClick(rig.window.focusWidget(), c);
            QStringList fields;
            for (int i = 0; i < 4; ++i) fields << ip->field(i)->text();
            QCOMPARE(fields.join('.'), QString(typed));
        }
    }

    void stored_address_fills_the_control() {
        MainWindowRig rig;
        ini_write_string(rig.home.config(), "SECTION 1", "PhoneIP", "-1062731510");
        rig.dlg->LoadConfig();
        rig.settle();
        const CIpAddressCtrl* ip = rig.window.AddressCtrl();
        QCOMPARE(ip->field(0)->text() + "." + ip->field(1)->text() + "." + ip->field(2)->text() +
                     "." + ip->field(3)->text(),
                 QString("192.168.1.10"));
    }

    void auto_box_disables_address_and_is_saved_by_pair() {
        MainWindowRig rig;
        QVERIFY(rig.window.AddressCtrl()->isEnabled());
        QTest::mouseClick(rig.window.AutoBox(), Qt::LeftButton, {},
                          QPoint(4, rig.window.AutoBox()->height() / 2));
        QVERIFY(rig.window.AutoBox()->isChecked());
        QVERIFY(!rig.window.AddressCtrl()->isEnabled());
        QTest::mouseClick(rig.window.PairButton(), Qt::LeftButton);
        rig.settle();
        QCOMPARE(ini_get_int(rig.home.config(), "SECTION 1", "AutoIP", -1), 1);
        QCOMPARE(rig.dlg->State(), unsigned(STATE_PAIRING));
    }

    void auto_tooltip() {
        MainWindowRig rig;
        const CToolTipCtrl* tip = rig.window.AutoTip();
        QVERIFY(tip);
        QCOMPARE(tip->Text(), text(IDS_AUTO_TIP));
        QCOMPARE(tip->Delay(), 500);
        QCOMPARE(tip->TextColor(), QColor(50, 50, 50));
        QCOMPARE(tip->BkColor(), QColor(255, 255, 255));
        QVERIFY(tip->IsActive());
    }

    void auto_tooltip_appears_after_its_delay_and_goes_on_press() {
        MainWindowRig rig;
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        CToolTipCtrl* tip = rig.window.AutoTip();
        QEvent enter(QEvent::Enter);
        QApplication::sendEvent(rig.window.AutoBox(), &enter);
        QTest::qWait(200);
        QVERIFY(!tip->IsShowing());
        QTRY_VERIFY_WITH_TIMEOUT(tip->IsShowing(), 2000);
        QTest::mousePress(rig.window.AutoBox(), Qt::RightButton);
        QVERIFY(!tip->IsShowing());
    }

    void close_asks_and_ends_only_on_ok() {
        MainWindowRig rig;
        QSignalSpy ended(&rig.window, &CMainWindow::dialogEnded);
        rig.messages.answer = IDCANCEL;
        QTest::keyClick(&rig.window, Qt::Key_Escape);
        QCOMPARE(rig.messages.shown.size(), size_t(1));
        QVERIFY(rig.messages.saw(IDS_QUIT_QUESTION));
        QCOMPARE(rig.messages.shown[0].caption, LoadString(IDS_HINT_CAPTION));
        QCOMPARE(rig.messages.shown[0].style, int(MB_EXCLAMATION_OKCANCEL));
        QCOMPARE(ended.count(), 0);
        rig.messages.answer = IDOK;
        rig.window.show();
        rig.window.close();
        QCOMPARE(ended.count(), 1);
        QVERIFY(rig.window.Ended());
        QVERIFY(!rig.window.isVisible());
    }

    void tray_exit_ends_without_question() {
        MainWindowRig rig;
        QSignalSpy ended(&rig.window, &CMainWindow::dialogEnded);
        rig.set_state(STATE_PAIRING);
        rig.dlg->OnCommand(ID_EXIT);
        QCOMPARE(ended.count(), 1);
        QVERIFY(rig.messages.shown.empty());
    }

    void help_opens_readme_or_says_it_is_missing() {
        MainWindowRig rig;
        std::vector<std::string> opened;
        bool ok = false;
        rig.window.SetDocumentOpener([&](const std::string& f) {
            opened.push_back(f);
            return ok;
        });
        auto* help = rig.window.built().control<QPushButton>(IDC_HELP);
        help->click();
        QCOMPARE(opened.size(), size_t(1));
        QCOMPARE(opened[0], rig.home.path() + "Readme.txt");
        QVERIFY(rig.messages.saw(IDS_NO_README));
        ok = true;
        rig.messages.shown.clear();
        help->click();
        QVERIFY(rig.messages.shown.empty());
    }

    void default_opener_needs_an_existing_file() {
        MainWindowRig rig;
        QVERIFY(!rig.window.open_document(rig.home.path() + "Readme.txt"));
    }

    void window_menu_offers_about() {
        MainWindowRig rig;
        rig.window.SetTrayAvailable([] { return true; });
        auto menu = rig.window.WindowMenu();
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions()[0]->text(), text(IDS_ABOUT_MENU));
    }

    void about_entry_and_tray_about_open_the_about_box() {
        MainWindowRig rig;
        int shown = 0;
        // Presses OK on the about box as soon as it is up.
        QTimer closer;
        closer.setInterval(10);
        connect(&closer, &QTimer::timeout, [&] {
            if (auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                ++shown;
                about->built().control<QPushButton>(IDC_OK)->click();
            }
        });
        const auto close_about = [&closer] { closer.start(); };
        close_about();
        rig.window.SetTrayAvailable([] { return true; });
        rig.window.WindowMenu()->actions()[0]->trigger();
        QTRY_COMPARE(shown, 1);
        close_about();
        rig.dlg->OnCommand(ID_ABOUT);
        QCOMPARE(shown, 2);
    }

    // Without a notification area the window stays on the taskbar when it
    // is minimised, and its menu carries every command of the tray menu as
    // the tray would show it now, Ctrl's log items included.
    void without_a_tray_the_window_menu_takes_the_tray_menus_place() {
        MainWindowRig rig;
        rig.window.SetTrayAvailable([] { return false; });
        rig.window.Tray()->SetCtrlHeldQuery([] { return true; });
        rig.window.show();
        rig.dlg->ShowHide(1);
        QVERIFY(rig.window.isVisible());
        rig.dlg->ShowHide(0);
        reach(rig, STATE_PAIRED_SIGNED_IN);

        rig.window.Tray()->FillMenu(true);
        QList<QPair<int, bool>> tray_items;
        for (QAction* a : rig.window.Tray()->Menu()->actions())
            if (!a->isSeparator()) tray_items.append({a->data().toInt(), a->isEnabled()});
        auto menu = rig.window.WindowMenu();
        QVERIFY(menu);
        QList<QPair<int, bool>> window_items;
        for (QAction* a : menu->actions())
            if (!a->isSeparator()) window_items.append({a->data().toInt(), a->isEnabled()});
        QCOMPARE(window_items, tray_items);
        QVERIFY(tray_items.contains({ID_SETTING, true}));
        QVERIFY(tray_items.contains({ID_SIGN_IN_BY_LYNC, true}));
        QVERIFY(tray_items.contains({ID_LOG_SERVICE, true}));

        // Its Exit does what the tray's does: not paired, the program ends.
        reach(rig, STATE_NOT_PAIRED);
        menu = rig.window.WindowMenu();
        for (QAction* a : menu->actions())
            if (a->data().toInt() == ID_EXIT) a->trigger();
        QTRY_VERIFY(rig.window.Ended());
    }

    void worker_message_box_waits_for_the_answer() {
        MainWindowRig rig;
        rig.messages.answer = IDCANCEL;
        std::atomic<int> answer{0};
        std::thread worker([&] {
            answer = rig.window.message_box("question", "caption", MB_EXCLAMATION_OKCANCEL);
        });
        QTRY_COMPARE(answer.load(), int(IDCANCEL));
        worker.join();
        QCOMPARE(rig.messages.shown.size(), size_t(1));
        QCOMPARE(rig.messages.shown[0].text, std::string("question"));
    }

    void message_box_shows_markup_as_text() {
        // An update file's version text with a link in it.
        const std::string text = "A new version 9.9.9.9 <a href=\"http://evil.test/\">x</a>";
        Qt::TextFormat format = Qt::AutoText;
        QString shown;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                answer.stop();
                format = box->textFormat();
                shown = box->text();
                box->button(QMessageBox::No)->click();
            }
        });
        answer.start(10);
        QCOMPARE(show_message_box(nullptr, text, "Update Info", MB_YESNO), int(IDNO));
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(shown, QString::fromStdString(text));
    }

    void save_dialog_filter_and_thread() {
        MainWindowRig rig;
        std::string seen_filter;
        rig.window.SetSavePathDialog(
            [&](QWidget*, const std::string& name, const std::string& filter) {
                seen_filter = filter;
                return "/tmp/" + name + ".txt";
            });
        std::string path;
        std::thread worker(
            [&] { path = rig.window.ask_save_path("phone", LoadString(IDS_LOG_FILTER)); });
        QTRY_COMPARE(QString::fromStdString(path), QString("/tmp/phone.txt"));
        worker.join();
        QCOMPARE(seen_filter, LoadString(IDS_LOG_FILTER));
    }
};

}  // namespace quor

QTEST_MAIN(quor::MainWindowTest)
#include "main_window_test.moc"
