#include "slideshow/ScreenSaverInhibitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <optional>

namespace {

const QString kService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kInterface = QStringLiteral("org.freedesktop.ScreenSaver");
constexpr int kTimeoutMs = 5000;

QDBusMessage Call(const QString& method) { return QDBusMessage::createMethodCall(kService, kPath, kInterface, method); }

void UnInhibit(QDBusConnection bus, uint cookie)
{
    QDBusMessage message = Call(QStringLiteral("UnInhibit"));
    message << cookie;
    bus.send(message); // the answer does not matter
}

// The desktop portal: Inhibit answers with a request whose Close ends it.
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
constexpr uint kInhibitIdle = 8;

void CloseRequest(QDBusConnection bus, const QDBusObjectPath& request)
{
    bus.send(QDBusMessage::createMethodCall(kPortal, request.path(), QStringLiteral("org.freedesktop.portal.Request"),
                                            QStringLiteral("Close")));
}

} // namespace

struct ScreenSaverInhibitor::State {
    bool wanted = false;
    std::optional<uint> cookie;
    std::optional<QDBusObjectPath> request; // the portal's
};

QDBusConnection ScreenSaverInhibitor::SessionBus()
{
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection(QString()); // not connected
    return QDBusConnection::sessionBus();
}

ScreenSaverInhibitor::ScreenSaverInhibitor(QDBusConnection bus) : mBus(std::move(bus)), mState(std::make_shared<State>()) {}

ScreenSaverInhibitor::~ScreenSaverInhibitor() { Release(); }

void ScreenSaverInhibitor::Inhibit(const QString& application, const QString& reason)
{
    if (mState->wanted || !mBus.isConnected())
        return;
    mState->wanted = true;
    QDBusMessage message = Call(QStringLiteral("Inhibit"));
    message << application << reason;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(message, kTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [state = mState, bus = mBus](QDBusPendingCallWatcher* call) mutable {
                         call->deleteLater();
                         const QDBusPendingReply<uint> reply = *call;
                         if (!reply.isValid())
                             return; // no screen saver service: nothing to keep off
                         if (state->wanted)
                             state->cookie = reply.value();
                         else
                             UnInhibit(bus, reply.value());
                     });
    QDBusMessage portal = QDBusMessage::createMethodCall(kPortal, kPortalPath, QStringLiteral("org.freedesktop.portal.Inhibit"),
                                                         QStringLiteral("Inhibit"));
    portal << QString() << kInhibitIdle << QVariantMap{{QStringLiteral("reason"), reason}};
    auto* portalWatcher = new QDBusPendingCallWatcher(mBus.asyncCall(portal, kTimeoutMs));
    QObject::connect(portalWatcher, &QDBusPendingCallWatcher::finished, portalWatcher,
                     [state = mState, bus = mBus](QDBusPendingCallWatcher* call) mutable {
                         call->deleteLater();
                         const QDBusPendingReply<QDBusObjectPath> reply = *call;
                         if (!reply.isValid())
                             return; // no portal
                         if (state->wanted)
                             state->request = reply.value();
                         else
                             CloseRequest(bus, reply.value());
                     });
}

void ScreenSaverInhibitor::Release()
{
    mState->wanted = false;
    if (mState->cookie)
        UnInhibit(mBus, *mState->cookie);
    mState->cookie.reset();
    if (mState->request)
        CloseRequest(mBus, *mState->request);
    mState->request.reset();
}
