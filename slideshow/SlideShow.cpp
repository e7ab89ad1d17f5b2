#include "slideshow/SlideShow.h"

#include <cmath>
#include <random>

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "common/AppPaths.h"
#include "common/CheckedMath.h"
#include "common/PathText.h"
#include "imaging/DecodeLog.h"
#include "platform/MessageBox.h"
#include "platform/NumberRules.h"
#include "pluginhost/ClsArchivePluginManager.h"
#include "pluginhost/ClsPluginManager.h"
#include "pluginhost/PluginBridge.h"

namespace {

// How long the activation step waits for the plug-in scan without turning
// the event loop, as a step waits for a quick listing.
constexpr int kQuickPluginWaitMs = 20;

const QString kNoPictures = QStringLiteral("有効な画像データがありません");
const QString kSearching = QStringLiteral("フォルダーを検索中･･･");
const QString kBuiltInPattern =
    QStringLiteral("*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur");

constexpr float kTwipsPerPixel = 15;

// How long the shuffled order takes folders' listings on a turn of the
// window's event loop, and how often it looks for more while the walk runs.
constexpr std::chrono::milliseconds kShuffleFeedTurn{4};
constexpr int kShuffleFeedEveryMs = 20;

// The shuffled order's seed: random, or fixed by VELMORA_SHUFFLE_SEED (for tests).
std::uint64_t ShuffleSeed()
{
    bool fixed = false;
    const qulonglong seed = qEnvironmentVariable("VELMORA_SHUFFLE_SEED").toULongLong(&fixed);
    if (fixed)
        return seed;
    std::random_device random;
    return (std::uint64_t(random()) << 32) ^ random();
}

std::int16_t KeyCodeOf(int qtKey)
{
    switch (qtKey) {
    case Qt::Key_Right: return 39;
    case Qt::Key_Left: return 37;
    case Qt::Key_Space: return 32;
    case Qt::Key_Escape: return 27;
    default: return 0;
    }
}

std::int16_t ButtonOf(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
    }
}

// Whether w is one of owner's own secondary windows (its message boxes).
bool OwnedBy(const QWidget* w, const QWidget* owner)
{
    for (; w; w = w->parentWidget())
        if (w == owner)
            return true;
    return false;
}

} // namespace

SlideShow::SlideShow(const QString& intervalText, std::function<bool()> stretchSetting, QWidget* parent,
                     QScreen* screen, std::unique_ptr<PluginScan> scan)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      mStretchSetting(std::move(stretchSetting)),
      mStage(*this, [this] { return Stretch(); })
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowTitle(ProgramTitle());
    setFocusPolicy(Qt::StrongFocus);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);

    CoverScreen(screen ? screen : this->screen());
    // Waits for the walk or a listing keep the window answering, with the
    // hourglass up as for a picture (the picture's step takes it down).
    mFolders.SetWaiter([this](const std::function<bool()>& done, int timeoutMs) {
        mStage.Pointer.SetWaiting(true);
        return mStage.WaitUntil(done, timeoutMs);
    });
    // A folder ahead listed at last: the look-ahead sees further now.
    mFolders.SetOnListed([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (mShuffle)
                    FeedShuffle();
                if (!mClosing && !mBusy && mShowStarted)
                    LookAhead();
            },
            Qt::QueuedConnection);
    });

    mStage.Picture1->onKeyDown = [this](int key) { Picture1_KeyDown(KeyCodeOf(key), 0); };
    mStage.Picture1->onMouseDown = [this](Qt::MouseButton button, QPointF pos) {
        Picture1_MouseDown(ButtonOf(button), 0, float(pos.x()), float(pos.y()));
    };

    // The shuffled order takes the folders' listings as they come.
    connect(&mShuffleFeeding, &QTimer::timeout, this, [this] { FeedShuffle(); });

    // A full interval: a coarse timer may fire up to 5% early.
    Timer1.setTimerType(Qt::PreciseTimer);
    connect(&Timer1, &QTimer::timeout, this, [this] {
        // An animation plays its first loop before the timer moves on.
        if (mAnimation->HoldsStep()) {
            Timer1.stop();
            mStepHeld = true;
            return;
        }
        TimerStep();
    });
    mAnimation = new FramePlayer(
        [this](const QImage& frame) {
            if (mStage.Image1.ShowFrame(frame))
                update(QRectF(QRectF(mStage.Image1.PixelRect()).topLeft() / DeviceRatio(*this),
                              QRectF(mStage.Image1.PixelRect()).size() / DeviceRatio(*this))
                           .toAlignedRect());
        },
        this);
    connect(mAnimation, &FramePlayer::LoopDone, this, [this] {
        if (!std::exchange(mStepHeld, false) || !mTimerEnabled || mBusy || mClosing)
            return;
        TimerStep();
    }, Qt::QueuedConnection);

    // Activation within the program: once this window has been active, any
    // other window of the program taking the focus ends the show. Turning to
    // another program leaves no focus window here and changes nothing, also
    // when the user comes back to another of our windows later.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* now) {
        if (!now || !mActivated || mClosing || mInMessage || now == windowHandle())
            return;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->windowHandle() == now && OwnedBy(top, this))
                return;
        Form_Deactivate();
    });

    // Above the pictures, whichever way they are drawn; the caption above
    // a fade.
    mFade = new CrossFade(this);
    mCaption = new CaptionLabel(this);

    Form_Load(intervalText, std::move(scan));
}

