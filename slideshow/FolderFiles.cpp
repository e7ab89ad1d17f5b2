#include "slideshow/FolderFiles.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "slideshow/WalkLog.h"

namespace {
using Clock = std::chrono::steady_clock;
// Listings kept for the steps to come; past this many they are all dropped
// (the look-ahead's listings of folders the show went away from).
constexpr qsizetype kKeptListings = 256;
} // namespace

struct FolderFiles::Listing::State {
    mutable std::mutex mutex;
    mutable std::condition_variable done;
    bool finished = false;
    Clock::time_point finishedAt;
    QStringList names;
};

// The listing threads and their work; they outlive the owner when a listing
// does not end.
struct FolderFiles::Shared {
    struct Job {
        QString path;
        std::shared_ptr<Listing::State> state;
        Lister list;
        bool ahead;
    };
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Job> jobs;
    int threads = 0;
    int idle = 0;
    bool stop = false;
    std::function<void()> onListed; // cleared when the owner goes

    // Under mutex.
    void Post(Job job, std::weak_ptr<Shared> self)
    {
        const bool step = !job.ahead;
        // A step's listing goes first, and never waits behind listings stuck
        // in the file system.
        step ? jobs.push_front(std::move(job)) : jobs.push_back(std::move(job));
        if (idle > 0) {
            work.notify_one();
        } else if (threads < kMaxListings || step) {
            ++threads;
            std::thread([shared = self.lock()] { shared->Run(); }).detach();
        }
    }

    void Run()
    {
        pthread_setname_np(pthread_self(), "velmora-list");
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            work.wait(lock, [&] { return stop || !jobs.empty(); });
            --idle;
            if (stop)
                break;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            QStringList names = job.list(job.path);
            {
                std::lock_guard done(job.state->mutex);
                job.state->names = std::move(names);
                job.state->finished = true;
                job.state->finishedAt = Clock::now();
            }
            job.state->done.notify_all();
            lock.lock();
            if (job.ahead && onListed)
                onListed();
        }
        --threads;
    }
};

bool FolderFiles::Listing::Done() const
{
    std::lock_guard lock(mState->mutex);
    return mState->finished;
}

bool FolderFiles::Listing::WaitFor(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mState->mutex);
    return mState->done.wait_for(lock, timeout, [&] { return mState->finished; });
}

QStringList FolderFiles::Listing::Names() const
{
    std::lock_guard lock(mState->mutex);
    return mState->names;
}

FolderFiles::FolderFiles() : mShared(std::make_shared<Shared>()) {}

FolderFiles::~FolderFiles()
{
    std::lock_guard lock(mShared->mutex);
    mShared->onListed = nullptr;
    mShared->stop = true;
    mShared->jobs.clear();
    mShared->work.notify_all();
}

void FolderFiles::SetLister(Lister list)
{
    mList = std::move(list);
    mListings.clear();
}

void FolderFiles::SetOnListed(std::function<void()> onListed)
{
    std::lock_guard lock(mShared->mutex);
    mShared->onListed = std::move(onListed);
}

FolderFiles::Listing FolderFiles::Start(const QString& path, bool ahead)
{
    Listing listing;
    listing.mState = std::make_shared<Listing::State>();
    {
        std::lock_guard lock(mShared->mutex);
        mShared->Post({path, listing.mState, mList, ahead}, mShared);
    }
    if (mListings.size() >= kKeptListings) {
        qCDebug(lcWalk) << "dropping" << mListings.size() << "folder listings made ahead";
        mListings.clear();
    }
    mListings.insert(path, listing);
    return listing;
}

FolderFiles::Listing FolderFiles::ForStep(const QString& path)
{
    // Listed anew: the step sees the folder as it is now.
    mListings.remove(path);
    return Start(path, false);
}

std::optional<FolderFiles::Listing> FolderFiles::Ahead(const QString& path)
{
    if (const auto known = mListings.constFind(path); known != mListings.cend()) {
        std::lock_guard lock(known->mState->mutex);
        if (!known->mState->finished || Clock::now() - known->mState->finishedAt < kFreshFor)
            return *known;
    }
    {
        std::lock_guard lock(mShared->mutex);
        if (int(mShared->jobs.size()) + mShared->threads - mShared->idle >= kMaxListings)
            return std::nullopt;
    }
    return Start(path, true);
}

void FolderFiles::Clear() { mListings.clear(); }
