// A four-field IPv4 address control. Each field holds 0..255 or is blank;
// typing a dot or a third digit moves to the next field (a dot right after a
// third digit only ends that field), and Backspace in an empty field moves
// back. The control is one tab stop.
#pragma once

#include <QFrame>
#include <QLineEdit>
#include <array>
#include <cstdint>

namespace quor {

class CIpAddressCtrl : public QFrame {
    Q_OBJECT

  public:
    explicit CIpAddressCtrl(QWidget* parent = nullptr);

    // The address with the first field in the most significant byte, blank
    // fields read as 0; returns the number of fields that are not blank.
    int GetAddress(uint32_t* addr) const;
    void SetAddress(uint32_t addr);  // fills all four fields
    void ClearAddress();             // blanks all four fields
    QLineEdit* field(int index) const { return m_fields[size_t(index)]; }

  signals:
    // The user changed a field.
    void addressEdited(uint32_t addr, int nonblank_fields);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void OnFieldEdited(int index);
    void FocusField(int index, bool at_end);

    std::array<QLineEdit*, 4> m_fields{};
    std::array<QWidget*, 3> m_dots{};
    int m_enteredByDigit = -1;  // the field a third digit just moved to
};

}  // namespace quor
