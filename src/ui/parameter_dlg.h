// The settings dialog (template 106): five switches and four numbers of
// config.ini, read when it opens and written when the user presses OK.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>

#include "ui/dialog_builder.h"
#include "ui/message_box.h"
#include "ui/parameter_values.h"

namespace quor {

class CParameterDlg : public QDialog, public ParameterValues {
    Q_OBJECT

  public:
    // APPLY_AUTORUN applies start with the desktop session; MESSAGE_BOX shows
    // the dialog's messages.
    explicit CParameterDlg(QWidget* parent, ApplyAutoRunFn apply_autorun = nullptr,
                           MessageBoxFn message_box = show_message_box);

    // Loads the settings into the controls, then runs the dialog modally.
    int DoModal();
    void OnInitDialog();
    void LoadConfig();
    // 0 when every key was written, -1 otherwise.
    int SaveConfig();
    // Moves values between the members and the controls; saving fails (with
    // the integer prompt) when an edit does not start with a number.
    bool UpdateData(bool save);

    QCheckBox* check(int id) const { return m_built.control<QCheckBox>(id); }
    QLineEdit* edit(int id) const { return m_built.control<QLineEdit>(id); }
    const BuiltDialog& built() const { return m_built; }

    void OnOK();
    void OnRepairClicked();

  private:
    bool ExchangeEdit(int id, int* member, bool save);

    BuiltDialog m_built;
    ApplyAutoRunFn m_applyAutoRun;
    MessageBoxFn m_messageBox;
};

}  // namespace quor