SlideShow::~SlideShow() = default;

void SlideShow::CoverScreen(QScreen* target)
{
    if (!target)
        target = QGuiApplication::primaryScreen();
    if (target) {
        setScreen(target);
        setGeometry(target->geometry());
    }
    setWindowState(Qt::WindowFullScreen);
}

void SlideShow::SetTag(const QString& tag) { mTag = tag; }

void SlideShow::SetShowArchives(bool on)
{
    std::shared_ptr<ClsArchivePluginManager> plugins;
    if (on) {
        plugins = std::make_shared<ClsArchivePluginManager>();
        // Esc while a plug-in keeps the scan waiting: no show.
        PluginBridge::EscapeScope wait;
        for (const QString& folder : PluginFolders())
            plugins->Initialize(folder);
        mStartGivenUp = mStartGivenUp || wait.Escaped();
    }
    mFolders.SetShowArchives(on, std::move(plugins));
    mStage.SetArchives(mFolders.Shelf());
}
QString SlideShow::Tag() const { return mTag; }

void SlideShow::SearchDirs(const QString& DirPath)
{
    LoadPlugins();
    mFolders.SearchDirs(DirPath);
}
QString SlideShow::FindDir(std::int32_t Index) const { return mFolders.FindDir(Index); }
std::int32_t SlideShow::ListCount() const { return mFolders.ListCount(); }

bool SlideShow::Stretch() const
{
    try {
        return mStretchSetting && mStretchSetting();
    } catch (const std::exception& e) {
        qCWarning(lcDecode) << "the stretch setting cannot be read, pictures are not stretched:" << e.what();
        return false;
    }
}

void SlideShow::Form_Load(const QString& intervalText, std::unique_ptr<PluginScan> scan)
{
    std::int32_t interval = 4000;
    if (!intervalText.isEmpty()) {
        const std::optional<double> seconds = VarR8FromStr(intervalText);
        if (!seconds)
            throw RuntimeError(ErrorKind::TypeMismatch,
                               "interval is not a number: " + intervalText.toStdString());
        interval = RoundToInt32(*seconds * 1000);
    }
    // A timer takes 0 to 65535 ms; 0 leaves it without ticks.
    if (interval < 0 || interval > 65535)
        throw RuntimeError(ErrorKind::Overflow,
                           "interval out of range: " + std::to_string(interval) + " ms");
    Timer1.setInterval(interval);
    mBusy = false;

    // The plug-ins load while the window comes up; the activation step
    // takes them before the walk.
    mPluginScan = scan ? std::move(scan) : std::make_unique<PluginScan>(PluginFolders());
}

void SlideShow::LoadPlugins()
{
    if (!mPluginScan)
        return;
    mPluginManager = mPluginScan->Take();
    mPluginScan.reset();
    mPluginManager->SetStretch(Stretch());
    mStage.SetPluginManager(mPluginManager.get());
    mFolders.File1.SetPattern(mPluginManager->SupportExtension() + kBuiltInPattern);
}

