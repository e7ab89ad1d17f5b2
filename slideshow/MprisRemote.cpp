#include "slideshow/MprisRemote.h"

#include <QCryptographicHash>
#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QStringList>
#include <QUrl>

#include <unistd.h>

#include "slideshow/ScreenSaverInhibitor.h"

#include <utility>

Q_LOGGING_CATEGORY(lcRemote, "velmora.remote")

namespace {

// org.mpris.MediaPlayer2: the player as an application.
class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ False)
    Q_PROPERTY(bool CanRaise READ False)
    Q_PROPERTY(bool HasTrackList READ False)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ None)
    Q_PROPERTY(QStringList SupportedMimeTypes READ None)
public:
    explicit RootAdaptor(MprisRemote* remote) : QDBusAbstractAdaptor(remote) {}
    bool False() const { return false; }
    QString Identity() const { return QStringLiteral("Velmora"); }
    QString DesktopEntry() const { return QStringLiteral("velmora"); }
    QStringList None() const { return {}; }
public slots:
    void Raise() {}
    void Quit() {}
};

// org.mpris.MediaPlayer2.Player: what a remote does with the show.
class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Rate READ One)
    Q_PROPERTY(double MinimumRate READ One)
    Q_PROPERTY(double MaximumRate READ One)
    Q_PROPERTY(double Volume READ One)
    Q_PROPERTY(qlonglong Position READ Zero)
    Q_PROPERTY(bool CanGoNext READ True)
    Q_PROPERTY(bool CanGoPrevious READ True)
    Q_PROPERTY(bool CanPlay READ True)
    Q_PROPERTY(bool CanPause READ True)
    Q_PROPERTY(bool CanSeek READ False)
    Q_PROPERTY(bool CanControl READ True)
public:
    explicit PlayerAdaptor(MprisRemote* remote) : QDBusAbstractAdaptor(remote), mRemote(remote) {}
    QString PlaybackStatus() const { return mRemote->PlaybackStatus(); }
    QVariantMap Metadata() const { return mRemote->Metadata(); }
    double One() const { return 1.0; }
    qlonglong Zero() const { return 0; }
    bool True() const { return true; }
    bool False() const { return false; }
public slots:
    void Next() { mRemote->Act(MprisRemote::Action::Next); }
    void Previous() { mRemote->Act(MprisRemote::Action::Previous); }
    void PlayPause() { mRemote->Act(MprisRemote::Action::PlayPause); }
    void Play() { mRemote->Act(MprisRemote::Action::Play); }
    void Pause() { mRemote->Act(MprisRemote::Action::Pause); }
    void Stop() { mRemote->Act(MprisRemote::Action::Stop); }
    // A picture has no time to seek in, nor a place for a link.
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString&) {}

private:
    MprisRemote* mRemote;
};

} // namespace

MprisRemote::MprisRemote(Show show) : MprisRemote(std::move(show), ScreenSaverInhibitor::SessionBus()) {}

MprisRemote::MprisRemote(Show show, QDBusConnection bus) : mShow(std::move(show)), mBus(std::move(bus))
{
    if (!mBus.isConnected())
        return;
    new RootAdaptor(this);
    new PlayerAdaptor(this);
    if (!mBus.registerObject(QString::fromLatin1(kPath), this, QDBusConnection::ExportAdaptors)) {
        qCWarning(lcRemote) << "the show cannot be a media player on the session bus:" << mBus.lastError().message();
        return;
    }
    mRegistered = true;
    RequestName(QString::fromLatin1(kService), true);
}

void MprisRemote::RequestName(const QString& name, bool orInstanceName)
{
    // Asked without waiting: a bus that is slow to answer holds up nothing.
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    request << name << uint(4); // DBUS_NAME_FLAG_DO_NOT_QUEUE
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(request), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, name, orInstanceName](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<uint> reply = *call;
        // The primary owner now, or already (a show before let go of it while
        // its request was on the way).
        const bool owner = reply.isValid() && (reply.value() == 1 || reply.value() == 4);
        if (!mRegistered)
            return ReleaseName(owner ? name : QString());
        if (owner) {
            mService = name;
            mSentStatus = PlaybackStatus();
            mSentPicture = mShow.picture();
            return;
        }
        // A show of another instance has the name: MPRIS gives players that
        // run more than once a name of their own.
        if (orInstanceName)
            return RequestName(QStringLiteral("%1.instance%2").arg(QLatin1String(kService)).arg(getpid()), false);
        qCWarning(lcRemote) << "no media player name on the session bus:"
                            << (reply.isError() ? reply.error().message() : QStringLiteral("taken"));
    });
}

void MprisRemote::ReleaseName(const QString& name)
{
    if (name.isEmpty())
        return;
    QDBusMessage release = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReleaseName"));
    release << name;
    mBus.send(release);
}

void MprisRemote::Close()
{
    if (!mRegistered)
        return;
    mRegistered = false;
    ReleaseName(std::exchange(mService, QString()));
    mBus.unregisterObject(QString::fromLatin1(kPath));
}

void MprisRemote::Act(Action action)
{
    // Answered at once; the show takes it from its event loop as it would
    // take a key, and drops it during a step.
    QMetaObject::invokeMethod(
        this,
        [this, action] {
            if (mRegistered)
                mShow.act(action);
        },
        Qt::QueuedConnection);
}

QString MprisRemote::PlaybackStatus() const
{
    return mShow.paused() ? QStringLiteral("Paused") : QStringLiteral("Playing");
}

QVariantMap MprisRemote::Metadata() const
{
    const QString path = mShow.picture();
    if (path.isEmpty())
        return {{QStringLiteral("mpris:trackid"),
                 QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack")))}};
    // One id for each picture, from its path.
    const QByteArray id = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return {{QStringLiteral("mpris:trackid"),
             QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/velmora/picture/p") + QString::fromLatin1(id)))},
            {QStringLiteral("xesam:url"), QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)},
            {QStringLiteral("xesam:title"), QFileInfo(path).fileName()}};
}

void MprisRemote::Update()
{
    if (mService.isEmpty())
        return;
    QVariantMap changed;
    if (const QString status = PlaybackStatus(); status != mSentStatus) {
        mSentStatus = status;
        changed.insert(QStringLiteral("PlaybackStatus"), status);
    }
    if (const QString picture = mShow.picture(); picture != mSentPicture) {
        mSentPicture = picture;
        changed.insert(QStringLiteral("Metadata"), Metadata());
    }
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    mBus.send(signal);
}

#include "MprisRemote.moc"
