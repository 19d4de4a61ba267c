// The built-in synthesizer on its own, rendered by hand with no audio device: what it keeps in
// memory and how soon a note sounds. Printed, never judged; run by hand:
//   synth_engine_bench [SoundFont]
// Figures:
//   the SoundFont's load, from opening until it plays
//   anonymous memory 5 s after opening (RssAnon: what the process holds beyond mapped files)
//   program change to sound: a program not chosen before, then at once a note; the time until
//     the first non-silent frame is rendered, the rendering going on at the real-time pace
//   onset on a loaded program: the same with a note on the program already in use
#include "platform/linux/synth/fluid_synth_engine.h"
#include "platform/linux/synth/soundfont_discovery.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kPeriod = 128;
constexpr double kRate = 48000.0;
const auto kPeriodTime = std::chrono::duration<double>(kPeriod / kRate);

double AnonymousMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("RssAnon:", 0) == 0)
            return std::stod(line.substr(8)) / 1024.0;
    return 0.0;
}

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// Renders period after period at the pace an audio device would ask for them; the time from
// start to the first period with a loud sample, or a negative number when none comes in 2 s.
// The first period waits for what was sent before it: how long, in firstPeriod.
double UntilLoud(FluidSynthEngine& engine, Clock::time_point start, double* firstPeriod = nullptr) {
    std::vector<float> left(kPeriod);
    std::vector<float> right(kPeriod);
    Clock::time_point due = start;
    while (Clock::now() - start < 2s) {
        engine.Render(kPeriod, left.data(), right.data());
        if (firstPeriod != nullptr && due == start)
            *firstPeriod = Milliseconds(Clock::now() - start);
        const bool loud = std::any_of(left.begin(), left.end(),
                                      [](float sample) { return std::abs(sample) > 0.01f; });
        if (loud)
            return Milliseconds(Clock::now() - start);
        due += std::chrono::duration_cast<Clock::duration>(kPeriodTime);
        std::this_thread::sleep_until(due);
    }
    return -1.0;
}

void Send(FluidSynthEngine& engine, std::vector<std::uint8_t> bytes) {
    engine.Play(bytes.data(), bytes.size());
}

// Notes off, then silence long enough for the reverb's tail to end.
void Quiet(FluidSynthEngine& engine) {
    Send(engine, {0xB0, 123, 0});
    engine.Silence();
    std::vector<float> left(kPeriod);
    std::vector<float> right(kPeriod);
    for (int period = 0; period < 2 * 48000 / static_cast<int>(kPeriod); ++period)
        engine.Render(kPeriod, left.data(), right.data());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1.0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    std::string soundFont;
    if (argc > 1) {
        soundFont = argv[1];
    } else if (const auto found = FindSoundFont({}, FileExists)) {
        soundFont = *found;
    } else {
        std::fprintf(stderr, "no SoundFont given or installed\n");
        return 1;
    }
    const double before = AnonymousMegabytes();
    std::string whyNot;
    const Clock::time_point opened = Clock::now();
    auto engine = FluidSynthEngine::Open({soundFont, {}, "klavio-bench"}, whyNot);
    if (!engine || !engine->WaitUntilLoaded(60s)) {
        std::fprintf(stderr, "the synthesizer did not open: %s\n",
                     engine ? engine->LoadProblem().c_str() : whyNot.c_str());
        return 1;
    }
    const double loadMs = Milliseconds(Clock::now() - opened);
    std::this_thread::sleep_for(5s);
    std::printf("SoundFont %s, loaded in %.0f ms\n", soundFont.c_str(), loadMs);
    std::printf("anonymous memory 5 s after opening: %.1f MB (%.1f MB before opening)\n",
                AnonymousMegabytes(), before);

    // Programs far apart in the General MIDI set, each chosen for the first time.
    std::vector<double> changed;
    std::vector<double> handled;
    std::vector<double> loaded;
    for (const std::uint8_t program : {73, 40, 56, 19, 24, 48, 65, 11, 33, 80}) {
        Quiet(*engine);
        const Clock::time_point start = Clock::now();
        Send(*engine, {0xC0, program});
        Send(*engine, {0x90, 69, 100});
        changed.push_back(UntilLoud(*engine, start, &handled.emplace_back()));
        Send(*engine, {0x80, 69, 0});
        Quiet(*engine);
        const Clock::time_point again = Clock::now();
        Send(*engine, {0x90, 69, 100});
        loaded.push_back(UntilLoud(*engine, again));
        Send(*engine, {0x80, 69, 0});
    }
    std::printf("program change to sound, new program: median %.2f ms, max %.2f ms (n=%zu)\n",
                Median(changed), *std::max_element(changed.begin(), changed.end()), changed.size());
    std::printf("  of which the program change itself: median %.2f ms, max %.2f ms\n",
                Median(handled), *std::max_element(handled.begin(), handled.end()));
    std::printf("note to sound, loaded program:        median %.2f ms, max %.2f ms (n=%zu)\n",
                Median(loaded), *std::max_element(loaded.begin(), loaded.end()), loaded.size());
    std::printf("anonymous memory after ten programs: %.1f MB\n", AnonymousMegabytes());
    return 0;
}
