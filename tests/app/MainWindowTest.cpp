#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QListWidget>
#include <QPointer>
#include <QTest>
#include <QToolTip>
#include <QHelpEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QMimeDatabase>
#include <QPlainTextEdit>

#include <algorithm>
#include <map>

#include "MessageBoxCloser.h"
#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/MenuRows.h"
#include "imaging/PictureFile.h"
#include "app/ListControls.h"
#include "app/TextWindow.h"
#include "common/CodePage.h"
#include "platform/Drives.h"
#include "slideshow/SlideShow.h"
#include "support/TestSupport.h"

namespace {

// A program folder and a folder of pictures with one subfolder.
struct Program {
    Program()
    {
        pictures = program.MakeDir("pics");
        sub = program.MakeDir("pics/sub");
        QImage picture(8, 6, QImage::Format_RGB32);
        picture.fill(Qt::red);
        picture.save(pictures + "/a.png");
        picture.save(sub + "/b.png");
    }
    int Row(const Form1& window, const QString& path) const
    {
        for (int i = 0; i < window.Dir1->count(); ++i)
            if (window.Dir1->EntryPath(i) == path)
                return i;
        return -1;
    }
    ProgramFolder program;
    QString pictures;
    QString sub;
};

void Settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QByteArray Settings(const QString& dir, const char* rest = "") { return "[Main]\nDirPath=" + dir.toUtf8() + "\n" + rest; }

} // namespace

TEST(MainWindow, WithoutSettingsOpensTheProgramFolderAndClosingSavesBothKeys)
{
    Program p;
    {
        Form1 window;
        EXPECT_EQ(window.windowTitle(), "Velmora");
        EXPECT_EQ(window.Dir1->Path(), p.program.Path());
        EXPECT_EQ(window.Text1->text(), "4");
        EXPECT_EQ(window.Command1->text(), QStringLiteral("スライドショー実行"));
        EXPECT_EQ(window.Label1->text(), QStringLiteral("スライドショーの間隔          秒"));
        EXPECT_EQ(window.Text1->geometry().topLeft(), QPoint(107, 230));
        EXPECT_EQ(window.File->title(), QStringLiteral("ファイル(&F)"));
        EXPECT_EQ(window.Help->title(), QStringLiteral("ヘルプ(&H)"));

        // A show on the root folder gets a tag with one separator. Ended
        // before it is ever activated, so the root is never walked.
        ASSERT_TRUE(window.Dir1->SetPath("/"));
        EXPECT_EQ(window.Dir1->HighlightedPath(), "/");
        window.Command1_Click();
        QPointer<SlideShow> show = window.CurrentShow();
        ASSERT_TRUE(show);
        EXPECT_EQ(show->Tag(), "/");
        show->close();
        Settle();
        EXPECT_TRUE(show.isNull());
        window.close();
    }
    EXPECT_EQ(p.program.ReadSettings(), QByteArray("[Main]\nDirPath=/\nTime=4\n"));
}

