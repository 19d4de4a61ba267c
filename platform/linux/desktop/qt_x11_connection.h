#pragma once

// The X server connection Qt's own windows use; nothing on other platforms or before the
// application object exists.

#include <xcb/xcb.h>

xcb_connection_t* QtX11Connection();
