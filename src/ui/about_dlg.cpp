#include "ui/about_dlg.h"

#include <QPushButton>

#include "base/strings.h"
#include "shell/resource_ids.h"

namespace quor {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    const auto make_link = [this](const ControlTemplate& row, QWidget* owner) -> QWidget* {
        if (row.id != IDC_CONTACT) return nullptr;
        m_linkContact = new CHyperLink(LoadString(IDS_SUPPORT_LINK), owner);
        m_linkContact->setText(QString::fromUtf8(row.text));
        m_linkContact->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return m_linkContact;
    };
    m_built = build_dialog(this, dialog_template(IDD_ABOUTBOX, current_language()), make_link);
    m_linkContact->PreSubclassWindow();
    connect(m_built.control<QPushButton>(IDC_OK), &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quor
