// The settings dialog: loading (defaults written back, check box values),
// the integer reading of its edits, the re-pair enabling rule, the save
// order with start-with-session applied between AutoRepair and AutoRun, and
// the messages after OK.
#include "ui/parameter_dlg.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "gui_fixture.h"
#include "settings/ini_store.h"
#include "ui/parameter_values.h"

namespace quor {

namespace {

QString file_text(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

int read_key(const std::string& path, const char* key) {
    return ini_get_int(path, "SECTION 1", key, -99);
}

struct DialogRig {
    TempHome home;
    MessageRecorder messages;
    std::vector<int> autorun_calls;
    int autorun_result = 1;
    CParameterDlg dlg{nullptr,
                      [this](int on) {
                          autorun_calls.push_back(on);
                          return autorun_result;
                      },
                      messages.fn()};

    explicit DialogRig(const char* config = nullptr) {
        if (config) {
            QFile file(QString::fromStdString(home.config()));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(config);
        }
        dlg.OnInitDialog();
    }
    void press_ok() { dlg.built().control<QPushButton>(IDC_OK_SETTINGS)->click(); }
};

}  // namespace

class ParameterDlgTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QApplication::setApplicationName("KestrowQuorConnector"); }
    void init() { set_language(UiLanguage::English); }

    void scan_int_reads_like_percent_d() {
        int v = 0;
        QCOMPARE(scan_int("12abc", &v), 0);
        QCOMPARE(v, 12);
        QCOMPARE(scan_int("  -5", &v), 0);
        QCOMPARE(v, -5);
        QCOMPARE(scan_int("+7 8", &v), 0);
        QCOMPARE(v, 7);
        QCOMPARE(scan_int("4294967297", &v), 0);  // wraps, no range check
        QCOMPARE(v, 1);
        for (const char* bad : {"", "   ", "abc", "-", "+x", " - 5"})
            QCOMPARE(scan_int(bad, &v), -1);
        // Only the first 63 characters count.
        QCOMPARE(scan_int(std::string(63, ' ') + "5", &v), -1);
        QCOMPARE(scan_int(std::string(62, ' ') + "5", &v), 0);
    }

    void opening_writes_missing_defaults_even_when_cancelled() {
        DialogRig rig("[SECTION 1]\nAutoPair=0\nRetryTimes=-1\n");
        rig.dlg.reject();
        QCOMPARE(read_key(rig.home.config(), "AutoPair"), 0);
        QCOMPARE(read_key(rig.home.config(), "RetryTimes"), 0);
        QCOMPARE(read_key(rig.home.config(), "AutoMin"), 1);
        QCOMPARE(read_key(rig.home.config(), "ResendGruu"), 15);
        QCOMPARE(read_key(rig.home.config(), "PhoneIP"), -99);
        QVERIFY(!rig.dlg.check(IDC_AUTO_PAIR)->isChecked());
        QVERIFY(rig.dlg.check(IDC_AUTO_MIN)->isChecked());
        QCOMPARE(rig.dlg.edit(IDC_PAIR_TIMEOUT)->text(), QString("10"));
        QVERIFY(rig.autorun_calls.empty());
    }

    void escape_cancels_without_writing() {
        DialogRig rig(
            "[SECTION 1]\nAutoMin=1\nAutoPair=1\nAutoRepair=1\nAutoRun=1\nAsNmDev=0\n"
            "PairTimeout=10\nRepairTime=15\nRetryTimes=0\nResendGruu=15\n");
        const QString before = file_text(rig.home.config());
        rig.dlg.show();
        rig.dlg.edit(IDC_PAIR_TIMEOUT)->setText("99");
        QTest::keyClick(&rig.dlg, Qt::Key_Escape);
        QCOMPARE(rig.dlg.result(), int(QDialog::Rejected));
        QCOMPARE(file_text(rig.home.config()), before);
        QVERIFY(rig.messages.shown.empty());
        QVERIFY(rig.autorun_calls.empty());
    }

    void check_values_outside_0_to_2_show_clear() {
        DialogRig rig("[SECTION 1]\nAutoMin=7\nAutoPair=2\n");
        QCOMPARE(rig.dlg.check(IDC_AUTO_MIN)->checkState(), Qt::Unchecked);
        QCOMPARE(rig.dlg.m_nAutoMin, 0);
        QCOMPARE(rig.dlg.check(IDC_AUTO_PAIR)->checkState(), Qt::PartiallyChecked);
        rig.press_ok();
        QCOMPARE(read_key(rig.home.config(), "AutoMin"), 0);
        QCOMPARE(read_key(rig.home.config(), "AutoPair"), 2);
    }

