#pragma once

// On X11 the window system may take the keyboard focus from the program and give it back before
// Qt tells the widgets anything: Qt waits a moment after a focus-out for the focus-in that often
// follows it, and when that comes, the focus never changed as far as the widgets know. A key
// released in between was released in another window; its release never reaches the program.
//
// Calls keysLost at every focus-out the X server reports for a window of the program, whatever
// follows it. Does nothing on other platforms.

#include <QAbstractNativeEventFilter>

#include <functional>

class X11FocusLoss final : public QAbstractNativeEventFilter {
public:
    // Watches from construction to destruction; needs the application object.
    explicit X11FocusLoss(std::function<void()> keysLost);
    X11FocusLoss(const X11FocusLoss&) = delete;
    X11FocusLoss& operator=(const X11FocusLoss&) = delete;

    // Runs on the GUI thread, as Qt reads each event from the X server.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    std::function<void()> keysLost_;
};
