// The about box (template 100): the banner, the version and a link to the
// support address.
#pragma once

#include <QDialog>

#include "ui/dialog_builder.h"
#include "ui/link_ctrl.h"

namespace quor {

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    CHyperLink* ContactLink() const { return m_linkContact; }
    const BuiltDialog& built() const { return m_built; }

  private:
    BuiltDialog m_built;
    CHyperLink* m_linkContact = nullptr;
};

}  // namespace quor
