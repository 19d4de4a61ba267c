#include "keyboard/key_geometry.h"
#include "tests/keyboard/keyboard_shapes.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

int CountBlackKeys(const KeyboardWalk& walk) {
    int count = 0;
    for (const Boundary& boundary : walk.boundaries)
        count += boundary.blackDrawn ? 1 : 0;
    return count;
}

const Boundary& LastBlackKey(const KeyboardWalk& walk) {
    for (auto it = walk.boundaries.rbegin(); it != walk.boundaries.rend(); ++it)
        if (it->blackDrawn)
            return *it;
    throw std::logic_error("no black key");
}

TEST(KeyMetrics, BlackKeysAreAlwaysOddAndThreeFifthsLong) {
    struct Row {
        int noteWidth, height, blackWidth, halfBlack, blackLength;
    };
    for (const Row& row : std::vector<Row>{
             {15, 75, 9, 4, 45}, {10, 50, 7, 3, 30}, {1, 1, 1, 0, 0}, {5, 10, 3, 1, 6}}) {
        KeyboardShape shape;
        shape.noteWidth = row.noteWidth;
        shape.height = row.height;
        const KeyMetrics m = GetKeyMetrics(shape);
        EXPECT_EQ(m.BlackWidth, row.blackWidth) << row.noteWidth;
        EXPECT_EQ(m.HalfBlack, row.halfBlack) << row.noteWidth;
        EXPECT_EQ(m.BlackLength, row.blackLength) << row.height;
    }
}

TEST(KeyMetrics, StandingKeyboardSwapsLengthAndBreadth) {
    const KeyMetrics m = GetKeyMetrics(shapes::Standing());
    EXPECT_EQ(m.KeyLength, 407);
    EXPECT_EQ(m.KeyBreadth, 75);
    EXPECT_EQ(m.BlackLength, 45);
}

TEST(NoteNames, NamesCoverTheMidiRangeOnly) {
    const std::vector<std::pair<int, std::string>> rows{
        {0, "C-1"},  {21, "A0"}, {60, "C4"}, {61, "C#4"},   {108, "C8"},
        {127, "G9"}, {-1, ""},   {128, ""},  {INT_MIN, ""}, {INT_MAX, ""}};
    for (const auto& [note, name] : rows)
        EXPECT_EQ(NoteToStr(note), name) << note;
}

TEST(NoteNames, BaseKeyNameMatchesTheNameOfTheFirstNote) {
    EXPECT_EQ(BaseKeyName(3, TKeyboardStartNote::C), "C2");
    EXPECT_EQ(BaseKeyName(1, TKeyboardStartNote::A), "A0");
    EXPECT_EQ(BaseKeyName(0, TKeyboardStartNote::C), "C-1");
    for (int octave = 0; octave < 10; ++octave)
        for (int white = 0; white < 7; ++white) {
            KeyboardShape shape;
            shape.baseOctave = octave;
            shape.baseNote = static_cast<TKeyboardStartNote>(white);
            const int first = FirstVisibleNote(shape);
            if (first <= 127) {
                EXPECT_EQ(BaseKeyName(octave, shape.baseNote), NoteToStr(first));
            }
        }
}

TEST(SplitNote, SemitonesMapToWhiteIndexAndColour) {
    const int white[12] = {0, 0, 1, 1, 2, 3, 3, 4, 4, 5, 5, 6};
    const bool black[12] = {false, true,  false, true,  false, false,
                            true,  false, true,  false, true,  false};
    for (int semitone = 0; semitone < 12; ++semitone) {
        const NoteSplit split = SplitNote(36 + semitone);
        EXPECT_EQ(split.octave, 3);
        EXPECT_EQ(split.whiteIndex, white[semitone]) << semitone;
        EXPECT_EQ(split.black, black[semitone]) << semitone;
    }
}

TEST(Walk, NewControlShowsC2ToA4) {
    const KeyboardWalk walk = WalkKeyboard(shapes::Default());
    EXPECT_EQ(walk.firstNote, 36);
    EXPECT_EQ(walk.lastNote, 69);
    EXPECT_EQ(walk.boundaries.size(), 19u); // 20 white keys
    EXPECT_EQ(CountBlackKeys(walk), 14);
    // G#4 still fits: 190 + 7 < 200.
    EXPECT_EQ(LastBlackKey(walk).along, 190);
    EXPECT_EQ(BlackKeyRect(shapes::Default(), LastBlackKey(walk)), (PixelRect{187, 0, 7, 30}));
}

TEST(Walk, MainWindowKeyboardShowsThe88KeysOfAPiano) {
    const KeyboardWalk walk = WalkKeyboard(shapes::MainWindow());
    EXPECT_EQ(walk.firstNote, 21);
    EXPECT_EQ(walk.lastNote, 108);
    EXPECT_EQ(walk.boundaries.size() + 1, 52u);
    EXPECT_EQ(CountBlackKeys(walk), 36);
    EXPECT_EQ(BlackKeyRect(shapes::MainWindow(), walk.boundaries.front()),
              (PixelRect{12, 0, 9, 45})); // A#0: x 12 to 20, y 0 to 44
    EXPECT_EQ(BlackKeyRect(shapes::MainWindow(), LastBlackKey(walk)).x, 747); // A#7
}

