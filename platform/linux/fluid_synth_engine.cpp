#include "platform/linux/fluid_synth_engine.h"

#include "platform/linux/jack_client.h"

#include "formats/midi_stream.h"

#include <fluidsynth.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

// 128 frames at 48 kHz is 2.7 ms; two of them in flight keep the delay from key to sound near
// 5 ms plus what the sound server adds, with room for one late wake-up of the audio thread.
constexpr int kSampleRate = 48000;
constexpr int kPeriodFrames = 128;
constexpr int kPeriods = 2;
// What may wait for the SoundFont: a few programs, controllers and GM resets, not a dump.
constexpr std::size_t kMaxHeldBytes = 64 * 1024;

// The reason FluidSynth gives on this thread while audio outputs are tried; elsewhere it goes
// to standard error.
thread_local std::string* fluidErrorCatcher = nullptr;

// May run on any of FluidSynth's threads (audio, loading): it only writes to standard error,
// except on the thread trying audio outputs, which collects the reason for its one line.
void OnFluidError(int, const char* message, void*) {
    if (fluidErrorCatcher != nullptr)
        *fluidErrorCatcher = message;
    else
        std::fprintf(stderr, "FluidSynth: %s\n", message);
}

// FluidSynth's warnings and notes (a missing instrument, a driver's settings) are for its own
// command line, not for the window's users.
void RouteFluidLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        fluid_set_log_function(FLUID_PANIC, OnFluidError, nullptr);
        fluid_set_log_function(FLUID_ERR, OnFluidError, nullptr);
        fluid_set_log_function(FLUID_WARN, nullptr, nullptr);
        fluid_set_log_function(FLUID_INFO, nullptr, nullptr);
        fluid_set_log_function(FLUID_DBG, nullptr, nullptr);
    });
}

std::vector<std::string> BuiltInAudioDrivers(fluid_settings_t* settings) {
    std::vector<std::string> names;
    fluid_settings_foreach_option(
        settings, "audio.driver", &names, [](void* data, const char*, const char* option) {
            static_cast<std::vector<std::string>*>(data)->push_back(option);
        });
    return names;
}

// FluidSynth's JACK driver starts a server of its own when none runs, which takes seconds and
// fills the terminal; only a server that is there already is used.
bool JackServerRate(const std::string& clientName, int& rate, std::string& whyNot) {
    jack_client_t* probe = JoinJackServer(clientName + "-probe", whyNot);
    if (probe == nullptr)
        return false;
    rate = static_cast<int>(jack_get_sample_rate(probe));
    LeaveJackServer(probe);
    return true;
}

bool IsNote(std::uint8_t status) {
    return status >= 0x80 && status < 0xB0;
}

} // namespace

struct FluidSynthEngine::State {
    ~State() {
        // The audio thread goes first: it may be rendering. The loading thread cannot be
        // stopped inside FluidSynth, so closing waits for it (under a second for FluidR3).
        // A JACK client closes where this process's JACK clients open and close.
        if (driver != nullptr && driverName == "jack")
            RunWithJackClients(
                [this] {
                    delete_fluid_audio_driver(driver);
                    JackClientClosedElsewhere();
                },
                false);
        else if (driver != nullptr)
            delete_fluid_audio_driver(driver);
        if (loader.joinable())
            loader.join();
        if (synth != nullptr)
            delete_fluid_synth(synth);
        if (settings != nullptr)
            delete_fluid_settings(settings);
    }

    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    fluid_audio_driver_t* driver = nullptr;
    std::string driverName;
    std::string soundFont;
    // Until Done, nobody but the loading thread touches the synthesizer: FluidSynth holds it
    // for the whole load, and the window and the audio thread must not wait for that.
    std::atomic<Loading> loading{Loading::Busy};
    std::thread loader;
    // GUI thread only: what arrived while loading, in order.
    std::vector<MidiMessage> held;
    std::size_t heldBytes = 0;
};

