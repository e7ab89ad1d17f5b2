#include "app/Form1.h"
#include "app/MenuRows.h"

#include <utility>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include "app/CommandLine.h"
#include "app/ListControls.h"
#include "app/TextWindow.h"
#include "app/Settings.h"
#include "app/frmVersion.h"
#include "common/AppPaths.h"
#include "common/PathText.h"
#include "controls/ClsUpDownTextBox.h"
#include "platform/MessageBox.h"
#include "pluginhost/PluginScan.h"
#include "slideshow/SlideShow.h"
#include "slideshow/WaylandSession.h"

namespace {

// Positions are kept in twips, 15 to a pixel.
QRect Twips(int left, int top, int width, int height)
{
    return QRect(left / 15, top / 15, width / 15, height / 15);
}

// Runs once the compositor has said which output holds the window it
// watches: when the window moves to another output it says so at once, and
// it has said so before it presents the window's next frame. A window that is
// never presented (minimised at start) waits a bounded time.
class OutputKnown : public QObject {
public:
    OutputKnown(QWindow* window, std::function<void()> then)
        : QObject(window), mThen(std::move(then)), mFrame(window)
    {
        connect(window, &QWindow::screenChanged, this, [this] { Finish(); });
        // The frame's answer arrives on a queue Qt does not watch. A frame
        // presented before the window was placed (sway may answer so while
        // the program starts slowly) leaves the first screen as Qt guessed
        // it: with more than one screen, that guess is given a while to be
        // corrected.
        connect(&mPoll, &QTimer::timeout, this, [this, window, guess = window->screen()] {
            if (!mFrame.Done())
                return;
            if (!mSinceFrame.isValid())
                mSinceFrame.start();
            if (window->screen() != guess || QGuiApplication::screens().size() < 2 || mSinceFrame.elapsed() >= 750)
                Finish();
        });
        mPoll.start(10);
        QTimer::singleShot(2000, this, [this] { Finish(); });
    }

private:
    void Finish()
    {
        if (!mThen)
            return;
        // Settling delivers the screen change, which calls this again.
        std::function<void()> then = std::exchange(mThen, nullptr);
        mPoll.stop();
        // Takes in what the compositor said before, for Qt's own objects.
        wayland::Settle();
        QTimer::singleShot(0, parent(), std::move(then));
        deleteLater();
    }

    std::function<void()> mThen;
    wayland::FramePresented mFrame;
    QTimer mPoll;
    QElapsedTimer mSinceFrame;
};

} // namespace

