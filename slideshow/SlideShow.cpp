#include "slideshow/SlideShow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include "app/Settings.h"
#include "common/AppPaths.h"
#include "common/CheckedMath.h"
#include "common/PathText.h"
#include "platform/NumberRules.h"
#include "plugins/ClsPluginManager.h"

namespace {

const QString kProgramTitle = QStringLiteral("Velmora");
const QString kNoPictures = QStringLiteral("有効な画像データがありません");
const QString kSearching = QStringLiteral("フォルダーを検索中･･･");
const QString kBuiltInPattern =
    QStringLiteral("*.jpeg;*.jpg;*.bmp;*.dib;*.ico;*.rle;*.gif;*.wmf;*.emf;*.png;*.cur");

constexpr float kTwipsPerPixel = 15;

// How many folders without pictures the look-ahead passes before it gives up.
constexpr std::int32_t kPeekFolders = 8;

// Every folder of the ring was found without pictures: the show cannot go on.
struct NoPicturesLeft {};

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

SlideShow::SlideShow(const QString& intervalText, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setWindowTitle(kProgramTitle);
    setFocusPolicy(Qt::StrongFocus);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);

    if (QScreen* s = screen())
        setGeometry(s->geometry());
    setWindowState(Qt::WindowFullScreen);

    Picture1 = new PictureBox(this);
    Picture1->hide();
    Picture1->onKeyDown = [this](int key) { Picture1_KeyDown(KeyCodeOf(key), 0); };
    Picture1->onMouseDown = [this](Qt::MouseButton button, QPointF pos) {
        Picture1_MouseDown(ButtonOf(button), 0, float(pos.x()), float(pos.y()));
    };

    Timer1.setTimerType(Qt::CoarseTimer);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });

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

    Form_Load(intervalText);
}

SlideShow::~SlideShow() = default;

void SlideShow::SetTag(const QString& tag) { mTag = tag; }
QString SlideShow::Tag() const { return mTag; }

void SlideShow::SearchDirs(const QString& DirPath) { mFolders.SearchDirs(DirPath); }
QString SlideShow::FindDir(std::int32_t Index) const { return mFolders.FindDir(Index); }
std::int32_t SlideShow::ListCount() const { return mFolders.ListCount(); }

bool SlideShow::Stretch() const
{
    try {
        return Settings::ReadStretch();
    } catch (...) {
        return false;
    }
}

void SlideShow::Form_Load(const QString& intervalText)
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

    mFileIndex = 0;
    mBusy = VbFalse;
    mFolderIndex = 0;
    mFirstFolder = 0;

    mPluginManager = std::make_unique<ClsPluginManager>();
    mPluginManager->Initialize(AddPathSeparator(AppFolder()) + "Plugin");
    mPluginManager->SetStretch(Stretch());
    File1.SetPattern(mPluginManager->SupportExtension() + kBuiltInPattern);
    mPeekList.SetPattern(File1.Pattern());
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
    Guarded([this] {
        mFileIndex = 0;

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

        setCursor(Qt::WaitCursor);
        SearchDirs(Tag());
        unsetCursor();
        File1.SetPath(FindDir(mFolderIndex));
        ClearSurface();

        for (;;) {
            if (File1.ListCount() != 0) {
                mFirstFolder = mFolderIndex;
                Picture1->setGeometry(0, 0, width(), height());
                SetTimer1Enabled(false);
                ShowPicture(AddPathSeparator(FindDir(mFolderIndex)) + File1.List(0));
                mShowStarted = true;
                SetTimer1Enabled(true);
                PrefetchAround();
                return;
            }
            ++mFolderIndex;
            if (mFolderIndex >= ListCount()) {
                EndWithMessage(kNoPictures);
                return;
            }
            File1.SetPath(FindDir(mFolderIndex));
        }
    });
}

void SlideShow::Form_Deactivate() { close(); }

void SlideShow::closeEvent(QCloseEvent* event)
{
    mClosing = true;
    SetTimer1Enabled(false);
    QWidget::closeEvent(event);
}