// The options menu stands between ファイル and ヘルプ. Each option is on only
// when its key reads "1"; it is written when used and never added to a file
// that did not have it. The show started gets the options as they stand.
TEST(MainWindow, OptionsMenuHoldsTheOptionsStoredOnlyWhenUsed)
{
    Program p;
    const QByteArray base = Settings(p.pictures, "Time=4\n");
    const auto actionOf = [](Form1& window, const QByteArray& key) -> QAction* {
        const std::map<QByteArray, QAction*> actions = {
            {"Archives", window.ShowArchives}, {"Animate", window.Animate},     {"Shuffle", window.Shuffle},
            {"HidePointer", window.HidePointer}, {"Crossfade", window.Crossfade}, {"Caption", window.Caption}};
        return actions.at(key);
    };
    const std::pair<const char*, bool> stored[] = {{"1", true}, {"0", false}, {"2", false}, {"01", false},
                                                   {"true", false}, {"", false}};
    for (const QByteArray key : {"Archives", "Animate", "Shuffle", "HidePointer", "Crossfade", "Caption"})
        for (const auto& [value, on] : stored) {
            p.program.WriteSettings(base + key + "=" + value + "\n");
            Form1 window;
            EXPECT_EQ(actionOf(window, key)->isChecked(), on) << key.constData() << "=" << value;
            actionOf(window, key)->trigger(); // the user flips it
            window.close();
            EXPECT_EQ(p.program.ReadSettings(), base + key + "=" + (on ? "0" : "1") + "\n") << key.constData() << "=" << value;
        }
    p.program.WriteSettings(base);
    Form1 window;
    QStringList menus;
    for (const QAction* menu : window.Menus->MenuActions())
        menus << menu->text();
    EXPECT_EQ(menus, QStringList({QStringLiteral("ファイル(&F)"), QStringLiteral("オプション(&O)"), QStringLiteral("ヘルプ(&H)")}));
    // The window is narrower than its menus: they wrap onto rows that fit,
    // every menu in sight.
    EXPECT_GT(window.Menus->Rows().size(), 1);
    for (const QMenuBar* row : window.Menus->Rows()) {
        EXPECT_LE(row->sizeHint().width(), window.centralWidget()->width());
        for (QAction* menu : row->actions())
            EXPECT_TRUE(row->actionGeometry(menu).isValid() && row->rect().contains(row->actionGeometry(menu)))
                << menu->text().toStdString();
    }
    QStringList items;
    for (const QAction* item : window.Options->actions()) {
        items << item->text();
        EXPECT_TRUE(item->isCheckable());
        EXPECT_FALSE(item->isChecked());
    }
    EXPECT_EQ(items, QStringList({QStringLiteral("書庫の中も表示(&Z)"), QStringLiteral("アニメーションを再生"),
                                  QStringLiteral("順番をシャッフル"),
                                  QStringLiteral("マウスポインターを隠す"),
                                  QStringLiteral("クロスフェード"), QStringLiteral("ファイル名を表示")}));

    // Off, the show is the original one; each one turned on reaches it.
    const auto optionsOfShow = [&] {
        window.Command1_Click();
        const QPointer<SlideShow> show = window.CurrentShow();
        EXPECT_FALSE(show.isNull());
        const ShowOptions options = show ? show->Options() : ShowOptions{};
        if (show)
            show->close();
        WaitFor([&] { return show.isNull(); });
        return options;
    };
    const ShowOptions off = optionsOfShow();
    EXPECT_FALSE(off.animate || off.shuffle || off.hidePointer || off.crossfade || off.caption);
    window.Animate->trigger();
    window.HidePointer->trigger();
    window.Caption->trigger();
    const ShowOptions on = optionsOfShow();
    EXPECT_TRUE(on.animate && on.hidePointer && on.caption);
    EXPECT_FALSE(on.shuffle || on.crossfade);
    window.Animate->trigger();
    window.HidePointer->trigger();
    window.Caption->trigger();
    window.close();
    EXPECT_EQ(p.program.ReadSettings(), base); // off in the end and never stored: not written
}

TEST(MainWindow, LoadRestoresFolderAndIntervalStartUsesTheHighlightedEntryAndClosingSaves)
{
    Program p;
    p.program.WriteSettings(Settings(p.program.Path() + "/gone", "Time=99\n"));
    {
        Form1 window;
        EXPECT_EQ(window.Text1->text(), "4"); // by the time rule
        EXPECT_TRUE(QFileInfo(window.Dir1->Path()).isDir()); // the missing folder is ignored
    }
    p.program.WriteSettings(Settings(p.pictures, "Time=7\n"));
    Form1 window;
    EXPECT_EQ(window.Dir1->Path(), p.pictures);
    EXPECT_EQ(window.Text1->text(), "7");
    // The list: the folders down to the opened one, then its subfolders.
    EXPECT_EQ(window.Dir1->EntryPath(0), "/");
    EXPECT_EQ(window.Dir1->EntryPath(window.Dir1->count() - 1), p.sub);
    EXPECT_EQ(window.Dir1->HighlightedPath(), p.pictures);
    window.show();
    window.Command1_Click();
    QPointer<SlideShow> first = window.CurrentShow();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Tag(), p.pictures + "/");
    first->close();
    Settle();

    // A single click only moves the highlight; Start takes the highlighted folder.
    window.Dir1->setCurrentRow(p.Row(window, p.sub));
    EXPECT_EQ(window.Dir1->Path(), p.pictures);
    window.File_s_Click(0);
    QPointer<SlideShow> second = window.CurrentShow();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->Tag(), p.sub + "/");

    // An empty interval is allowed; closing closes the show first and saves.
    window.Text1->setText("");
    window.File_s_Click(2);
    Settle();
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(p.program.ReadSettings(), Settings(p.pictures, "Time=\n"));
}