Form1::Form1(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                              | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(ProgramTitle());
    QIcon icon;
    for (const int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/velmora-%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);

    auto* client = new QWidget(this);
    client->setFixedSize(2415 / 15, 3750 / 15);
    setCentralWidget(client);

    Drive1 = new DriveListBox(client);
    Drive1->setGeometry(Twips(0, 0, 2415, 300));
    Dir1 = new DirListBox(client);
    Dir1->setGeometry(Twips(0, 360, 2415, 2610));
    Command1 = new QPushButton(QStringLiteral("スライドショー実行"), client);
    Command1->setGeometry(Twips(120, 3045, 2175, 375));
    Label1 = new QLabel(QStringLiteral("スライドショーの間隔          秒"), client);
    Label1->setGeometry(Twips(0, 3480, 2415, 255));
    // A monospaced gothic at 10 pixels puts the ten blanks exactly under
    // Text1 and the unit right of it, within the window's width.
    QFont labelFont;
    labelFont.setFamilies({QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP")});
    labelFont.setPixelSize(10);
    Label1->setFont(labelFont);
    Text1 = new QLineEdit(QStringLiteral("4"), client);
    Text1->setGeometry(Twips(1605, 3450, 555, 270));
    // Text1 lies over the blanks of the label.
    Text1->raise();

    // Tab order: folder list, button, interval box, drive list.
    setTabOrder(Dir1, Command1);
    setTabOrder(Command1, Text1);
    setTabOrder(Text1, Drive1);

    Menus = new MenuRows(this);
    setMenuWidget(Menus);
    File = Menus->addMenu(QStringLiteral("ファイル(&F)"));
    File->addAction(QStringLiteral("スライドショー(&S)"), this, [this] { File_s_Click(0); });
    File->addSeparator();
    File->addAction(QStringLiteral("終了(&X)"), this, [this] { File_s_Click(2); });
    // Options beyond the original program; all off unless the user turns them on.
    Options = Menus->addMenu(QStringLiteral("オプション(&O)"));
    ShowArchives = Options->addAction(QStringLiteral("書庫の中も表示(&Z)"));
    Animate = Options->addAction(QStringLiteral("アニメーションを再生"));
    Shuffle = Options->addAction(QStringLiteral("順番をシャッフル"));
    HidePointer = Options->addAction(QStringLiteral("マウスポインターを隠す"));
    Crossfade = Options->addAction(QStringLiteral("クロスフェード"));
    Caption = Options->addAction(QStringLiteral("ファイル名を表示"));
    for (const OptionItem& item : OptionItems())
        item.action->setCheckable(true);
    Help = Menus->addMenu(QStringLiteral("ヘルプ(&H)"));
    Help->addAction(QStringLiteral("目次(&M)"), this, [this] { Help_s_Click(0); });
    Help->addSeparator();
    Help->addAction(QStringLiteral("バージョン情報(&A)"), this, [this] { Help_s_Click(2); });
    Menus->Wrap(client->width());

    // The lists start where the program was started, before any event runs.
    Drive1->SetDrive(QDir::currentPath());
    Dir1->SetPath(QDir::currentPath());

    connect(Drive1, &DriveListBox::Change, this, &Form1::Drive1_Change);
    connect(Dir1, &DirListBox::KeyPress, this, &Form1::Dir1_KeyPress);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);

    Form_Load();

    adjustSize();
    setFixedSize(sizeHint());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    Dir1->setFocus();
}

Form1::~Form1() = default;

SlideShow* Form1::CurrentShow() const { return mSlideShow; }

void Form1::Form_Load()
{
    const QString dirPath = Settings::ReadDirPath();
    Drive1->SetDrive(dirPath); // runs the drive change when the drive differs
    Dir1->SetPath(dirPath);    // a folder that is gone leaves the list as it is
    QString time = Settings::ReadTime();
    mStoredTime = time;
    mUpDown = std::make_unique<ClsUpDownTextBox>();
    const std::int32_t number = Settings::TimeValueNumber(time);
    mUpDown->CreateUpDown(Text1, 50, 1, number);
    for (const OptionItem& item : OptionItems())
        item.action->setChecked(Settings::ReadOption(item.key));
}

std::vector<Form1::OptionItem> Form1::OptionItems() const
{
    return {{QStringLiteral("Archives"), ShowArchives}, {QStringLiteral("Animate"), Animate},
            {QStringLiteral("Shuffle"), Shuffle},       {QStringLiteral("HidePointer"), HidePointer},
            {QStringLiteral("Crossfade"), Crossfade},   {QStringLiteral("Caption"), Caption}};
}

ShowOptions Form1::ChosenOptions() const
{
    ShowOptions options;
    options.animate = Animate->isChecked();
    options.shuffle = Shuffle->isChecked();
    options.hidePointer = HidePointer->isChecked();
    options.crossfade = Crossfade->isChecked();
    options.caption = Caption->isChecked();
    return options;
}

void Form1::Drive1_Change()
{
    if (Dir1->OpenDrive(Drive1->Drive()))
        return;
    ShowMessage(this, QStringLiteral("メディアが挿入されていません"), MessageIcon::None);
    // Back to the drive the folder list shows; that change opens it again.
    Drive1->SetDrive(Dir1->Path());
}

void Form1::Dir1_KeyPress()
{
    Dir1->SetPath(Dir1->HighlightedPath());
}

void Form1::Command1_Click()
{
    mSlideShow = nullptr;
    // The folder's exact name: a trailing blank is part of it.
    const QString startFolder = JoinPath(Dir1->HighlightedPath(), QString());
    // The show opens where the user looks: on the screen of this window.
    auto* show = new SlideShow(Text1->text(), &Settings::ReadStretch, nullptr, ScreenOfWindow(),
                               std::exchange(mEarlyScan, nullptr));
    show->SetShowArchives(ShowArchives->isChecked());
    show->SetOptions(ChosenOptions());
    if (show->StartGivenUp()) {
        delete show;
        return;
    }
    show->SetTag(startFolder);
    show->SetStartPicture(std::exchange(mStartPicture, QString()));
    mSlideShow = show;
    show->showFullScreen();
}

QScreen* Form1::ScreenOfWindow() const
{
    // A Wayland client is not told where its windows are, only which output
    // each entered.
    if (wayland::Active() && windowHandle())
        return windowHandle()->screen();
    return QGuiApplication::screenAt(frameGeometry().center());
}

void Form1::WhenPlaced(std::function<void()> then)
{
    if (!wayland::Active() || !windowHandle())
        then();
    else
        new OutputKnown(windowHandle(), std::move(then));
}

void Form1::Open(const StartRequest& request, std::unique_ptr<PluginScan> scan)
{
    if (!request.folder.isEmpty()) {
        Drive1->SetDrive(request.folder);
        Dir1->SetPath(request.folder);
    }
    if (request.interval) {
        mIntervalOfRun = QString::number(*request.interval);
        Text1->setText(*mIntervalOfRun);
    }
    if (request.startShow) {
        mStartPicture = QFileInfo(request.picture).fileName();
        mEarlyScan = std::move(scan);
        // On the output that holds this window; not twice when the user
        // pressed the button meanwhile.
        WhenPlaced([this] {
            if (!mSlideShow)
                Command1_Click();
        });
    }
}

void Form1::File_s_Click(int Index)
{
    if (Index == 0)
        Command1_Click();
    else if (Index == 2)
        close();
}

void Form1::Help_s_Click(int Index)
{
    if (Index == 0) {
        OpenDocument(AddPathSeparator(AppFolder()) + QStringLiteral("Help.txt"));
    } else if (Index == 2) {
        frmVersion about(this, ShowArchives->isChecked());
        if (!about.GivenUp())
            about.exec();
    }
}

void Form1::OpenDocument(const QString& path)
{
    // The desktop's program for the file; without a launcher (no xdg-open),
    // a window of our own shows the text. Nothing is shown when it is missing.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)) && QFileInfo(path).isFile())
        (new TextWindow(path, this))->show();
}

void Form1::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (mUnloaded)
        return;
    mUnloaded = true;
    if (mSlideShow)
        mSlideShow->close();
    Settings::WriteDirPath(Dir1->Path());
    // An interval given for this run only leaves the stored one.
    Settings::WriteTime(mIntervalOfRun && Text1->text() == *mIntervalOfRun ? mStoredTime : Text1->text());
    for (const OptionItem& item : OptionItems())
        Settings::WriteOption(item.key, item.action->isChecked());
    mUpDown.reset();
    QCoreApplication::quit();
}
