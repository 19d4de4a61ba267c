#pragma once

// Decides whether a press of the pointer, as the window system reported it, will reach the
// keyboard as a left press once Qt delivers it, and if so plays it there ahead of Qt.

#include "formats/x11_pointer_press.h"

class TVKeys;

// Runs on the GUI thread, between Qt reading the event and delivering it. Plays nothing where
// Qt might give the press to anyone else: another widget or window under the pointer, an open
// popup or modal dialog, a widget holding the mouse, another button already down.
void PlayPressAhead(TVKeys& keys, const PointerPress& press);
