#pragma once
// Keeps the screen saver and screen blanking off while a show runs, through
// the desktop's org.freedesktop.ScreenSaver service on the session bus and
// the desktop portal's Inhibit (idle), which is what sessions that ignore the
// former (wlroots compositors with xdg-desktop-portal) offer; each that
// answers is held. Every call is asynchronous, so a slow or missing service
// never holds up the show; without a session bus nothing happens.
#include <memory>

#include <QDBusConnection>
#include <QString>

class ScreenSaverInhibitor {
public:
    // The desktop's session bus, or none when the session names no bus
    // (D-Bus would otherwise start a bus of its own just for this).
    static QDBusConnection SessionBus();

    explicit ScreenSaverInhibitor(QDBusConnection bus = SessionBus());
    ~ScreenSaverInhibitor();
    ScreenSaverInhibitor(const ScreenSaverInhibitor&) = delete;
    ScreenSaverInhibitor& operator=(const ScreenSaverInhibitor&) = delete;

    void Inhibit(const QString& application, const QString& reason);
    // Lets the screen saver run again; an answer still on its way is
    // released as soon as it arrives, even after this object is gone.
    void Release();

private:
    struct State;
    QDBusConnection mBus;
    std::shared_ptr<State> mState;
};
