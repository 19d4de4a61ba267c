#include "keyboard/key_canvas.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace key_canvas {
namespace {

QRgb ToRgb(TColor color) {
    return qRgb(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

// Calls visit(pixel) for each pixel of [x0, x1) x [y0, y1) inside the image.
template <typename Visit>
void ForEachPixel(QImage& image, std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1,
                  Visit visit) {
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
        return;
    const std::int64_t left = std::max<std::int64_t>(x0, 0);
    const std::int64_t top = std::max<std::int64_t>(y0, 0);
    const std::int64_t right = std::min<std::int64_t>(x1, image.width());
    const std::int64_t bottom = std::min<std::int64_t>(y1, image.height());
    for (std::int64_t y = top; y < bottom; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(static_cast<int>(y)));
        for (std::int64_t x = left; x < right; ++x)
            visit(row[x]);
    }
}

void Fill(QImage& image, std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1,
          TColor color) {
    const QRgb rgb = ToRgb(color);
    ForEachPixel(image, x0, y0, x1, y1, [rgb](QRgb& pixel) { pixel = rgb; });
}

} // namespace

void Rectangle(QImage& image, int left, int top, int right, int bottom, TColor brush, TColor pen) {
    if (right <= left || bottom <= top)
        return;
    Fill(image, left, top, right, bottom, brush);
    Fill(image, left, top, right, top + 1, pen);
    Fill(image, left, bottom - 1, right, bottom, pen);
    Fill(image, left, top, left + 1, bottom, pen);
    Fill(image, right - 1, top, right, bottom, pen);
}

void HorizontalLine(QImage& image, int y, int x0, int x1, TColor pen) {
    Fill(image, std::min(x0, x1), y, std::max(x0, x1), std::int64_t{y} + 1, pen);
}

void VerticalLine(QImage& image, int x, int y0, int y1, TColor pen) {
    Fill(image, x, std::min(y0, y1), std::int64_t{x} + 1, std::max(y0, y1), pen);
}

void Invert(QImage& image, const PixelRect& rect) {
    if (rect.width <= 0 || rect.height <= 0)
        return;
    ForEachPixel(image, rect.x, rect.y, std::int64_t{rect.x} + rect.width,
                 std::int64_t{rect.y} + rect.height,
                 [](QRgb& pixel) { pixel = 0xFF000000u | (~pixel & 0x00FFFFFFu); });
}

QImage ToDeviceResolution(const QImage& canvas, double ratio) {
    if (!(ratio > 1.0 && ratio <= 8.0) || canvas.isNull())
        return canvas;
    const QImage source = canvas.convertToFormat(QImage::Format_RGB32);
    const int width = static_cast<int>(std::ceil(source.width() * ratio));
    const int height = static_cast<int>(std::ceil(source.height() * ratio));
    QImage device(width, height, QImage::Format_RGB32);
    // Device pixel d shows canvas pixel floor(d / ratio); counted in thousandths so that a ratio
    // of 1.5 splits the pixels the same way on every machine.
    const std::int64_t thousandths = std::llround(ratio * 1000.0);
    const auto sourceIndex = [thousandths](int device, int limit) {
        return std::min<int>(static_cast<int>(std::int64_t{device} * 1000 / thousandths),
                             limit - 1);
    };
    std::vector<int> columns(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x)
        columns[static_cast<std::size_t>(x)] = sourceIndex(x, source.width());
    for (int y = 0; y < height; ++y) {
        const auto* from =
            reinterpret_cast<const QRgb*>(source.constScanLine(sourceIndex(y, source.height())));
        auto* to = reinterpret_cast<QRgb*>(device.scanLine(y));
        for (int x = 0; x < width; ++x)
            to[x] = from[columns[static_cast<std::size_t>(x)]];
    }
    device.setDevicePixelRatio(ratio);
    return device;
}

} // namespace key_canvas