TEST(MainWindow, CharacterKeysOpenTheHighlightedFolderArrowsOnlyMoveAndDoubleClickOpens)
{
    Program p;
    p.program.WriteSettings(Settings(p.pictures));
    Form1 window;
    window.show();
    const int subRow = p.Row(window, p.sub);
    ASSERT_GT(subRow, 0);
    window.Dir1->setFocus();
    QTest::keyClick(window.Dir1, Qt::Key_Down);
    EXPECT_EQ(window.Dir1->currentRow(), subRow);
    EXPECT_EQ(window.Dir1->Path(), p.pictures);
    QTest::keyClick(window.Dir1, Qt::Key_Return);
    EXPECT_EQ(window.Dir1->Path(), p.sub);
    EXPECT_EQ(window.Dir1->HighlightedPath(), p.sub);

    // Back up by a double click on the parent entry.
    const int parentRow = p.Row(window, p.pictures);
    QListWidgetItem* parent = window.Dir1->item(parentRow);
    const QRect box = window.Dir1->visualItemRect(parent);
    QTest::mouseClick(window.Dir1->viewport(), Qt::LeftButton, {}, box.center());
    EXPECT_EQ(window.Dir1->Path(), p.sub); // a single click only highlights
    QTest::mouseDClick(window.Dir1->viewport(), Qt::LeftButton, {}, box.center());
    EXPECT_EQ(window.Dir1->Path(), p.pictures);
}

TEST(MainWindow, DriveWithoutMediaShowsTheMessageAndGoesBack)
{
    Program p;
    const QString table = p.program.WriteFile(
        "mountinfo", "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                     "2 1 11:0 / /media/velmora-test\\040cdrom rw - iso9660 /dev/sr0 ro\n"
                     "3 1 0:5 / /proc rw - proc proc rw\n");
    SetMountTable(table);
    struct Restore {
        ~Restore() { SetMountTable(QString()); }
    } restore;
    p.program.WriteSettings(Settings(p.pictures));
    Form1 window;
    ASSERT_EQ(window.Drive1->count(), 2);
    EXPECT_EQ(window.Drive1->Drive(), "/");
    EXPECT_EQ(window.Drive1->itemText(1), "/media/velmora-test cdrom"); // blanks come escaped
    MessageBoxCloser closer;
    window.Drive1->setCurrentIndex(1); // the drive that cannot be opened
    ASSERT_EQ(closer.Shown().size(), 1);
    EXPECT_EQ(closer.Shown()[0].text, QStringLiteral("メディアが挿入されていません"));
    EXPECT_EQ(closer.Shown()[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(closer.Shown()[0].title, "Velmora");
    EXPECT_EQ(window.Drive1->Drive(), "/");
    EXPECT_EQ(window.Dir1->Path(), p.pictures); // that drive's current folder
}

TEST(MainWindow, AFolderNameTheListCutsShowsWholeInATooltip)
{
    Program p;
    const QString longName = QString::fromUtf8("日本語フォルダ・二〇二六年の旅行の写真すべて");
    p.program.MakeDir("pics/" + longName);
    p.program.WriteSettings(Settings(p.pictures));
    Form1 window;
    window.show();
    Settle();
    // Hiding a tooltip takes a moment, so the one that should not show is
    // asked for first.
    const auto tipAt = [&](const QString& path) {
        const int row = p.Row(window, path);
        EXPECT_GE(row, 0) << path.toStdString();
        const QRect rect = window.Dir1->visualItemRect(window.Dir1->item(row));
        QHelpEvent help(QEvent::ToolTip, rect.center(), window.Dir1->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(window.Dir1->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(tipAt(p.sub), QString()) << "a name that fits needs no tooltip";
    EXPECT_EQ(tipAt(p.pictures + "/" + longName), longName);
    QToolTip::hideText();
}

TEST(MainWindow, EscWhileAPluginHangsGivesUpTheAboutBoxAndEndsTheShowAndTheWindowStaysUsable)
{
    Program p;
    // The plug-in tells its version, then never answers; the bridge would
    // wait a minute.
    p.program.AddPlugin("vhanginfo.spi");
    ScopedEnvironment limit("VELMORA_SPI_TIMEOUT_MS", "60000");
    TempTree scratch;
    const QString calls = scratch.Path() + "/calls";
    ScopedEnvironment log("VELMORA_TEST_CALLS", calls);
    p.program.WriteSettings(Settings(p.pictures, "Time=4\n"));
    Form1 window;
    window.show();

    // Esc once the plug-in is in the hanging call, counted from the calls it
    // has logged so far.
    int escapes = 0;
    const auto escWhenHanging = [&](int hangingCalls) {
        auto* poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&, poll, hangingCalls] {
            QFile file(calls);
            // Pressed where the user looks: in the show once it is up, when
            // one is open.
            QWidget* target = window.CurrentShow();
            if (target && !window.CurrentShow()->Busy())
                return;
            if (file.open(QIODevice::ReadOnly) && file.readAll().count("GetPluginInfo 1\n") >= hangingCalls) {
                // Deleted only when the loop that runs this turns again.
                poll->stop();
                poll->deleteLater();
                ++escapes;
                QTest::keyClick(target ? target : &window, Qt::Key_Escape);
            }
        });
        poll->start(20);
    };
    // Should a box open all the same, it is closed, so the test fails
    // instead of waiting for ever.
    bool boxOpened = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            boxOpened = true;
            box->close();
        }
    });
    closer.start(100);

    QElapsedTimer clock;
    clock.start();
    escWhenHanging(1);
    window.Help_s_Click(2);
    EXPECT_EQ(escapes, 1);
    EXPECT_FALSE(boxOpened) << "no about box after Esc";

    // A show reads its plug-ins while its window is up: the window answers
    // meanwhile, and Esc ends the show.
    escWhenHanging(2);
    window.Command1_Click();
    const QPointer<SlideShow> show = window.CurrentShow();
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(WaitFor([&] { return show.isNull(); }, 30000)) << "the show ends with Esc";
    EXPECT_EQ(escapes, 2);
    EXPECT_FALSE(boxOpened) << "no message either";
    // Far below the bridge's limit: the waits ended with Esc.
    EXPECT_LT(clock.elapsed(), 30000);

    // The window goes on as before and the next scan asks the plug-in again.
    escWhenHanging(3);
    window.Help_s_Click(2);
    EXPECT_EQ(escapes, 3);
    EXPECT_TRUE(window.isVisible());
}

