#pragma once
// What the show benchmarks watch in a real show window: the pictures it
// paints and the process's peak memory.
#include "slideshow/SlideShow.h"

#include <QApplication>
#include <QThread>
#include <QByteArray>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <vector>

// Records the time of every paint that shows another picture than the last.
// Shows the window and runs events until its first picture is on screen or
// timeoutMs have passed; whether it started.
inline bool StartShow(SlideShow& show, int timeoutMs)
{
    show.show();
    show.activateWindow();
    QElapsedTimer wait;
    wait.start();
    while (!show.ShowStarted() && wait.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return show.ShowStarted();
}

// A new show of folder with the given options, started; the program ends
// when it does not start.
inline SlideShow* StartedShow(const QString& folder, const QString& interval, const ShowOptions& options)
{
    auto* show = new SlideShow(interval, [] { return false; });
    show->SetOptions(options);
    show->SetTag(folder + "/");
    if (!StartShow(*show, 30000)) {
        std::fprintf(stderr, "the show did not start\n");
        std::exit(1);
    }
    return show;
}

class PaintWatch : public QObject {
public:
    explicit PaintWatch(SlideShow& show) : mShow(show) { mClock.start(); }
    std::vector<double> times;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            const QString now = mShow.Stage().ShownPath();
            if (now != mLast) {
                mLast = now;
                times.push_back(double(mClock.nsecsElapsed()) / 1e6);
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    SlideShow& mShow;
    QString mLast;
    QElapsedTimer mClock;
};

// VmHWM: unlike getrusage's peak, it starts again after clear_refs.
inline long PeakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLong();
    return -1;
}
