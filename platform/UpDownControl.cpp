#include "platform/UpDownControl.h"

#include <QLineEdit>
#include <QPointer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>

namespace {

class UpDownWidget : public QWidget {
public:
    UpDownWidget(QWidget* parent, QLineEdit* buddy, std::uint32_t style, int upper, int lower, int pos)
        : QWidget(parent), mBuddy(buddy), mStyle(style), mUpper(upper), mLower(lower)
    {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        for (const bool up : {true, false}) {
            auto* button = new QToolButton(this);
            button->setArrowType(up ? Qt::UpArrow : Qt::DownArrow);
            button->setAutoRepeat(true);
            button->setFocusPolicy(Qt::NoFocus);
            button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
            button->setObjectName(up ? "up" : "down");
            connect(button, &QToolButton::clicked, this, [this, up] { Step(up ? 1 : -1); });
            layout->addWidget(button);
        }
        mPos = Clamp(pos);
        WriteBuddy();
    }

    int Position() const { return mPos; }

private:
    int Clamp(int value) const
    {
        return std::clamp(value, std::min(mLower, mUpper), std::max(mLower, mUpper));
    }

    void Step(int towardsUpper)
    {
        // The buddy's own number is where a click starts, as the user may
        // have typed one.
        bool ok = false;
        const int typed = mBuddy ? mBuddy->text().trimmed().toInt(&ok) : 0;
        if (ok)
            mPos = Clamp(typed);
        const int direction = mUpper >= mLower ? towardsUpper : -towardsUpper;
        const long next = long(mPos) + direction;
        const int low = std::min(mLower, mUpper), high = std::max(mLower, mUpper);
        if (next < low || next > high)
            mPos = (mStyle & UDS_WRAP) ? (next < low ? high : low) : mPos;
        else
            mPos = int(next);
        WriteBuddy();
    }

    void WriteBuddy()
    {
        if (!(mStyle & UDS_SETBUDDYINT) || !mBuddy)
            return;
        const QString text = QString::number(mPos);
        // Every write is a change for the buddy's owner, even over the same
        // text (which QLineEdit would not report): the first write is what
        // the owner accepts as the starting value.
        if (mBuddy->text() == text)
            emit mBuddy->textChanged(text);
        else
            mBuddy->setText(text);
    }

    QPointer<QLineEdit> mBuddy;
    std::uint32_t mStyle;
    int mUpper, mLower, mPos = 0;
};

} // namespace

HWND CreateUpDownControl(std::uint32_t style, int x, int y, int cx, int cy, HWND parent, int id,
                         QLineEdit* buddy, int upper, int lower, int pos)
{
    if (!parent)
        return nullptr;
    auto* control = new UpDownWidget(parent, buddy, style, upper, lower, pos);
    control->setObjectName(QStringLiteral("updown%1").arg(id));
    if ((style & UDS_ALIGNRIGHT) && buddy) {
        const QRect box = buddy->geometry();
        const int width = std::max(12, box.height() * 3 / 4);
        buddy->resize(std::max(0, box.width() - width), box.height());
        control->setGeometry(box.x() + box.width() - width, box.y(), width, box.height());
    } else {
        control->setGeometry(x, y, cx, cy);
    }
    control->setVisible(style & WS_VISIBLE);
    return control;
}

bool DestroyWindow(HWND window)
{
    if (!window)
        return false;
    delete window;
    return true;
}

int UpDownPosition(HWND upDown)
{
    auto* control = dynamic_cast<UpDownWidget*>(upDown);
    return control ? control->Position() : 0;
}
