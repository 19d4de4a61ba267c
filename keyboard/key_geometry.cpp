#include "keyboard/key_geometry.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// Division and remainder rounding towards minus infinity: equal to the truncating ones for
// the points on the control, and never a negative table index for points off it.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

std::int64_t FloorMod(std::int64_t a, std::int64_t b) {
    return a - FloorDiv(a, b) * b;
}

int ClampToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

int Index(TKeyboardStartNote note) {
    return static_cast<int>(note);
}

struct AxisPoint {
    std::int64_t along;
    std::int64_t across;
};

AxisPoint ToAxes(const KeyboardShape& shape, int x, int y) {
    if (shape.orientation == TKeyboardOrientation::kbHorizontal)
        return {x, y};
    return {std::int64_t{shape.height} - 1 - y, x};
}

// Whether boundary k (k >= 1, at along k * noteWidth) is walked and carries a drawn black key.
bool BlackKeyDrawnOnBoundary(const KeyboardShape& shape, const KeyMetrics& metrics,
                             std::int64_t k) {
    if (k < 1)
        return false;
    const std::int64_t along = k * shape.noteWidth;
    const bool horizontal = shape.orientation == TKeyboardOrientation::kbHorizontal;
    const bool walked =
        horizontal ? along < shape.width : std::int64_t{shape.height} - 1 - along > 0;
    if (!walked)
        return false;
    const int whiteBelow = static_cast<int>(FloorMod(Index(shape.baseNote) + k - 1, 7));
    if (!HasBlackKeyAbove(whiteBelow))
        return false;
    // Standing keys may be cut by the top edge; lying keys that do not fit are left out.
    return !horizontal || along + metrics.BlackWidth < shape.width;
}

} // namespace

bool HasBlackKeyAbove(int whiteIndex) {
    return whiteIndex != 2 && whiteIndex != 6;
}

KeyboardShape Sanitized(const KeyboardShape& shape) {
    KeyboardShape result = shape;
    result.width = std::max(0, shape.width);
    result.height = std::max(0, shape.height);
    result.noteWidth = std::max(1, shape.noteWidth);
    result.baseOctave = std::clamp(shape.baseOctave, 0, kMaxBaseOctave);
    if (Index(shape.baseNote) > Index(TKeyboardStartNote::B))
        result.baseNote = TKeyboardStartNote::B;
    if (shape.orientation != TKeyboardOrientation::kbVertical)
        result.orientation = TKeyboardOrientation::kbHorizontal;
    return result;
}

KeyMetrics GetKeyMetrics(const KeyboardShape& shape) {
    KeyMetrics metrics;
    const bool horizontal = shape.orientation == TKeyboardOrientation::kbHorizontal;
    metrics.KeyLength = horizontal ? shape.width : shape.height;
    metrics.KeyBreadth = horizontal ? shape.height : shape.width;
    metrics.BlackLength = ClampToInt(std::int64_t{metrics.KeyBreadth} * 3 / 5);
    metrics.BlackWidth = ClampToInt(std::int64_t{shape.noteWidth} * 3 / 5);
    if (metrics.BlackWidth % 2 == 0)
        ++metrics.BlackWidth;
    metrics.HalfBlack = metrics.BlackWidth / 2;
    return metrics;
}

NoteSplit SplitNote(int offset) {
    NoteSplit split;
    split.octave = static_cast<int>(FloorDiv(offset, 12));
    int r = static_cast<int>(FloorMod(offset, 12));
    if (r >= 5)
        ++r;
    split.whiteIndex = r / 2;
    split.black = r % 2 == 1;
    return split;
}

std::string NoteToStr(int note) {
    if (note < 0 || note > 127)
        return {};
    return std::string(NoteNames[note % 12]) + std::to_string(note / 12 - 1);
}

std::string BaseKeyName(int baseOctave, TKeyboardStartNote baseNote) {
    const int letter = std::min(Index(baseNote), Index(TKeyboardStartNote::B));
    return std::string(NoteLetters[letter]) + std::to_string(std::int64_t{baseOctave} - 1);
}

int FirstVisibleNote(const KeyboardShape& shape) {
    const KeyboardShape s = Sanitized(shape);
    return s.baseOctave * 12 + WhiteKeySemitones[Index(s.baseNote)];
}

KeyboardWalk WalkKeyboard(const KeyboardShape& shape) {
    const KeyboardShape s = Sanitized(shape);
    const KeyMetrics metrics = GetKeyMetrics(s);
    const bool horizontal = s.orientation == TKeyboardOrientation::kbHorizontal;

    KeyboardWalk walk;
    walk.firstNote = FirstVisibleNote(s);
    walk.lastNote = walk.firstNote;
    int whiteBelow = Index(s.baseNote);
    for (std::int64_t along = s.noteWidth;
         horizontal ? along < s.width : std::int64_t{s.height} - 1 - along > 0;
         along += s.noteWidth) {
        Boundary boundary;
        boundary.along = static_cast<int>(along);
        boundary.whiteBelow = whiteBelow;
        ++walk.lastNote;
        if (HasBlackKeyAbove(whiteBelow) && (!horizontal || along + metrics.BlackWidth < s.width)) {
            boundary.blackDrawn = true;
            boundary.blackStart = boundary.along - metrics.HalfBlack + BlackKeyShift[whiteBelow];
            ++walk.lastNote;
        }
        walk.boundaries.push_back(boundary);
        whiteBelow = (whiteBelow + 1) % 7;
    }
    return walk;
}

