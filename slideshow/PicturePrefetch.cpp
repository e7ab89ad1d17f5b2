#include "slideshow/PicturePrefetch.h"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QObject>
#include <QPointer>

#include "archives/ArchiveShelf.h"
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
    QByteArray file = ToCodePage(path);
    // Inside an archive, a part of the path is a file: the archive's.
    while (::stat(file.constData(), &st) != 0) {
        const qsizetype slash = file.lastIndexOf('/');
        if (errno != ENOTDIR || slash <= 0)
            return stamp;
        file.truncate(slash);
    }
    stamp.exists = true;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modifiedNs = Nanoseconds(st.st_mtim);
    stamp.changedNs = Nanoseconds(st.st_ctim);
    return stamp;
}

PreparedPicture PreparePicture(const QString& path, QSize window, bool stretch, const ArchiveShelf* archives)
{
    PreparedPicture prepared;
    prepared.path = path;
    prepared.window = window;
    prepared.stretch = stretch;
    // Taken before the file is read: a change after it makes the stamps differ.
    prepared.stamp = StampOf(path);
    const std::optional<ArchiveShelf::Located> entry = archives ? archives->Locate(path) : std::nullopt;
    if (entry) {
        prepared.inArchive = true;
        codec::Result<QByteArray> bytes =
            entry->archive && entry->entry >= 0
                ? entry->archive->Read(entry->entry, PictureFile::kMaxFileBytes)
                : codec::Fail(codec::ErrorKind::ReadFailed, "it is not in the archive's listing");
        if (!bytes) {
            prepared.builtInError = QString::fromStdString(bytes.error().Describe());
            return prepared;
        }
        prepared.bytes = std::move(*bytes);
    }
    try {
        ImageDisplay& display = prepared.display;
        display.SetPicture(entry ? PictureFile::Open(path, prepared.bytes) : PictureFile::Open(path));
        FitPicture(display, float(window.width()), float(window.height()), stretch);
        display.Prepare();
        prepared.shown = true;
        prepared.bytes.clear(); // the plug-ins will not need them
    } catch (const std::exception& e) {
        // Whatever went wrong on the built-in path, the plug-ins get the file.
        prepared.display = ImageDisplay();
        prepared.shown = false;
        prepared.builtInError = QString::fromUtf8(e.what());
    }
    return prepared;
}

struct PicturePrefetch::Request::Result {
    std::mutex mutex;
    bool started = false;
    bool inPlugins = false;
    bool ready = false;
    PreparedPicture picture;
};

bool PicturePrefetch::Request::Ready() const
{
    std::lock_guard lock(mResult->mutex);
    return mResult->ready;
}

bool PicturePrefetch::Request::InPlugins() const
{
    std::lock_guard lock(mResult->mutex);
    return mResult->inPlugins;
}

bool PicturePrefetch::Request::Started() const
{
    std::lock_guard lock(mResult->mutex);
    return mResult->started;
}

struct PicturePrefetch::Notifier {
    std::mutex mutex;
    // Lives on the user interface thread and goes with the prefetch, taking
    // the calls not yet delivered along: a delivered call finds it alive.
    QObject* receiver = nullptr;
    PicturePrefetch* owner = nullptr;

    void Post()
    {
        std::lock_guard lock(mutex);
        if (receiver)
            QMetaObject::invokeMethod(receiver, [owner = owner] {
                if (owner->onDecoded)
                    owner->onDecoded();
            }, Qt::QueuedConnection);
    }
};

PicturePrefetch::PicturePrefetch(Decoder decode) : mDecode(std::move(decode)), mNotifier(std::make_shared<Notifier>())
{
    mNotifier->receiver = new QObject;
    mNotifier->owner = this;
}

PicturePrefetch::~PicturePrefetch()
{
    // A decode under way is not waited for: one whose file stalls must not
    // hold up the end of the show. It is stopped and dropped.
    for (Job& job : mJobs)
        job.handle.Stop();
    std::lock_guard lock(mNotifier->mutex);
    delete mNotifier->receiver;
    mNotifier->receiver = nullptr;
}

void PicturePrefetch::SetEnabled(bool enabled)
{
    mEnabled = enabled;
    if (!enabled) {
        for (Job& job : mJobs)
            job.handle.Stop();
        mJobs.clear();
        mRecent.clear();
    }
}