namespace {

// Runs on the audio driver's thread. The buffers come zeroed, so before the SoundFont is in it
// leaves them silent and never waits on the loading thread.
int RenderAudio(void* data, int frames, int nfx, float* fx[], int nout, float* out[]) {
    auto& state = *static_cast<FluidSynthEngine::State*>(data);
    if (state.loading.load(std::memory_order_acquire) != FluidSynthEngine::Loading::Done)
        return FLUID_OK;
    if (nfx == 0 && nout >= 2) {
        // The driver has no buffers of its own for reverb and chorus: they mix into the dry pair.
        float* effects[4] = {out[0], out[1], out[0], out[1]};
        return fluid_synth_process(state.synth, frames, 4, effects, nout, out);
    }
    return fluid_synth_process(state.synth, frames, nfx, fx, nout, out);
}

// Runs on the loading thread: FluidSynth reads and allocates the SoundFont here, and nothing
// of ours is touched but the flag that hands the synthesizer back.
void LoadSoundFont(FluidSynthEngine::State& state) {
    const int id = fluid_synth_sfload(state.synth, state.soundFont.c_str(), 1);
    state.loading.store(id == FLUID_FAILED ? FluidSynthEngine::Loading::Failed
                                           : FluidSynthEngine::Loading::Done,
                        std::memory_order_release);
}

bool TryAudioDriver(FluidSynthEngine::State& state, const SynthEngineOptions& options,
                    const std::vector<std::string>& builtIn, const std::string& name,
                    std::string& whyNot) {
    if (std::find(builtIn.begin(), builtIn.end(), name) == builtIn.end()) {
        whyNot = "not built into this FluidSynth";
        return false;
    }
    if (name == "jack") {
        int rate = 0;
        if (!JackServerRate(options.clientName, rate, whyNot))
            return false;
        fluid_settings_setnum(state.settings, "synth.sample-rate", rate);
    }
    fluid_settings_setstr(state.settings, "audio.driver", name.c_str());
    fluidErrorCatcher = &whyNot;
    const bool jack = name == "jack";
    const auto open = [&state, jack] {
        state.driver = new_fluid_audio_driver2(state.settings, RenderAudio, &state);
        if (state.driver != nullptr && jack)
            JackClientOpenedElsewhere();
    };
    // A JACK client opens where this process's JACK clients open and close.
    if (jack) {
        if (!RunWithJackClients(open, true))
            whyNot = "a client of the JACK server that stopped is still closing";
    } else {
        open();
    }
    fluidErrorCatcher = nullptr;
    if (state.driver == nullptr) {
        if (whyNot.empty())
            whyNot = "does not open";
        return false;
    }
    state.driverName = name;
    return true;
}

bool OpenAudio(FluidSynthEngine::State& state, const SynthEngineOptions& options,
               std::string& whyNot) {
    const std::vector<std::string> builtIn = BuiltInAudioDrivers(state.settings);
    std::string reasons;
    for (const std::string& name : options.audioDrivers) {
        std::string reason;
        if (TryAudioDriver(state, options, builtIn, name, reason))
            return true;
        reasons += (reasons.empty() ? "" : "; ") + name + ": " + reason;
    }
    whyNot = "no audio output opens (" + reasons + ")";
    return false;
}

} // namespace

std::unique_ptr<FluidSynthEngine> FluidSynthEngine::Open(const SynthEngineOptions& options,
                                                         std::string& whyNot) {
    RouteFluidLog();
    auto state = std::make_unique<State>();
    state->soundFont = options.soundFont;
    state->settings = new_fluid_settings();
    if (state->settings == nullptr) {
        whyNot = "FluidSynth has no memory for its settings";
        return nullptr;
    }
    fluid_settings_setnum(state->settings, "synth.sample-rate", kSampleRate);
    fluid_settings_setint(state->settings, "audio.period-size", kPeriodFrames);
    fluid_settings_setint(state->settings, "audio.periods", kPeriods);
    const std::string jackName = options.clientName + "-synth";
    fluid_settings_setstr(state->settings, "audio.jack.id", jackName.c_str());
    fluid_settings_setint(state->settings, "audio.jack.autoconnect", 1);
    // The audio output first: a driver may change the sample rate, and the synthesizer takes
    // the rate it is created with. The driver renders silence until the load is done.
    if (!options.audioDrivers.empty() && !OpenAudio(*state, options, whyNot))
        return nullptr;
    state->synth = new_fluid_synth(state->settings);
    if (state->synth == nullptr) {
        whyNot = "FluidSynth did not create a synthesizer";
        return nullptr;
    }
    State* loading = state.get();
    try {
        state->loader = std::thread([loading] { LoadSoundFont(*loading); });
    } catch (const std::system_error& error) {
        whyNot = std::string("no thread to load the SoundFont on: ") + error.what();
        return nullptr;
    }
    return std::unique_ptr<FluidSynthEngine>(new FluidSynthEngine(std::move(state)));
}

