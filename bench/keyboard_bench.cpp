#include "keyboard/key_geometry.h"
#include "keyboard/key_painter.h"

#include <QImage>
#include <benchmark/benchmark.h>

namespace {

const KeyboardShape kMainKeyboard{
    TKeyboardOrientation::kbHorizontal, 780, 75, 15, 1, TKeyboardStartNote::A};

// A whole repaint of the main window's keyboard with a chord held.
void FullPaint(benchmark::State& state) {
    QImage canvas(780, 75, QImage::Format_RGB32);
    std::bitset<128> pressed;
    for (int note : {60, 64, 67, 72})
        pressed.set(static_cast<std::size_t>(note));
    for (auto _ : state)
        benchmark::DoNotOptimize(key_painter::PaintKeyboard(canvas, kMainKeyboard, {}, pressed));
}
BENCHMARK(FullPaint);

// What a key press costs on screen: one inversion, no repaint.
void PressAndRelease(benchmark::State& state) {
    QImage canvas(780, 75, QImage::Format_RGB32);
    key_painter::PaintKeyboard(canvas, kMainKeyboard, {}, {});
    for (auto _ : state) {
        key_painter::InvertKey(canvas, kMainKeyboard, 21, 108, 60);
        key_painter::InvertKey(canvas, kMainKeyboard, 21, 108, 60);
    }
}
BENCHMARK(PressAndRelease);

void HitTest(benchmark::State& state) {
    int x = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(NoteFromPoint(kMainKeyboard, true, x, 30));
        x = (x + 7) % 780;
    }
}
BENCHMARK(HitTest);

} // namespace
