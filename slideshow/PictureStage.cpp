#include "slideshow/PictureStage.h"

#include <atomic>
#include <memory>

#include <QEventLoop>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QTimer>
#include <QWidget>

#include "common/AppPaths.h"
#include "common/CheckedMath.h"
#include "common/RuntimeError.h"
#include "imaging/DecodeLog.h"
#include "imaging/DecodeService.h"
#include "pluginhost/ClsPluginManager.h"
#include "slideshow/PictureRing.h"

namespace {

int DecoderCount()
{
    const DecodeService* service = DecodeService::Instance();
    return service ? service->Threads() : 1;
}

// Every show has a number; a decoding thread makes its plug-in manager anew
// for each show, so that it loads the same plug-ins as the show's own.
std::atomic<std::uint64_t> gShows{0};

ClsPluginManager& ThreadPlugins(std::uint64_t show)
{
    struct Kept {
        std::uint64_t show = 0;
        std::unique_ptr<ClsPluginManager> manager;
    };
    thread_local Kept kept;
    if (!kept.manager || kept.show != show) {
        auto manager = std::make_unique<ClsPluginManager>();
        for (const QString& folder : PluginFolders())
            manager->Initialize(folder);
        // A scan cut short because the picture was no longer wanted misses
        // plug-ins: it is not kept.
        if (DecodeStopRequested())
            throw PluginBridge::Abandoned();
        kept.manager = std::move(manager);
        kept.show = show;
    }
    return *kept.manager;
}

// Draws path with this thread's plug-ins on a black surface of the window's
// size, as the show's Picture1 would be drawn.
void DrawAhead(PreparedPicture& prepared, std::uint64_t show, bool pluginStretch)
{
    // An archive's file that could not be read has nothing to give them.
    if (prepared.inArchive && prepared.bytes.isEmpty())
        return;
    prepared.pluginsAsked = true;
    prepared.drawn = QImage(prepared.window.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    prepared.drawn.fill(Qt::black);
    const HDC dc = CreateImageDC(&prepared.drawn);
    try {
        ClsPluginManager& plugins = ThreadPlugins(show);
        plugins.SetStretch(pluginStretch);
        if (prepared.inArchive)
            plugins.DrawPictureBytes(prepared.path, prepared.bytes, dc, prepared.drawn.height(),
                                     prepared.drawn.width(), 0, 0, QString(), &prepared.pluginFailure);
        else
            plugins.DrawPictureFile(prepared.path, dc, prepared.drawn.height(), prepared.drawn.width(), 0, 0,
                                    QString(), &prepared.pluginFailure);
    } catch (const RuntimeError& e) {
        if (e.Kind() == ErrorKind::PluginFailed)
            prepared.pluginFailure = QString::fromUtf8(e.what());
        else
            prepared.pluginError = std::current_exception();
    } catch (const std::exception&) {
        prepared.pluginError = std::current_exception();
    }
    DeleteDC(dc);
}

} // namespace

PictureStage::PictureStage(QWidget& window, std::function<bool()> stretch)
    : Picture1(new PictureBox(&window)), Pointer(window), mWindow(window), mStretch(std::move(stretch)), mPacer(DecoderCount())
{
    Picture1->hide();
}

void PictureStage::SetPluginManager(ClsPluginManager* manager)
{
    mPluginManager = manager;
    SetDecoders();
}

void PictureStage::SetArchives(std::shared_ptr<const ArchiveShelf> archives)
{
    mArchives = std::move(archives);
    SetDecoders();
}

void PictureStage::SetDecoders()
{
    PicturePrefetch::Decoder decode = [archives = mArchives](const QString& path, QSize window, bool stretch) {
        return PreparePicture(path, window, stretch, archives.get());
    };
    if (!mPluginManager || mPluginManager->PluginCount() < 0) {
        Prefetch.SetDecoder(std::move(decode));
        return;
    }
    const std::uint64_t show = ++gShows;
    const bool pluginStretch = mPluginManager->Stretch();
    Prefetch.SetDecoder(std::move(decode), [show, pluginStretch](PreparedPicture& prepared) {
        DrawAhead(prepared, show, pluginStretch);
    });
}

void PictureStage::FillWindow()
{
    Picture1->setGeometry(0, 0, mWindow.width(), mWindow.height());
}

void PictureStage::Interrupt()
{
    mInterrupted = true;
    if (mWaiting)
        mWaiting->quit();
    if (mPluginWait)
        mPluginWait->Escape();
}

bool PictureStage::Wait(const std::function<bool()>& done, int timeoutMs, int pollMs)
{
    if (mInterrupted)
        return false;
    if (done && done())
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(timeoutMs);
    // What is not a decode has no signal to wake the wait: it is looked at.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (pollMs > 0 && done)
        poll.start(pollMs);
    Prefetch.onDecoded = [&] {
        if (done && done())
            loop.quit();
    };
    mWaiting = &loop;
    loop.exec();
    mWaiting = nullptr;
    Prefetch.onDecoded = nullptr;
    return !mInterrupted;
}

PreparedPicture PictureStage::Prepare(const QString& path, QSize window, bool stretch, bool& interrupted)
{
    interrupted = false;
    if (std::optional<PicturePrefetch::Request> request = Prefetch.Ask(path, window, stretch)) {
        const bool ahead = request->Ahead();
        bool waited = Wait([&] { return request->Ready(); }, PicturePrefetch::kStepWaitMs);
        // Plug-ins work as long as the bridge lets them; the window goes
        // on meanwhile.
        while (waited && !request->Ready() && request->InPlugins())
            waited = Wait([&] { return request->Ready(); }, 60000);
        if (!waited) {
            interrupted = true;
            Prefetch.Drop(*request);
            return {};
        }
        if (!request->Ready() && !request->Started()) {
            // Every decoding thread is held by a file that does not end:
            // this one is decoded here.
            Prefetch.Drop(*request);
        } else if (std::optional<PreparedPicture> prepared = Prefetch.Take(*request)) {
            // Pictures decoded ahead come at an even pace, the window
            // painting meanwhile.
            const auto hold = ahead ? mPacer.HoldFor(prepared->decodeTime, FlipPacer::Clock::now())
                                    : FlipPacer::Clock::duration::zero();
            const int holdMs = int(std::chrono::ceil<std::chrono::milliseconds>(hold).count());
            if (holdMs > 0 && !Wait({}, holdMs)) {
                interrupted = true;
                return {};
            }
            return std::move(*prepared);
        }
    }
    mWindow.repaint();
    return PreparePicture(path, window, stretch, mArchives.get());
}

bool PictureStage::ShowPicture(const QString& path)
{
    // The hourglass, even when the picture is ready at once.
    Pointer.SetWaiting(true);
    const QSize window = DeviceSize(mWindow);
    const bool stretch = mStretch();
    mShownStretch = stretch;
    Picture1->hide();
    bool interrupted = false;
    PreparedPicture prepared = Prepare(path, window, stretch, interrupted);
    if (interrupted) {
        Pointer.SetWaiting(false);
        return false;
    }
    mShownPath = path;
    mShownFor = window;
    if (prepared.shown) {
        mPacer.Shown(FlipPacer::Clock::now());
        Image1 = prepared.display;
        Image1.Visible = true;
        Picture1->Release();
        mWindow.update();
        Pointer.SetWaiting(false);
        Prefetch.KeepShown(std::move(prepared));
        return true;
    }
    Prefetch.KeepShown({});
    Image1.Visible = false;
    Image1.SetPicture(nullptr);
    Picture1->show();
    Picture1->Cls();
    // Told here, when the picture is shown, not when it is decoded: pictures
    // decoded ahead may never be shown, or be decoded twice.
    if (!prepared.stalled)
        qCInfo(lcDecode).noquote() << "picture" << path << "falls to the plug-ins:"
                                   << prepared.builtInError;
    // A file whose reading stalled is not given to the plug-ins, which
    // would stall on it too: it stays black.
    if (prepared.pluginError) {
        Pointer.SetWaiting(false);
        std::rethrow_exception(prepared.pluginError);
    }
    QString failure = QStringLiteral("reading it did not finish in time");
    if (prepared.pluginsAsked && prepared.drawn.size() == Picture1->Image().size()) {
        Picture1->Put(prepared.drawn);
        failure = prepared.pluginFailure;
    } else if (!prepared.stalled) {
        failure = DrawWithPlugins(prepared);
    }
    // The window was closed while a plug-in drew.
    if (mInterrupted) {
        Pointer.SetWaiting(false);
        return false;
    }
    if (!failure.isEmpty())
        qCWarning(lcDecode).noquote() << "picture" << path << "stays black:" << failure;
    Picture1->repaint();
    mPacer.Shown(FlipPacer::Clock::now());
    mWindow.update();
    Pointer.SetWaiting(false);
    return true;
}

QString PictureStage::DrawWithPlugins(const PreparedPicture& prepared)
{
    if (!mPluginManager)
        return QStringLiteral("no plug-ins are loaded");
    if (prepared.inArchive && prepared.bytes.isEmpty())
        return prepared.builtInError;
    ++mDrawnInStep;
    const HDC dc = Picture1->hDC();
    const std::int32_t height = RoundToInt32(Picture1->Image().height());
    const std::int32_t width = RoundToInt32(Picture1->Image().width());
    // The window takes its exits while the plug-ins work. A pointer that
    // hides keeps the hourglass to itself: none while it is hidden.
    PluginBridge::EscapeScope wait(&mWindow, Pointer.HidesWhenStill());
    mPluginWait = &wait;
    const auto done = qScopeGuard([this] { mPluginWait = nullptr; });
    if (mInterrupted)
        wait.Escape();
    QString failure;
    try {
        if (prepared.inArchive)
            mPluginManager->DrawPictureBytes(prepared.path, prepared.bytes, dc, height, width, 0, 0, QString(),
                                             &failure);
        else
            mPluginManager->DrawPictureFile(prepared.path, dc, height, width, 0, 0, QString(), &failure);
    } catch (const RuntimeError& e) {
        // A plug-in that crashed, hung or could not be reached costs this
        // one picture, which stays black; errors of the fit still end the show.
        if (e.Kind() != ErrorKind::PluginFailed) {
            Pointer.SetWaiting(false);
            throw;
        }
        failure = QString::fromUtf8(e.what());
    }
    return failure;
}

void PictureStage::LookAhead(PictureRing& ring, bool lastStepBack)
{
    if (!Prefetch.Enabled())
        return;
    // The next few in the direction of travel, then one the other way: a
    // held key finds them decoded on every core.
    const std::int32_t ahead = lastStepBack ? -1 : 1;
    QStringList wanted = ring.PeekAhead(ahead, PicturePrefetch::kAhead);
    wanted << ring.PeekAhead(-ahead, 1);
    Want(std::move(wanted));
}

void PictureStage::Want(QStringList wanted)
{
    if (!Prefetch.Enabled())
        return;
    wanted.removeAll(QString());
    Prefetch.Want(wanted, DeviceSize(mWindow), mShownStretch);
}
