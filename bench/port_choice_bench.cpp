// Choosing devices on a JACK server: how long opening and closing a port keep the GUI thread,
// and how soon the device watcher hears of a port another client registers. Printed beside the
// server's cycle period, measured in the same run; random pauses between the choices.
#include "platform/linux/jack/jack_midi_service.h"
#include "tests/integration/jack_test_support.h"
#include "tests/integration/midi_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChoices = 100;
constexpr int kRegistrations = 30;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The value below which the share p of the samples lie.
double Quantile(std::vector<double> samples, double p) {
    if (samples.empty())
        return -1;
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

// Lets the event loop run for a while, as a window does between the user's choices.
void Idle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds)
        QApplication::processEvents(QEventLoop::AllEvents, 1);
}

int FindOutput(MidiService& service, const std::string& name) {
    const int count = service.midiOutGetNumDevs();
    for (int i = 0; i < count; ++i) {
        std::string found;
        if (service.midiOutGetDevCaps(i, found) == MMSYSERR_NOERROR && found == name)
            return i;
    }
    return -2;
}

void PortChoice(benchmark::State& state) {
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    const std::unique_ptr<MidiService> service = OpenJackMidiService("klavio-bench", whyNot);
    if (!synth || !service)
        return state.SkipWithError(whyNot.c_str());
    const double periodMs = 1000.0 * jack_get_buffer_size(synth->Client()) /
                            static_cast<double>(jack_get_sample_rate(synth->Client()));
    std::mt19937 random(7);
    const auto pause = [&random] { return std::uniform_int_distribution<int>(5, 40)(random); };

    for (auto _ : state) {
        // Each choice closes the port of the last one, as the window's device list does.
        std::vector<double> opens;
        std::vector<double> closes;
        const int synthIn = FindOutput(*service, "synth:in");
        HMIDIOUT current = 0;
        for (int choice = 0; choice < kChoices; ++choice) {
            if (current != 0) {
                const auto start = Clock::now();
                service->midiOutReset(current);
                service->midiOutClose(current);
                closes.push_back(Milliseconds(Clock::now() - start));
            }
            const auto start = Clock::now();
            const MMRESULT opened =
                service->midiOutOpen(current, choice % 2 == 0 ? synthIn : MIDI_MAPPER, nullptr);
            opens.push_back(Milliseconds(Clock::now() - start));
            if (opened != MMSYSERR_NOERROR)
                return state.SkipWithError("a port did not open");
            service->midiOutShortMsg(current, 0x403C90);
            Idle(pause());
        }
        service->midiOutReset(current);
        service->midiOutClose(current);

        MidiEventRecorder watcher;
        service->midiSetDeviceWatcher(&watcher);
        Idle(100);
        std::vector<double> heard;
        int unheard = 0;
        for (int i = 0; i < kRegistrations; ++i) {
            watcher.devicesChanged = 0;
            const auto start = Clock::now();
            jack_port_t* port = jack_port_register(synth->Client(), "extra", JACK_DEFAULT_MIDI_TYPE,
                                                   JackPortIsInput, 0);
            while (watcher.devicesChanged == 0 && Clock::now() - start < std::chrono::seconds(1))
                QApplication::processEvents(QEventLoop::AllEvents, 1);
            if (watcher.devicesChanged > 0)
                heard.push_back(Milliseconds(Clock::now() - start));
            else
                ++unheard;
            if (port != nullptr)
                jack_port_unregister(synth->Client(), port);
            Idle(pause() + 20);
        }
        service->midiSetDeviceWatcher(nullptr);

        state.counters["open_max_ms"] = *std::max_element(opens.begin(), opens.end());
        state.counters["open_p99_ms"] = Quantile(opens, 0.99);
        state.counters["close_max_ms"] = *std::max_element(closes.begin(), closes.end());
        state.counters["close_p99_ms"] = Quantile(closes, 0.99);
        state.counters["event_median_ms"] = Quantile(heard, 0.5);
        state.counters["event_p90_ms"] = Quantile(heard, 0.9);
        state.counters["events_missed"] = unheard;
        state.counters["cycle_ms"] = periodMs;
    }
}
BENCHMARK(PortChoice)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
