#pragma once

// Pixel operations on the keyboard's canvas with the exact pixel coverage of the classic
// Windows drawing calls: a rectangle (r, b) excludes its right column and bottom row, a line
// excludes its end point, and everything is clipped to the image.

#include "keyboard/graphics_objects.h"
#include "keyboard/key_geometry.h"

class QImage;

namespace key_canvas {

// Fills [left, right) x [top, bottom) with the brush and outlines it with the pen on its
// outermost rows and columns.
void Rectangle(QImage& image, int left, int top, int right, int bottom, TColor brush, TColor pen);
void HorizontalLine(QImage& image, int y, int x0, int x1, TColor pen); // x1 excluded
void VerticalLine(QImage& image, int x, int y0, int y1, TColor pen);   // y1 excluded
// Replaces every pixel's colour by its bitwise complement.
void Invert(QImage& image, const PixelRect& rect);

// The canvas for a screen with ratio device pixels to each of the canvas's pixels (ratios from
// 1 to 8; others count as 1): each pixel becomes a block of whole device pixels, so key edges
// stay sharp in the two colours that meet there instead of being smoothed into grey. The result
// carries the ratio, so a painter draws it at the canvas's size.
QImage ToDeviceResolution(const QImage& canvas, double ratio);

} // namespace key_canvas