// velmora [OPTIONS] [FOLDER|PICTURE]: what each start asks, and the bad ones.
TEST(CommandLine, AsksForAFolderOrAPictureAndRefusesWhatItCannotTake)
{
    TempTree tree;
    const QString folder = tree.MakeDir("pics");
    const QString picture = tree.WriteFile("pics/b.bmp", "BM");
    const QString relative = QDir::current().relativeFilePath(picture);
    struct Case {
        QStringList arguments;
        CommandLine::Outcome outcome;
        QString folder, picture;
        std::optional<int> interval;
        bool startShow;
        const char* said; // in the help, the version or the error
    };
    using O = CommandLine::Outcome;
    const Case cases[] = {
        {{}, O::Run, {}, {}, {}, false, ""},
        {{folder}, O::Run, folder, {}, {}, true, ""},
        {{relative, "--interval", "12"}, O::Run, folder, picture, 12, true, ""},
        {{"--no-show", folder + "/"}, O::Run, folder, {}, {}, false, ""},
        {{"--help"}, O::Done, {}, {}, {}, true, "--no-show"},
        {{"--version"}, O::Done, {}, {}, {}, true, "Velmora"},
        {{"--bogus", folder}, O::Failed, {}, {}, {}, true, "bogus"},
        {{tree.Path() + "/gone"}, O::Failed, {}, {}, {}, true, "no such file or folder"},
        {{"--interval", "51", folder}, O::Failed, {}, {}, {}, true, "1 to 50"},
        {{"--interval", "x", folder}, O::Failed, {}, {}, {}, true, "1 to 50"},
        {{folder, picture}, O::Failed, {}, {}, {}, true, "at most"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const CommandLine line = ParseCommandLine(QStringList{"velmora"} + c.arguments);
        EXPECT_EQ(line.outcome, c.outcome);
        EXPECT_TRUE(line.text.contains(QLatin1String(c.said))) << line.text.toStdString();
        if (c.outcome != O::Run)
            continue;
        EXPECT_EQ(line.request.folder, c.folder);
        EXPECT_EQ(line.request.picture, c.picture);
        EXPECT_EQ(line.request.interval, c.interval);
        EXPECT_EQ(line.request.startShow, c.startShow);
    }
}

// A start with a picture opens its folder and starts the show there; the
// interval given is for this run only.
TEST(MainWindow, OpensWhatTheCommandLineNamesAndKeepsTheStoredInterval)
{
    Program p;
    QImage blue(8, 6, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    blue.save(p.pictures + "/c.png");
    p.program.WriteSettings(Settings(p.program.Path(), "Time=7\n"));
    Form1 window;
    window.show();
    window.Open(ParseCommandLine({"velmora", "--interval", "12", p.pictures + "/c.png"}).request);
    QPointer<SlideShow> show = window.CurrentShow();
    ASSERT_TRUE(show);
    EXPECT_EQ(window.Dir1->Path(), p.pictures);
    EXPECT_EQ(window.Text1->text(), "12");
    ASSERT_TRUE(WaitFor([&] { return show.isNull() || show->ShowStarted(); }, 30000));
    ASSERT_FALSE(show.isNull());
    EXPECT_EQ(show->Ring().CurrentPath(), p.pictures + "/c.png");
    show->close();
    Settle();
    // --no-show: the folder alone.
    window.Open(ParseCommandLine({"velmora", "--no-show", p.sub}).request);
    EXPECT_EQ(window.Dir1->Path(), p.sub);
    EXPECT_TRUE(window.CurrentShow() == nullptr);
    window.File_s_Click(2);
    Settle();
    EXPECT_EQ(p.program.ReadSettings(), Settings(p.sub, "Time=7\n"));
}

// "Open with" offers Velmora for folders and for every type the built-in
// loader reads.
TEST(DesktopEntry, NamesFoldersAndEveryBuiltInPictureType)
{
    QFile entry(QStringLiteral(VELMORA_DESKTOP_ENTRY));
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    QStringList types;
    for (const QByteArray& line : entry.readAll().split('\n'))
        if (line.startsWith("MimeType="))
            types = QString::fromUtf8(line.mid(9)).split(u';', Qt::SkipEmptyParts);
    EXPECT_TRUE(types.contains("inode/directory"));
    const QMimeDatabase mimes;
    for (const QString& extension : PictureFile::Extensions()) {
        const QMimeType type = mimes.mimeTypeForFile("x." + extension, QMimeDatabase::MatchExtension);
        if (type.isDefault())
            continue; // a name the system knows no type for
        const QStringList names = QStringList(type.name()) + type.aliases();
        EXPECT_TRUE(std::any_of(names.begin(), names.end(), [&](const QString& n) { return types.contains(n); }))
            << extension.toStdString() << " is " << type.name().toStdString();
    }
}

// Without a program to open the help (no xdg-open), it shows in a window of
// the program's own.
TEST(MainWindow, HelpShowsInAWindowOfItsOwnWithoutALauncher)
{
    Program p;
    p.program.WriteFile("Help.txt", QStringLiteral("Velmora ヘルプ\n目次\n").toUtf8());
    TempTree empty;
    const ScopedEnvironment path("PATH", empty.Path());
    Form1 window;
    window.Help_s_Click(0);
    TextWindow* help = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* text = qobject_cast<TextWindow*>(top); text && text->isVisible())
            help = text;
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->Text->toPlainText(), QStringLiteral("Velmora ヘルプ\n目次\n"));
    EXPECT_TRUE(help->Text->isReadOnly());
    help->close();
}

