#include "keyboard/computer_keys.h"
#include "keyboard/key_geometry.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

// Each playing key: its X11 key code, what it shows on three layouts, and the semitones it
// plays above the C the rows start at.
struct PlayingKeyRow {
    std::uint32_t scanCode;
    char qwerty;
    char qwertz;
    char azerty;
    int semitones;
};

const std::vector<PlayingKeyRow> kRows = {
    {52, 'Z', 'Y', 'W', 0},  {39, 'S', 'S', 'S', 1},  {53, 'X', 'X', 'X', 2},
    {40, 'D', 'D', 'D', 3},  {54, 'C', 'C', 'C', 4},  {55, 'V', 'V', 'V', 5},
    {42, 'G', 'G', 'G', 6},  {56, 'B', 'B', 'B', 7},  {43, 'H', 'H', 'H', 8},
    {57, 'N', 'N', 'N', 9},  {44, 'J', 'J', 'J', 10}, {58, 'M', 'M', ',', 11},
    {59, ',', ',', ';', 12}, {24, 'Q', 'Q', 'A', 12}, {11, '2', '2', '2', 13},
    {25, 'W', 'W', 'Z', 14}, {12, '3', '3', '3', 15}, {26, 'E', 'E', 'E', 16},
    {27, 'R', 'R', 'R', 17}, {14, '5', '5', '5', 18}, {28, 'T', 'T', 'T', 19},
    {15, '6', '6', '6', 20}, {29, 'Y', 'Z', 'Y', 21}, {16, '7', '7', '7', 22},
    {30, 'U', 'U', 'U', 23}, {31, 'I', 'I', 'I', 24}, {32, 'O', 'O', 'O', 25},
    {33, 'P', 'P', 'P', 26},
};

// The note follows the key's place alone: whatever letter a layout prints on it, the key code
// is the same, and the US letter leads back to it where no key code is reported.
TEST(ComputerKeys, BothRowsPlayByPlaceFromTheCAboveTheLowestVisibleKey) {
    ASSERT_EQ(kRows.size(), static_cast<std::size_t>(kPlayingKeyCount));
    const int a0 = FirstVisibleNote(
        {TKeyboardOrientation::kbHorizontal, 780, 75, 15, 1, TKeyboardStartNote::A});
    for (const PlayingKeyRow& row : kRows) {
        SCOPED_TRACE(row.qwerty);
        EXPECT_EQ(NoteForScanCode(row.scanCode, a0), 24 + row.semitones); // from C1
        EXPECT_EQ(NoteForScanCode(row.scanCode, 0), row.semitones);       // from C-1
        EXPECT_EQ(UsScanCodeForCharacter(row.qwerty), row.scanCode);
    }
    // Other keys play nothing: the home row's A and F, Space, Escape, the digit 1.
    for (std::uint32_t other : {38u, 41u, 65u, 9u, 10u, 0u, 300u})
        EXPECT_EQ(NoteForScanCode(other, a0), std::nullopt) << other;
    EXPECT_EQ(UsScanCodeForCharacter('A'), 0u);
    EXPECT_EQ(UsScanCodeForCharacter('z'), 0u); // Qt reports letters in upper case
}

TEST(ComputerKeys, RowsStartAtTheCAtOrAboveTheLowestKeyAndStopAt127) {
    struct Case {
        int lowestVisible;
        int rowsStart;
        std::optional<int> z, b, h, q;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, 7, 8, 12},            // C-1
        {21, 24, 24, 31, 32, 36},       // A0
        {24, 24, 24, 31, 32, 36},       // C1
        {25, 36, 36, 43, 44, 48},       // C#1
        {108, 108, 108, 115, 116, 120}, // C8
        {119, 120, 120, 127, {}, {}},   // B8: only the notes up to G9 are sent
        {12 * kMaxBaseOctave + 11, 12 * kMaxBaseOctave + 12, {}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lowestVisible);
        EXPECT_EQ(PlayingRowsStart(c.lowestVisible), c.rowsStart);
        EXPECT_EQ(NoteForScanCode(52, c.lowestVisible), c.z);
        EXPECT_EQ(NoteForScanCode(56, c.lowestVisible), c.b);
        EXPECT_EQ(NoteForScanCode(43, c.lowestVisible), c.h);
        EXPECT_EQ(NoteForScanCode(24, c.lowestVisible), c.q);
    }
    EXPECT_EQ(NoteForPlayingKey(-1, 0), std::nullopt);
    EXPECT_EQ(NoteForPlayingKey(kPlayingKeyCount, 0), std::nullopt);
}

} // namespace
