#pragma once

// Where the window goes when it first opens: at its designed place if it fits there, otherwise
// moved as little as needed so that all of it lies on the screen that holds it.

#include <QPoint>
#include <QRect>

// window: the designed rectangle, frame included where it is known. available: the screen's
// area free of panels. Returns the window's new top-left; a window larger than the screen keeps
// its top-left corner on the screen, where the caption and the first controls are.
QPoint PlaceOnScreen(const QRect& window, const QRect& available);
