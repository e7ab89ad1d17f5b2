#pragma once
// Pictures opened, fitted and decoded on the decoding service's threads, for
// the step that shows them: ahead of it (the next few pictures of the ring)
// or for it (the picture the step needs now, in front of the others). A
// prepared picture is used only while it still matches: the same window
// size, the same "Stretch" setting and the same file (its device, inode,
// size and modification time). At most kAhead + 1 are kept besides the
// picture on screen; a decode no longer wanted is stopped.
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

#include "imaging/DecodeService.h"
#include "slideshow/PictureDisplay.h"

class ArchiveShelf;

// What identifies the file a picture was read from (for a picture inside an
// archive, the archive's file).
struct FileStamp {
    bool exists = false;
    unsigned long long device = 0, inode = 0;
    long long size = 0, modifiedNs = 0, changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const QString& path);

// A picture opened and fitted to a window the way the show fits it, and
// decoded at its shown size. When the built-in loader could not show the
// file, shown is false and the plug-ins get it: drawn is then what they
// drew on a black surface of the window's size, when they were asked.
struct PreparedPicture {
    QString path;
    QSize window;
    bool stretch = false;
    FileStamp stamp;
    bool shown = false;
    // Why the built-in loader could not show it.
    QString builtInError;
    // A picture inside an archive: its bytes for the plug-ins, or none when
    // they could not be read (the plug-ins are not asked then).
    bool inArchive = false;
    QByteArray bytes;
    // Decoding was still reading the file when the step needed it and did
    // not finish in time: the file is taken as unreadable.
    bool stalled = false;
    // How long decoding it took; zero when it was not decoded ahead.
    std::chrono::steady_clock::duration decodeTime{};
    ImageDisplay display;
    // The plug-ins' drawing, why they drew nothing (empty when they drew),
    // and an error of their fit that ends the show.
    bool pluginsAsked = false;
    QImage drawn;
    QString pluginFailure;
    std::exception_ptr pluginError;
};

// Opens, fits and decodes path for a window of the given size; never raises.
// A path inside one of archives' archives is read from there, never as a file.
PreparedPicture PreparePicture(const QString& path, QSize window, bool stretch,
                               const ArchiveShelf* archives = nullptr);

class PicturePrefetch {
public:
    using Decoder = std::function<PreparedPicture(const QString& path, QSize window, bool stretch)>;
    // Draws a picture the built-in loader could not show with the plug-ins.
    using PluginDrawer = std::function<void(PreparedPicture& prepared)>;
    // How long a step waits for the built-in loader's reading before it
    // takes the file as unreadable (a stalled mount). Plug-ins are waited
    // for as long as the bridge lets them work.
    static constexpr int kStepWaitMs = 2000;
    // Pictures decoded ahead in the direction of travel (one more the other
    // way): enough to keep every core busy while a key is held, also while
    // a picture is held back for an even pace, and to absorb a decode that
    // takes half as long again as the others (three left a pause twice the
    // median now and then with 24 MP PNGs on two cores).
    static constexpr int kAhead = 4;

    explicit PicturePrefetch(Decoder decode = [](const QString& path, QSize window, bool stretch) {
        return PreparePicture(path, window, stretch);
    });
    // Stops the decodes still wanted; none is waited for.
    ~PicturePrefetch();
    PicturePrefetch(const PicturePrefetch&) = delete;
    PicturePrefetch& operator=(const PicturePrefetch&) = delete;

    // How the decodes from now on prepare a picture.
    void SetDecoder(Decoder decode, PluginDrawer draw = {})
    {
        mDecode = std::move(decode);
        mDraw = std::move(draw);
    }

    // Off, nothing is decoded ahead.
    void SetEnabled(bool enabled);
    bool Enabled() const { return mEnabled && DecodeService::Instance(); }

    // The pictures the next steps will want, most likely first (at most
    // kAhead + 1): those already prepared or on their way stay, the others
    // are stopped, the missing ones start.
    void Want(const QStringList& paths, QSize window, bool stretch);

    // The step's picture: the one decoded ahead, or a decode started now in
    // front of the others. Poll Ready; called on the user interface thread
    // (through the event loop) whenever a decode ends.
    class Request {
    public:
        bool Ready() const;
        bool Started() const;
        // Whether the plug-ins have it (the built-in loader is done).
        bool InPlugins() const;
        // Whether it was on its way before the step asked for it.
        bool Ahead() const { return mAhead; }

    private:
        friend class PicturePrefetch;
        struct Result;
        std::shared_ptr<Result> mResult;
        bool mAhead = false;
    };
    // Nothing when no decoding service runs (the step decodes on its own).
    std::optional<Request> Ask(const QString& path, QSize window, bool stretch);
    // The prepared picture of a ready request, checked against its file; a
    // stalled picture when it is not ready.
    std::optional<PreparedPicture> Take(const Request& request);
    // Gives up a request that has not started: its decode is stopped.
    void Drop(const Request& request);

    // Called on the user interface thread whenever a decode has ended.
    std::function<void()> onDecoded;

    // Waits until nothing is being decoded.
    void WaitForDone();
    // The picture now on screen, kept (with the one shown before it, until
    // the next Want) so that a step back needs no decode.
    void KeepShown(PreparedPicture shown);

private:
    struct Job {
        QString path;
        QSize window;
        bool stretch = false;
        Request request;
        DecodeService::Job handle;
        bool Matches(const QString& p, QSize w, bool s) const { return path == p && window == w && stretch == s; }
    };
    Job Start(const QString& path, QSize window, bool stretch, bool urgent);

    // Forwards the end of a decode to the user interface thread while the
    // prefetch lives.
    struct Notifier;

    Decoder mDecode;
    PluginDrawer mDraw;
    bool mEnabled = true;
    std::vector<Job> mJobs;
    // The picture on screen first, then the one before it.
    std::vector<PreparedPicture> mRecent;
    std::shared_ptr<Notifier> mNotifier;
};
