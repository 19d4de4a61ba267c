#include "keyboard/computer_keys.h"

#include <algorithm>
#include <array>
#include <climits>

namespace {

struct PlayingKey {
    std::uint32_t scanCode;
    char usCharacter;
    int semitones;
};

// X11 key codes of a pc105 keyboard, named by their US characters.
constexpr std::array<PlayingKey, kPlayingKeyCount> kPlayingKeys{{
    // Bottom letter row, black keys on the home row.
    {52, 'Z', 0},
    {39, 'S', 1},
    {53, 'X', 2},
    {40, 'D', 3},
    {54, 'C', 4},
    {55, 'V', 5},
    {42, 'G', 6},
    {56, 'B', 7},
    {43, 'H', 8},
    {57, 'N', 9},
    {44, 'J', 10},
    {58, 'M', 11},
    {59, ',', 12},
    // Top letter row, black keys on the digits.
    {24, 'Q', 12},
    {11, '2', 13},
    {25, 'W', 14},
    {12, '3', 15},
    {26, 'E', 16},
    {27, 'R', 17},
    {14, '5', 18},
    {28, 'T', 19},
    {15, '6', 20},
    {29, 'Y', 21},
    {16, '7', 22},
    {30, 'U', 23},
    {31, 'I', 24},
    {32, 'O', 25},
    {33, 'P', 26},
}};

} // namespace

std::optional<int> PlayingKeyIndex(std::uint32_t scanCode) {
    for (int i = 0; i < kPlayingKeyCount; ++i)
        if (kPlayingKeys[static_cast<std::size_t>(i)].scanCode == scanCode)
            return i;
    return std::nullopt;
}

int PlayingRowsStart(int lowestVisibleNote) {
    if (lowestVisibleNote <= 0)
        return 0;
    // Rounded up in 64 bits: near the top of int the next C lies beyond it.
    const std::int64_t start = (std::int64_t{lowestVisibleNote} + 11) / 12 * 12;
    return static_cast<int>(std::min<std::int64_t>(start, INT_MAX));
}

std::optional<int> NoteForPlayingKey(int playingKey, int lowestVisibleNote) {
    if (playingKey < 0 || playingKey >= kPlayingKeyCount)
        return std::nullopt;
    const std::int64_t note = std::int64_t{PlayingRowsStart(lowestVisibleNote)} +
                              kPlayingKeys[static_cast<std::size_t>(playingKey)].semitones;
    if (note > 127)
        return std::nullopt;
    return static_cast<int>(note);
}

std::optional<int> NoteForScanCode(std::uint32_t scanCode, int lowestVisibleNote) {
    const std::optional<int> key = PlayingKeyIndex(scanCode);
    return key ? NoteForPlayingKey(*key, lowestVisibleNote) : std::nullopt;
}

std::uint32_t UsScanCodeForCharacter(int character) {
    for (const PlayingKey& key : kPlayingKeys)
        if (key.usCharacter == character)
            return key.scanCode;
    return 0;
}
