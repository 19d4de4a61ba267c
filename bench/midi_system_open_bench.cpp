// How long looking for a MIDI system takes, with and without a JACK server: asking whether a
// server answers (what the search does off the window's thread, once a second) and opening the
// JACK service (what the window's thread does once a server answers). Prints the mean and the
// longest of the runs beside the ~16 ms a frame of the window lasts.
#include "platform/linux/jack/jack_client.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "tests/integration/jack_test_support.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

// Times each call of what; the longest goes into the counter "longest_ms", beside the mean.
template <typename What> void TimeEach(benchmark::State& state, What&& what) {
    double longest = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        what();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - started;
        longest = std::max(longest, took.count());
    }
    state.counters["longest_ms"] = longest;
}

void AskWithoutServer(benchmark::State& state) {
    ::setenv("JACK_DEFAULT_SERVER", "klavio-bench-no-such-server", 1);
    TimeEach(state, [] { benchmark::DoNotOptimize(JackServerAnswers("klavio-bench")); });
}

void OpenWithoutServer(benchmark::State& state) {
    ::setenv("JACK_DEFAULT_SERVER", "klavio-bench-no-such-server", 1);
    std::string whyNot;
    TimeEach(state, [&] { benchmark::DoNotOptimize(OpenJackMidiService("klavio-bench", whyNot)); });
}

void WithServer(benchmark::State& state, bool open) {
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    if (open)
        TimeEach(state, [&] { OpenJackMidiService("klavio-bench", whyNot).reset(); });
    else
        TimeEach(state, [] { benchmark::DoNotOptimize(JackServerAnswers("klavio-bench")); });
}

void AskWithServer(benchmark::State& state) {
    WithServer(state, false);
}

// Opening and closing again: closing waits for the server as well.
void OpenAndCloseWithServer(benchmark::State& state) {
    WithServer(state, true);
}

} // namespace

BENCHMARK(AskWithoutServer)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenWithoutServer)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(AskWithServer)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenAndCloseWithServer)->Iterations(20)->Unit(benchmark::kMillisecond);
