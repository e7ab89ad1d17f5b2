#include "slideshow/ShowPointer.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QWidget>

ShowPointer::ShowPointer(QWidget& window) : mWindow(window)
{
    mStill.setSingleShot(true);
    mStill.setInterval(kStillMs);
    connect(&mStill, &QTimer::timeout, this, [this] {
        mHidden = true;
        Apply();
    });
}

void ShowPointer::SetWaiting(bool waiting)
{
    mWaiting = waiting;
    Apply();
}

void ShowPointer::SetHideWhenStill(bool on)
{
    if (on == mHideWhenStill)
        return;
    mHideWhenStill = on;
    mHidden = false;
    if (on) {
        // Motion is reported without a button held, over the picture too.
        mWindow.setMouseTracking(true);
        for (QWidget* child : mWindow.findChildren<QWidget*>())
            child->setMouseTracking(true);
        qApp->installEventFilter(this);
        mStill.start();
    } else {
        qApp->removeEventFilter(this);
        mStill.stop();
    }
    Apply();
}

bool ShowPointer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter) {
        const auto* widget = qobject_cast<QWidget*>(watched);
        // Qt also reports the pointer entering a widget shown under it, and
        // moves to where it stands: only a pointer that moved counts.
        const auto* point = dynamic_cast<const QSinglePointEvent*>(event);
        if (widget && point && widget->window() == &mWindow && point->globalPosition() != mLastAt) {
            mLastAt = point->globalPosition();
            mStill.start();
            if (mHidden) {
                mHidden = false;
                Apply();
            }
        }
    }
    return false;
}

void ShowPointer::Apply()
{
    if (mHidden)
        mWindow.setCursor(Qt::BlankCursor);
    else if (mWaiting)
        mWindow.setCursor(Qt::WaitCursor);
    else
        mWindow.unsetCursor();
}
