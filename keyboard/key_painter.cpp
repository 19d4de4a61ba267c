#include "keyboard/key_painter.h"

#include "keyboard/key_canvas.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <string>

namespace key_painter {
namespace {

void DrawBlackKey(QImage& canvas, const PixelRect& key, const KeyColors& colors) {
    key_canvas::Rectangle(canvas, key.x, key.y, key.x + key.width, key.y + key.height,
                          colors.blackKeys, colors.pen);
}

// Each name near the lower end of its key, where no black key covers it; drawn before the
// pressed keys are inverted, so that a press inverts the name with its key.
void DrawKeyLabels(QImage& canvas, const KeyboardShape& shape, const KeyboardWalk& walk,
                   const KeyColors& colors, KeyLabels labels) {
    QPainter painter(&canvas);
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(std::clamp(shape.noteWidth / 2, 6, 11));
    painter.setFont(font);
    painter.setPen(QColor(static_cast<int>(colors.pen & 0xFF),
                          static_cast<int>((colors.pen >> 8) & 0xFF),
                          static_cast<int>((colors.pen >> 16) & 0xFF)));
    for (int note = std::max(walk.firstNote, 0); note <= std::min(walk.lastNote, 127); ++note) {
        const std::string label = KeyLabel(note, labels);
        const KeyInversion areas = KeyInversionRects(shape, walk.firstNote, walk.lastNote, note);
        if (label.empty() || areas.count != 2)
            continue;
        // The wider of a white key's two areas is the one below the black keys.
        const PixelRect& lower =
            areas.rects[0].width >= areas.rects[1].width ? areas.rects[0] : areas.rects[1];
        painter.drawText(QRect(lower.x, lower.y, lower.width, lower.height - 2),
                         Qt::AlignHCenter | Qt::AlignBottom, QString::fromStdString(label));
    }
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

KeyInversion InvertKey(QImage& canvas, const KeyboardShape& shape, int firstNote, int lastNote,
                       int note) {
    const KeyInversion inversion = KeyInversionRects(shape, firstNote, lastNote, note);
    for (int i = 0; i < inversion.count; ++i)
        key_canvas::Invert(canvas, inversion.rects[i]);
    return inversion;
}

KeyboardWalk PaintKeyboard(QImage& canvas, const KeyboardShape& shape, const KeyColors& colors,
                           const std::bitset<128>& pressed, KeyLabels labels) {
    key_canvas::Rectangle(canvas, 0, 0, shape.width, shape.height, colors.white, colors.pen);
    const bool vertical = shape.orientation == TKeyboardOrientation::kbVertical;
    const KeyboardWalk walk = vertical ? DrawKeysVertical(canvas, shape, colors)
                                       : DrawKeysHorizontal(canvas, shape, colors);
    if (labels != KeyLabels::None && !vertical)
        DrawKeyLabels(canvas, shape, walk, colors, labels);
    for (int note = 0; note < 128; ++note)
        if (pressed.test(static_cast<std::size_t>(note)))
            InvertKey(canvas, shape, walk.firstNote, walk.lastNote, note);
    return walk;
}

} // namespace key_painter
