#include "platform/linux/desktop/x11_focus_loss.h"

#include <QCoreApplication>

#include <xcb/xcb.h>

X11FocusLoss::X11FocusLoss(std::function<void()> keysLost) : keysLost_(std::move(keysLost)) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

bool X11FocusLoss::nativeEventFilter(const QByteArray& eventType, void* message,
                                     qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || message == nullptr)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // The top bit marks an event another client sent.
    if ((event->response_type & 0x7F) != XCB_FOCUS_OUT)
        return false;
    // Sent only because the pointer is over the window, or for the focus moving into a window
    // inside it: the keys still come here.
    const auto* focusOut = static_cast<const xcb_focus_out_event_t*>(message);
    if (focusOut->detail == XCB_NOTIFY_DETAIL_POINTER ||
        focusOut->detail == XCB_NOTIFY_DETAIL_INFERIOR)
        return false;
    keysLost_();
    // Qt still takes the event as it always does.
    return false;
}
