// Static texts that look and act like links. CButtonLink draws a label in
// link colours with a link cursor, underlines it while the pointer is over
// it and keeps its size fitted to its text; CHyperLink also opens a target
// when clicked or when Space is pressed on it.
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QLabel>
#include <functional>
#include <optional>
#include <string>

namespace quor {

enum LinkStyle : int {
    LINK_UNDERLINE = 0x01,
    LINK_HOVERCOLOUR = 0x02,
    LINK_FITTEXT = 0x04,
    LINK_FOLLOWONDOWN = 0x08,
    LINK_FOCUSONCLICK = 0x10,
    LINK_KEEPCURSOR = 0x20,
    LINK_NOFOCUSCOLOUR = 0x40,
    LINK_HOVERUNDERLINE = 0x80,
};

class CButtonLink : public QLabel {
    Q_OBJECT

  public:
    explicit CButtonLink(QWidget* parent = nullptr);

    // Takes over the label once its text, font and place are set: builds the
    // link font, fits the size to the text, loads the default link cursor.
    virtual void PreSubclassWindow();

    // Removes and adds style bits; false (and nothing changed) when a bit is
    // in both. With UPDATE the font, size and colours follow at once.
    bool ModifyLinkStyle(int remove, int add, bool update = true);
    int LinkStyle() const { return m_nLinkStyle; }

    // The cursor shown over every link; none loads the default one.
    static void SetLinkCursor(std::optional<QCursor> cursor);
    static void LoadDefaultLinkCursor();
    static std::optional<QCursor> LinkCursor();

    QColor TextColour() const;

    static const QColor s_crNormal;
    static const QColor s_crFollowed;
    static const QColor s_crFocus;
    static const QColor s_crHover;

    int m_bFocus = 0;
    int m_bHovering = 0;
    int m_bFollowed = 0;

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

    void RefreshColour();
    void SetHovering(bool hovering);

    int m_nLinkStyle = LINK_HOVERCOLOUR | LINK_FITTEXT | LINK_HOVERUNDERLINE;
    QFont m_fontLink;
    bool m_bHasFont = false;

  private:
    void RebuildFont();
    void FitToText();
    void ToggleHoverUnderline();

    static std::optional<QCursor> s_hLinkCursor;
};

class CHyperLink : public CButtonLink {
    Q_OBJECT

  public:
    // Opens a target; false when it could not be opened.
    using Opener = std::function<bool(const std::string& target)>;

    explicit CHyperLink(const std::string& target, QWidget* parent = nullptr);

    void PreSubclassWindow() override;
    void FollowLink();
    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    const std::string& Target() const { return m_strTarget; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    std::string m_strTarget;
    Opener m_opener;
};

}  // namespace quor
