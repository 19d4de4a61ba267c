#include "keyboard/press_ahead.h"

#include "keyboard/vkeys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWindow>

namespace {

// The X server's number of a button, as Qt's X11 support maps them.
std::uint32_t XButton(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return 1;
    case Qt::MiddleButton:
        return 2;
    case Qt::RightButton:
        return 3;
    default:
        return 8 + static_cast<std::uint32_t>(qCountTrailingZeroBits(button >> 3));
    }
}

} // namespace

PressAhead::PressAhead(TVKeys& keys) : keys_(keys) {
    qApp->installEventFilter(this);
}

bool PressAhead::eventFilter(QObject* watched, QEvent* event) {
    // What the window system reports reaches a window first, then the widget in it.
    if (!watched->isWindowType() || !event->spontaneous())
        return false;
    using Kind = X11InputEvent::Kind;
    X11InputEvent seen;
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        const auto* key = static_cast<const QKeyEvent*>(event);
        seen.kind = event->type() == QEvent::KeyPress ? Kind::KeyPress : Kind::KeyRelease;
        seen.detail = key->nativeScanCode();
        break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<const QMouseEvent*>(event);
        seen.kind =
            event->type() == QEvent::MouseButtonPress ? Kind::ButtonPress : Kind::ButtonRelease;
        seen.detail = XButton(mouse->button());
        break;
    }
    default:
        return false;
    }
    seen.time = static_cast<std::uint32_t>(static_cast<const QInputEvent*>(event)->timestamp());
    delivered_ = seen;
    return false;
}

void PressAhead::Pressed(const X11InputEvent& press, const std::optional<X11InputEvent>& before) {
    if (before && !(delivered_ && delivered_->SameAs(*before)))
        return;
    if (press.detail != 1 || press.emulatedFromTouch || !keys_.isVisible() || !keys_.isEnabled())
        return;
    if (QGuiApplication::mouseButtons() != Qt::NoButton || QWidget::mouseGrabber() != nullptr ||
        QApplication::activePopupWidget() != nullptr)
        return;
    QWidget* top = keys_.window();
    const QWidget* modal = QApplication::activeModalWidget();
    const QWindow* window = top->windowHandle();
    if ((modal != nullptr && modal != top) || window == nullptr || window->winId() != press.window)
        return;
    // The window system counts the screen's pixels, Qt's widgets their own. Qt drops the
    // fraction of a pixel that XInput 2 gives before it scales, and so does this.
    const qreal ratio = window->devicePixelRatio();
    const QPointF inWindow(static_cast<int>(press.x) / ratio, static_cast<int>(press.y) / ratio);
    if (top->childAt(inWindow.toPoint()) != &keys_)
        return;
    const QPoint inKeys = keys_.mapFrom(top, inWindow).toPoint();
    keys_.PlayPressAhead(inKeys.x(), inKeys.y(), press.time);
}