TEST(Walk, StandingKeyboardCutsItsHighestBlackKeyAtTheTopEdge) {
    const KeyboardWalk walk = WalkKeyboard(shapes::Standing());
    EXPECT_EQ(walk.boundaries.size(), 27u);
    EXPECT_EQ(407 - 1 - walk.boundaries.back().along, 1); // the last boundary at y = 1
    EXPECT_EQ(CountBlackKeys(walk), 19);
    EXPECT_EQ(walk.firstNote, 21);
    EXPECT_EQ(walk.lastNote, 67);
    // F#4 spans y -2 to 6.
    EXPECT_EQ(BlackKeyRect(shapes::Standing(), LastBlackKey(walk)), (PixelRect{0, -2, 45, 9}));
}

TEST(Walk, BlackKeyThatDoesNotFitIsStillCountedAsLastNote) {
    KeyboardShape shape = shapes::MainWindow(787);
    shape.baseNote = TKeyboardStartNote::B;
    const KeyboardWalk walk = WalkKeyboard(shape);
    EXPECT_EQ(walk.firstNote, 23);
    EXPECT_EQ(walk.boundaries.back().along, 780);
    EXPECT_FALSE(walk.boundaries.back().blackDrawn);
    EXPECT_EQ(walk.lastNote, 111); // D#8, not drawn
}

TEST(Walk, OctavesBeyondTheMidiRangeAreCounted) {
    KeyboardShape shape = shapes::Default();
    shape.baseOctave = 20;
    const KeyboardWalk walk = WalkKeyboard(shape);
    EXPECT_EQ(walk.firstNote, 240);
    EXPECT_EQ(walk.lastNote, 273);
}

TEST(Walk, ValuesNoSetterAcceptsNeverHangOrReadOutOfBounds) {
    KeyboardShape shape = shapes::MainWindow();
    shape.noteWidth = 0;
    EXPECT_EQ(WalkKeyboard(shape).boundaries.size(), 779u);
    shape.noteWidth = INT_MIN;
    EXPECT_EQ(WalkKeyboard(shape).boundaries.size(), 779u);
    shape.noteWidth = INT_MAX;
    EXPECT_TRUE(WalkKeyboard(shape).boundaries.empty());
    shape.noteWidth = 15;
    shape.baseNote = static_cast<TKeyboardStartNote>(200);
    EXPECT_EQ(WalkKeyboard(shape).firstNote, 12 + 11); // clamped to B
    shape.baseOctave = INT_MAX;
    EXPECT_EQ(WalkKeyboard(shape).firstNote, kMaxBaseOctave * 12 + 11);
    shape.width = -5;
    EXPECT_TRUE(WalkKeyboard(shape).boundaries.empty());
}

struct HitRow {
    int x, y, note, velocity;
};

TEST(HitTest, MainWindowPoints) {
    for (const HitRow& row : std::vector<HitRow>{
             {7, 60, 21, 101},   // A0, white
             {15, 10, 22, 28},   // A#0, black: velocity counts on the black key's length
             {0, 0, 21, 0},      // A0: the lowest key has no black key below it
             {770, 30, 108, 50}, // C8
             {12, 0, 22, 0},     // A#0's left outline
             {20, 44, 22, 124},  // A#0's far corner, outline included
             {11, 10, 21, 16},   // just left of A#0
             {21, 10, 23, 16},   // just right of A#0: B0
             {16, 45, 23, 76},   // below A#0: B0's lower part
             {30, 10, 24, 16},   // C1's lower part: B has no black key above it
         }) {
        const NoteHit hit = NoteFromPoint(shapes::MainWindow(), true, row.x, row.y);
        EXPECT_EQ(hit.note, row.note) << row.x << "," << row.y;
        EXPECT_EQ(hit.velocity, row.velocity) << row.x << "," << row.y;
        EXPECT_EQ(NoteFromPoint(shapes::MainWindow(), false, row.x, row.y).velocity, 127);
    }
}

TEST(HitTest, PointSelectsABlackKeyExactlyWhereItIsDrawn) {
    for (const KeyboardShape& shape : {shapes::MainWindow(), shapes::Default(), shapes::Standing(),
                                       shapes::MainWindow(773), shapes::MainWindow(787)}) {
        const KeyboardWalk walk = WalkKeyboard(shape);
        const KeyMetrics m = GetKeyMetrics(shape);
        std::vector<bool> onBlack(static_cast<size_t>(shape.width * shape.height), false);
        std::vector<int> blackNote(onBlack.size(), -1);
        int note = walk.firstNote;
        for (const Boundary& boundary : walk.boundaries) {
            ++note;
            if (!boundary.blackDrawn)
                continue;
            const PixelRect r = BlackKeyRect(shape, boundary);
            for (int y = std::max(0, r.y); y < std::min(shape.height, r.y + r.height); ++y)
                for (int x = r.x; x < r.x + r.width; ++x) {
                    onBlack[static_cast<size_t>(y * shape.width + x)] = true;
                    blackNote[static_cast<size_t>(y * shape.width + x)] = note;
                }
            ++note;
        }
        for (int y = 0; y < shape.height; ++y)
            for (int x = 0; x < shape.width; ++x) {
                const NoteHit hit = NoteFromPoint(shape, true, x, y);
                const size_t i = static_cast<size_t>(y * shape.width + x);
                const bool black = SplitNote(hit.note).black;
                ASSERT_EQ(black, onBlack[i]) << shape.width << "x" << shape.height << " " << x
                                             << "," << y << " note " << hit.note;
                if (black) {
                    ASSERT_EQ(hit.note, blackNote[i]);
                }
            }
        (void)m;
    }
}

