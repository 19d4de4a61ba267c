#pragma once

// Draws the keyboard onto a canvas: the released picture first, then every pressed visible key
// inverted once. The pressed look is the released picture with part of the key inverted, so the
// same inversion presses and releases a key.

#include "keyboard/graphics_objects.h"
#include "keyboard/key_geometry.h"
#include "keyboard/key_labels.h"

#include <bitset>

class QImage;

namespace key_painter {

struct KeyColors {
    TColor white = clWhite;
    TColor blackKeys = clBlack; // the black brush, or the gray one while disabled
    TColor pen = clBlack;
};

// Boundary lines and black keys; returns the visible range.
KeyboardWalk DrawKeysHorizontal(QImage& canvas, const KeyboardShape& shape,
                                const KeyColors& colors);
KeyboardWalk DrawKeysVertical(QImage& canvas, const KeyboardShape& shape, const KeyColors& colors);

// Inverts the pressed area of one key if it lies in [firstNote, lastNote]; returns the areas
// inverted.
KeyInversion InvertKey(QImage& canvas, const KeyboardShape& shape, int firstNote, int lastNote,
                       int note);

// The whole picture, with the names labels asks for on the white keys of a horizontal
// keyboard; returns the visible range it drew.
KeyboardWalk PaintKeyboard(QImage& canvas, const KeyboardShape& shape, const KeyColors& colors,
                           const std::bitset<128>& pressed, KeyLabels labels = KeyLabels::None);

} // namespace key_painter
