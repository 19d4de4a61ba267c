// In-process cost from a mouse press on a key to the bytes handed to the MIDI service:
// Qt's event delivery, the hit test, the key's inversion and the note-on message.
#include "bench/process_figures.h"
#include "keyboard/vmidikeys.h"
#include "tests/fakes/timing_midi_service.h"

#include <QApplication>
#include <QMouseEvent>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using Clock = TimingMidiService::Clock;

void PressToBytes(benchmark::State& state) {
    TimingMidiService service;
    TVMidiKeys keys(nullptr, service);
    keys.setGeometry(0, 0, 780, 75);
    keys.SetNoteWidth(15);
    keys.SetBaseOctave(1);
    keys.SetBaseNote(TKeyboardStartNote::A);
    keys.SetMidiOutEnabled(true);
    keys.show();
    QApplication::processEvents();

    std::vector<double> microseconds;
    int x = 5;
    for (auto _ : state) {
        const QPointF at(x, 60);
        QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, {});
        QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton, {});
        const Clock::time_point pressedAt = Clock::now();
        QApplication::sendEvent(&keys, &press);
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(service.sentAt - pressedAt).count());
        QApplication::sendEvent(&keys, &release);
        x = (x + 15) % 780;
    }
    state.counters["median_us"] = Percentile(microseconds, 0.5);
    state.counters["p99_us"] = Percentile(microseconds, 0.99);
}
BENCHMARK(PressToBytes)->Iterations(20000);

} // namespace
