#include "app/window_placement.h"

#include <algorithm>

namespace {

// The start of a span of the given length moved as little as possible into [low, low + room).
int FitSpan(int start, int length, int low, int room) {
    const int highest = low + room - length;
    return std::max(low, std::min(start, highest));
}

} // namespace

QPoint PlaceOnScreen(const QRect& window, const QRect& available) {
    if (!available.isValid())
        return window.topLeft();
    return {FitSpan(window.x(), window.width(), available.x(), available.width()),
            FitSpan(window.y(), window.height(), available.y(), available.height())};
}
