#pragma once
// Plays an animated picture shown by the built-in loader: its frames are
// decoded a little ahead of the screen (kFramesAhead) on a thread of the
// player's own, each shown for its delay, so that only a few frames are
// ever in memory.
// The first frame is the picture the step showed; decoding the rest starts
// after a short settling time when a key made the step, so that a held key
// never decodes a frame after the first.
//
// The show asks HoldsStep before its timer's step: an animation holds it
// until its first loop has played (at most kLongestLoop), then LoopDone
// lets it go.
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QTimer>

class PictureFile;

class FramePlayer : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kLongestLoop{60000};
    static constexpr int kSettleMs = 150;
    // Frames decoded before their time: one covers the decode, a second
    // a moment when the machine is busy.
    static constexpr int kFramesAhead = 2;

    // show puts a frame on screen (in place of the picture, at its size).
    using Show = std::function<void(const QImage& frame)>;
    explicit FramePlayer(Show show, QObject* parent = nullptr);
    ~FramePlayer() override;

    // Plays picture's frames at size once settleMs have passed; a still
    // picture is found out on the player's thread and nothing happens.
    void Start(std::shared_ptr<const PictureFile> picture, QSize size, int settleMs);
    void Stop();
    // Space: the frames stand still, and go on from there.
    void SetPaused(bool paused);
    // Whether the timer's step should wait for the first loop to end.
    bool HoldsStep() const;
    // Tests shorten the longest loop held for.
    void SetLongestLoop(std::chrono::milliseconds longest) { mLongestLoop = longest; }

    // What was played since the player was made: frames decoded after a
    // first one, frames shown, and those shown later than they were due.
    int FramesDecoded() const { return *mDecoded; }
    int FramesShown() const { return mShown; }
    int LateFrames() const { return mLate; }

signals:
    // The first loop has played (or was cut at the longest loop): a held step goes on.
    void LoopDone();

private:
    struct Job;
    struct Frame {
        QImage image;
        int delayMs = 0;
        int index = 0;
    };
    // What the player's thread tells, on the window's thread.
    void Opened(const std::shared_ptr<Job>& job, int plays, int firstDelayMs);
    void Decoded(const std::shared_ptr<Job>& job, Frame frame);
    // Begins decoding on a thread of its own.
    void Launch();
    // The frame on screen has had its time.
    void Due();
    void ShowNext(bool late);
    void Ask();
    void EndLoop();

    Show mShow;
    std::shared_ptr<Job> mJob; // the animation playing, if any
    QTimer mSettle;            // until the first frame is asked for
    QTimer mFrameTimer;        // the frame on screen's delay
    QTimer mLongest;           // the longest the first loop holds a step
    std::chrono::milliseconds mLongestLoop = kLongestLoop;
    bool mPaused = false;
    bool mDue = false;         // the frame on screen has had its time
    bool mLoopDone = true;
    int mLoops = 0;
    int mPlays = 0;
    std::deque<Frame> mAhead;   // decoded, waiting for their time
    QElapsedTimer mShownFor;    // since the frame on screen came
    std::shared_ptr<std::atomic<int>> mDecoded = std::make_shared<std::atomic<int>>(0); // counted by the threads
    int mShown = 0, mLate = 0;
};
