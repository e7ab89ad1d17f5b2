#pragma once
// The running show as a media player on the session bus (MPRIS 2, service
// org.mpris.MediaPlayer2.velmora): media keys, phone remotes and playerctl
// step, pause and end it. Calls are taken as the show takes keys: the show
// decides, after the call has been answered, from its event loop. Without a
// session bus nothing is registered and nothing fails.
#include <functional>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

class MprisRemote : public QObject {
public:
    enum class Action { Next, Previous, PlayPause, Play, Pause, Stop };
    // What the remote needs of the show.
    struct Show {
        std::function<void(Action)> act; // run from the event loop
        std::function<bool()> paused;
        std::function<QString()> picture; // the path of the picture on screen
    };
    static constexpr const char* kService = "org.mpris.MediaPlayer2.velmora";
    static constexpr const char* kPath = "/org/mpris/MediaPlayer2";

    // On the session bus, as the screen saver's inhibitor finds it.
    explicit MprisRemote(Show show);
    MprisRemote(Show show, QDBusConnection bus);
    ~MprisRemote() override { Close(); }
    MprisRemote(const MprisRemote&) = delete;
    MprisRemote& operator=(const MprisRemote&) = delete;

    // Leaves the bus: no more calls come.
    void Close();
    // Whether the show has its name on the bus (asked for when made, told
    // by the bus a moment later).
    bool Registered() const { return !mService.isEmpty(); }
    // The show's picture or pause changed: listeners are told what did.
    void Update();

    // For the adaptors.
    void Act(Action action);
    QString PlaybackStatus() const;
    QVariantMap Metadata() const;

private:
    void RequestName(const QString& name, bool orInstanceName);
    void ReleaseName(const QString& name);

    Show mShow;
    QDBusConnection mBus;
    bool mRegistered = false; // the object is on the bus
    QString mService;         // the name it has there
    QString mSentStatus;
    QString mSentPicture;
};
