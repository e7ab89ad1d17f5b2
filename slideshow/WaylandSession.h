#pragma once
// What the show needs of a Wayland session beyond Qt: a way to wait until the
// compositor has answered (such as which output a new window entered), and
// the compositor's idle inhibitor on the show's surface, which wlroots
// compositors honour where they ignore the session bus.
#include <memory>

class QWindow;

namespace wayland {

// Whether the program runs as a Wayland client.
bool Active();

// Waits, at most timeoutMs, until the compositor has handled every request
// sent so far, and hands its answers to Qt's windows (such as the screen a
// window is on). False when not on Wayland or when no answer came in time.
bool Settle(int timeoutMs = 1000);

// Tells when the compositor has presented a window's next frame: by then it
// has placed the window and said which outputs it is on.
class FramePresented {
public:
    explicit FramePresented(QWindow* window);
    ~FramePresented();
    FramePresented(const FramePresented&) = delete;
    FramePresented& operator=(const FramePresented&) = delete;

    // Whether the frame was presented; never when not on Wayland.
    bool Done();

private:
    struct Objects;
    std::unique_ptr<Objects> mObjects;
};

// Keeps the output from blanking while the window's surface is visible, as
// long as this object lives. Holds nothing when not on Wayland or when the
// compositor does not offer it.
class IdleInhibitor {
public:
    explicit IdleInhibitor(QWindow* window);
    ~IdleInhibitor();
    IdleInhibitor(const IdleInhibitor&) = delete;
    IdleInhibitor& operator=(const IdleInhibitor&) = delete;

    bool Held() const;

private:
    struct Objects;
    std::unique_ptr<Objects> mObjects;
};

} // namespace wayland
