#pragma once

// The keyboard's geometry as plain functions over plain data: which notes are visible, where
// each key lies, which key a point hits and which pixels show a key pressed. Nothing here needs
// a display, so all of it is tested and fuzzed without one.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class TKeyboardOrientation : std::uint8_t { kbHorizontal = 0, kbVertical = 1 };

// A white index: the white key a visible range starts with.
enum class TKeyboardStartNote : std::uint8_t { C = 0, D, E, F, G, A, B };

inline constexpr std::array<const char*, 7> NoteLetters{"C", "D", "E", "F", "G", "A", "B"};
inline constexpr std::array<const char*, 12> NoteNames{"C",  "C#", "D",  "D#", "E",  "F",
                                                       "F#", "G",  "G#", "A",  "A#", "B"};
inline constexpr std::array<int, 7> WhiteKeySemitones{0, 2, 4, 5, 7, 9, 11};
// Moves each black key off the centre of its boundary line, towards higher notes when positive.
// Indexed by the white key below the black key; E and B carry none.
inline constexpr std::array<int, 7> BlackKeyShift{-1, +1, 0, -1, 0, +1, 0};

// Octaves above this would push note numbers past the range of a 32-bit int.
inline constexpr int kMaxBaseOctave = 100'000'000;

bool HasBlackKeyAbove(int whiteIndex);

// Everything the layout depends on.
struct KeyboardShape {
    TKeyboardOrientation orientation = TKeyboardOrientation::kbHorizontal;
    int width = 200;
    int height = 50;
    int noteWidth = 10;
    int baseOctave = 3;
    TKeyboardStartNote baseNote = TKeyboardStartNote::C;
};

// Values no widget setter lets through can still reach the pure functions; they are brought
// into range here so that no walk hangs and no table is read out of bounds.
KeyboardShape Sanitized(const KeyboardShape& shape);

// A pixel rectangle: [x, x + width) x [y, y + height).
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PixelRect&) const = default;
};

struct KeyMetrics {
    int KeyLength = 0;  // along the key axis
    int KeyBreadth = 0; // across the keys
    int BlackWidth = 0; // always odd
    int HalfBlack = 0;
    int BlackLength = 0;
};

KeyMetrics GetKeyMetrics(const KeyboardShape& shape);

struct NoteSplit {
    int octave = 0;
    int whiteIndex = 0; // for a black key, the white key below it
    bool black = false;
};

// Splits a note offset counted from a C (0 or more).
NoteSplit SplitNote(int offset);

// "C-1" for 0, "A0" for 21, "C#4" for 61; empty outside 0..127.
std::string NoteToStr(int note);

// Name of the lowest visible white key, for example "A0".
std::string BaseKeyName(int baseOctave, TKeyboardStartNote baseNote);

int FirstVisibleNote(const KeyboardShape& shape);

struct Boundary {
    int along = 0;      // position of the boundary line
    int whiteBelow = 0; // white index of the key below the line
    bool blackDrawn = false;
    int blackStart = 0; // along position of the black key's lower edge, when drawn
};

struct KeyboardWalk {
    int firstNote = 0;
    int lastNote = 0;
    std::vector<Boundary> boundaries;
};

// Walks the boundaries from the lowest visible key upwards, as a drawing pass does.
KeyboardWalk WalkKeyboard(const KeyboardShape& shape);

// Where a drawn black key lies on the canvas, outline included.
PixelRect BlackKeyRect(const KeyboardShape& shape, const Boundary& boundary);

struct NoteHit {
    int note = 0; // may lie outside 0..127; callers check
    int velocity = 0;
};

NoteHit NoteFromPoint(const KeyboardShape& shape, bool velocityMode, int x, int y);

struct KeyInversion {
    std::array<PixelRect, 2> rects{};
    int count = 0; // 0 when the note is not visible, 1 for a black key, 2 for a white key
};

// The areas whose inversion shows a key pressed, in the order they are inverted.
KeyInversion KeyInversionRects(const KeyboardShape& shape, int firstNote, int lastNote, int note);
