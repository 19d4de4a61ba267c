#pragma once

#include "keyboard/key_geometry.h"

#include <QColor>

// A key's plain colours as the canvas holds them.
inline constexpr QRgb kWhite = 0xFFFFFFFF;
inline constexpr QRgb kBlack = 0xFF000000;

// The keyboards the tests keep coming back to.
namespace shapes {

// A new control with its defaults.
inline KeyboardShape Default() {
    return KeyboardShape{};
}

// The main window's keyboard: A0 to C8, the 88 keys of a piano.
inline KeyboardShape MainWindow(int width = 780) {
    return {TKeyboardOrientation::kbHorizontal, width, 75, 15, 1, TKeyboardStartNote::A};
}

inline KeyboardShape Standing() {
    return {TKeyboardOrientation::kbVertical, 75, 407, 15, 1, TKeyboardStartNote::A};
}

} // namespace shapes
