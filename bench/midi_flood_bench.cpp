// Incoming flood: a JACK peer sends 100,000 note messages as fast as it can to the keyboard.
// Prints messages per second, CPU seconds, peak memory, how often the keyboard was painted and
// the longest stall of the event loop; checks that nothing was lost.
#include "keyboard/vmidikeys.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "tests/integration/jack_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>

namespace {

constexpr std::uint32_t kMessages = 100'000;

// Counts what reaches the keyboard and how often it paints.
class CountingKeys : public TVMidiKeys {
public:
    using TVMidiKeys::TVMidiKeys;
    void NoteOn(int Note, int Velocity, bool Notify) override {
        ++notes;
        TVMidiKeys::NoteOn(Note, Velocity, Notify);
    }
    void NoteOff(int Note, int Velocity, bool Notify) override {
        ++notes;
        TVMidiKeys::NoteOff(Note, Velocity, Notify);
    }
    std::uint32_t notes = 0;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        TVMidiKeys::paintEvent(event);
    }
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void IncomingFlood(benchmark::State& state) {
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    const std::unique_ptr<JackPeer> piano = JackPeer::Open("piano", whyNot);
    const std::unique_ptr<MidiService> service = OpenJackMidiService("klavio-bench", whyNot);
    if (!piano || !service)
        return state.SkipWithError(whyNot.c_str());

    for (auto _ : state) {
        CountingKeys keys(nullptr, *service);
        keys.setGeometry(0, 0, 780, 75);
        keys.SetNoteWidth(15);
        keys.SetBaseOctave(1);
        keys.SetBaseNote(TKeyboardStartNote::A);
        keys.show();
        for (int device = 0; device < service->midiInGetNumDevs(); ++device) {
            std::string name;
            service->midiInGetDevCaps(device, name);
            if (name == "piano:out")
                keys.SetMIDIInDevice(device);
        }
        keys.SetMidiInEnabled(true);
        QApplication::processEvents();

        // A timer that should fire every 5 ms tells how long the event loop was kept busy.
        QElapsedTimer sinceTick;
        qint64 longestStall = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout,
                         [&] { longestStall = std::max(longestStall, sinceTick.restart()); });
        ticker.start(5);
        sinceTick.start();

        const double cpuBefore = CpuSeconds();
        QElapsedTimer elapsed;
        elapsed.start();
        piano->Flood(kMessages);
        while (keys.notes < kMessages && elapsed.elapsed() < 60'000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const double seconds = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
        QApplication::processEvents();

        bool anyPressed = false;
        for (int note = 0; note < 128; ++note)
            anyPressed = anyPressed || keys.IsPressed(note);
        if (keys.notes != kMessages || anyPressed)
            state.SkipWithError("messages were lost: the keyboard does not match what was sent");

        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        state.counters["messages_per_s"] = kMessages / seconds;
        state.counters["cpu_s"] = CpuSeconds() - cpuBefore;
        state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024;
        state.counters["paints"] = keys.paints;
        state.counters["longest_stall_ms"] = static_cast<double>(longestStall);
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(IncomingFlood)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
