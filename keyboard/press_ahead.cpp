#include "keyboard/press_ahead.h"

#include "keyboard/vkeys.h"

#include <QApplication>
#include <QWindow>

void PlayPressAhead(TVKeys& keys, const PointerPress& press) {
    if (press.button != 1 || press.emulatedFromTouch || !keys.isVisible() || !keys.isEnabled())
        return;
    if (QGuiApplication::mouseButtons() != Qt::NoButton || QWidget::mouseGrabber() != nullptr ||
        QApplication::activePopupWidget() != nullptr)
        return;
    QWidget* top = keys.window();
    const QWidget* modal = QApplication::activeModalWidget();
    const QWindow* window = top->windowHandle();
    if ((modal != nullptr && modal != top) || window == nullptr || window->winId() != press.window)
        return;
    // The window system counts the screen's pixels, Qt's widgets their own. Qt drops the
    // fraction of a pixel that XInput 2 gives before it scales, and so does this.
    const qreal ratio = window->devicePixelRatio();
    const QPointF inWindow(static_cast<int>(press.x) / ratio, static_cast<int>(press.y) / ratio);
    if (top->childAt(inWindow.toPoint()) != &keys)
        return;
    const QPoint inKeys = keys.mapFrom(top, inWindow).toPoint();
    keys.PlayPressAhead(inKeys.x(), inKeys.y(), press.time);
}