void SlideShow::Timer1_Timer()
{
    Guarded([this] {
        mEmptyInARow = 0;
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
    // A position without a file (folder 0 without pictures after a wrap)
    // runs the step again from its start.
    for (;;) {
        SetTimer1Enabled(false);
        mBusy = VbTrue;
        mFileIndex = CheckedAdd(mFileIndex, 1);

        if (mFileIndex >= File1.ListCount()) {
            if (mFolderIndex >= ListCount() - 1) {
                mFolderIndex = 0;
                PointFile1(0);
                mFileIndex = 0;
            } else {
                ++mFolderIndex;
                PointFile1(mFolderIndex);
                while (File1.ListCount() == 0) {
                    ++mFolderIndex;
                    if (mFolderIndex >= ListCount())
                        mFolderIndex = 0;
                    PointFile1(mFolderIndex);
                }
                mFileIndex = 0;
            }
        } else if (mFileIndex < 0) {
            --mFolderIndex;
            if (mFolderIndex < mFirstFolder)
                mFolderIndex = ListCount() - 1;
            PointFile1(mFolderIndex);
            while (File1.ListCount() == 0) {
                --mFolderIndex;
                // Only when files were removed during the show does the walk
                // pass the first folder; it wraps rather than leave the list.
                if (mFolderIndex < 0)
                    mFolderIndex = ListCount() - 1;
                PointFile1(mFolderIndex);
            }
            mFileIndex = File1.ListCount() + mFileIndex;
        }

        const QString name = File1.List(mFileIndex);
        if (name.isEmpty())
            continue;
        ShowPicture(AddPathSeparator(FindDir(mFolderIndex)) + name);
        // Input made while the picture loaded arrives now and is dropped.
        QCoreApplication::processEvents();
        mBusy = VbFalse;
        SetTimer1Enabled(true);
        PrefetchAround();
        return;
    }
}

void SlideShow::PointFile1(std::int32_t index)
{
    File1.SetPath(FindDir(index));
    if (File1.ListCount() != 0) {
        mEmptyInARow = 0;
        return;
    }
    if (++mEmptyInARow >= ListCount())
        throw NoPicturesLeft{};
}

void SlideShow::ShowPicture(const QString& path)
{
    const QSize window = size();
    const bool stretch = Stretch();
    mShownStretch = stretch;
    Picture1->hide();
    std::optional<PreparedPicture> prepared = mPrefetch.Take(path, window, stretch);
    if (!prepared) {
        setCursor(Qt::WaitCursor);
        repaint();
        prepared = PreparePicture(path, window, stretch);
    }
    if (prepared->shown) {
        Image1 = prepared->display;
        Image1.Visible = true;
        update();
        unsetCursor();
        mPrefetch.KeepShown(std::move(*prepared));
        return;
    }
    mPrefetch.KeepShown({});
    setCursor(Qt::WaitCursor);
    Image1.Visible = false;
    Image1.SetPicture(nullptr);
    Picture1->show();
    Picture1->Cls();
    const HDC dc = Picture1->hDC();
    const std::int32_t height = RoundToInt32(Picture1->height());
    const std::int32_t width = RoundToInt32(Picture1->width());
    try {
        mPluginManager->DrawPictureFile(path, dc, height, width, 0, 0, QString());
    } catch (const RuntimeError& e) {
        // A plug-in that crashed, hung or could not be reached costs this
        // one picture, which stays black; errors of the fit still end the show.
        if (e.Kind() != ErrorKind::PluginFailed)
            throw;
    }
    Picture1->repaint();
    update();
    unsetCursor();
}

void SlideShow::PrefetchAround()
{
    if (!mPrefetch.Enabled() || mClosing)
        return;
    const std::int32_t ahead = mLastStepBack ? -1 : 1;
    QStringList wanted;
    for (const std::int32_t direction : {ahead, -ahead}) {
        const QString path = PeekPath(direction);
        if (!path.isEmpty())
            wanted << path;
    }
    mPrefetch.Want(wanted, size(), mShownStretch);
}

QString SlideShow::PeekPath(std::int32_t direction)
{
    try {
        const std::int32_t index = mFileIndex + direction;
        if (index >= 0 && index < File1.ListCount())
            return AddPathSeparator(FindDir(mFolderIndex)) + File1.List(index);
        // The same turns as the step: forward through the ring from the last
        // folder to the first; back from the first folder of the show to the
        // last, and past folder 0 only when files went missing.
        std::int32_t folder = mFolderIndex;
        for (std::int32_t tries = 0; tries < std::min(kPeekFolders, ListCount()); ++tries) {
            if (direction > 0) {
                folder = folder >= ListCount() - 1 ? 0 : folder + 1;
            } else {
                --folder;
                if (folder < (tries == 0 ? mFirstFolder : 0))
                    folder = ListCount() - 1;
            }
            mPeekList.SetPath(FindDir(folder));
            if (mPeekList.ListCount() != 0)
                return AddPathSeparator(FindDir(folder)) +
                       mPeekList.List(direction > 0 ? 0 : mPeekList.ListCount() - 1);
        }
    } catch (...) {
        // Looking ahead is only a guess; the step itself reports what is wrong.
    }
    return QString();
}

void SlideShow::Form_KeyDown(std::int16_t KeyCode, std::int16_t) { KeyAction(KeyCode); }
void SlideShow::Picture1_KeyDown(std::int16_t KeyCode, std::int16_t) { KeyAction(KeyCode); }

void SlideShow::KeyAction(std::int16_t KeyCode)
{
    if (mBusy || !mShowStarted || mClosing)
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
    const float x = X + Image1.Left;
    const float y = Y + Image1.Top;
    ClickAction(Button, x, y);
}

void SlideShow::ClickAction(std::int16_t Button, float X, float Y)
{
    if (mBusy || !mShowStarted || mClosing)
        return;
    const QSize screenPx = ScreenPixels();
    const double screenWidth = double(screenPx.width()) * kTwipsPerPixel;
    const double screenHeight = double(screenPx.height()) * kTwipsPerPixel;
    const float leftLimit = float(screenWidth * 0.1 / 15);
    const float rightLimit = float(screenWidth * 0.9 / 15);
    const float topLimit = float(screenHeight * 0.1 / 15);
    if (X <= leftLimit && Y <= topLimit)
        close();
    else if (X >= rightLimit && Y <= topLimit)
        PauseResume();
    else if (Button == 1)
        Next();
    else if (Button == 2)
        Previous();
}

void SlideShow::Next() { Timer1_Timer(); }

void SlideShow::Previous()
{
    mFileIndex -= 2;
    mStepBack = true;
    Timer1_Timer();
}

void SlideShow::PauseResume()
{
    if (Timer1Enabled())
        SetTimer1Enabled(false);
    else
        Timer1_Timer();
}

void SlideShow::keyPressEvent(QKeyEvent* event)
{
    Form_KeyDown(KeyCodeOf(event->key()), 0);
    event->accept();
}

void SlideShow::mousePressEvent(QMouseEvent* event)
{
    const QPointF pos = event->position();
    const std::int16_t button = ButtonOf(event->button());
    if (Image1.Contains(pos))
        Image1_MouseDown(button, 0, float(pos.x()) - Image1.Left, float(pos.y()) - Image1.Top);
    else
        Form_MouseDown(button, 0, float(pos.x()), float(pos.y()));
    event->accept();
}

void SlideShow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(0, 0, mSurface);
    Image1.Paint(painter);
}

void SlideShow::resizeEvent(QResizeEvent*)
{
    if (mSurface.size() == size())
        return;
    QImage surface(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    surface.fill(Qt::black);
    if (!mSurface.isNull()) {
        QPainter painter(&surface);
        painter.drawImage(0, 0, mSurface);
    }
    mSurface = std::move(surface);
}

void SlideShow::ClearSurface()
{
    mSurface.fill(Qt::black);
    update();
}

QSize SlideShow::ScreenPixels() const
{
    const QScreen* s = screen();
    if (!s)
        s = QGuiApplication::primaryScreen();
    return s ? s->geometry().size() : size();
}

void SlideShow::SetTimer1Enabled(bool enabled)
{
    mTimerEnabled = enabled && !mClosing;
    // An interval of 0 keeps the timer enabled without ticks.
    if (mTimerEnabled && Timer1.interval() > 0)
        Timer1.start();
    else
        Timer1.stop();
}

template <class F> void SlideShow::Guarded(F&& body)
{
    try {
        body();
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
    unsetCursor();
    if (!mClosing) {
        mInMessage = true;
        QMessageBox box(QMessageBox::Critical, kProgramTitle, text, QMessageBox::Ok, this);
        box.exec();
        mInMessage = false;
    }
    close();
}
