#pragma once

// A press of a pointer button as the X server reports it, read from the event's bytes: the core
// ButtonPress, or XInput 2's XI_ButtonPress (a generic event of that extension). The bytes are
// laid out as libxcb hands them over: 32 bytes, the full sequence number, then whatever a generic
// event carries beyond 32 bytes. Every field is checked against the bytes given.

#include <cstdint>
#include <optional>
#include <span>

struct PointerPress {
    std::uint32_t window = 0; // the window the event was reported on
    double x = 0;             // in that window, in the screen's pixels
    double y = 0;
    std::uint32_t time = 0; // the server's time in milliseconds, as Qt stamps the event
    std::uint32_t button = 0;
    // XInput 2 says so of a press made up from a touch, which Qt handles as a touch.
    bool emulatedFromTouch = false;
};

// How many bytes libxcb holds for the event that starts with head.
std::uint64_t XcbEventBytes(std::span<const std::uint8_t, 36> head);

// Nothing for any other event, or for bytes too few for what they claim to be. xinputOpcode is
// the XInputExtension's major opcode on that connection, 0 while unknown.
std::optional<PointerPress> ParsePointerPress(std::span<const std::uint8_t> event,
                                              std::uint8_t xinputOpcode);
