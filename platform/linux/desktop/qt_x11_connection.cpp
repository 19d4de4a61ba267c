#include "platform/linux/desktop/qt_x11_connection.h"

#include <QGuiApplication>

xcb_connection_t* QtX11Connection() {
    const auto* x11 = qGuiApp != nullptr
                          ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>()
                          : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}
