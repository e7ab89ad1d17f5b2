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
    explicit IntervalBox(const QString& design = QString())
    {
        window.resize(200, 100);
        edit = new QLineEdit(design, &window);
        edit->setGeometry(100, 20, 37, 18);
        upDown.CreateUpDown(edit, 50, 1, 4);
        window.show();
    }
    QWidget window;
    QLineEdit* edit = nullptr;
    ClsUpDownTextBox upDown;
};

struct Typed {
    const char* text;
    const char* shown;
    int messages; // message boxes shown so far
};

void Type(QLineEdit* edit, const MessageBoxCloser& closer, std::initializer_list<Typed> steps)
{
    for (const Typed& t : steps) {
        edit->setText(t.text);
        EXPECT_EQ(edit->text(), t.shown) << '"' << t.text << '"';
        EXPECT_EQ(closer.Shown().size(), t.messages) << '"' << t.text << '"';
    }
}

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

TEST(UpDownTextBox, OutOfBoundsShowsTheMessageNoNumberIsPutBackSilently)
{
    IntervalBox box;
    MessageBoxCloser closer;
    Type(box.edit, closer,
         {{"0", "4", 1}, {"51", "4", 2}, {"99", "4", 3}, {"50", "50", 3},
          {" 7", " 7", 3}, // a blank before a digit is accepted as typed
          {"12", "12", 3}, {"a", "12", 3}, {"-", "12", 3},
          {"", "", 3}, {"x", "12", 3}}); // an empty box keeps the last number for the next reject
    for (const ShownMessage& m : closer.Shown()) {
        EXPECT_EQ(m.text, QStringLiteral("1以上50以下を入力してください"));
        EXPECT_EQ(m.title, "Velmora");
        EXPECT_EQ(m.icon, QMessageBox::Critical);
    }
    // A letter typed over the first digit: the number comes back, the caret
    // at its end rather than after the letter.
    box.edit->setSelection(0, 1);
    QTest::keyClick(box.edit, Qt::Key_B);
    EXPECT_EQ(box.edit->text(), "12");
    EXPECT_EQ(box.edit->cursorPosition(), 2);
}

TEST(UpDownTextBox, FirstRejectsPutBackTheDesignTextOrNothing)
{
    // The design text "4" equals the position written over it: still accepted.
    IntervalBox box("4");
    MessageBoxCloser closer;
    Type(box.edit, closer, {{"0", "4", 1}});
    // Without a container no arrows are made, so nothing was accepted yet.
    QLineEdit edit;
    ClsUpDownTextBox upDown;
    upDown.CreateUpDown(&edit, 50, 1, 4);
    EXPECT_EQ(upDown.UpDownWindow(), nullptr);
    Type(&edit, closer, {{"60", "", 2}, {"q", "", 2}, {"9", "9", 2}});
}

TEST(UpDownTextBox, ArrowsStepByOneStopAtTheEndsAndStartFromTheTypedNumber)
{
    IntervalBox box;
    QToolButton* up = box.upDown.UpDownWindow()->findChild<QToolButton*>("up");
    QToolButton* down = box.upDown.UpDownWindow()->findChild<QToolButton*>("down");
    ASSERT_TRUE(up && down);
    const std::tuple<const char*, QToolButton*, int, const char*> cases[] = {
        {"4", up, 1, "5"}, {"49", up, 3, "50"}, {"2", down, 3, "1"}};
    for (const auto& [start, arrow, clicks, want] : cases) {
        box.edit->setText(start);
        for (int i = 0; i < clicks; ++i)
            arrow->click();
        EXPECT_EQ(box.edit->text(), want) << start;
    }
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
