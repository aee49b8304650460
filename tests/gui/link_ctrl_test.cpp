// The link controls: colour per hover, focus and followed state, the
// underline while hovering and the size that follows the text, following on
// release (or on press with the style bit), a press released elsewhere, the
// Space key, a target that cannot be opened, and the about box's link.
#include "ui/link_ctrl.h"

#include <QDialog>
#include <QPushButton>
#include <QTest>

#include "gui_fixture.h"
#include "ui/about_dlg.h"

namespace quor {

namespace {

struct LinkRig {
    QDialog dialog;
    QPushButton* other = new QPushButton("OK", &dialog);
    CHyperLink* link = new CHyperLink("mailto:help@example.org", &dialog);
    std::vector<std::string> opened;
    bool open_ok = true;

    explicit LinkRig(const QString& text = "Contact us") {
        dialog.resize(300, 120);
        other->setGeometry(200, 80, 80, 30);
        link->setText(text);
        link->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        link->setGeometry(10, 10, 150, 40);
        link->SetOpener([this](const std::string& t) {
            opened.push_back(t);
            return open_ok;
        });
        link->PreSubclassWindow();
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
    }
    QPoint inside() const { return QPoint(3, link->height() / 2); }
    QPoint outside() const { return QPoint(link->width() + 20, link->height() + 20); }
    QColor colour() const { return link->palette().color(QPalette::WindowText); }
};

}  // namespace

class LinkCtrlTest : public QObject {
    Q_OBJECT

  private slots:
    void styles_start_as_designed() {
        CButtonLink button;
        QCOMPARE(button.LinkStyle(), 0x86);
        CHyperLink link("x");
        QCOMPARE(link.LinkStyle(), 0x96);
        QVERIFY(!link.ModifyLinkStyle(LINK_UNDERLINE, LINK_UNDERLINE));
        QCOMPARE(link.LinkStyle(), 0x96);
        QVERIFY(link.ModifyLinkStyle(LINK_HOVERCOLOUR, LINK_NOFOCUSCOLOUR, false));
        QCOMPARE(link.LinkStyle(), 0xD4);
    }

    void fits_its_text_and_shows_target_as_tip() {
        LinkRig rig;
        const QFontMetrics metrics(rig.link->font());
        QCOMPARE(rig.link->width(), metrics.horizontalAdvance("Contact us"));
        QCOMPARE(rig.link->height(), metrics.height());
        QCOMPARE(rig.link->pos(), QPoint(10, 10));
        QCOMPARE(rig.link->toolTip(), QString("mailto:help@example.org"));
        QVERIFY(!rig.link->font().underline());
        QCOMPARE(rig.colour(), CButtonLink::s_crNormal);
        QCOMPARE(rig.link->focusPolicy(), Qt::NoFocus);
    }

    void empty_text_shows_the_target() {
        LinkRig rig("");
        QCOMPARE(rig.link->text(), QString("mailto:help@example.org"));
    }

    void hover_turns_red_and_underlined_only_inside() {
        LinkRig rig;
        QTest::mouseMove(rig.link, rig.inside());
        QTRY_VERIFY(rig.link->m_bHovering);
        QCOMPARE(rig.colour(), CButtonLink::s_crHover);
        QVERIFY(rig.link->font().underline());
        QTest::mouseMove(&rig.dialog, QPoint(250, 20));
        QTRY_VERIFY(!rig.link->m_bHovering);
        QCOMPARE(rig.colour(), CButtonLink::s_crNormal);
        QVERIFY(!rig.link->font().underline());
    }

    void click_follows_on_release_then_focus_and_followed_colours() {
        LinkRig rig;
        QTest::mousePress(rig.link, Qt::LeftButton, {}, rig.inside());
        QVERIFY(rig.opened.empty());
        QTest::mouseRelease(rig.link, Qt::LeftButton, {}, rig.inside());
        QCOMPARE(rig.opened.size(), size_t(1));
        QCOMPARE(rig.opened[0], std::string("mailto:help@example.org"));
        QVERIFY(rig.link->m_bFollowed);
        QVERIFY(rig.link->m_bFocus);
        // The pointer is away: teal while it keeps the focus...
        rig.link->m_bHovering = 0;
        QCOMPARE(rig.link->TextColour(), CButtonLink::s_crFocus);
        // ...purple once the focus has moved on.
        rig.other->setFocus();
        QTRY_VERIFY(!rig.link->m_bFocus);
        QCOMPARE(rig.colour(), CButtonLink::s_crFollowed);
    }

    void press_released_elsewhere_opens_nothing() {
        LinkRig rig;
        QTest::mousePress(rig.link, Qt::LeftButton, {}, rig.inside());
        QTest::mouseMove(rig.link, rig.outside());
        QTest::mouseRelease(rig.link, Qt::LeftButton, {}, rig.outside());
        QVERIFY(rig.opened.empty());
        QVERIFY(!rig.link->m_bFollowed);
    }

    void follow_on_press_with_the_style_bit() {
        LinkRig rig;
        rig.link->ModifyLinkStyle(0, LINK_FOLLOWONDOWN);
        QTest::mousePress(rig.link, Qt::LeftButton, {}, rig.inside());
        QCOMPARE(rig.opened.size(), size_t(1));
        QTest::mouseRelease(rig.link, Qt::LeftButton, {}, rig.inside());
        QCOMPARE(rig.opened.size(), size_t(1));
    }

    void space_follows_once_focused() {
        LinkRig rig;
        QTest::mouseClick(rig.link, Qt::LeftButton, {}, rig.inside());
        QCOMPARE(rig.opened.size(), size_t(1));
        QTest::keyClick(rig.link, Qt::Key_Space);
        QCOMPARE(rig.opened.size(), size_t(2));
        QTest::keyClick(rig.link, Qt::Key_A);
        QCOMPARE(rig.opened.size(), size_t(2));
    }

    void failed_open_leaves_the_link_unfollowed() {
        LinkRig rig;
        rig.open_ok = false;
        QTest::mouseClick(rig.link, Qt::LeftButton, {}, rig.inside());
        QCOMPARE(rig.opened.size(), size_t(1));
        QVERIFY(!rig.link->m_bFollowed);
    }

    void colour_rules() {
        CButtonLink link;
        link.m_bFollowed = 1;
        QCOMPARE(link.TextColour(), CButtonLink::s_crFollowed);
        link.m_bFocus = 1;
        QCOMPARE(link.TextColour(), CButtonLink::s_crFocus);
        link.ModifyLinkStyle(0, LINK_NOFOCUSCOLOUR, false);
        QCOMPARE(link.TextColour(), CButtonLink::s_crFollowed);
        link.m_bHovering = 1;
        QCOMPARE(link.TextColour(), CButtonLink::s_crHover);
        link.ModifyLinkStyle(LINK_HOVERCOLOUR, 0, false);
        QCOMPARE(link.TextColour(), CButtonLink::s_crFollowed);
    }

    void about_box_link_and_cursor() {
        CButtonLink::SetLinkCursor(std::nullopt);
        QVERIFY(CButtonLink::LinkCursor());
        CAboutDlg about;
        CHyperLink* link = about.ContactLink();
        QCOMPARE(link->Target(), LoadString(IDS_SUPPORT_LINK));
        QCOMPARE(link->text(), QString("Contact us"));
        QCOMPARE(link->cursor().shape(), CButtonLink::LinkCursor()->shape());
        QCOMPARE(link->focusPolicy(), Qt::NoFocus);
    }
};

}  // namespace quor

QTEST_MAIN(quor::LinkCtrlTest)
#include "link_ctrl_test.moc"
