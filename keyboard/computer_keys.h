#pragma once

// Which note a key of the computer keyboard plays. Keys are known by their place on the
// keyboard (X11 key codes: Linux evdev codes plus 8), not by the letter printed on them, so the
// hands find the same notes on QWERTY, QWERTZ and AZERTY. Plain functions, no widgets.
//
// Two rows of a piano: the bottom letter row (Z to the comma key, black keys on S D G H J)
// plays an octave from a C, the top letter row (Q to P, black keys on the digits) the octave
// above it and two more notes.

#include <cstdint>
#include <optional>

// The number of keys that play, both rows together.
inline constexpr int kPlayingKeyCount = 28;

// The place of a playing key in the two rows, 0 to kPlayingKeyCount - 1, for an X11 key code;
// nothing for every other key.
std::optional<int> PlayingKeyIndex(std::uint32_t scanCode);

// The C at or above the lowest visible note: the rows start there, so that what the hands
// play is on screen.
int PlayingRowsStart(int lowestVisibleNote);

// The note the key at a place plays with the keyboard starting at lowestVisibleNote; nothing
// for a note outside 0..127, which no port could take.
std::optional<int> NoteForPlayingKey(int playingKey, int lowestVisibleNote);
// The same for a key known by its X11 key code; nothing for a key that does not play.
std::optional<int> NoteForScanCode(std::uint32_t scanCode, int lowestVisibleNote);

// For platforms that report no key codes (offscreen, some remote displays): the X11 key code
// of the key that shows this character on a US keyboard, for the characters of the playing
// keys (upper case letters, digits, comma); 0 for any other.
std::uint32_t UsScanCodeForCharacter(int character);
