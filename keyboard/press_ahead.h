#pragma once

// Plays a press of the pointer on the keyboard as the window system reports it, ahead of Qt,
// when Qt will give it to the keyboard as a left press and has delivered everything before it.

#include "formats/x11_input_event.h"

#include <QObject>

#include <optional>

class TVKeys;

class PressAhead final : public QObject {
public:
    // Watches what Qt delivers from construction to destruction; needs the application object.
    explicit PressAhead(TVKeys& keys);

    // Runs on the GUI thread, between Qt reading the press and delivering it; before is the key
    // or button press or release read just before it. Plays nothing where Qt might give the
    // press to anyone else (another widget or window under the pointer, an open popup or modal
    // dialog, a widget holding the mouse, another button already down), nor while Qt has yet
    // to deliver what came before it: a click on the send button just before must send first.
    void Pressed(const X11InputEvent& press, const std::optional<X11InputEvent>& before);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TVKeys& keys_;
    // The last key or button press or release Qt delivered to a window of the program.
    std::optional<X11InputEvent> delivered_;
};
