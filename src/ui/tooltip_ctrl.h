// A tooltip for one widget with its own delay and colours: it appears once
// the pointer has rested on the widget for the delay, disappears after ten
// times the delay, when the pointer leaves or when a button is pressed.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QTimer>

namespace quor {

class CToolTipCtrl : public QObject {
    Q_OBJECT

  public:
    CToolTipCtrl(QWidget* tool, const QString& text, QObject* parent = nullptr);
    ~CToolTipCtrl() override;

    void SetDelayTime(int delay_ms);
    void SetTipTextColor(const QColor& colour);
    void SetTipBkColor(const QColor& colour);
    void Activate(bool active);

    QString Text() const { return m_strText; }
    int Delay() const { return m_nDelay; }
    QColor TextColor() const { return m_crText; }
    QColor BkColor() const { return m_crBk; }
    bool IsActive() const { return m_bActive; }
    bool IsShowing() const { return m_tip && m_tip->isVisible(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Show();
    void Hide();

    QPointer<QWidget> m_tool;
    QString m_strText;
    int m_nDelay = 500;
    QColor m_crText = Qt::black;
    QColor m_crBk = Qt::white;
    bool m_bActive = false;
    QTimer m_initial;
    QTimer m_autoPop;
    QPointer<QLabel> m_tip;
};

}  // namespace quor
