#include "slideshow/FramePlayer.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "imaging/DecodeLog.h"
#include "imaging/PictureFile.h"

// Shared by the window's thread and the player's: what to decode, how many
// frames are asked for, and whether to stop.
struct FramePlayer::Job {
    std::shared_ptr<const PictureFile> picture;
    QSize size;
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    int wanted = 0;
};

FramePlayer::FramePlayer(Show show, QObject* parent) : QObject(parent), mShow(std::move(show))
{
    mSettle.setSingleShot(true);
    mFrameTimer.setSingleShot(true);
    mFrameTimer.setTimerType(Qt::PreciseTimer);
    mLongest.setSingleShot(true);
    connect(&mSettle, &QTimer::timeout, this, [this] { Launch(); });
    connect(&mFrameTimer, &QTimer::timeout, this, [this] { Due(); });
    connect(&mLongest, &QTimer::timeout, this, [this] {
        if (!mLoopDone) {
            qCDebug(lcDecode) << "an animation's first loop cut at" << mLongestLoop.count() << "ms";
            mLoopDone = true;
            emit LoopDone();
        }
    });
}

FramePlayer::~FramePlayer() { Stop(); }

void FramePlayer::Start(std::shared_ptr<const PictureFile> picture, QSize size, int settleMs)
{
    Stop();
    if (!picture || size.isEmpty())
        return;
    mJob = std::make_shared<Job>();
    mJob->picture = std::move(picture);
    mJob->size = size;
    mLoopDone = false;
    mLoops = 0;
    mPlays = 0;
    mDue = false;
    mShownFor.start();
    mLongest.start(mLongestLoop);
    mSettle.start(settleMs);
}

void FramePlayer::Stop()
{
    if (mJob) {
        std::lock_guard lock(mJob->mutex);
        mJob->stop = true;
        mJob->wake.notify_all();
    }
    mJob.reset();
    mSettle.stop();
    mFrameTimer.stop();
    mLongest.stop();
    mAhead.clear();
    mLoopDone = true;
    mPaused = false;
}

void FramePlayer::SetPaused(bool paused)
{
    if (paused == mPaused || !mJob)
        return;
    mPaused = paused;
    if (paused) {
        mFrameTimer.stop();
        mLongest.stop();
        return;
    }
    // The frame on screen has had its time by now.
    if (!mLoopDone)
        mLongest.start(mLongestLoop);
    Due();
}

bool FramePlayer::HoldsStep() const { return mJob && !mLoopDone; }

void FramePlayer::Launch()
{
    const std::shared_ptr<Job> job = mJob;
    std::thread([job, player = this, decoded = mDecoded] {
        // Posted only while the job goes on: a player that stopped it may be gone.
        const auto post = [&](auto call) {
            std::lock_guard lock(job->mutex);
            if (!job->stop)
                QMetaObject::invokeMethod(player, std::move(call), Qt::QueuedConnection);
        };
        std::unique_ptr<PictureFrames> frames;
        int firstDelay = 0;
        try {
            frames = job->picture->Frames(job->size);
            // The first frame is on screen already.
            if (frames)
                firstDelay = frames->Next().delayMs;
        } catch (const std::exception& e) {
            qCWarning(lcDecode) << "animation not played:" << e.what();
            frames.reset();
        }
        if (!frames) {
            // A still picture: the step goes on as for any.
            post([player, job] {
                if (job == player->mJob)
                    player->Stop();
            });
            return;
        }
        const int plays = frames->Plays();
        post([player, job, plays, firstDelay] { player->Opened(job, plays, firstDelay); });
        for (;;) {
            {
                std::unique_lock lock(job->mutex);
                job->wake.wait(lock, [&] { return job->stop || job->wanted > 0; });
                if (job->stop)
                    return;
                --job->wanted;
            }
            Frame frame;
            try {
                PictureFrames::Frame next = frames->Next();
                ++*decoded;
                frame = {std::move(next.image), next.delayMs, next.index};
            } catch (const std::exception& e) {
                // The frames so far stay; the step goes on as after a loop.
                qCWarning(lcDecode) << "animation stopped:" << e.what();
                post([player, job] {
                    if (job == player->mJob) {
                        player->EndLoop();
                        player->mFrameTimer.stop();
                    }
                });
                return;
            }
            post([player, job, frame = std::move(frame)]() mutable { player->Decoded(job, std::move(frame)); });
        }
    }).detach();
}

void FramePlayer::Opened(const std::shared_ptr<Job>& job, int plays, int firstDelayMs)
{
    if (job != mJob)
        return;
    mPlays = plays;
    // The first frame has been on screen since the step.
    if (!mPaused)
        mFrameTimer.start(std::max<qint64>(0, firstDelayMs - mShownFor.elapsed()));
    for (int i = 0; i < kFramesAhead; ++i)
        Ask();
}

void FramePlayer::Ask()
{
    std::lock_guard lock(mJob->mutex);
    ++mJob->wanted;
    mJob->wake.notify_all();
}

void FramePlayer::Decoded(const std::shared_ptr<Job>& job, Frame frame)
{
    if (job != mJob)
        return;
    mAhead.push_back(std::move(frame));
    if (mDue && !mPaused)
        ShowNext(true);
}

void FramePlayer::Due()
{
    mDue = true;
    if (!mAhead.empty() && !mPaused)
        ShowNext(false);
}

void FramePlayer::ShowNext(bool late)
{
    Frame frame = std::move(mAhead.front());
    mAhead.pop_front();
    mDue = false;
    if (frame.index == 0) {
        // The last frame has had its time: a loop has played.
        const std::shared_ptr<Job> job = mJob;
        EndLoop();
        if (job != mJob)
            return; // the loop's end stopped the player
        if (mPlays > 0 && mLoops >= mPlays) {
            // Played as often as the file says: the last frame stays.
            std::lock_guard lock(mJob->mutex);
            mJob->stop = true;
            mJob->wake.notify_all();
            return;
        }
    }
    mShow(frame.image);
    ++mShown;
    mLate += late;
    mShownFor.start();
    mFrameTimer.start(frame.delayMs);
    Ask();
}

void FramePlayer::EndLoop()
{
    ++mLoops;
    if (!mLoopDone) {
        mLoopDone = true;
        mLongest.stop();
        emit LoopDone();
    }
}