bool SlideShow::WaitForPlugins()
{
    // Usually done by now, or within a few milliseconds; else the window
    // answers while a plug-in keeps the scan waiting, and Esc ends the show.
    if (mPluginScan && !mPluginScan->Wait(kQuickPluginWaitMs))
        while (!mPluginScan->Done())
            if (!mStage.WaitUntil([this] { return mPluginScan->Done(); }, 1000))
                return false;
    LoadPlugins();
    return true;
}

void SlideShow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::ActivationChange || mClosing)
        return;
    if (isActiveWindow()) {
        if (!mActivated) {
            mActivated = true;
            // Out of the activation event, so that the search's event pass
            // and the message box run from the event loop.
            QMetaObject::invokeMethod(this, [this] { Form_Activate(); }, Qt::QueuedConnection);
        }
        return;
    }
}

void SlideShow::Form_Activate()
{
    // A show is watched, not typed at: no screen saver until it ends.
    mScreenSaver.Inhibit(ProgramTitle(), QStringLiteral("スライドショー"));
    mStage.Pointer.SetHideWhenStill(mOptions.hidePointer);
    mRemote = std::make_unique<MprisRemote>(MprisRemote::Show{
        [this](MprisRemote::Action action) { RemoteAction(action); }, [this] { return Paused(); },
        [this] { return mShowStarted ? mStage.ShownPath() : QString(); }});
    if (wayland::Active())
        mIdleInhibitor = std::make_unique<wayland::IdleInhibitor>(windowHandle());
    Guarded([this] {
        const QSize screenPx = ScreenPixels();
        const std::int32_t twipsWidth = RoundToInt32(double(screenPx.width()) * kTwipsPerPixel);
        const std::int32_t twipsHeight = RoundToInt32(double(screenPx.height()) * kTwipsPerPixel);
        {
            QPainter painter(&mSurface);
            painter.setPen(QColor(255, 255, 255));
            painter.setFont(font());
            const int x = twipsWidth / 30 - 50;
            const int y = twipsHeight / 30;
            painter.drawText(QPoint(x, y + painter.fontMetrics().ascent()), kSearching);
        }
        update();
        QCoreApplication::processEvents();
        if (mClosing)
            return;

        mStage.Pointer.SetWaiting(true);
        // Esc ends the waits from here on.
        mBusy = true;
        if (!WaitForPlugins())
            return;
        SearchDirs(Tag());
        // The walk goes on in the background; the text and the hourglass stay
        // until the first folder with pictures is known.
        const bool found = mStartPicture.isEmpty() ? mRing.Start() : mRing.StartAt(mStartPicture);
        mBusy = false;
        mStage.Pointer.SetWaiting(false);
        if (mClosing)
            return;
        // Black from now on: the surface's memory goes.
        mSurface = QImage();
        mSurfaceUsed = false;
        update();
        if (!found) {
            EndWithMessage(kNoPictures);
            return;
        }
        mStage.FillWindow();
        SetTimer1Enabled(false);
        // Input counts from the first picture on; until then only the
        // window's end is taken.
        mBusy = true;
        if (!mStage.ShowPicture(mOptions.shuffle ? StartShuffle() : mRing.CurrentPath()))
            return;
        mBusy = false;
        mShowStarted = true;
        SetTimer1Enabled(true);
        ShowChanged();
        StartAnimation(0);
        LookAhead();
    });
}

void SlideShow::Form_Deactivate() { close(); }

void SlideShow::closeEvent(QCloseEvent* event)
{
    mClosing = true;
    SetTimer1Enabled(false);
    // A step waiting for its picture gives up at once.
    mStage.Interrupt();
    mScreenSaver.Release();
    mIdleInhibitor.reset();
    mFade->Stop();
    mAnimation->Stop();
    // Gone from the bus; the object stays with the window, since this may
    // run inside one of its calls.
    if (mRemote)
        mRemote->Close();
    QWidget::closeEvent(event);
}

void SlideShow::Timer1_Timer()
{
    Guarded([this] {
        mLastStepBack = mStepBack;
        mStepBack = false;
        try {
            AdvanceStep();
        } catch (const NoPicturesLeft&) {
            EndWithMessage(kNoPictures);
        }
    });
}

