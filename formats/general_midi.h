#pragma once

// The sounds every General MIDI device offers under the same numbers: the 128 instruments, and
// the drum kits of the percussion channel (channel 10). What a musician picks by name when the
// device cannot tell its own names.

#include <span>
#include <string_view>

struct NamedSound {
    // Bank select: controller 0 (MSB) and 32 (LSB).
    int bankMsb = 0;
    int bankLsb = 0;
    int program = 0; // 0-127
    std::string_view name;
};

// The instruments, program 0 to 127, in bank 0.
std::span<const NamedSound> GeneralMidiInstruments();

// The drum kits of the percussion channel, in the rhythm bank General MIDI 2 names (MSB 120);
// a level-1 device plays its one kit whatever is chosen.
std::span<const NamedSound> GeneralMidiDrumKits();

// The channel, counted from 1, that plays drums on a General MIDI device.
inline constexpr int kPercussionChannel = 10;
