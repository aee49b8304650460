// The dialogs as built from their templates in each language: sizes in
// dialog units of the language's font, tab order, text that fits its
// control. Also writes screenshots of every window to the build's
// screenshots/ folder (or $QUOR_SCREENSHOT_DIR).
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include "gui_fixture.h"
#include "ui/about_dlg.h"
#include "ui/parameter_dlg.h"

namespace quor {

namespace {

const char* language_tag(UiLanguage language) {
    switch (language) {
        case UiLanguage::Korean:
            return "ko";
        case UiLanguage::Chinese:
            return "zh";
        case UiLanguage::English:
            break;
    }
    return "en";
}

QString screenshot_dir() {
    const QByteArray env = qgetenv("QUOR_SCREENSHOT_DIR");
    const QString dir = env.isEmpty() ? QCoreApplication::applicationDirPath() + "/../screenshots"
                                      : QString::fromUtf8(env);
    QDir().mkpath(dir);
    return dir;
}

void save_shot(QWidget* widget, const QString& name) {
    const QString file = screenshot_dir() + "/" + name + ".png";
    QVERIFY2(widget->grab().save(file), qPrintable(file));
}

QString names(const std::vector<QWidget*>& widgets) {
    QStringList list;
    for (QWidget* w : widgets) {
        QString text;
        if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) text = g->title();
        list << w->objectName() + " '" + text + "'";
    }
    return list.join(", ");
}

// Every control of the template is there, in template order, placed where
// its dialog units say; the dialog has the template's size; nothing clips.
void check_layout(QDialog* dialog, const BuiltDialog& built, const DialogTemplate& tpl) {
    QCOMPARE(dialog->size(), QSize(built.units.map_x(tpl.cx), built.units.map_y(tpl.cy)));
    QCOMPARE(built.widgets.size(), tpl.controls.size());
    for (size_t i = 0; i < tpl.controls.size(); ++i) {
        const ControlTemplate& row = tpl.controls[i];
        const QRect box = built.units.map(row.x, row.y, row.cx, row.cy);
        QCOMPARE(built.widgets[i]->pos(), box.topLeft());
        QCOMPARE(built.widgets[i]->size(), box.size());
    }
    const auto clipped = clipped_controls(built);
    QVERIFY2(clipped.empty(), qPrintable("clipped: " + names(clipped)));
}

// The banner's label takes its whole box, and the image (280 x 50 pixels)
// fills the box in one direction and fits it in the other, with its shape.
void check_banner(const BuiltDialog& built, const DialogTemplate& tpl) {
    int banners = 0;
    for (size_t i = 0; i < tpl.controls.size(); ++i) {
        if (tpl.controls[i].kind != CtlKind::Bitmap) continue;
        ++banners;
        const auto* label = qobject_cast<QLabel*>(built.widgets[i]);
        QVERIFY(label);
        const ControlTemplate& row = tpl.controls[i];
        const QSize box = built.units.map(row.x, row.y, row.cx, row.cy).size();
        QCOMPARE(label->size(), box);
        const QSize image = label->pixmap().size();
        const QString sizes = QString("image %1x%2 in box %3x%4")
                                  .arg(image.width())
                                  .arg(image.height())
                                  .arg(box.width())
                                  .arg(box.height());
        QVERIFY2(image.width() == box.width() || image.height() == box.height(), qPrintable(sizes));
        QVERIFY2(image.width() <= box.width() && image.height() <= box.height(), qPrintable(sizes));
        // Within a pixel of 280 : 50 in the direction that was rounded.
        QVERIFY2(qAbs(image.width() * 50 - image.height() * 280) <= 280, qPrintable(sizes));
    }
    QCOMPARE(banners, 1);
}

// The keyboard visits the tab stops in template order, skipping hidden ones.
void check_tab_order(QDialog* dialog, const BuiltDialog& built, const DialogTemplate& tpl) {
    std::vector<QWidget*> expected;
    for (size_t i = 0; i < tpl.controls.size(); ++i)
        if ((tpl.controls[i].flags & CTL_TABSTOP) && !(tpl.controls[i].flags & CTL_HIDDEN))
            expected.push_back(built.widgets[i]);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    expected.front()->setFocus(Qt::TabFocusReason);
    for (size_t i = 1; i <= expected.size(); ++i) {
        QTest::keyClick(dialog->focusWidget(), Qt::Key_Tab);
        QWidget* focus = dialog->focusWidget();
        QWidget* want = expected[i % expected.size()];
        QVERIFY2(focus == want || focus->focusProxy() == want || want->focusProxy() == focus ||
                     want->isAncestorOf(focus),
                 qPrintable(QString("after %1 tabs: %2, expected %3")
                                .arg(i)
                                .arg(focus->objectName(), want->objectName())));
    }
    dialog->hide();
}

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QApplication::setApplicationName("KestrowQuorConnector"); }
    void cleanup() { set_language(UiLanguage::English); }

    void dialog_units_follow_the_font() {
        // Carlito is metric-compatible with the font the layouts were made
        // for: 9 points at 96 dpi give 6 x 15 pixel base units.
        const DialogUnits units = DialogUnits::of(dialog_font(UiLanguage::English));
        QVERIFY2(units.base_x >= 5 && units.base_x <= 7, qPrintable(QString::number(units.base_x)));
        QVERIFY(units.base_y >= 13 && units.base_y <= 17);
        const DialogUnits zh = DialogUnits::of(dialog_font(UiLanguage::Chinese));
        QVERIFY(zh.base_y > units.base_y);
        QCOMPARE(units.map(4, 8, 4, 8),
                 QRect(units.base_x, units.base_y, units.base_x, units.base_y));
    }

    void main_window_layout_data() { languages(); }
    void main_window_layout() {
        QFETCH(int, language);
        set_language(UiLanguage(language));
        MainWindowRig rig;
        const DialogTemplate& tpl = dialog_template(IDD_MAIN, UiLanguage(language));
        check_layout(&rig.window, rig.window.built(), tpl);
        check_banner(rig.window.built(), tpl);
        check_tab_order(&rig.window, rig.window.built(), tpl);
        QCOMPARE(rig.window.windowTitle(), QString::fromUtf8(tpl.caption));
        QVERIFY(!rig.window.built().by_id.at(IDC_SET)->isVisibleTo(&rig.window));
        QVERIFY(!rig.window.built().by_id.at(IDC_HELP)->isVisibleTo(&rig.window));
        QCOMPARE(rig.window.built().by_id.count(IDC_T),
                 size_t(UiLanguage(language) == UiLanguage::Chinese));
    }

    void settings_layout_data() { languages(); }
    void settings_layout() {
        QFETCH(int, language);
        set_language(UiLanguage(language));
        TempHome home;
        CParameterDlg dlg(nullptr);
        dlg.OnInitDialog();
        const DialogTemplate& tpl = dialog_template(IDD_SETTINGS, UiLanguage(language));
        check_layout(&dlg, dlg.built(), tpl);
        check_tab_order(&dlg, dlg.built(), tpl);
    }

    void about_layout_data() { languages(); }
    void about_layout() {
        QFETCH(int, language);
        set_language(UiLanguage(language));
        CAboutDlg dlg;
        const DialogTemplate& tpl = dialog_template(IDD_ABOUTBOX, UiLanguage(language));
        QCOMPARE(dlg.size(),
                 QSize(dlg.built().units.map_x(tpl.cx), dlg.built().units.map_y(tpl.cy)));
        QVERIFY(clipped_controls(dlg.built()).empty());
        check_banner(dlg.built(), tpl);
        const auto* about = qobject_cast<QLabel*>(
            dlg.built().widgets[UiLanguage(language) == UiLanguage::Chinese ? 2 : 3]);
        QVERIFY(about);
        QVERIFY2(about->text().endsWith(QUOR_VERSION), qPrintable(about->text()));
        QCOMPARE(dlg.ContactLink()->Target(), LoadString(IDS_SUPPORT_LINK));
    }

    void screenshots_data() { languages(); }
    void screenshots() {
        QFETCH(int, language);
        set_language(UiLanguage(language));
        const QString tag = language_tag(UiLanguage(language));
        {
            MainWindowRig rig;
            rig.window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
            rig.dlg->SetAddress(0xC0A8010A);
            rig.settle();
            save_shot(&rig.window, "main_" + tag + "_state0");
            rig.set_state(STATE_PAIRING);
            save_shot(&rig.window, "main_" + tag + "_state1");
            rig.set_state(STATE_PAIRED_SIGNED_OUT);
            rig.set_state(STATE_PAIRED_SIGNED_IN);
            save_shot(&rig.window, "main_" + tag + "_state3");
            CTrayIcon* tray = rig.window.Tray();
            tray->SetCtrlHeldQuery([] { return true; });
            tray->Menu()->popup(QPoint(20, 20));
            QVERIFY(QTest::qWaitForWindowExposed(tray->Menu()));
            save_shot(tray->Menu(), "tray_menu_ctrl_" + tag);
            tray->Menu()->hide();
            // A drop with the re-pair armed starts the countdown.
            rig.dlg->SetRepairArmed(1);
            rig.dlg->UpdateSettings([&](ControllerSettings& s) { s.auto_repair = 1; });
            rig.set_state(STATE_UNPAIRING);
            rig.set_state(STATE_NOT_PAIRED);
            QCOMPARE(rig.dlg->State(), unsigned(STATE_WAITING));
            save_shot(&rig.window, "main_" + tag + "_state5");
        }
        {
            TempHome home;
            CParameterDlg dlg(nullptr);
            dlg.OnInitDialog();
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            save_shot(&dlg, "settings_" + tag);
        }
        {
            CAboutDlg dlg;
            dlg.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dlg));
            save_shot(&dlg, "about_" + tag);
        }
    }

  private:
    static void languages() {
        QTest::addColumn<int>("language");
        QTest::newRow("en") << int(UiLanguage::English);
        QTest::newRow("ko") << int(UiLanguage::Korean);
        QTest::newRow("zh") << int(UiLanguage::Chinese);
    }
};

}  // namespace quor

QTEST_MAIN(quor::LayoutTest)
#include "layout_test.moc"