void SlideShow::AdvanceStep()
{
    SetTimer1Enabled(false);
    mBusy = true;
    // A step by key or click, or one that comes while the last one still
    // fades, shows its picture at once.
    const bool fade = mOptions.crossfade && mTimerStep && !mFade->Running();
    mFade->Stop();
    mAnimation->Stop();
    mStepHeld = false;
    const QPixmap before = fade ? grab() : QPixmap();
    // The window may close while the step waits for its picture; then
    // nothing of it is touched any more.
    const Direction direction = mLastStepBack ? Direction::Back : Direction::Forward;
    if (!mStage.ShowPicture(mShuffle ? ShuffleStep(direction) : mRing.Step(direction)))
        return;
    if (fade) {
        mFade->Start(before);
        mCaption->raise();
    }
    // Input made while the picture loaded arrives now and is dropped.
    QCoreApplication::processEvents();
    mBusy = false;
    SetTimer1Enabled(true);
    ShowChanged();
    // Frames after the first wait a moment after a key: a held key decodes none.
    StartAnimation(mTimerStep ? 0 : FramePlayer::kSettleMs);
    LookAhead();
}

void SlideShow::TimerStep()
{
    // Only the timer's own steps fade.
    mTimerStep = true;
    Timer1_Timer();
    mTimerStep = false;
}

void SlideShow::StartAnimation(int settleMs)
{
    if (mOptions.animate && mStage.Image1.Visible && !mClosing)
        mAnimation->Start(mStage.Image1.Picture(), mStage.Image1.Rendered().size(), settleMs);
}

QString SlideShow::StartShuffle()
{
    mShuffle = std::make_unique<ShuffleFeed>(mFolders, ShuffleSeed());
    mShuffle->StartAfter(mRing.FolderIndex(), mRing.FolderPaths());
    mShuffleFeeding.start(kShuffleFeedEveryMs);
    ShuffleOrder& order = mShuffle->Order();
    // A picture of the start folder the show was given comes first; else
    // any of the first folder's, the only ones known yet.
    if (!mStartPicture.isEmpty() && mRing.FolderIndex() == 0 &&
        order.StartWith(JoinPath(FindDir(0), mStartPicture)))
        return *order.Current();
    return order.Forward().value_or(mRing.CurrentPath());
}

void SlideShow::FeedShuffle()
{
    if (mClosing || !mShuffle) {
        mShuffleFeeding.stop();
        return;
    }
    if (mShuffle->Feed(kShuffleFeedTurn))
        mShuffleFeeding.stop();
}

QString SlideShow::ShuffleStep(Direction direction)
{
    ShuffleOrder& order = mShuffle->Order();
    if (direction == Direction::Back) {
        // Before the first picture shown there is nothing: it is shown again.
        if (std::optional<QString> back = order.Back())
            return *back;
        return order.Current().value_or(mStage.ShownPath());
    }
    // Every picture known has been shown in this round: the next comes
    // from the folders still being listed.
    const auto ready = [&] {
        if (!mShuffle->Complete())
            mShuffle->Feed(kShuffleFeedTurn);
        return order.Peek(1).has_value() || mShuffle->Complete();
    };
    while (!ready()) {
        mStage.Pointer.SetWaiting(true);
        if (!mStage.WaitUntil(ready, 1000))
            throw WaitCutShort{};
    }
    if (std::optional<QString> next = order.Forward())
        return *next;
    throw NoPicturesLeft{};
}

void SlideShow::LookAhead()
{
    if (!mShuffle) {
        mStage.LookAhead(mRing, mLastStepBack);
        return;
    }
    // The next few the way the last step went, then one the other way.
    ShuffleOrder& order = mShuffle->Order();
    QStringList wanted;
    const auto look = [&](bool back, int steps) {
        for (int i = 1; i <= steps; ++i) {
            const std::optional<QString> path = back ? order.PeekBack(i) : order.Peek(i);
            if (!path)
                break;
            wanted << *path;
        }
    };
    look(mLastStepBack, PicturePrefetch::kAhead);
    look(!mLastStepBack, 1);
    mStage.Want(wanted);
}