    void focus_starts_on_ok() {
        DialogRig rig;
        QCOMPARE(rig.dlg.focusWidget(), rig.dlg.built().by_id.at(IDC_OK_SETTINGS));
    }

    void repair_rule_enables_interval_and_count() {
        DialogRig rig("[SECTION 1]\nAutoRepair=0\n");
        QVERIFY(!rig.dlg.edit(IDC_REPAIR_TIME)->isEnabled());
        QVERIFY(!rig.dlg.edit(IDC_RETRY_TIMES)->isEnabled());
        QVERIFY(rig.dlg.edit(IDC_PAIR_TIMEOUT)->isEnabled());
        QVERIFY(rig.dlg.edit(IDC_RESEND_GRUU)->isEnabled());
        rig.dlg.check(IDC_AUTO_REPAIR)->click();
        QVERIFY(rig.dlg.edit(IDC_REPAIR_TIME)->isEnabled());
        QVERIFY(rig.dlg.edit(IDC_RETRY_TIMES)->isEnabled());
        rig.dlg.check(IDC_AUTO_REPAIR)->click();
        QVERIFY(!rig.dlg.edit(IDC_REPAIR_TIME)->isEnabled());
        // With an edit that holds no number the rule prompts and changes nothing.
        rig.dlg.edit(IDC_RESEND_GRUU)->setText("x");
        rig.dlg.check(IDC_AUTO_REPAIR)->click();
        QCOMPARE(rig.messages.shown.size(), size_t(1));
        QCOMPARE(QString::fromStdString(rig.messages.shown[0].text),
                 QString::fromUtf8("请输入一个整数。"));
        QVERIFY(!rig.dlg.edit(IDC_REPAIR_TIME)->isEnabled());
    }

    void empty_edit_prompts_fails_and_leaves_file_alone() {
        DialogRig rig;
        const QString before = file_text(rig.home.config());
        rig.dlg.show();
        rig.dlg.edit(IDC_PAIR_TIMEOUT)->clear();
        rig.press_ok();
        QCOMPARE(rig.messages.shown.size(), size_t(2));
        QCOMPARE(rig.messages.shown[0].text, integer_prompt_text());
        QCOMPARE(rig.messages.shown[0].style, int(MB_EXCLAMATION_OK));
        QVERIFY(rig.messages.saw(IDS_SAVE_SETTINGS_FAILED));
        QCOMPARE(rig.messages.shown[1].caption, LoadString(IDS_HINT_CAPTION));
        QCOMPARE(rig.dlg.result(), int(QDialog::Rejected));
        QCOMPARE(rig.dlg.focusWidget(), rig.dlg.edit(IDC_PAIR_TIMEOUT));
        QCOMPARE(file_text(rig.home.config()), before);
        QVERIFY(rig.autorun_calls.empty());
    }

    void prompt_selects_the_offending_edit() {
        DialogRig rig;
        rig.dlg.edit(IDC_RETRY_TIMES)->setText("abc");
        QVERIFY(!rig.dlg.UpdateData(true));
        QCOMPARE(rig.dlg.focusWidget(), rig.dlg.edit(IDC_RETRY_TIMES));
        QCOMPARE(rig.dlg.edit(IDC_RETRY_TIMES)->selectedText(), QString("abc"));
    }

    void lenient_numbers_are_stored() {
        DialogRig rig;
        rig.dlg.edit(IDC_RESEND_GRUU)->setText("-5");
        rig.dlg.edit(IDC_PAIR_TIMEOUT)->setText("15s");
        rig.press_ok();
        QCOMPARE(read_key(rig.home.config(), "ResendGruu"), -5);
        QCOMPARE(read_key(rig.home.config(), "PairTimeout"), 15);
        QVERIFY(rig.messages.saw(IDS_SAVE_SETTINGS_OK));
        QCOMPARE(rig.dlg.result(), int(QDialog::Accepted));
    }

    void digit_edits_take_digits_only_from_the_keyboard() {
        DialogRig rig;
        for (const int id : {IDC_REPAIR_TIME, IDC_RETRY_TIMES, IDC_PAIR_TIMEOUT}) {
            QLineEdit* e = rig.dlg.edit(id);
            e->clear();
            QTest::keyClicks(e, "1a-2");
            QCOMPARE(e->text(), QString("12"));
        }
        QLineEdit* gruu = rig.dlg.edit(IDC_RESEND_GRUU);
        gruu->clear();
        QTest::keyClicks(gruu, "-3x");
        QCOMPARE(gruu->text(), QString("-3x"));
    }

