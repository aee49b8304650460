// The about box (template 100) with its "Contact us" link.
#pragma once

#include "win_ui/win_dialog.h"
#include "win_ui/win_link_ctrl.h"

namespace quor {

class CAboutDlg : public CWinDialog {
  public:
    static constexpr int IDD_ABOUTBOX_TEMPLATE = 100;
    static constexpr int IDC_CONTACT = 1004;

    CAboutDlg();
    INT_PTR DoModal(HWND owner) { return CWinDialog::DoModal(IDD_ABOUTBOX_TEMPLATE, owner); }
    CHyperLink& Link() { return m_linkContact; }

  protected:
    BOOL OnInitDialog() override;
    INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

  private:
    CHyperLink m_linkContact;
};

}  // namespace quor
