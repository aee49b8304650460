// The settings dialog (template 106): nine settings of config.ini, checked
// and saved when OK is pressed.
#pragma once

#include <functional>
#include <string>

#include "ui/parameter_values.h"
#include "win_ui/win_dialog.h"

namespace quor {

class CParameterDlg : public CWinDialog, public ParameterValues {
  public:
    // Where the values come from and go to; the default reads and writes
    // config.ini beside the program.
    struct Store {
        std::function<void(ParameterValues*)> load;
        // 0 when every key was written; AUTORUN_FAILED is called when start
        // with Windows could not be applied.
        std::function<int(const ParameterValues&, const std::function<void()>& autorun_failed)>
            save;
    };
    // Shows a message box owned by the dialog; returns the button.
    using MessageFn = std::function<int(HWND owner, const std::string& text,
                                        const std::string& caption, UINT style)>;

    CParameterDlg(Store store, MessageFn message);

    // Runs the dialog with OWNER; IDOK after a successful save.
    INT_PTR DoModal(HWND owner) { return CWinDialog::DoModal(IDD_SETTINGS_TEMPLATE, owner); }

    static constexpr int IDD_SETTINGS_TEMPLATE = 106;

  protected:
    BOOL OnInitDialog() override;
    INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  private:
    // Moves the values between the members and the controls; false (the
    // integer prompt shown, the offending edit selected) when an edit does
    // not hold an integer.
    bool UpdateData(bool save);
    bool ExchangeEdit(int id, int* member, bool save);
    void OnRepairClicked();
    int SaveConfig();
    void OnOK();

    Store m_store;
    MessageFn m_message;
};

}  // namespace quor
