#include "slideshow/PictureStage.h"

#include <thread>

#include <QWidget>

#include "common/CheckedMath.h"
#include "common/RuntimeError.h"
#include "plugins/ClsPluginManager.h"
#include "slideshow/PictureRing.h"

PictureStage::PictureStage(QWidget& window, std::function<bool()> stretch)
    : Picture1(new PictureBox(&window)), mWindow(window), mStretch(std::move(stretch))
{
    Picture1->hide();
}

void PictureStage::FillWindow()
{
    Picture1->setGeometry(0, 0, mWindow.width(), mWindow.height());
}

void PictureStage::ShowPicture(const QString& path)
{
    // The hourglass, even when the picture is ready at once.
    mWindow.setCursor(Qt::WaitCursor);
    const QSize window = DeviceSize(mWindow);
    const bool stretch = mStretch();
    mShownStretch = stretch;
    Picture1->hide();
    std::optional<PreparedPicture> prepared = Prefetch.Take(path, window, stretch);
    if (prepared) {
        std::this_thread::sleep_for(mPacer.HoldFor(prepared->decodeTime, FlipPacer::Clock::now()));
    } else {
        mWindow.repaint();
        prepared = PreparePicture(path, window, stretch);
    }
    if (prepared->shown) {
        mPacer.Shown(FlipPacer::Clock::now());
        Image1 = prepared->display;
        Image1.Visible = true;
        mWindow.update();
        mWindow.unsetCursor();
        Prefetch.KeepShown(std::move(*prepared));
        return;
    }
    Prefetch.KeepShown({});
    Image1.Visible = false;
    Image1.SetPicture(nullptr);
    Picture1->show();
    Picture1->Cls();
    // A file whose reading stalled is not given to the plug-ins, which
    // would stall on it too: it stays black.
    if (!prepared->stalled && mPluginManager) {
        const HDC dc = Picture1->hDC();
        const std::int32_t height = RoundToInt32(Picture1->Image().height());
        const std::int32_t width = RoundToInt32(Picture1->Image().width());
        try {
            mPluginManager->DrawPictureFile(path, dc, height, width, 0, 0, QString());
        } catch (const RuntimeError& e) {
            // A plug-in that crashed, hung or could not be reached costs this
            // one picture, which stays black; errors of the fit still end the show.
            if (e.Kind() != ErrorKind::PluginFailed) {
                mWindow.unsetCursor();
                throw;
            }
        }
    }
    Picture1->repaint();
    mPacer.Shown(FlipPacer::Clock::now());
    mWindow.update();
    mWindow.unsetCursor();
}

void PictureStage::LookAhead(const PictureRing& ring, bool lastStepBack)
{
    if (!Prefetch.Enabled())
        return;
    // The next few in the direction of travel, then one the other way: a
    // held key finds them decoded on every core.
    const std::int32_t ahead = lastStepBack ? -1 : 1;
    QStringList wanted = ring.PeekAhead(ahead, PicturePrefetch::kAhead);
    wanted << ring.PeekAhead(-ahead, 1);
    wanted.removeAll(QString());
    Prefetch.Want(wanted, DeviceSize(mWindow), mShownStretch);
}
