#include "imaging/DecodeService.h"

#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "imaging/DecodeLog.h"

// Only messages turned on by rules are printed.
Q_LOGGING_CATEGORY(lcDecode, "velmora.decode", QtCriticalMsg)

struct DecodeService::Job::State {
    std::atomic_bool stop{false};
    std::atomic_bool stoppedEarly{false};
    std::atomic<std::uint64_t> bands{0};
    std::atomic<std::uint64_t> bandsAtStop{0};
    std::function<void()> done;
    std::mutex hookMutex;
    std::function<void()> stopHook; // see StopHook
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool started = false;
    bool finished = false;

    void Finish()
    {
        if (done)
            done();
        std::lock_guard lock(mutex);
        finished = true;
        changed.notify_all();
    }
};

struct DecodeService::Borrowed::Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

namespace {

std::atomic<DecodeService*> gInstance{nullptr};
// A child forked from the program has none of its threads: no service there.
std::atomic<pid_t> gInstancePid{0};
// The job the decode on this thread runs for; null outside jobs.
thread_local std::atomic_bool* tStop = nullptr;
thread_local std::atomic<std::uint64_t>* tBands = nullptr;
thread_local std::atomic_bool* tStoppedEarly = nullptr;
thread_local std::mutex* tHookMutex = nullptr;
thread_local std::function<void()>* tStopHook = nullptr;

} // namespace

bool DecodeStopRequested()
{
    if (!tStop)
        return false;
    tBands->fetch_add(1, std::memory_order_relaxed);
    if (!tStop->load(std::memory_order_acquire))
        return false;
    tStoppedEarly->store(true);
    return true;
}

void DecodeService::Job::Stop()
{
    if (!mState || mState->stop.load())
        return;
    // The flag first: a band counted before the snapshot never saw it, the
    // one after it does.
    mState->stop.store(true, std::memory_order_release);
    mState->bandsAtStop.store(mState->bands.load());
    std::lock_guard lock(mState->hookMutex);
    if (mState->stopHook)
        mState->stopHook();
}

DecodeService::StopHook::StopHook(std::function<void()> onStop)
{
    if (!tHookMutex)
        return;
    std::lock_guard lock(*tHookMutex);
    *tStopHook = std::move(onStop);
    mSet = true;
}

DecodeService::StopHook::~StopHook()
{
    if (!mSet)
        return;
    std::lock_guard lock(*tHookMutex);
    *tStopHook = nullptr;
}

DecodeService::JobReport DecodeService::Job::Report() const
{
    JobReport report;
    if (!mState)
        return report;
    {
        std::lock_guard lock(mState->mutex);
        report.started = mState->started;
        report.finished = mState->finished;
    }
    report.stoppedEarly = mState->stoppedEarly.load();
    report.bands = mState->bands.load();
    report.bandsAtStop = mState->bandsAtStop.load();
    return report;
}

bool DecodeService::Job::WaitDone(int timeoutMs) const
{
    if (!mState)
        return true;
    std::unique_lock lock(mState->mutex);
    return mState->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return mState->finished; });
}

DecodeService::DecodeService(int threads)
{
    // Picture buffers (many megabytes each) go to the kernel and back on
    // every picture: glibc would otherwise raise its threshold after the
    // first free and keep them in each thread's heap, where they add up.
    // Smaller blocks (a decoder's rows) stay in the heap, where reusing them
    // costs no page faults.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    if (threads <= 0)
        threads = int(std::max(1u, std::thread::hardware_concurrency()));
    mWorkers.reserve(std::size_t(threads));
    for (int i = 0; i < threads; ++i)
        mWorkers.emplace_back([this, i] { WorkerLoop(i); });
    DecodeService* none = nullptr;
    gInstancePid = getpid();
    if (!gInstance.compare_exchange_strong(none, this))
        qCWarning(lcDecode) << "a second decoding service was made; decodes borrow from the first";
}

DecodeService::~DecodeService()
{
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
        for (const auto& job : mRunning)
            job->stop.store(true);
    }
    mWake.notify_all();
    for (std::thread& worker : mWorkers)
        worker.join();
    // Jobs that never ran are dropped; whoever waits for them is told.
    for (Task& task : mTasks)
        if (task.job)
            task.job->Finish();
    mTasks.clear();
    DecodeService* self = this;
    gInstance.compare_exchange_strong(self, nullptr);
}

