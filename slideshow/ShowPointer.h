#pragma once
// The slide-show window's pointer: the hourglass while the show waits, and,
// when the pointer is to hide, no pointer after a while without motion.
// Motion anywhere on the window brings it back at once; the hourglass shows
// only while the pointer is visible.
#include <QObject>
#include <QPointF>
#include <QTimer>

class QWidget;

class ShowPointer : public QObject {
public:
    static constexpr int kStillMs = 2000;

    explicit ShowPointer(QWidget& window);

    void SetWaiting(bool waiting);
    // Whether the pointer hides after kStillMs without motion (off by default).
    void SetHideWhenStill(bool on);
    bool HidesWhenStill() const { return mHideWhenStill; }
    bool Hidden() const { return mHidden; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Apply();

    QWidget& mWindow;
    QTimer mStill;
    bool mWaiting = false;
    bool mHideWhenStill = false;
    bool mHidden = false;
    QPointF mLastAt{-1e9, -1e9}; // where the pointer last moved to
};