PicturePrefetch::Job PicturePrefetch::Start(const QString& path, QSize window, bool stretch, bool urgent)
{
    Job job{path, window, stretch, {}, {}};
    job.request.mResult = std::make_shared<Request::Result>();
    const auto recent = std::find_if(mRecent.begin(), mRecent.end(), [&](const PreparedPicture& p) {
        return p.path == path && p.window == window && p.stretch == stretch;
    });
    if (recent != mRecent.end()) {
        // A picture shown a moment ago is wanted again (the step back).
        job.request.mResult->started = job.request.mResult->ready = true;
        job.request.mResult->picture = *recent;
        return job;
    }
    const std::shared_ptr<Request::Result> result = job.request.mResult;
    job.handle = DecodeService::Instance()->Submit(
        [decode = mDecode, draw = mDraw, path, window, stretch, result] {
            {
                std::lock_guard lock(result->mutex);
                result->started = true;
            }
            const auto start = std::chrono::steady_clock::now();
            PreparedPicture prepared = decode(path, window, stretch);
            if (!prepared.shown && draw && !DecodeStopRequested()) {
                {
                    std::lock_guard lock(result->mutex);
                    result->inPlugins = true;
                }
                draw(prepared);
            }
            prepared.decodeTime = std::chrono::steady_clock::now() - start;
            std::lock_guard lock(result->mutex);
            result->picture = std::move(prepared);
        },
        [result, notifier = mNotifier] {
            {
                std::lock_guard lock(result->mutex);
                result->ready = true;
            }
            notifier->Post();
        },
        urgent);
    return job;
}

void PicturePrefetch::Want(const QStringList& paths, QSize window, bool stretch)
{
    if (!Enabled())
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
        kept.push_back(Start(path, window, stretch, false));
    }
    for (Job& job : mJobs)
        job.handle.Stop();
    mJobs = std::move(kept);
    // What is still wanted lives on in the jobs; keep only the screen's picture.
    if (mRecent.size() > 1)
        mRecent.resize(1);
}

std::optional<PicturePrefetch::Request> PicturePrefetch::Ask(const QString& path, QSize window, bool stretch)
{
    if (!DecodeService::Instance())
        return std::nullopt;
    const auto job = std::find_if(mJobs.begin(), mJobs.end(),
                                  [&](const Job& j) { return j.Matches(path, window, stretch); });
    if (job != mJobs.end()) {
        Request request = job->request;
        request.mAhead = true;
        if (!request.Started() && !request.Ready()) {
            // Still waiting behind the other decodes: it goes first now.
            job->handle.Stop();
            *job = Start(path, window, stretch, true);
            request = job->request;
            request.mAhead = true;
        }
        return request;
    }
    mJobs.push_back(Start(path, window, stretch, true));
    return mJobs.back().request;
}

std::optional<PreparedPicture> PicturePrefetch::Take(const Request& request)
{
    const auto job = std::find_if(mJobs.begin(), mJobs.end(),
                                  [&](const Job& j) { return j.request.mResult == request.mResult; });
    PreparedPicture prepared;
    bool ready;
    {
        std::lock_guard lock(request.mResult->mutex);
        ready = request.mResult->ready;
        if (ready)
            prepared = std::move(request.mResult->picture);
    }
    if (job != mJobs.end()) {
        if (!ready)
            job->handle.Stop();
        mJobs.erase(job);
    }
    if (!ready) {
        // Reading the file does not end (a stalled mount): the show goes on.
        prepared = {};
        prepared.stalled = true;
        return prepared;
    }
    if (prepared.path.isEmpty())
        return std::nullopt; // stopped before it ran
    if (prepared.stamp != StampOf(prepared.path) || !prepared.stamp.exists)
        return std::nullopt;
    return prepared;
}

void PicturePrefetch::Drop(const Request& request)
{
    const auto job = std::find_if(mJobs.begin(), mJobs.end(),
                                  [&](const Job& j) { return j.request.mResult == request.mResult; });
    if (job == mJobs.end())
        return;
    job->handle.Stop();
    mJobs.erase(job);
}

void PicturePrefetch::WaitForDone()
{
    for (const Job& job : mJobs)
        job.handle.WaitDone(60000);
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