void SlideShow::Form_KeyDown(std::int16_t KeyCode, std::int16_t) { KeyAction(KeyCode); }
void SlideShow::Picture1_KeyDown(std::int16_t KeyCode, std::int16_t) { KeyAction(KeyCode); }

void SlideShow::KeyAction(std::int16_t KeyCode)
{
    if (mClosing)
        return;
    // Esc ends the show even while a picture is on its way.
    if (KeyCode == 27 && (mBusy || mShowStarted)) {
        close();
        return;
    }
    if (mBusy || !mShowStarted)
        return;
    switch (KeyCode) {
    case 39: Next(); break;
    case 37: Previous(); break;
    case 32: PauseResume(); break;
    case 27: close(); break;
    default: break;
    }
}

void SlideShow::Form_MouseDown(std::int16_t Button, std::int16_t, float X, float Y)
{
    ClickAction(Button, X, Y);
}

void SlideShow::Picture1_MouseDown(std::int16_t Button, std::int16_t, float X, float Y)
{
    ClickAction(Button, X, Y);
}

void SlideShow::Image1_MouseDown(std::int16_t Button, std::int16_t, float X, float Y)
{
    const float x = X + mStage.Image1.Left;
    const float y = Y + mStage.Image1.Top;
    ClickAction(Button, x, y);
}

void SlideShow::ClickAction(std::int16_t Button, float X, float Y)
{
    if (mClosing || (!mBusy && !mShowStarted))
        return;
    const QSize screenPx = ScreenPixels();
    const double screenWidth = double(screenPx.width()) * kTwipsPerPixel;
    const double screenHeight = double(screenPx.height()) * kTwipsPerPixel;
    const float leftLimit = float(screenWidth * 0.1 / 15);
    const float rightLimit = float(screenWidth * 0.9 / 15);
    const float topLimit = float(screenHeight * 0.1 / 15);
    // The top left corner ends the show even while a picture is on its way.
    if (X <= leftLimit && Y <= topLimit) {
        close();
        return;
    }
    if (mBusy || !mShowStarted)
        return;
    if (X >= rightLimit && Y <= topLimit)
        PauseResume();
    else if (Button == 1)
        Next();
    else if (Button == 2)
        Previous();
}

void SlideShow::Next() { Timer1_Timer(); }

void SlideShow::Previous()
{
    // The ring's step back lowers the file index by 2 before it steps.
    mStepBack = true;
    Timer1_Timer();
}

void SlideShow::PauseResume()
{
    if (Timer1Enabled()) {
        SetTimer1Enabled(false);
        mAnimation->SetPaused(true);
        mStepHeld = false;
        ShowChanged();
    } else
        Timer1_Timer();
}

bool SlideShow::Paused() const { return mShowStarted && !mBusy && !mTimerEnabled; }

void SlideShow::RemoteAction(MprisRemote::Action action)
{
    using Action = MprisRemote::Action;
    switch (action) {
    case Action::Next: KeyAction(39); break;
    case Action::Previous: KeyAction(37); break;
    case Action::PlayPause: KeyAction(32); break;
    case Action::Play:
        if (Paused())
            KeyAction(32);
        break;
    case Action::Pause:
        if (mShowStarted && !mBusy && mTimerEnabled)
            KeyAction(32);
        break;
    case Action::Stop: KeyAction(27); break;
    }
}

void SlideShow::keyPressEvent(QKeyEvent* event)
{
    Form_KeyDown(KeyCodeOf(event->key()), 0);
    event->accept();
}

void SlideShow::mousePressEvent(QMouseEvent* event)
{
    const QPointF pos = event->position() * DeviceRatio(*this);
    const std::int16_t button = ButtonOf(event->button());
    const ImageDisplay& image = mStage.Image1;
    if (image.Contains(pos))
        Image1_MouseDown(button, 0, float(pos.x()) - image.Left, float(pos.y()) - image.Top);
    else
        Form_MouseDown(button, 0, float(pos.x()), float(pos.y()));
    event->accept();
}

