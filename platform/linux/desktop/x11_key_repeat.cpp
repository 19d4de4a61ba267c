#include "platform/linux/desktop/x11_key_repeat.h"

#include "platform/linux/desktop/qt_x11_connection.h"

#include <xcb/xcb.h>
// The C header names a field "explicit"; renamed while it is read, as C++ reserves the word.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>
#include <memory>

bool AskForPressOnlyKeyRepeat() {
    xcb_connection_t* connection = QtX11Connection();
    if (connection == nullptr)
        return false;
    // The extension has to be announced on this connection before its requests are taken.
    const std::unique_ptr<xcb_xkb_use_extension_reply_t, decltype(&std::free)> use(
        xcb_xkb_use_extension_reply(
            connection,
            xcb_xkb_use_extension(connection, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
            nullptr),
        &std::free);
    if (!use || use->supported == 0)
        return false;
    const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
    const std::unique_ptr<xcb_xkb_per_client_flags_reply_t, decltype(&std::free)> flags(
        xcb_xkb_per_client_flags_reply(
            connection,
            xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0),
            nullptr),
        &std::free);
    return flags && (flags->value & flag) != 0;
}
