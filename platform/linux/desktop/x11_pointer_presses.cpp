#include "platform/linux/desktop/x11_pointer_presses.h"

#include "platform/linux/desktop/qt_x11_connection.h"

#include <QCoreApplication>

#include <cstdlib>
#include <cstring>
#include <span>

namespace {

constexpr char kXInputExtension[] = "XInputExtension";

} // namespace

X11PointerPresses::X11PointerPresses(PointerPressed pressed) : pressed_(std::move(pressed)) {
    xcb_connection_t* connection = QtX11Connection();
    if (connection == nullptr)
        return;
    opcodeRequest_ =
        xcb_query_extension(connection, std::strlen(kXInputExtension), kXInputExtension).sequence;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11PointerPresses::~X11PointerPresses() {
    // An answer nobody read would stay with the connection.
    if (xcb_connection_t* connection = QtX11Connection();
        connection != nullptr && opcodeRequest_ != 0 && !opcodeKnown_)
        xcb_discard_reply(connection, opcodeRequest_);
}

std::uint8_t X11PointerPresses::XInputOpcode() {
    if (!opcodeKnown_) {
        opcodeKnown_ = true;
        xcb_connection_t* connection = QtX11Connection();
        xcb_query_extension_reply_t* reply =
            connection != nullptr ? xcb_query_extension_reply(connection, {opcodeRequest_}, nullptr)
                                  : nullptr;
        if (reply != nullptr && reply->present)
            xinputOpcode_ = reply->major_opcode;
        std::free(reply);
    }
    return xinputOpcode_;
}

bool X11PointerPresses::nativeEventFilter(const QByteArray& eventType, void* message,
                                          qintptr* /*result*/) {
    if (eventType != "xcb_generic_event_t" || message == nullptr)
        return false;
    const auto* bytes = static_cast<const std::uint8_t*>(message);
    const std::uint8_t type = bytes[0];
    if ((type < XCB_KEY_PRESS || type > XCB_BUTTON_RELEASE) && type != XCB_GE_GENERIC)
        return false;
    const std::span<const std::uint8_t, 36> head(bytes, 36);
    const std::optional<X11InputEvent> input =
        ParseX11InputEvent({bytes, static_cast<std::size_t>(XcbEventBytes(head))},
                           type == XCB_GE_GENERIC ? XInputOpcode() : 0);
    // Buttons 4 to 7 turn the wheel: Qt delivers them as wheel events, and they play nothing.
    const bool isButton = input && (input->kind == X11InputEvent::Kind::ButtonPress ||
                                    input->kind == X11InputEvent::Kind::ButtonRelease);
    if (!input || (isButton && input->detail >= 4 && input->detail <= 7))
        return false;
    if (input->kind == X11InputEvent::Kind::ButtonPress)
        pressed_(*input, last_);
    last_ = input;
    return false;
}