    void save_applies_autorun_between_auto_repair_and_auto_run() {
        TempHome home;
        ParameterValues v;
        v.m_nAutoMin = 0;
        v.m_nAutoPair = 1;
        v.m_nAutoRepair = 0;
        v.m_nAutoRun = 1;
        v.m_nPairTimeout = 30;
        QString seen;
        bool failed_reported = false;
        const int rc = save_parameters(
            home.config(), v,
            [&](int on) {
                seen = file_text(home.config());
                return on == 1 ? 0 : 1;
            },
            [&] { failed_reported = true; });
        QCOMPARE(rc, 0);
        QCOMPARE(seen, QString("[SECTION 1]\nAutoMin=0\nAutoPair=1\nAutoRepair=0\n"));
        QVERIFY(failed_reported);
        QCOMPARE(file_text(home.config()),
                 QString("[SECTION 1]\nAutoMin=0\nAutoPair=1\nAutoRepair=0\nAutoRun=1\n"
                         "AsNmDev=0\nPairTimeout=30\nRepairTime=0\nRetryTimes=0\nResendGruu=0\n"));
    }

    void autorun_failure_is_told_and_save_goes_on() {
        DialogRig rig;
        rig.autorun_result = 0;
        rig.dlg.check(IDC_AUTO_RUN)->setChecked(false);
        rig.press_ok();
        QCOMPARE(rig.autorun_calls, std::vector<int>{0});
        QCOMPARE(rig.messages.shown.size(), size_t(2));
        QCOMPARE(rig.messages.shown[0].text, LoadString(IDS_AUTORUN_FAILED));
        QCOMPARE(rig.messages.shown[1].text, LoadString(IDS_SAVE_SETTINGS_OK));
        QCOMPARE(read_key(rig.home.config(), "AutoRun"), 0);
        QCOMPARE(rig.dlg.result(), int(QDialog::Accepted));
    }

    void unwritable_file_fails_before_autorun() {
        // QUOR_HOME names a folder that does not exist: nothing can be written
        // there, not even by root.
        TempHome home;
        qputenv("QUOR_HOME", QByteArray::fromStdString(home.path() + "missing/"));
        MessageRecorder messages;
        std::vector<int> autorun_calls;
        CParameterDlg dlg(
            nullptr,
            [&](int on) {
                autorun_calls.push_back(on);
                return 1;
            },
            messages.fn());
        dlg.OnInitDialog();
        QCOMPARE(dlg.m_nPairTimeout, 10);
        dlg.built().control<QPushButton>(IDC_OK_SETTINGS)->click();
        QCOMPARE(messages.shown.size(), size_t(1));
        QVERIFY(messages.saw(IDS_SAVE_SETTINGS_FAILED));
        QVERIFY(autorun_calls.empty());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }

    void main_window_reloads_after_ok_only() {
        MainWindowRig rig;
        std::vector<int> applied;
        rig.window.SetApplyAutoRun([&](int on) {
            applied.push_back(on);
            return 1;
        });
        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<CParameterDlg*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            dlg->edit(IDC_RESEND_GRUU)->setText("42");
            dlg->built().control<QPushButton>(IDC_OK_SETTINGS)->click();
        });
        rig.dlg->OnCommand(ID_SETTING);
        QCOMPARE(applied.size(), size_t(1));
        QCOMPARE(rig.dlg->Settings().resend_gruu_s, 42);
        QTimer::singleShot(0, [] {
            auto* dlg = qobject_cast<CParameterDlg*>(QApplication::activeModalWidget());
            QVERIFY(dlg);
            dlg->edit(IDC_RESEND_GRUU)->setText("7");
            dlg->reject();
        });
        rig.dlg->OnSetClicked();
        QCOMPARE(rig.dlg->Settings().resend_gruu_s, 42);
    }

    void chinese_layout_has_two_columns() {
        set_language(UiLanguage::Chinese);
        DialogRig rig;
        const auto* left = rig.dlg.check(IDC_AUTO_RUN);
        const auto* right = rig.dlg.check(IDC_AUTO_PAIR);
        QCOMPARE(left->y(), right->y());
        QVERIFY(right->x() > left->x() + left->width() / 2);
        QCOMPARE(rig.dlg.windowTitle(), QString::fromUtf8("设置"));
    }
};

}  // namespace quor

QTEST_MAIN(quor::ParameterDlgTest)
#include "parameter_dlg_test.moc"
