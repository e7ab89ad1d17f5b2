#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QToolButton>
#include <QWidget>

#include "MessageBoxCloser.h"
#include "controls/ClsUpDownTextBox.h"

namespace {

// An interval box as the main window has it, with its up-down attached.
struct IntervalBox {
    IntervalBox()
    {
        window.resize(200, 100);
        edit = new QLineEdit(&window);
        edit->setGeometry(100, 20, 37, 18);
        upDown.CreateUpDown(edit, 50, 1, 4);
        window.show();
    }
    QToolButton* Arrow(const char* name) const
    {
        return upDown.UpDownWindow()->findChild<QToolButton*>(name);
    }
    QWidget window;
    QLineEdit* edit = nullptr;
    ClsUpDownTextBox upDown;
};

} // namespace

TEST(UpDownTextBox, AttachesToTheRightEdgeAndShowsThePosition)
{
    IntervalBox box;
    EXPECT_EQ(box.edit->text(), "4");
    EXPECT_EQ(box.edit->maxLength(), 2);
    EXPECT_TRUE(box.edit->alignment() & Qt::AlignHCenter);
    const QRect arrows = box.upDown.UpDownWindow()->geometry();
    EXPECT_LT(box.edit->width(), 37); // narrowed by the arrows
    EXPECT_EQ(arrows.left(), box.edit->geometry().right() + 1);
    EXPECT_EQ(arrows.right(), 100 + 37 - 1);
}

TEST(UpDownTextBox, OutOfBoundsShowsTheMessageAndPutsBackTheLastText)
{
    IntervalBox box;
    MessageBoxCloser closer;
    for (const char* bad : {"0", "51", "99"}) {
        box.edit->setText(bad);
        EXPECT_EQ(box.edit->text(), "4") << bad;
    }
    ASSERT_EQ(closer.Shown().size(), 3);
    for (const ShownMessage& m : closer.Shown()) {
        EXPECT_EQ(m.text, QStringLiteral("1以上50以下を入力してください"));
        EXPECT_EQ(m.title, "Velmora");
        EXPECT_EQ(m.icon, QMessageBox::Critical);
    }
    box.edit->setText("50");
    EXPECT_EQ(box.edit->text(), "50");
    box.edit->setText(" 7"); // a blank before a digit is accepted as typed
    EXPECT_EQ(box.edit->text(), " 7");
    EXPECT_EQ(closer.Shown().size(), 3);
}

TEST(UpDownTextBox, TextThatIsNoNumberIsPutBackSilentlyWithTheCaretAtTheEnd)
{
    IntervalBox box;
    MessageBoxCloser closer;
    box.edit->setText("12");
    box.edit->setCursorPosition(0);
    box.edit->setText("a");
    EXPECT_EQ(box.edit->text(), "12");
    EXPECT_EQ(box.edit->cursorPosition(), 2);
    box.edit->setText("-");
    EXPECT_EQ(box.edit->text(), "12");
    // An empty box is allowed and keeps the last number for the next reject.
    box.edit->setText("");
    EXPECT_EQ(box.edit->text(), "");
    box.edit->setText("x");
    EXPECT_EQ(box.edit->text(), "12");
    EXPECT_TRUE(closer.Shown().isEmpty());
}

TEST(UpDownTextBox, ArrowsStepByOneStopAtTheEndsAndStartFromTheTypedNumber)
{
    IntervalBox box;
    QToolButton* up = box.Arrow("up");
    QToolButton* down = box.Arrow("down");
    ASSERT_TRUE(up && down);
    up->click();
    EXPECT_EQ(box.edit->text(), "5");
    box.edit->setText("49");
    up->click();
    up->click();
    up->click();
    EXPECT_EQ(box.edit->text(), "50");
    box.edit->setText("2");
    down->click();
    down->click();
    down->click();
    EXPECT_EQ(box.edit->text(), "1");
    // The arrow keys in the box itself do not step.
    box.edit->setFocus();
    QTest::keyClick(box.edit, Qt::Key_Up);
    QTest::keyClick(box.edit, Qt::Key_Down);
    EXPECT_EQ(box.edit->text(), "1");
}

TEST(UpDownTextBox, TypingStopsAtTwoCharactersAndReleaseDestroysTheArrows)
{
    QWidget window;
    auto* edit = new QLineEdit(&window);
    edit->setGeometry(0, 0, 40, 18);
    auto upDown = std::make_unique<ClsUpDownTextBox>();
    upDown->CreateUpDown(edit, 50, 1, 4);
    edit->clear();
    QTest::keyClicks(edit, "123");
    EXPECT_EQ(edit->text(), "12");
    QPointer<QWidget> arrows = upDown->UpDownWindow();
    ASSERT_TRUE(arrows);
    const int narrowed = edit->width();
    upDown.reset();
    EXPECT_TRUE(arrows.isNull());
    EXPECT_EQ(edit->width(), narrowed);
    edit->setText("77"); // no longer checked
    EXPECT_EQ(edit->text(), "77");
}

TEST(UpDownTextBox, WritingThePositionOverTheSameTextStillCountsAsAccepted)
{
    // Text1 holds "4" at design and the stored interval is 4 as well.
    QWidget window;
    auto* edit = new QLineEdit(QStringLiteral("4"), &window);
    edit->setGeometry(0, 0, 40, 18);
    ClsUpDownTextBox upDown;
    upDown.CreateUpDown(edit, 50, 1, 4);
    MessageBoxCloser closer;
    edit->setText("0");
    EXPECT_EQ(edit->text(), "4");
    EXPECT_EQ(closer.Shown().size(), 1);
}

TEST(UpDownTextBox, RejectBeforeAnyAcceptedTextEmptiesTheBox)
{
    // Without a container no arrows are made, so nothing was written or accepted yet.
    QLineEdit edit;
    ClsUpDownTextBox upDown;
    upDown.CreateUpDown(&edit, 50, 1, 4);
    EXPECT_EQ(upDown.UpDownWindow(), nullptr);
    MessageBoxCloser closer;
    edit.setText("60");
    EXPECT_EQ(edit.text(), "");
    EXPECT_EQ(closer.Shown().size(), 1);
    edit.setText("q");
    EXPECT_EQ(edit.text(), "");
    EXPECT_EQ(closer.Shown().size(), 1);
    edit.setText("9");
    EXPECT_EQ(edit.text(), "9"); // still validated
}
