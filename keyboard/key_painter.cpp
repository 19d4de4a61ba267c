#include "keyboard/key_painter.h"

#include "keyboard/key_canvas.h"

#include <QImage>

namespace key_painter {
namespace {

void DrawBlackKey(QImage& canvas, const PixelRect& key, const KeyColors& colors) {
    key_canvas::Rectangle(canvas, key.x, key.y, key.x + key.width, key.y + key.height,
                          colors.blackKeys, colors.pen);
}

} // namespace

KeyboardWalk DrawKeysHorizontal(QImage& canvas, const KeyboardShape& shape,
                                const KeyColors& colors) {
    const KeyboardWalk walk = WalkKeyboard(shape);
    // Each line goes down before the black key on it, so the key covers the line where they meet.
    for (const Boundary& boundary : walk.boundaries) {
        key_canvas::VerticalLine(canvas, boundary.along, 0, shape.height, colors.pen);
        if (boundary.blackDrawn)
            DrawBlackKey(canvas, BlackKeyRect(shape, boundary), colors);
    }
    return walk;
}

KeyboardWalk DrawKeysVertical(QImage& canvas, const KeyboardShape& shape, const KeyColors& colors) {
    const KeyboardWalk walk = WalkKeyboard(shape);
    for (const Boundary& boundary : walk.boundaries) {
        key_canvas::HorizontalLine(canvas, shape.height - 1 - boundary.along, 0, shape.width,
                                   colors.pen);
        if (boundary.blackDrawn)
            DrawBlackKey(canvas, BlackKeyRect(shape, boundary), colors);
    }
    return walk;
}

void InvertKey(QImage& canvas, const KeyboardShape& shape, int firstNote, int lastNote, int note) {
    const KeyInversion inversion = KeyInversionRects(shape, firstNote, lastNote, note);
    for (int i = 0; i < inversion.count; ++i)
        key_canvas::Invert(canvas, inversion.rects[i]);
}

KeyboardWalk PaintKeyboard(QImage& canvas, const KeyboardShape& shape, const KeyColors& colors,
                           const std::bitset<128>& pressed) {
    key_canvas::Rectangle(canvas, 0, 0, shape.width, shape.height, colors.white, colors.pen);
    const KeyboardWalk walk = shape.orientation == TKeyboardOrientation::kbVertical
                                  ? DrawKeysVertical(canvas, shape, colors)
                                  : DrawKeysHorizontal(canvas, shape, colors);
    for (int note = 0; note < 128; ++note)
        if (pressed.test(static_cast<std::size_t>(note)))
            InvertKey(canvas, shape, walk.firstNote, walk.lastNote, note);
    return walk;
}

} // namespace key_painter