DecodeService* DecodeService::Instance()
{
    return gInstancePid.load() == getpid() ? gInstance.load() : nullptr;
}

DecodeService::Job DecodeService::Submit(std::function<void()> work, std::function<void()> done, bool urgent)
{
    auto state = std::make_shared<Job::State>();
    state->done = std::move(done);
    Job job;
    job.mState = state;
    {
        std::lock_guard lock(mMutex);
        if (mStopping) {
            state->stop.store(true);
        } else {
            const auto firstJob = urgent ? std::find_if(mTasks.begin(), mTasks.end(), [](const Task& t) { return t.job != nullptr; })
                                         : mTasks.end();
            mTasks.insert(firstJob, {std::move(work), state});
            mWake.notify_one();
            return job;
        }
    }
    state->Finish();
    return job;
}

bool DecodeService::Borrow(std::function<void()> run)
{
    std::lock_guard lock(mMutex);
    if (mStopping || mIdle - mReserved <= 0)
        return false;
    ++mReserved;
    // In front of the jobs: an idle worker takes it before any job.
    mTasks.push_front({std::move(run), nullptr});
    mWake.notify_all();
    return true;
}

void DecodeService::WorkerLoop(int index)
{
    const std::string name = "velmora-dec" + std::to_string(index);
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mMutex);
            ++mIdle;
            // Borrowed tasks run even while stopping: their borrowers wait for them.
            const auto borrowedWaiting = [&] { return !mTasks.empty() && !mTasks.front().job; };
            mWake.wait(lock, [&] { return mStopping || !mTasks.empty(); });
            --mIdle;
            if (mStopping && !borrowedWaiting())
                return;
            task = std::move(mTasks.front());
            mTasks.pop_front();
            if (!task.job)
                --mReserved;
            else
                mRunning.push_back(task.job);
        }
        if (!task.job) {
            task.run();
            continue;
        }
        const std::shared_ptr<Job::State>& job = task.job;
        if (!job->stop.load()) {
            {
                std::lock_guard lock(job->mutex);
                job->started = true;
            }
            tStop = &job->stop;
            tBands = &job->bands;
            tStoppedEarly = &job->stoppedEarly;
            tHookMutex = &job->hookMutex;
            tStopHook = &job->stopHook;
            try {
                task.run();
            } catch (const std::exception& e) {
                qCWarning(lcDecode) << "a decode ended with an error:" << e.what();
            }
            tStop = nullptr;
            tBands = nullptr;
            tStoppedEarly = nullptr;
            tHookMutex = nullptr;
            tStopHook = nullptr;
        }
        job->Finish();
        std::lock_guard lock(mMutex);
        mRunning.erase(std::find(mRunning.begin(), mRunning.end(), job));
    }
}

DecodeService::Borrowed& DecodeService::Borrowed::operator=(Borrowed&& other) noexcept
{
    if (this != &other) {
        Wait();
        mDone = std::move(other.mDone);
    }
    return *this;
}

void DecodeService::Borrowed::Wait()
{
    if (!mDone)
        return;
    std::unique_lock lock(mDone->mutex);
    mDone->changed.wait(lock, [&] { return mDone->done; });
    lock.unlock();
    mDone.reset();
}

int DecodeService::IdleWorkers()
{
    DecodeService* service = Instance();
    if (!service)
        return 0;
    std::lock_guard lock(service->mMutex);
    return std::max(0, service->mIdle - service->mReserved);
}

DecodeService::Borrowed DecodeService::TryBorrow(std::function<void()> task)
{
    DecodeService* service = Instance();
    Borrowed borrowed;
    if (!service)
        return borrowed;
    auto done = std::make_shared<Borrowed::Done>();
    const bool taken = service->Borrow([task = std::move(task), done] {
        try {
            task();
        } catch (const std::exception& e) {
            qCWarning(lcDecode) << "a decode's helper task ended with an error:" << e.what();
        }
        std::lock_guard lock(done->mutex);
        done->done = true;
        done->changed.notify_all();
    });
    if (taken)
        borrowed.mDone = std::move(done);
    return borrowed;
}
