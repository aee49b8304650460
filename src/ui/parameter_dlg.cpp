#include "ui/parameter_dlg.h"

#include <QCoreApplication>
#include <QPushButton>

#include "base/strings.h"
#include "settings/config.h"
#include "shell/resource_ids.h"

namespace quor {

namespace {

void load_check(QCheckBox* box, int* member) {
    switch (*member) {
        case 1:
            box->setCheckState(Qt::Checked);
            break;
        case 2:
            box->setCheckState(Qt::PartiallyChecked);
            break;
        default:
            *member = 0;
            box->setCheckState(Qt::Unchecked);
            break;
    }
}

int save_check(const QCheckBox* box) {
    switch (box->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

}  // namespace

CParameterDlg::CParameterDlg(QWidget* parent, ApplyAutoRunFn apply_autorun,
                             MessageBoxFn message_box)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_applyAutoRun(apply_autorun ? std::move(apply_autorun) : [](int) { return 1; }),
      m_messageBox(std::move(message_box)) {
    m_built = build_dialog(this, dialog_template(IDD_SETTINGS, current_language()));
    connect(m_built.control<QPushButton>(IDC_OK_SETTINGS), &QPushButton::clicked, this,
            &CParameterDlg::OnOK);
    connect(m_built.control<QPushButton>(IDC_CANCEL_SETTINGS), &QPushButton::clicked, this,
            &QDialog::reject);
    connect(check(IDC_AUTO_REPAIR), &QCheckBox::clicked, this, &CParameterDlg::OnRepairClicked);
    for (const int id :
         {IDC_AUTO_MIN, IDC_AUTO_PAIR, IDC_AUTO_RUN, IDC_AUTO_REPAIR, IDC_AS_NM_DEV}) {
        QCheckBox* box = check(id);
        // A stored 2 shows as the third state; once clicked, the box is an
        // ordinary two-state box again.
        connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); });
    }
}

int CParameterDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CParameterDlg::LoadConfig() {
    load_parameters(config_path(), this);
}

void CParameterDlg::OnInitDialog() {
    LoadConfig();
    UpdateData(false);
    m_built.control<QPushButton>(IDC_OK_SETTINGS)->setFocus(Qt::OtherFocusReason);
    OnRepairClicked();
}

bool CParameterDlg::ExchangeEdit(int id, int* member, bool save) {
    QLineEdit* field = edit(id);
    if (!save) {
        field->setText(QString::number(*member));
        return true;
    }
    if (scan_int(field->text().toStdString(), member) == 0) return true;
    m_messageBox(this, integer_prompt_text(), QCoreApplication::applicationName().toStdString(),
                 MB_EXCLAMATION_OK);
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
    return false;
}

bool CParameterDlg::UpdateData(bool save) {
    for (const auto& [id, value] : PARAMETER_CHECKS) {
        if (save)
            this->*value = save_check(check(id));
        else
            load_check(check(id), &(this->*value));
    }
    for (const auto& [id, value] : PARAMETER_EDITS)
        if (!ExchangeEdit(id, &(this->*value), save)) return false;
    return true;
}

void CParameterDlg::OnRepairClicked() {
    if (!UpdateData(true)) return;
    edit(IDC_REPAIR_TIME)->setEnabled(m_nAutoRepair != 0);
    edit(IDC_RETRY_TIMES)->setEnabled(m_nAutoRepair != 0);
}

int CParameterDlg::SaveConfig() {
    if (!UpdateData(true)) return -1;
    return save_parameters(config_path(), *this, m_applyAutoRun, [this] {
        m_messageBox(this, LoadString(IDS_AUTORUN_FAILED), LoadString(IDS_HINT_CAPTION),
                     MB_EXCLAMATION_OK);
    });
}

void CParameterDlg::OnOK() {
    if (SaveConfig() == 0) {
        m_messageBox(this, LoadString(IDS_SAVE_SETTINGS_OK), LoadString(IDS_HINT_CAPTION),
                     MB_EXCLAMATION_OK);
        if (UpdateData(true)) accept();
    } else {
        m_messageBox(this, LoadString(IDS_SAVE_SETTINGS_FAILED), LoadString(IDS_HINT_CAPTION),
                     MB_EXCLAMATION_OK);
        reject();
    }
}

}  // namespace quor
