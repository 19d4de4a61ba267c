#pragma once

// Pastes into a line edit in one step. QLineEdit's own paste records an undo step per pasted
// character and copies the rest of the text for each, so its time grows with the square of the
// paste: a SysEx dump of 64 KiB held the window for a second, and far longer in a debug build.

#include <QClipboard>
#include <QEvent>

class QLineEdit;

// Replaces the selection, or inserts at the cursor, the clipboard's text in mode, with line
// breaks and tabs as blanks, cut to what the line's maximum length leaves room for. Reports the
// change through textEdited, as the user's own edits are. False when there is nothing to paste.
bool PasteWhole(QLineEdit& line, QClipboard::Mode mode);

// Takes the events that paste into line (the paste shortcuts, the context menu, whose Paste
// then pastes whole, and on X11 a middle click) and pastes with PasteWhole; true when event was
// one of them and is handled. A combo box hands its keys and its context menu requests to its
// line without showing them to the line's event filters: the box's events go here too.
bool PasteEventTaken(QLineEdit& line, QEvent& event);
