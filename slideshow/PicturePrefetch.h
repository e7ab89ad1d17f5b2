#pragma once
// Pictures of the built-in loader opened, fitted and decoded ahead of the
// step that shows them, on a worker thread of their own, so that the step
// finds them ready. A prepared picture is used only while it still matches:
// the same window size, the same "Stretch" setting and the same file (its
// device, inode, size and modification time). Decodes run on one worker per
// core; at most kAhead + 1 are kept besides the picture on screen.
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <QSize>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include "slideshow/PictureDisplay.h"

// What identifies the file a picture was read from.
struct FileStamp {
    bool exists = false;
    unsigned long long device = 0, inode = 0;
    long long size = 0, modifiedNs = 0, changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const QString& path);

// A picture opened and fitted to a window the way the show fits it, and
// decoded at its shown size. When the built-in loader could not show the
// file, shown is false and the plug-ins get it.
struct PreparedPicture {
    QString path;
    QSize window;
    bool stretch = false;
    FileStamp stamp;
    bool shown = false;
    // Decoding ahead was still reading the file when the step needed it and
    // did not finish in time: the file is taken as unreadable.
    bool stalled = false;
    // How long decoding it ahead took; zero when it was not decoded ahead.
    std::chrono::steady_clock::duration decodeTime{};
    ImageDisplay display;
};

// Opens, fits and decodes path for a window of the given size; never raises.
PreparedPicture PreparePicture(const QString& path, QSize window, bool stretch);

class PicturePrefetch {
public:
    using Decoder = std::function<PreparedPicture(const QString& path, QSize window, bool stretch)>;
    // How long a step waits for a decode under way before it takes the file
    // as unreadable.
    static constexpr int kStepWaitMs = 2000;
    // Pictures decoded ahead in the direction of travel (one more the other
    // way): enough to keep every core busy while a key is held.
    static constexpr int kAhead = 3;

    explicit PicturePrefetch(Decoder decode = PreparePicture);
    // Drops the decodes not started; one under way finishes on its own.
    ~PicturePrefetch();

    // Off, nothing is decoded ahead and Take finds nothing.
    void SetEnabled(bool enabled);
    bool Enabled() const { return mEnabled; }

    // The pictures the next steps will want, most likely first (at most
    // kAhead + 1):
    // those already prepared or on their way stay, the others are dropped,
    // the missing ones start.
    void Want(const QStringList& paths, QSize window, bool stretch);
    // The picture prepared for path if it still matches, waiting for its
    // decode when it is under way (at most kStepWaitMs, then a picture marked
    // stalled); nothing when there is none or its decode had not started.
    std::optional<PreparedPicture> Take(const QString& path, QSize window, bool stretch);
    // How many pictures are decoded at once.
    static int Decoders() { return Pool().maxThreadCount(); }
    // Waits until nothing is being decoded ahead.
    void WaitForDone() { Pool().waitForDone(); }
    // The picture now on screen, kept (with the one shown before it, until
    // the next Want) so that a step back needs no decode.
    void KeepShown(PreparedPicture shown);

private:
    struct Job {
        QString path;
        QSize window;
        bool stretch = false;
        std::shared_ptr<std::atomic_bool> cancelled;
        std::shared_ptr<std::atomic_bool> started;
        std::shared_future<PreparedPicture> result;
        bool Matches(const QString& p, QSize w, bool s) const { return path == p && window == w && stretch == s; }
    };
    void Cancel(Job& job);

    static QThreadPool& Pool();

    Decoder mDecode;
    bool mEnabled = true;
    std::vector<Job> mJobs;
    // The picture on screen first, then the one before it.
    std::vector<PreparedPicture> mRecent;
};
