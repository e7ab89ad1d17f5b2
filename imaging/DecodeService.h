#pragma once
// The one owner of the threads that decode pictures.
//
// Who runs what:
// - The service has one worker thread per core ("velmora-dec0" and on), started
//   when it is made and joined when it is destroyed; no other code starts a
//   thread to decode.
// - Jobs (the pictures decoded ahead of the show) run on the workers in the
//   order they were submitted, one job per worker at a time.
// - A decode that can use a second core (the PNG inflater) borrows a
//   worker that has nothing to do; when none is idle it does the
//   work on its own thread. So the workers are the whole budget: the program
//   never decodes on more threads than there are cores, besides the thread
//   of the user interface when a step decodes for itself.
// - A job carries a stop flag. Readers ask DecodeStopRequested() once per
//   band of rows and give up as on damaged data, so a picture the user has
//   stepped away from stops within one band. A plug-in call, which cannot
//   look at the flag, is ended through a StopHook.
//
// main() creates the service before any window and destroys it before the
// statics the readers use (the colour-profile cache); tests create their
// own. Without a service, jobs cannot be submitted and decodes use only the
// thread that asks.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class DecodeService {
public:
    // What the service saw of one job, for those who watch it.
    struct JobReport {
        bool started = false;
        bool finished = false;
        // The job's decode noticed the stop and gave up.
        bool stoppedEarly = false;
        // Bands checked by the job's decode, in all and when the stop came.
        std::uint64_t bands = 0;
        std::uint64_t bandsAtStop = 0;
    };

    class Job {
    public:
        // Asks the job's decode to give up; a job not yet started never runs.
        void Stop();
        JobReport Report() const;
        // Waits until the job has run or was dropped; false at the time limit.
        bool WaitDone(int timeoutMs) const;

    private:
        friend class DecodeService;
        struct State;
        std::shared_ptr<State> mState;
    };

    // threads: how many workers; 0 for one per core.
    explicit DecodeService(int threads = 0);
    // Stops every job and joins the workers.
    ~DecodeService();
    DecodeService(const DecodeService&) = delete;
    DecodeService& operator=(const DecodeService&) = delete;

    // The service alive, or null.
    static DecodeService* Instance();

    int Threads() const { return int(mWorkers.size()); }

    // Runs work on a worker; done (when given) runs on that worker after it,
    // also when the job was stopped before it started. An urgent job goes
    // before the jobs that wait.
    Job Submit(std::function<void()> work, std::function<void()> done = {}, bool urgent = false);

    // Runs task on an idle worker and returns a handle to wait for it; an
    // empty handle when every worker is busy (the caller does the work).
    class Borrowed {
    public:
        Borrowed() = default;
        Borrowed(Borrowed&&) noexcept = default;
        Borrowed& operator=(Borrowed&&) noexcept;
        ~Borrowed() { Wait(); }
        explicit operator bool() const { return bool(mDone); }
        void Wait();

    private:
        friend class DecodeService;
        struct Done;
        std::shared_ptr<Done> mDone;
    };
    static Borrowed TryBorrow(std::function<void()> task);

    // For work in a job that cannot look at the stop flag while it blocks
    // (a call to a plug-in): while a hook lives on the job's thread, stopping
    // the job also runs onStop, on the thread that stops it. Outside a job it
    // does nothing. The hook's end waits for an onStop under way.
    class StopHook {
    public:
        explicit StopHook(std::function<void()> onStop);
        ~StopHook();
        StopHook(const StopHook&) = delete;
        StopHook& operator=(const StopHook&) = delete;

    private:
        bool mSet = false;
    };
    // How many workers are idle now (a hint: they may be taken at once).
    static int IdleWorkers();

private:
    struct Task {
        std::function<void()> run;
        std::shared_ptr<Job::State> job; // null for a borrowed task
    };
    void WorkerLoop(int index);
    bool Borrow(std::function<void()> run);

    std::mutex mMutex;
    std::condition_variable mWake;
    // Borrowed tasks first, then jobs in the order they came.
    std::deque<Task> mTasks;
    int mIdle = 0;
    int mReserved = 0; // idle workers promised to borrowed tasks
    bool mStopping = false;
    std::vector<std::shared_ptr<Job::State>> mRunning;
    std::vector<std::thread> mWorkers;
};

// Whether the decode on this thread should give up: its job was stopped.
// Each call counts as one band of the job's decode. False outside a job.
bool DecodeStopRequested();
