// The show on a folder tree behind a file system that is slow on every
// request (velmora-slowfs, like a photo share on the network): the first
// picture comes long before the walk ends, the ring is the same as on a fast
// disk while the walk runs and after it, and no wait (for a slow or a stalled
// walk) keeps the window from answering or from ending at once.
#include "ShowWindowTest.h"
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <thread>

#include <sys/stat.h>

#include "app/Settings.h"
#include "imaging/PictureTestData.h"
#include "slideshow/SlideShow.h"
#include "support/SlowMount.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr std::int16_t kRight = 39, kLeft = 37, kEsc = 27;

class SlowTree : public ShowWindowTest {
protected:
    // Opens a show on start; waits for its first picture unless told not to.
    void Launch(const QString& start, bool waitForPicture = true)
    {
        show = new SlideShow("60", &Settings::ReadStretch);
        show->SetTag(start + "/");
        show->show();
        show->activateWindow();
        if (waitForPicture) {
            ASSERT_TRUE(WaitFor([&] { return show.isNull() || show->ShowStarted(); }, 120000));
        }
    }
    // The picture on screen, below the start folder.
    QString Current(const QString& start) const { return show->Ring().CurrentPath().mid(start.size() + 1); }
    // One key as the window takes it, then the step it started.
    void Press(std::int16_t key)
    {
        show->Form_KeyDown(key, 0);
        ASSERT_TRUE(WaitFor([&] { return show.isNull() || !show->Busy(); }, 120000));
    }

    TempTree source;
};

} // namespace

// 20,000 folders: the first picture after a few hundred folder listings at
// most, while the walk goes on; closing the show does not wait for the walk.
TEST_F(SlowTree, TheFirstPictureComesAfterAFewRequestsNotAfterTheWalk)
{
    for (int a = 0; a < 20; ++a)
        for (int b = 0; b < 20; ++b)
            for (int c = 0; c < 49; ++c)
                source.MakeDir(QString("a%1/b%2/c%3").arg(a, 2, 10, QChar('0')).arg(b, 2, 10, QChar('0')).arg(c, 2, 10, QChar('0')));
    source.WriteFile("a00/b00/c03/first.bmp", Bmp(4, 4));
    source.WriteFile("a19/b19/c48/last.bmp", Bmp(4, 4, Qt::blue));
    SlowMount share(source.Path(), 2ms);
    REQUIRE_SLOW_MOUNT(share);

    Launch(share.Path());
    ASSERT_FALSE(show.isNull());
    EXPECT_EQ(Current(share.Path()), "a00/b00/c03/first.bmp");
    EXPECT_FALSE(show->WalkComplete());
    EXPECT_LT(share.Count("opendir"), 2000) << "the first picture waited for much of the walk";
    QElapsedTimer closing;
    closing.start();
    show->close();
    ASSERT_TRUE(WaitFor([&] { return show.isNull(); }, 60000));
    EXPECT_LT(closing.elapsed(), 20000) << "closing waited for the walk";
}

// The ring while the walk runs, and after it, is the ring of the same tree
// on a fast disk, both ways. Left from the first picture waits for the walk
// and shows the last folder's last picture.
TEST_F(SlowTree, TheRingIsTheFastDisksRingWhileTheWalkRunsAndAfter)
{
    for (int a = 0; a < 6; ++a)
        for (int b = 0; b < 8; ++b) {
            const QString dir = QString("a%1/b%2").arg(a).arg(b);
            source.MakeDir(dir + "/c");
            if ((a + b) % 3 == 0)
                source.WriteFile(dir + QString("/p%1.bmp").arg(b), Bmp(4, 4));
            if (b == 5)
                source.WriteFile(dir + "/c/q.bmp", Bmp(4, 4));
        }
    source.WriteFile("a5/b7/c/z1.bmp", Bmp(4, 4));
    source.WriteFile("a5/b7/c/z2.bmp", Bmp(4, 4));

    // The ring on the fast disk, forward from the first picture round to it.
    Launch(source.Path());
    QStringList ring{Current(source.Path())};
    for (;;) {
        Press(kRight);
        if (Current(source.Path()) == ring.front())
            break;
        ring << Current(source.Path());
        ASSERT_LT(ring.size(), 500);
    }
    show->close();
    ASSERT_TRUE(WaitFor([&] { return show.isNull(); }));
    ASSERT_GT(ring.size(), 10);
    ASSERT_EQ(ring.back(), "a5/b7/c/z2.bmp");

    SlowMount share(source.Path(), 3ms);
    REQUIRE_SLOW_MOUNT(share);
    // Forward while the walk is still under way, then back round the ring.
    Launch(share.Path());
    EXPECT_EQ(Current(share.Path()), ring.front());
    for (qsizetype i = 1; i < ring.size(); ++i) {
        Press(kRight);
        ASSERT_EQ(Current(share.Path()), ring[i]) << "step " << i;
    }
    for (qsizetype i = ring.size() - 2; i >= 0; --i) {
        Press(kLeft);
        ASSERT_EQ(Current(share.Path()), ring[i]) << "back to " << i;
    }
    show->close();
    ASSERT_TRUE(WaitFor([&] { return show.isNull(); }));

    // Left at once from the first picture: the whole walk, then the end.
    Launch(share.Path());
    Press(kLeft);
    ASSERT_FALSE(show.isNull());
    EXPECT_TRUE(show->WalkComplete());
    EXPECT_EQ(Current(share.Path()), ring.back());
}

