#include "slideshow/ScreenSaverInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

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

} // namespace

struct ScreenSaverInhibitor::State {
    bool wanted = false;
    std::optional<uint> cookie;
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
}

void ScreenSaverInhibitor::Release()
{
    mState->wanted = false;
    if (mState->cookie)
        UnInhibit(mBus, *mState->cookie);
    mState->cookie.reset();
}