TEST(HitTest, PointsOffTheControlNeverFault) {
    KeyboardShape shape = shapes::MainWindow();
    for (int x : {INT_MIN, -1000, -1, 0, 780, INT_MAX})
        for (int y : {INT_MIN, -1, 0, 74, INT_MAX}) {
            NoteFromPoint(shape, true, x, y);
            shape.orientation = TKeyboardOrientation::kbVertical;
            NoteFromPoint(shape, true, x, y);
            shape.orientation = TKeyboardOrientation::kbHorizontal;
        }
    shape.height = 1; // no room for black keys: no division by zero
    EXPECT_EQ(NoteFromPoint(shape, true, 5, 0).note, 21);
}

TEST(Inversion, MainWindowKeysFromTheirDescription) {
    const KeyboardShape shape = shapes::MainWindow();
    // A0: the lower area, then the upper area stopping one pixel before A#0 at x 12.
    KeyInversion a0 = KeyInversionRects(shape, 21, 108, 21);
    ASSERT_EQ(a0.count, 2);
    EXPECT_EQ(a0.rects[0], (PixelRect{2, 46, 12, 27}));
    EXPECT_EQ(a0.rects[1], (PixelRect{2, 2, 9, 44}));
    KeyInversion aSharp0 = KeyInversionRects(shape, 21, 108, 22);
    ASSERT_EQ(aSharp0.count, 1);
    EXPECT_EQ(aSharp0.rects[0], (PixelRect{13, 1, 7, 43}));
    // C8, the highest key: C has no black key below it.
    KeyInversion c8 = KeyInversionRects(shape, 21, 108, 108);
    ASSERT_EQ(c8.count, 2);
    EXPECT_EQ(c8.rects[0], (PixelRect{767, 46, 12, 27}));
    EXPECT_EQ(c8.rects[1], (PixelRect{767, 2, 12, 44}));
    // B0 keeps clear of A#0 below it: 20 + 2 = 22.
    KeyInversion b0 = KeyInversionRects(shape, 21, 108, 23);
    EXPECT_EQ(b0.rects[1], (PixelRect{22, 2, 7, 44}));
}

TEST(Inversion, NotesOutsideTheVisibleRangeAreNotDrawn) {
    EXPECT_EQ(KeyInversionRects(shapes::MainWindow(), 21, 108, 20).count, 0);
    EXPECT_EQ(KeyInversionRects(shapes::MainWindow(), 21, 108, 109).count, 0);
}

TEST(Inversion, UndrawnBlackKeyAndTheKeyBelowIt) {
    KeyboardShape shape = shapes::MainWindow(787);
    shape.baseNote = TKeyboardStartNote::B;
    const KeyInversion dSharp8 = KeyInversionRects(shape, 23, 111, 111);
    EXPECT_EQ(dSharp8.rects[0], (PixelRect{778, 1, 7, 43}));
    const KeyInversion d8 = KeyInversionRects(shape, 23, 111, 110);
    EXPECT_EQ(d8.rects[0], (PixelRect{767, 46, 12, 27}));
    EXPECT_EQ(d8.rects[1], (PixelRect{770, 2, 6, 44}));
}

TEST(Inversion, LowestStandingKeyWithABlackKeyAboveHasAFixedHeight) {
    // Its top row is one row clear of the black key above; its height is
    // NoteWidth - HalfBlack - 4 = 7 whatever the black key's shift.
    for (TKeyboardStartNote base : {TKeyboardStartNote::C, TKeyboardStartNote::D,
                                    TKeyboardStartNote::G, TKeyboardStartNote::A}) {
        KeyboardShape shape = shapes::Standing();
        shape.baseNote = base;
        const KeyboardWalk walk = WalkKeyboard(shape);
        const KeyInversion first =
            KeyInversionRects(shape, walk.firstNote, walk.lastNote, walk.firstNote);
        const PixelRect blackAbove = BlackKeyRect(shape, walk.boundaries.front());
        EXPECT_EQ(first.rects[1].height, 7);
        EXPECT_EQ(first.rects[1].y, blackAbove.y + blackAbove.height + 1);
        EXPECT_EQ(first.rects[1].x, 2);
    }
}

} // namespace