void SlideShow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    // Drawn in device pixels: one picture pixel on one screen pixel.
    painter.scale(1 / DeviceRatio(*this), 1 / DeviceRatio(*this));
    painter.drawImage(0, 0, mSurface);
    mStage.Paint(painter);
    // A scale can change without a resize or a screen change (Wayland).
    if (mShowStarted && !mBusy && !mStage.ShownPath().isEmpty() && mStage.ShownFor() != DeviceSize(*this))
        QueueRedrawForDevice();
}

bool SlideShow::event(QEvent* event)
{
    // Sent when the window moves to another screen, whose scale may differ.
    if (event->type() == QEvent::ScreenChangeInternal)
        QueueRedrawForDevice();
    return QWidget::event(event);
}

void SlideShow::QueueRedrawForDevice()
{
    if (mRedrawQueued || !mShowStarted)
        return;
    mRedrawQueued = true;
    QMetaObject::invokeMethod(this, [this] { RedrawForDevice(); }, Qt::QueuedConnection);
}

void SlideShow::RedrawForDevice()
{
    mRedrawQueued = false;
    if (mClosing || mBusy || !mShowStarted || mStage.ShownPath().isEmpty() || mStage.ShownFor() == DeviceSize(*this))
        return;
    Guarded([this] {
        mBusy = true;
        mStage.FillWindow();
        const bool shown = mStage.ShowPicture(mStage.ShownPath());
        mBusy = false;
        if (!shown)
            return;
        // The caption in the new size.
        mCaption->SetText(mCaption->Text());
        StartAnimation(0);
        LookAhead();
    });
}

void SlideShow::resizeEvent(QResizeEvent*)
{
    QueueRedrawForDevice();
    const QSize device = DeviceSize(*this);
    if (mSurface.size() == device || !mSurfaceUsed)
        return;
    QImage surface(device.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    surface.fill(Qt::black);
    if (!mSurface.isNull()) {
        QPainter painter(&surface);
        painter.drawImage(0, 0, mSurface);
    }
    mSurface = std::move(surface);
}

QSize SlideShow::ScreenPixels() const
{
    const QScreen* s = screen();
    if (!s)
        s = QGuiApplication::primaryScreen();
    if (!s)
        return DeviceSize(*this);
    const double ratio = s->devicePixelRatio();
    return QSize(int(std::lround(s->geometry().width() * ratio)), int(std::lround(s->geometry().height() * ratio)));
}

void SlideShow::SetTimer1Enabled(bool enabled)
{
    mTimerEnabled = enabled && !mClosing;
    // An interval of 0 keeps the timer enabled without ticks.
    if (mTimerEnabled && Timer1.interval() > 0)
        Timer1.start();
    else
        Timer1.stop();}

void SlideShow::ShowChanged()
{
    if (mOptions.caption) {
        const QString& path = mStage.ShownPath();
        // A plug-in's picture says nothing of its date.
        const QString date = mStage.Image1.Visible ? mStage.Image1.DateTaken() : QString();
        QString folder;
        bool inArchive = false;
        if (mShuffle) {
            folder = mShuffle->ArchiveOf(path);
            inArchive = !folder.isEmpty();
        } else if (!path.isEmpty()) {
            folder = FindDir(mRing.FolderIndex());
            inArchive = mFolders.IsArchive(mRing.FolderIndex());
        }
        mCaption->SetText(path.isEmpty() ? QString() : CaptionText(path, folder, inArchive, date));
    }
    // The remote's listeners hear of a new picture or a pause.
    if (mRemote)
        mRemote->Update();
}

template <class F> void SlideShow::Guarded(F&& body)
{
    try {
        body();
    } catch (const WaitCutShort&) {
        // The window is closing; nothing of the step is touched any more.
    } catch (const std::exception& e) {
        EndWithMessage(QString::fromUtf8(e.what()));
    } catch (...) {
        EndWithMessage(QStringLiteral("unknown error"));
    }
}

void SlideShow::EndWithMessage(const QString& text)
{
    SetTimer1Enabled(false);
    mShowStarted = false;
    mStage.Pointer.SetWaiting(false);
    if (!mClosing) {
        mInMessage = true;
        ShowMessage(this, text, MessageIcon::Critical);
        mInMessage = false;
    }
    close();
}
