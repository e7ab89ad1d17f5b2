#include "slideshow/PicturePrefetch.h"

#include <algorithm>

#include <sys/stat.h>

#include <chrono>

#include <QThread>

#include "common/CodePage.h"
#include "imaging/PictureFile.h"

namespace {

constexpr std::size_t kMaxAhead = PicturePrefetch::kAhead + 1;

long long Nanoseconds(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

} // namespace

FileStamp StampOf(const QString& path)
{
    struct stat st {};
    FileStamp stamp;
    if (::stat(ToCodePage(path).constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modifiedNs = Nanoseconds(st.st_mtim);
    stamp.changedNs = Nanoseconds(st.st_ctim);
    return stamp;
}

PreparedPicture PreparePicture(const QString& path, QSize window, bool stretch)
{
    PreparedPicture prepared;
    prepared.path = path;
    prepared.window = window;
    prepared.stretch = stretch;
    // Taken before the file is read: a change after it makes the stamps differ.
    prepared.stamp = StampOf(path);
    try {
        ImageDisplay& display = prepared.display;
        display.SetPicture(PictureFile::Open(path));
        FitPicture(display, float(window.width()), float(window.height()), stretch);
        display.Prepare();
        prepared.shown = true;
    } catch (...) {
        // Whatever went wrong on the built-in path, the plug-ins get the file.
        prepared.display = ImageDisplay();
        prepared.shown = false;
    }
    return prepared;
}

PicturePrefetch::PicturePrefetch(Decoder decode) : mDecode(std::move(decode))
{
}

PicturePrefetch::~PicturePrefetch()
{
    // A decode under way is not waited for: one whose file stalls must not
    // hold up the end of the show. It finishes on its own and is dropped.
    for (Job& job : mJobs)
        Cancel(job);
}

QThreadPool& PicturePrefetch::Pool()
{
    // Outlives every show, so that no window waits for its decodes at its end.
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        // One decoder per core: a held key asks for pictures faster than
        // one core decodes them.
        p->setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
        return p;
    }();
    return *pool;
}

void PicturePrefetch::SetEnabled(bool enabled)
{
    mEnabled = enabled;
    if (!enabled) {
        for (Job& job : mJobs)
            Cancel(job);
        mJobs.clear();
        mRecent.clear();
    }
}

void PicturePrefetch::Cancel(Job& job)
{
    job.cancelled->store(true);
}

void PicturePrefetch::Want(const QStringList& paths, QSize window, bool stretch)
{
    if (!mEnabled)
        return;
    std::vector<Job> kept;
    for (const QString& path : paths) {
        if (kept.size() == kMaxAhead)
            break;
        const auto same = [&](const Job& job) { return job.Matches(path, window, stretch); };
        if (std::any_of(kept.begin(), kept.end(), same))
            continue;
        const auto old = std::find_if(mJobs.begin(), mJobs.end(), same);
        if (old != mJobs.end()) {
            kept.push_back(std::move(*old));
            mJobs.erase(old);
            continue;
        }
        Job job{path, window, stretch, std::make_shared<std::atomic_bool>(false),
                std::make_shared<std::atomic_bool>(false), {}};
        const auto recent = std::find_if(mRecent.begin(), mRecent.end(), [&](const PreparedPicture& p) {
            return p.path == path && p.window == window && p.stretch == stretch;
        });
        if (recent != mRecent.end()) {
            // A picture shown a moment ago is wanted again (the step back).
            std::promise<PreparedPicture> ready;
            ready.set_value(*recent);
            job.result = ready.get_future().share();
        } else {
            auto task = std::make_shared<std::packaged_task<PreparedPicture()>>(
                [decode = mDecode, path, window, stretch, cancelled = job.cancelled,
                 started = job.started] {
                    if (cancelled->load())
                        return PreparedPicture{};
                    started->store(true);
                    const auto start = std::chrono::steady_clock::now();
                    PreparedPicture prepared = decode(path, window, stretch);
                    prepared.decodeTime = std::chrono::steady_clock::now() - start;
                    return prepared;
                });
            job.result = task->get_future().share();
            Pool().start([task] { (*task)(); });
        }
        kept.push_back(std::move(job));
    }
    for (Job& job : mJobs)
        Cancel(job);
    mJobs = std::move(kept);
    // What is still wanted lives on in the jobs; keep only the screen's picture.
    if (mRecent.size() > 1)
        mRecent.resize(1);
}

std::optional<PreparedPicture> PicturePrefetch::Take(const QString& path, QSize window, bool stretch)
{
    if (!mEnabled)
        return std::nullopt;
    const auto job = std::find_if(mJobs.begin(), mJobs.end(),
                                  [&](const Job& j) { return j.Matches(path, window, stretch); });
    if (job == mJobs.end())
        return std::nullopt;
    const bool ready = job->result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (!ready && !job->started->load()) {
        // Waiting behind another decode: the step decodes it itself.
        Cancel(*job);
        mJobs.erase(job);
        return std::nullopt;
    }
    if (!ready && job->result.wait_for(std::chrono::milliseconds(kStepWaitMs)) != std::future_status::ready) {
        // Reading the file does not end (a stalled mount): the show goes on.
        PreparedPicture stalled;
        stalled.path = path;
        stalled.window = window;
        stalled.stretch = stretch;
        stalled.stalled = true;
        mJobs.erase(job);
        return stalled;
    }
    PreparedPicture prepared = job->result.get();
    mJobs.erase(job);
    if (prepared.path != path || prepared.stamp != StampOf(path) || !prepared.stamp.exists)
        return std::nullopt;
    return prepared;
}

void PicturePrefetch::KeepShown(PreparedPicture shown)
{
    if (!mEnabled)
        return;
    if (!shown.shown) {
        mRecent.clear();
        return;
    }
    mRecent.insert(mRecent.begin(), std::move(shown));
    if (mRecent.size() > 2)
        mRecent.resize(2);
}
