#include "slideshow/CrossFade.h"

#include <QPainter>

CrossFade::CrossFade(QWidget* window) : QWidget(window)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    hide();
    mTick.setTimerType(Qt::PreciseTimer);
    mTick.setInterval(10);
    connect(&mTick, &QTimer::timeout, this, [this] {
        // At least one frame between the two pictures, however late the
        // frames come.
        if (mClock.elapsed() >= kFadeMs && mPaintedBetween)
            Stop();
        else
            update();
    });
}

void CrossFade::Start(QPixmap from)
{
    mFrom = std::move(from);
    mPaintedBetween = false;
    setGeometry(parentWidget()->rect());
    raise();
    show();
    mClock.start();
    mTick.start();
}

void CrossFade::Stop()
{
    mTick.stop();
    hide();
    mFrom = QPixmap();
}

void CrossFade::paintEvent(QPaintEvent*)
{
    const qint64 elapsed = mClock.elapsed();
    const double left = elapsed >= kFadeMs ? 0.5 : 1.0 - double(elapsed) / kFadeMs;
    if (left < 1.0) {
        mPaintedBetween = true;
        ++mFramesBetween;
    }
    QPainter painter(this);
    painter.setOpacity(left);
    // The grab is in device pixels, with the window's ratio.
    painter.drawPixmap(0, 0, mFrom);
}