PixelRect BlackKeyRect(const KeyboardShape& shape, const Boundary& boundary) {
    const KeyboardShape s = Sanitized(shape);
    const KeyMetrics metrics = GetKeyMetrics(s);
    if (s.orientation == TKeyboardOrientation::kbHorizontal)
        return {boundary.blackStart, 0, metrics.BlackWidth, metrics.BlackLength};
    // blackStart counts upwards from the bottom row; the key's top row lies BlackWidth - 1 rows
    // above its lowest one.
    const int top =
        ClampToInt(std::int64_t{s.height} - 1 - boundary.blackStart - (metrics.BlackWidth - 1));
    return {0, top, metrics.BlackLength, metrics.BlackWidth};
}

NoteHit NoteFromPoint(const KeyboardShape& shape, bool velocityMode, int x, int y) {
    const KeyboardShape s = Sanitized(shape);
    const KeyMetrics metrics = GetKeyMetrics(s);
    const AxisPoint point = ToAxes(s, x, y);
    const std::int64_t nw = s.noteWidth;
    const int baseNote = Index(s.baseNote);

    const std::int64_t a = point.along + baseNote * nw;
    const std::int64_t k = FloorDiv(a, nw);
    const std::int64_t r = FloorMod(a, nw);
    const std::int64_t octave = FloorDiv(k, 7);
    const int w = static_cast<int>(FloorMod(k, 7));
    const int p = w == 0 ? 6 : w - 1;

    int semitone = WhiteKeySemitones[w];
    bool black = false;
    if (point.across < metrics.BlackLength) {
        if (r >= nw - metrics.HalfBlack + BlackKeyShift[w]) {
            black = BlackKeyDrawnOnBoundary(s, metrics, k + 1 - baseNote);
            if (black)
                semitone = WhiteKeySemitones[w] + 1;
        } else if (r < metrics.HalfBlack + 1 + BlackKeyShift[p]) {
            black = BlackKeyDrawnOnBoundary(s, metrics, k - baseNote);
            if (black)
                semitone = WhiteKeySemitones[p] + 1;
        }
    }

    NoteHit hit;
    hit.note = ClampToInt((s.baseOctave + octave) * 12 + semitone);
    if (!velocityMode) {
        hit.velocity = 127;
    } else {
        // The velocity grows from the edge where the black keys start towards the far edge.
        const std::int64_t depth = std::max(1, black ? metrics.BlackLength : metrics.KeyBreadth);
        hit.velocity = ClampToInt(point.across * 127 / depth);
    }
    return hit;
}

KeyInversion KeyInversionRects(const KeyboardShape& shape, int firstNote, int lastNote, int note) {
    KeyInversion inversion;
    if (note > lastNote || note < firstNote)
        return inversion;
    const KeyboardShape s = Sanitized(shape);
    const KeyMetrics m = GetKeyMetrics(s);
    const std::int64_t nw = s.noteWidth;

    const NoteSplit split =
        SplitNote(ClampToInt(std::int64_t{note} - std::int64_t{s.baseOctave} * 12));
    const int w = split.whiteIndex;
    const int p = w == 0 ? 6 : w - 1;
    const std::int64_t lower = (std::int64_t{split.octave} * 7 + w) * nw - Index(s.baseNote) * nw;
    const std::int64_t blackAbove = lower + nw - m.HalfBlack + BlackKeyShift[w];
    const std::int64_t blackBelow = lower - m.HalfBlack + BlackKeyShift[p];

    struct Area {
        std::int64_t along0, along1, across0, across1;
    };
    std::array<Area, 2> areas{};
    if (split.black) {
        areas[0] = {blackAbove + 1, blackAbove + m.BlackWidth - 1, 1, m.BlackLength - 1};
        inversion.count = 1;
    } else {
        areas[0] = {lower + 2, lower + nw - 1, m.BlackLength + 1, m.KeyBreadth - 2};
        // The lowest visible key ignores a black key below it (none is drawn there), and the
        // highest one, unless it is also the lowest, ignores a black key above it.
        const bool clearBelow =
            (w == 1 || w == 2 || w == 4 || w == 5 || w == 6) && note != firstNote;
        const bool clearAbove = HasBlackKeyAbove(w) && (note == firstNote || note != lastNote);
        const std::int64_t start = clearBelow ? blackBelow + m.BlackWidth + 1 : lower + 2;
        const std::int64_t end = clearAbove ? blackAbove - 1 : lower + nw - 1;
        areas[1] = {start, end, 2, std::int64_t{m.BlackLength} + 1};
        inversion.count = 2;
    }

    const bool horizontal = s.orientation == TKeyboardOrientation::kbHorizontal;
    for (int i = 0; i < inversion.count; ++i) {
        const Area& area = areas[i];
        PixelRect& rect = inversion.rects[i];
        if (horizontal) {
            rect = {ClampToInt(area.along0), ClampToInt(area.across0),
                    ClampToInt(area.along1 - area.along0), ClampToInt(area.across1 - area.across0)};
        } else {
            rect = {ClampToInt(area.across0), ClampToInt(s.height - area.along1),
                    ClampToInt(area.across1 - area.across0), ClampToInt(area.along1 - area.along0)};
        }
    }
    // The lowest standing white key with a black key above it: its upper area keeps its start
    // one row clear of that black key but always has the same height, whatever the black key's
    // shift.
    if (!horizontal && !split.black && note == firstNote && HasBlackKeyAbove(w))
        inversion.rects[1].height = ClampToInt(nw - m.HalfBlack - 4);
    return inversion;
}
