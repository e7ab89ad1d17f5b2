#pragma once
// The fade from one picture to the next: the old picture, as it was on
// screen, lies over the window and fades out over kFadeMs while the new one
// shows through. Drawn in device pixels; clicks and keys go to the show.
#include <QElapsedTimer>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

class CrossFade : public QWidget {
    Q_OBJECT
public:
    static constexpr int kFadeMs = 300;

    explicit CrossFade(QWidget* window);
    // Starts fading out from, the window's look before the step.
    void Start(QPixmap from);
    // Ends a fade at once: the new picture is all there is.
    void Stop();
    bool Running() const { return isVisible(); }
    // Frames painted part way through fades, for those who watch.
    int FramesBetween() const { return mFramesBetween; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap mFrom;
    QElapsedTimer mClock;
    QTimer mTick;
    bool mPaintedBetween = false; // in this fade
    int mFramesBetween = 0;
};
