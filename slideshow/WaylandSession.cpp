#include "slideshow/WaylandSession.h"

#include <cstring>

#include <poll.h>

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>
#include <qpa/qwindowsysteminterface.h>

#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"

Q_LOGGING_CATEGORY(lcWayland, "velmora.wayland")

namespace wayland {
namespace {

wl_display* Display()
{
    if (!Active())
        return nullptr;
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    return native ? static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display")) : nullptr;
}

wl_surface* SurfaceOf(QWindow* window)
{
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    return native && window ? static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window))
                            : nullptr;
}

// Sends everything asked so far and waits, on a queue of our own, until the
// compositor has answered all of it. Qt's thread may be reading the same
// connection: the library hands each event to its own queue either way.
bool RoundTrip(wl_display* display, wl_event_queue* queue, int timeoutMs)
{
    auto* wrapped = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    if (!wrapped)
        return false;
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapped), queue);
    bool done = false;
    static const wl_callback_listener listener = {
        [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback* callback = wl_display_sync(wrapped);
    wl_proxy_wrapper_destroy(wrapped);
    wl_callback_add_listener(callback, &listener, &done);

    const QDeadlineTimer deadline(timeoutMs);
    while (!done) {
        if (wl_display_prepare_read_queue(display, queue) != 0) {
            if (wl_display_dispatch_queue_pending(display, queue) < 0)
                break;
            continue;
        }
        wl_display_flush(display);
        pollfd fd = {wl_display_get_fd(display), POLLIN, 0};
        const int ready = poll(&fd, 1, int(deadline.remainingTime()));
        if (ready <= 0) {
            wl_display_cancel_read(display);
            break;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_queue_pending(display, queue) < 0)
            break;
    }
    wl_callback_destroy(callback);
    return done;
}

// The compositor's idle inhibit manager, looked up once, on a queue of our
// own so that nothing of ours runs inside Qt's event handling.
struct Globals {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    zwp_idle_inhibit_manager_v1* idleInhibitManager = nullptr;
};

Globals* TheGlobals()
{
    static Globals* globals = [] {
        auto* g = new Globals;
        g->display = Display();
        if (!g->display)
            return g;
        g->queue = wl_display_create_queue(g->display);
        auto* wrapped = static_cast<wl_display*>(wl_proxy_create_wrapper(g->display));
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapped), g->queue);
        wl_registry* registry = wl_display_get_registry(wrapped);
        wl_proxy_wrapper_destroy(wrapped);
        static const wl_registry_listener listener = {
            [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
                auto* g = static_cast<Globals*>(data);
                if (std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0 &&
                    !g->idleInhibitManager)
                    g->idleInhibitManager = static_cast<zwp_idle_inhibit_manager_v1*>(
                        wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1));
            },
            [](void*, wl_registry*, uint32_t) {}};
        wl_registry_add_listener(registry, &listener, g);
        if (!RoundTrip(g->display, g->queue, 2000))
            qCWarning(lcWayland) << "the compositor did not list its globals in time";
        wl_registry_destroy(registry);
        qCInfo(lcWayland) << "idle inhibitor offered:" << (g->idleInhibitManager != nullptr);
        return g;
    }();
    return globals;
}

} // namespace

bool Active()
{
    // "wayland", and its variants such as "wayland-egl".
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

bool Settle(int timeoutMs)
{
    wl_display* display = Display();
    if (!display)
        return false;
    wl_event_queue* queue = wl_display_create_queue(display);
    const bool answered = RoundTrip(display, queue, timeoutMs);
    wl_event_queue_destroy(queue);
    if (!answered) {
        qCWarning(lcWayland) << "the compositor did not answer within" << timeoutMs << "ms";
        return false;
    }
    // The answers for Qt's own objects now wait in Qt's queue; this is what
    // Qt's event loop does with them on the same thread, and then what it
    // does with the window events they make (a window's new screen).
    wl_display_dispatch_pending(display);
    QWindowSystemInterface::flushWindowSystemEvents(QEventLoop::ExcludeUserInputEvents);
    return true;
}

struct FramePresented::Objects {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    wl_callback* callback = nullptr;
    bool done = false;
};

FramePresented::FramePresented(QWindow* window)
{
    wl_display* display = Display();
    wl_surface* surface = display ? SurfaceOf(window) : nullptr;
    if (!surface)
        return;
    mObjects = std::make_unique<Objects>();
    mObjects->display = display;
    mObjects->queue = wl_display_create_queue(display);
    // The request joins the surface's next commit, which Qt makes.
    auto* wrapped = static_cast<wl_surface*>(wl_proxy_create_wrapper(surface));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapped), mObjects->queue);
    mObjects->callback = wl_surface_frame(wrapped);
    wl_proxy_wrapper_destroy(wrapped);
    static const wl_callback_listener listener = {
        [](void* data, wl_callback*, uint32_t) { static_cast<Objects*>(data)->done = true; }};
    wl_callback_add_listener(mObjects->callback, &listener, mObjects.get());
}

FramePresented::~FramePresented()
{
    if (!mObjects)
        return;
    wl_callback_destroy(mObjects->callback);
    wl_event_queue_destroy(mObjects->queue);
}

bool FramePresented::Done()
{
    if (!mObjects)
        return false;
    // Qt's thread reads the connection; what it read for this queue waits here.
    if (!mObjects->done)
        wl_display_dispatch_queue_pending(mObjects->display, mObjects->queue);
    return mObjects->done;
}

struct IdleInhibitor::Objects {
    wl_display* display = nullptr;
    zwp_idle_inhibitor_v1* inhibitor = nullptr;
};

IdleInhibitor::IdleInhibitor(QWindow* window)
{
    Globals* g = TheGlobals();
    if (!g->idleInhibitManager)
        return;
    wl_surface* surface = SurfaceOf(window);
    if (!surface) {
        qCWarning(lcWayland) << "the show window has no surface yet: the output may blank";
        return;
    }
    mObjects = std::make_unique<Objects>();
    mObjects->display = g->display;
    mObjects->inhibitor = zwp_idle_inhibit_manager_v1_create_inhibitor(g->idleInhibitManager, surface);
    wl_display_flush(g->display);
}

IdleInhibitor::~IdleInhibitor()
{
    if (mObjects && mObjects->inhibitor) {
        zwp_idle_inhibitor_v1_destroy(mObjects->inhibitor);
        wl_display_flush(mObjects->display);
    }
}

bool IdleInhibitor::Held() const { return mObjects && mObjects->inhibitor; }

} // namespace wayland
