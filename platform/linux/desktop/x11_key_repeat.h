#pragma once

// On X11 a held key normally repeats as a release followed by a press. Qt tells such a release
// from a real one by looking for the press behind it, which on a busy machine may not have been
// read yet: the note would end and sound again at every repeat. The X server can instead repeat
// the press alone, so that every release it sends is real.
//
// Asks for that on the application's X11 connection; true when the server agreed. Does nothing
// and returns false on other platforms. On Wayland the compositor leaves repeating to the
// client: Qt repeats a held key itself and marks each repeated release and press as a repeat, so
// no release is taken for a real one.
bool AskForPressOnlyKeyRepeat();
