#pragma once

// A press or release of a key or a pointer button as the X server reports it, read from the
// event's bytes: the core events, or XInput 2's (generic events of that extension). The bytes
// are laid out as libxcb hands them over: 32 bytes, the full sequence number, then whatever a
// generic event carries beyond 32 bytes. Every field is checked against the bytes given.

#include <cstdint>
#include <optional>
#include <span>

struct X11InputEvent {
    // The numbers of the core protocol and of XInput 2 alike.
    enum class Kind : std::uint8_t {
        KeyPress = 2,
        KeyRelease = 3,
        ButtonPress = 4,
        ButtonRelease = 5
    };
    Kind kind = Kind::ButtonPress;
    std::uint32_t time = 0;   // the server's time in milliseconds, as Qt stamps the event
    std::uint32_t detail = 0; // the button, or the key code
    std::uint32_t window = 0; // the window the event was reported on
    double x = 0;             // in that window, in the screen's pixels
    double y = 0;
    // XInput 2 says so of a pointer event made up from a touch, which Qt handles as a touch.
    bool emulatedFromTouch = false;

    // The same press or release, wherever it was reported.
    bool SameAs(const X11InputEvent& other) const {
        return kind == other.kind && time == other.time && detail == other.detail;
    }
};

// How many bytes libxcb holds for the event that starts with head.
std::uint64_t XcbEventBytes(std::span<const std::uint8_t, 36> head);

// Nothing for any other event, or for bytes too few for what they claim to be. xinputOpcode is
// the XInputExtension's major opcode on that connection, 0 while unknown.
std::optional<X11InputEvent> ParseX11InputEvent(std::span<const std::uint8_t> event,
                                                std::uint8_t xinputOpcode);
