#include "keyboard/key_painter.h"
#include "tests/keyboard/keyboard_shapes.h"

#include <QImage>
#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace {

using key_painter::KeyColors;
using Pixel = std::pair<int, int>;

constexpr QRgb kGray = 0xFF808080;

QImage Paint(const KeyboardShape& shape, const KeyColors& colors = {},
             const std::bitset<128>& pressed = {}) {
    QImage canvas(shape.width, shape.height, QImage::Format_RGB32);
    canvas.fill(Qt::red); // anything the painter leaves alone would show
    key_painter::PaintKeyboard(canvas, shape, colors, pressed);
    return canvas;
}

std::set<Pixel> ChangedPixels(const QImage& before, const QImage& after) {
    std::set<Pixel> changed;
    for (int y = 0; y < before.height(); ++y)
        for (int x = 0; x < before.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y))
                changed.insert({x, y});
    return changed;
}

std::set<Pixel> PixelsOf(std::initializer_list<PixelRect> rects, int width, int height) {
    std::set<Pixel> pixels;
    for (const PixelRect& r : rects)
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x; x < r.x + r.width; ++x)
                if (x >= 0 && y >= 0 && x < width && y < height)
                    pixels.insert({x, y});
    return pixels;
}

TEST(Painting, ReleasedMainKeyboard) {
    const QImage canvas = Paint(shapes::MainWindow());
    // Outline on the outermost rows and columns.
    for (const Pixel& p :
         {Pixel{0, 0}, Pixel{779, 0}, Pixel{0, 74}, Pixel{779, 74}, Pixel{400, 74}})
        EXPECT_EQ(canvas.pixel(p.first, p.second), kBlack) << p.first << "," << p.second;
    EXPECT_EQ(canvas.pixel(7, 60), kWhite);  // A0
    EXPECT_EQ(canvas.pixel(15, 60), kBlack); // boundary A0 | B0, full height
    EXPECT_EQ(canvas.pixel(15, 1), kBlack);  // covered by A#0
    EXPECT_EQ(canvas.pixel(11, 20), kWhite); // just left of A#0
    EXPECT_EQ(canvas.pixel(12, 20), kBlack); // A#0 outline, x 12 to 20
    EXPECT_EQ(canvas.pixel(20, 44), kBlack);
    EXPECT_EQ(canvas.pixel(21, 20), kWhite);
    EXPECT_EQ(canvas.pixel(16, 45), kWhite); // below A#0's 45 rows
    EXPECT_EQ(canvas.pixel(30, 30), kBlack); // boundary B0 | C1 without black key
    EXPECT_EQ(canvas.pixel(16, 20), kBlack); // A#0 filled with the black brush
}

TEST(Painting, PressAndReleaseInvertExactlyTheKeysAreas) {
    const KeyboardShape shape = shapes::MainWindow();
    const QImage released = Paint(shape);
    struct Row {
        int note;
        std::initializer_list<PixelRect> areas;
    };
    const Row rows[] = {
        {21, {{2, 46, 12, 27}, {2, 2, 9, 44}}},       // A0
        {22, {{13, 1, 7, 43}}},                       // A#0
        {108, {{767, 46, 12, 27}, {767, 2, 12, 44}}}, // C8
    };
    for (const Row& row : rows) {
        QImage canvas = released;
        key_painter::InvertKey(canvas, shape, 21, 108, row.note);
        EXPECT_EQ(ChangedPixels(released, canvas), PixelsOf(row.areas, 780, 75)) << row.note;
        key_painter::InvertKey(canvas, shape, 21, 108, row.note);
        EXPECT_EQ(canvas, released) << row.note;
    }
}

TEST(Painting, PressedKeysArePaintedInvertedOnce) {
    const KeyboardShape shape = shapes::MainWindow();
    QImage expected = Paint(shape);
    for (int note : {21, 22, 60, 61, 108})
        key_painter::InvertKey(expected, shape, 21, 108, note);
    std::bitset<128> pressed;
    for (int note : {21, 22, 60, 61, 108, 20, 109, 127}) // the last three are not visible
        pressed.set(static_cast<size_t>(note));
    EXPECT_EQ(Paint(shape, {}, pressed), expected);
}

TEST(Painting, DisabledKeyboardFillsBlackKeysGray) {
    const KeyboardShape shape = shapes::MainWindow();
    QImage canvas = Paint(shape, {clWhite, clGray, clBlack});
    EXPECT_EQ(canvas.pixel(16, 20), kGray);
    EXPECT_EQ(canvas.pixel(12, 20), kBlack); // the outline keeps the pen
    EXPECT_EQ(canvas.pixel(7, 60), kWhite);
    key_painter::InvertKey(canvas, shape, 21, 108, 22);
    EXPECT_EQ(canvas.pixel(16, 20), 0xFF7F7F7F);
}

TEST(Painting, NarrowLastKeyInvertsAcrossTheRightBorder) {
    const KeyboardShape shape = shapes::MainWindow(773);
    const QImage released = Paint(shape);
    ASSERT_EQ(released.pixel(772, 50), kBlack);
    QImage canvas = released;
    key_painter::InvertKey(canvas, shape, 21, 108, 108);
    EXPECT_EQ(canvas.pixel(772, 50), kWhite);
    EXPECT_EQ(ChangedPixels(released, canvas),
              PixelsOf({{767, 46, 12, 27}, {767, 2, 12, 44}}, 773, 75));
}

TEST(Painting, UndrawnBlackKeyIsInvertedWhereItWouldBe) {
    KeyboardShape shape = shapes::MainWindow(787);
    shape.baseNote = TKeyboardStartNote::B;
    const QImage released = Paint(shape);
    EXPECT_EQ(released.pixel(781, 20), kWhite); // D#8 is not drawn
    QImage canvas = released;
    key_painter::InvertKey(canvas, shape, 23, 111, 111);
    EXPECT_EQ(ChangedPixels(released, canvas), PixelsOf({{778, 1, 7, 43}}, 787, 75));
}

TEST(Painting, StandingKeyboard) {
    const KeyboardShape shape = shapes::Standing();
    const QImage released = Paint(shape);
    EXPECT_EQ(released.pixel(60, 406 - 15), kBlack); // first boundary line, full width
    EXPECT_EQ(released.pixel(60, 406 - 7), kWhite);
    // A#0 lies on that line, one row higher than centred: rows 406 - 15 - 4 - 1 ... + 8.
    EXPECT_EQ(released.pixel(20, 386), kBlack); // outline, top row
    EXPECT_EQ(released.pixel(20, 387), kBlack); // filled
    EXPECT_EQ(released.pixel(20, 385), kWhite);
    EXPECT_EQ(released.pixel(20, 394), kBlack); // outline, bottom row
    EXPECT_EQ(released.pixel(20, 395), kWhite);
    // F#4 is cut by the top edge: its rows -2 and -1 are not drawn, row 6 is its outline.
    EXPECT_EQ(released.pixel(20, 0), kBlack);
    EXPECT_EQ(released.pixel(20, 3), kBlack);
    EXPECT_EQ(released.pixel(20, 6), kBlack);
    EXPECT_EQ(released.pixel(20, 7), kWhite);

    // The lowest key, A0, has A#0 above it: its upper area starts one row clear of A#0 and is
    // NoteWidth - HalfBlack - 4 rows high.
    QImage canvas = released;
    key_painter::InvertKey(canvas, shape, 21, 67, 21);
    EXPECT_EQ(ChangedPixels(released, canvas),
              PixelsOf({{46, 393, 27, 12}, {2, 396, 44, 7}}, 75, 407));
}

} // namespace