// A folder named in code page 932 bytes (an old disk): the folder list opens
// it, and the settings keep its bytes from one run to the next.
TEST(MainWindow, FoldersNamedInAnotherCodePageOpenAndAreStoredAsTheirBytes)
{
    Program p;
    const QByteArray named = QFile::encodeName(p.pictures) + "/\x83\x65\x83\x58\x83\x67"; // テスト in code page 932
    const QByteArray inner = named + "/\x89\xe6";                                          // 画 in code page 932
    ASSERT_EQ(mkdir(named.constData(), 0755), 0);
    ASSERT_EQ(mkdir(inner.constData(), 0755), 0);
    p.program.WriteSettings("[Main]\nDirPath=" + named + "\nTime=4\n");
    Form1 window;
    EXPECT_EQ(ToCodePage(window.Dir1->Path()), named);
    // Enter on the subfolder opens it.
    const int row = p.Row(window, FromCodePage(inner));
    ASSERT_GE(row, 0);
    window.Dir1->setCurrentRow(row);
    QTest::keyClick(window.Dir1, Qt::Key_Return);
    EXPECT_EQ(ToCodePage(window.Dir1->Path()), inner);
    window.File_s_Click(2);
    Settle();
    EXPECT_TRUE(p.program.ReadSettings().contains("DirPath=" + inner + "\n")) << p.program.ReadSettings().toStdString();
    // Qt's removal of the temporary folder cannot name them.
    rmdir(inner.constData());
    rmdir(named.constData());
}
