#pragma once

// Hands each press of a pointer button on X11 to pressed as Qt reads it from the X server, one
// pass of the event loop before Qt delivers it to a widget as a QMouseEvent, together with the
// press or release (of a key or a button) read just before it. Qt still delivers every event as
// it always does. Does nothing on other platforms.

#include "formats/x11_input_event.h"

#include <QAbstractNativeEventFilter>

#include <functional>
#include <optional>

using PointerPressed =
    std::function<void(const X11InputEvent& press, const std::optional<X11InputEvent>& before)>;

class X11PointerPresses final : public QAbstractNativeEventFilter {
public:
    // Watches from construction to destruction; needs the application object.
    explicit X11PointerPresses(PointerPressed pressed);
    ~X11PointerPresses() override;
    X11PointerPresses(const X11PointerPresses&) = delete;
    X11PointerPresses& operator=(const X11PointerPresses&) = delete;

    // Runs on the GUI thread, as Qt reads each event from the X server.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    std::uint8_t XInputOpcode();

    PointerPressed pressed_;
    std::optional<X11InputEvent> last_;
    // Asked for at construction, read at the first generic event: by then the answer is there.
    unsigned int opcodeRequest_ = 0;
    bool opcodeKnown_ = false;
    std::uint8_t xinputOpcode_ = 0;
};