// Presses Esc from inside whatever wait the window is in, once it has
// answered n timer ticks meanwhile; says whether a step was under way then
// and how long the window took to go after Esc.
struct EscAfterTicks {
    QPointer<SlideShow> show;
    int ticks = 0;
    bool busyAtEsc = false;
    bool hourglassAtEsc = false;
    bool startedAtEsc = false;
    QElapsedTimer sinceEsc;
    qint64 closedAfterMs = -1;
    QTimer tick;

    EscAfterTicks(SlideShow* s, int n) : show(s)
    {
        QObject::connect(show, &QObject::destroyed, [this] { closedAfterMs = sinceEsc.elapsed(); });
        QObject::connect(&tick, &QTimer::timeout, [this, n] {
            if (++ticks != n || !show)
                return;
            busyAtEsc = show->Busy();
            hourglassAtEsc = show->cursor().shape() == Qt::WaitCursor;
            startedAtEsc = show->ShowStarted();
            sinceEsc.start();
            show->Form_KeyDown(kEsc, 0);
        });
        tick.start(10);
    }
};

// A walk stalled for ever in a folder the file system never lists: the
// show waits for its first picture with the window answering all the while,
// and Esc ends the wait at once.
TEST_F(SlowTree, EscEndsAWaitForAStalledWalkAtOnceAndTheWindowAnswersMeanwhile)
{
    // Only the walk looks into the stalled folder, so only the walk meets it.
    source.MakeDir("a_stuck/below");
    source.WriteFile("b/late.bmp", Bmp(4, 4));
    SlowMount share(source.Path(), 1ms, "a_stuck");
    REQUIRE_SLOW_MOUNT(share);
    Launch(share.Path(), false);
    EscAfterTicks esc(show, 30);
    ASSERT_TRUE(WaitFor([&] { return show.isNull(); }, 60000)) << "Esc did not end the wait";
    EXPECT_GE(esc.ticks, 30) << "the window stopped answering";
    EXPECT_TRUE(esc.busyAtEsc);
    EXPECT_TRUE(esc.hourglassAtEsc);
    EXPECT_FALSE(esc.startedAtEsc);
    EXPECT_GE(esc.closedAfterMs, 0);
    EXPECT_LT(esc.closedAfterMs, 10000) << "Esc waited for the walk";
}

// A folder that stalls after the walk has passed it: a request for a name
// in it hangs (FUSE holds the folder meanwhile, so listing it hangs too).
// The step into it waits with the window answering, and Esc ends the show
// at once.
TEST_F(SlowTree, EscEndsAStepIntoAFolderThatStallsAndTheWindowAnswersMeanwhile)
{
    source.WriteFile("a/first.bmp", Bmp(4, 4));
    source.WriteFile("b/second.bmp", Bmp(4, 4));
    SlowMount share(source.Path(), 1ms, "stuck.bmp");
    REQUIRE_SLOW_MOUNT(share);
    Launch(share.Path());
    ASSERT_FALSE(show.isNull());
    ASSERT_TRUE(WaitFor([&] { return show->WalkComplete(); }, 60000));
    // Once round: the next visit to b lists it anew.
    Press(kRight);
    Press(kRight);
    ASSERT_EQ(Current(share.Path()), "a/first.bmp");
    source.WriteFile("b/stuck.bmp", Bmp(4, 4));
    // Another program asks for the new name; it answers when the mount goes.
    struct Asker {
        SlowMount& share;
        std::thread asking;
        ~Asker()
        {
            share.Unmount();
            asking.join();
        }
    } asker{share, std::thread([path = QFile::encodeName(share.Path() + "/b/stuck.bmp")] {
                struct stat st;
                stat(path.constData(), &st);
            })};
    ASSERT_TRUE(WaitFor([&] { return share.Count("stalled") == 1; }, 60000));

    EscAfterTicks esc(show, 30);
    show->Form_KeyDown(kRight, 0);
    ASSERT_TRUE(WaitFor([&] { return show.isNull(); }, 60000)) << "Esc did not end the step";
    EXPECT_GE(esc.ticks, 30) << "the window stopped answering";
    EXPECT_TRUE(esc.busyAtEsc);
    EXPECT_TRUE(esc.hourglassAtEsc);
    EXPECT_TRUE(esc.startedAtEsc);
    EXPECT_LT(esc.closedAfterMs, 10000) << "Esc waited for the folder";
}