FluidSynthEngine::FluidSynthEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

FluidSynthEngine::~FluidSynthEngine() {
    Silence();
}

const std::string& FluidSynthEngine::AudioDriver() const {
    return state_->driverName;
}

FluidSynthEngine::Loading FluidSynthEngine::LoadState() const {
    return state_->loading.load(std::memory_order_acquire);
}

bool FluidSynthEngine::WaitUntilLoaded(std::chrono::milliseconds patience) const {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (LoadState() == Loading::Busy && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return LoadState() == Loading::Done;
}

void FluidSynthEngine::ApplyHeldMessages() {
    for (const MidiMessage& message : state_->held)
        Dispatch(message.data(), message.size());
    state_->held.clear();
    state_->held.shrink_to_fit();
    state_->heldBytes = 0;
}

void FluidSynthEngine::Play(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0)
        return;
    switch (LoadState()) {
    case Loading::Busy:
        // A note now would sound (or end) only after the load; it is simply not heard, and
        // its note-off has nothing to end, so nothing can stick.
        if (!IsNote(bytes[0]) && state_->heldBytes + size <= kMaxHeldBytes) {
            state_->held.emplace_back(bytes, bytes + size);
            state_->heldBytes += size;
        }
        return;
    case Loading::Failed:
        return;
    case Loading::Done:
        ApplyHeldMessages();
        Dispatch(bytes, size);
        return;
    }
}

void FluidSynthEngine::Dispatch(const std::uint8_t* bytes, std::size_t size) {
    const std::uint8_t status = bytes[0];
    fluid_synth_t* synth = state_->synth;
    if (status == 0xF0) {
        if (size >= 2 && bytes[size - 1] == 0xF7)
            fluid_synth_sysex(synth, reinterpret_cast<const char*>(bytes + 1),
                              static_cast<int>(size - 2), nullptr, nullptr, nullptr, 0);
        return;
    }
    if (status == 0xFF) {
        fluid_synth_system_reset(synth);
        return;
    }
    const int length = MidiDataLength(status);
    if (status < 0x80 || status >= 0xF0 || length < 0 ||
        size < static_cast<std::size_t>(length) + 1)
        return;
    const int channel = status & 0x0F;
    const int first = bytes[1] & 0x7F;
    const int second = length > 1 ? bytes[2] & 0x7F : 0;
    switch (status & 0xF0) {
    case 0x80:
        fluid_synth_noteoff(synth, channel, first);
        break;
    case 0x90:
        if (second == 0)
            fluid_synth_noteoff(synth, channel, first);
        else
            fluid_synth_noteon(synth, channel, first, second);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth, channel, first, second);
        break;
    case 0xB0:
        fluid_synth_cc(synth, channel, first, second);
        break;
    case 0xC0:
        fluid_synth_program_change(synth, channel, first);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth, channel, first);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth, channel, first | second << 7);
        break;
    }
}

void FluidSynthEngine::Silence() {
    if (LoadState() == Loading::Done)
        fluid_synth_all_sounds_off(state_->synth, -1);
}

void FluidSynthEngine::Render(std::size_t frames, float* left, float* right) {
    if (LoadState() != Loading::Done || state_->driver != nullptr) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        return;
    }
    ApplyHeldMessages();
    fluid_synth_write_float(state_->synth, static_cast<int>(frames), left, 0, 1, right, 0, 1);
}
