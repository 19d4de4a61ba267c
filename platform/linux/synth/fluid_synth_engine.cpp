#include "platform/linux/synth/fluid_synth_engine.h"

#include "platform/linux/jack/jack_client.h"
#include "platform/linux/synth/fluid_library.h"
#include "platform/linux/synth/peak_limiter.h"
#include "platform/linux/synth/silence_rest.h"

#include "formats/midi_stream.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// FluidSynth's functions: set by the first Open, before any thread of a synthesizer runs, and
// read-only after.
const FluidLibrary* fluid = nullptr;

// A JACK client closes where this process's JACK clients open and close (see jack_client.h).
void CloseAudioDriver(fluid_audio_driver_t* driver, const std::string& name) {
    if (name != "jack") {
        fluid->delete_fluid_audio_driver(driver);
        return;
    }
    RunWithJackClients(
        [driver] {
            fluid->delete_fluid_audio_driver(driver);
            JackClientClosedElsewhere();
        },
        false);
}

} // namespace

struct FluidSynthEngine::State {
    // Runs on the GUI thread, or on the loading thread when it ends after the engine: the last
    // one to let go frees the synthesizer. The engine has closed the audio output by then; only
    // an engine that never opened leaves it here.
    ~State() {
        if (driver != nullptr)
            CloseAudioDriver(driver, driverName);
        if (synth != nullptr)
            fluid->delete_fluid_synth(synth);
        if (settings != nullptr)
            fluid->delete_fluid_settings(settings);
    }

    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    fluid_audio_driver_t* driver = nullptr;
    std::string driverName;
    // Read by FluidSynth through its descriptor only; open as long as the synthesizer is.
    SoundFontFile soundFont;
    // Until Done, nobody but the loading thread touches the synthesizer: FluidSynth holds it
    // for the whole load, and the window and the audio thread must not wait for that.
    std::atomic<Loading> loading{Loading::Busy};
    // Set when the engine closes during the load: the next read fails, and the load ends soon.
    std::atomic<bool> abandoned{false};
    // FluidSynth's first complaint while loading; the GUI thread reads it once loading is Failed.
    std::array<char, 256> loadError{};
    // Written by the loading thread before loading is Done, read-only after.
    std::vector<SynthPreset> presets;

    // What the loading thread is to play, in order: whatever came while the SoundFont loaded,
    // then each program change (which reads its instrument's samples) and all that follows it
    // until the loading thread has caught up. The lock is held only to add or take one.
    struct Waiting {
        MidiMessage bytes;
        bool silence = false; // every voice stops, in its place among the messages
    };
    std::mutex waitingLock;
    std::condition_variable waitingCame;
    std::deque<Waiting> waiting;
    std::size_t waitingBytes = 0;
    // Messages handed on and not yet played to the end. Only the GUI thread adds, so when it
    // reads none, the loading thread is idle and stays so until the GUI thread hands on more.
    std::atomic<std::size_t> unfinished{0};

    // The master volume, set on the GUI thread and read by the audio thread.
    std::atomic<float> volume{1.0f};
    // The audio thread's, or Render's where there is no audio output; made with the rate.
    std::optional<PeakLimiter> limiter;
    // Messages played into the synthesizer so far, counted after each: the audio thread
    // renders again from the period that sees the count change.
    std::atomic<std::uint32_t> messagesPlayed{0};
    // The audio thread's; made with the rate.
    std::optional<SilenceRest> rest;

    explicit State(SoundFontFile file) : soundFont(std::move(file)) {}
};

namespace {

// 128 frames at 48 kHz is 2.7 ms; two of them in flight keep the delay from key to sound near
// 5 ms plus what the sound server adds, with room for one late wake-up of the audio thread.
constexpr int kSampleRate = 48000;
constexpr int kPeriodFrames = 128;
constexpr int kPeriods = 2;
// What may wait for the SoundFont: a few programs, controllers and GM resets, not a dump.
constexpr std::size_t kMaxHeldBytes = 64 * 1024;
// What may wait behind a program change while its samples are read: seconds of the densest
// playing. Past it new notes are dropped (their note-offs then find nothing to end); past twice
// that everything is.
constexpr std::size_t kMaxWaitingBytes = 256 * 1024;
// FluidSynth's gain. Its own default (0.2) leaves a note at velocity 100 near
// -25 dBFS, far quieter than other synthesizers; this one puts it near -11 dBFS. A chord of ten
// notes at velocity 127 then adds up past full scale, which the limiter takes in (the
// synthesizer tests measure both).
constexpr double kGain = 1.25;

// The reason FluidSynth gives on this thread while audio outputs are tried; elsewhere it goes
// to standard error.
thread_local std::string* fluidErrorCatcher = nullptr;

// The SoundFont this thread loads: FluidSynth's file callbacks take only a name. Set for the
// loading thread's whole life, as it reads an instrument's samples whenever a program needs them.
thread_local FluidSynthEngine::State* loadingHere = nullptr;
// Set when a read of the SoundFont failed on this thread: the file changed or went bad since
// it was checked, or the engine closes.
thread_local bool readFailedHere = false;

// Keeps FluidSynth's first complaint about the load. Runs on the loading thread.
void RememberLoadError(FluidSynthEngine::State& state, const char* message) {
    if (state.loadError[0] == '\0' && !state.abandoned.load(std::memory_order_relaxed))
        std::snprintf(state.loadError.data(), state.loadError.size(), "%s", message);
}

// May run on any of FluidSynth's threads (audio, loading): it only writes to standard error,
// except on the thread trying audio outputs, which collects the reason for its one line, and on
// the loading thread, which keeps the first complaint for the one line that reports the load.
void OnFluidError(int, const char* message, void*) {
    if (fluidErrorCatcher != nullptr)
        *fluidErrorCatcher = message;
    else if (loadingHere != nullptr && loadingHere->loading.load(std::memory_order_relaxed) ==
                                           FluidSynthEngine::Loading::Busy)
        RememberLoadError(*loadingHere, message);
    else
        std::fprintf(stderr, "FluidSynth: %s\n", message);
}

// FluidSynth's warnings and notes (a missing instrument, a driver's settings) are for its own
// command line, not for the window's users.
void RouteFluidLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        fluid->fluid_set_log_function(FLUID_PANIC, OnFluidError, nullptr);
        fluid->fluid_set_log_function(FLUID_ERR, OnFluidError, nullptr);
        fluid->fluid_set_log_function(FLUID_WARN, nullptr, nullptr);
        fluid->fluid_set_log_function(FLUID_INFO, nullptr, nullptr);
        fluid->fluid_set_log_function(FLUID_DBG, nullptr, nullptr);
    });
}

std::vector<std::string> BuiltInAudioDrivers(fluid_settings_t* settings) {
    std::vector<std::string> names;
    fluid->fluid_settings_foreach_option(
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

bool IsNoteOn(const std::uint8_t* bytes, std::size_t size) {
    return (bytes[0] & 0xF0) == 0x90 && size >= 3 && bytes[2] != 0;
}

// Messages after which FluidSynth may read samples on the calling thread: a program change
// chooses an instrument, and a reset (GM, GS or XG by SysEx, or the system reset) chooses one
// for every channel.
bool MayChooseInstrument(std::uint8_t status) {
    return (status & 0xF0) == 0xC0 || status == 0xF0 || status == 0xFF;
}

// Plays one complete message. Runs on the GUI thread, or on the loading thread for what was
// handed on to it; never on both at once (see State::unfinished).
void Dispatch(fluid_synth_t* synth, const std::uint8_t* bytes, std::size_t size) {
    const std::uint8_t status = bytes[0];
    if (status == 0xF0) {
        if (size >= 2 && bytes[size - 1] == 0xF7)
            fluid->fluid_synth_sysex(synth, reinterpret_cast<const char*>(bytes + 1),
                                     static_cast<int>(size - 2), nullptr, nullptr, nullptr, 0);
        return;
    }
    if (status == 0xFF) {
        fluid->fluid_synth_system_reset(synth);
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
        fluid->fluid_synth_noteoff(synth, channel, first);
        break;
    case 0x90:
        if (second == 0)
            fluid->fluid_synth_noteoff(synth, channel, first);
        else
            fluid->fluid_synth_noteon(synth, channel, first, second);
        break;
    case 0xA0:
        fluid->fluid_synth_key_pressure(synth, channel, first, second);
        break;
    case 0xB0:
        fluid->fluid_synth_cc(synth, channel, first, second);
        break;
    case 0xC0:
        fluid->fluid_synth_program_change(synth, channel, first);
        break;
    case 0xD0:
        fluid->fluid_synth_channel_pressure(synth, channel, first);
        break;
    case 0xE0:
        fluid->fluid_synth_pitch_bend(synth, channel, first | second << 7);
        break;
    }
}

} // namespace

namespace {

// Runs on the audio driver's thread. The buffers come zeroed, so before the SoundFont is in it
// leaves them silent and never waits on the loading thread. FluidSynth renders without its API
// lock, so a program change reading samples on the loading thread never holds this up.
int RenderAudio(void* data, int frames, int nfx, float* fx[], int nout, float* out[]) {
    auto& state = *static_cast<FluidSynthEngine::State*>(data);
    if (state.loading.load(std::memory_order_acquire) != FluidSynthEngine::Loading::Done)
        return FLUID_OK;
    // Silence is left unrendered: the buffers stay as they came.
    if (!state.rest->Renders(state.messagesPlayed.load(std::memory_order_acquire)))
        return FLUID_OK;
    int result = FLUID_OK;
    if (nfx == 0 && nout >= 2) {
        // The driver has no buffers of its own for reverb and chorus: they mix into the dry pair.
        float* effects[4] = {out[0], out[1], out[0], out[1]};
        result = fluid->fluid_synth_process(state.synth, frames, 4, effects, nout, out);
    } else {
        result = fluid->fluid_synth_process(state.synth, frames, nfx, fx, nout, out);
    }
    float loudest = 0.0f;
    for (float** buffers : {out, fx})
        for (int channel = 0; channel < (buffers == out ? nout : nfx); ++channel)
            for (int frame = 0; frame < frames; ++frame)
                loudest = std::max(loudest, std::abs(buffers[channel][frame]));
    state.rest->Rendered(static_cast<std::size_t>(std::max(frames, 0)), loudest);
    if (nout >= 2 && frames > 0)
        state.limiter->Process(out[0], out[1], static_cast<std::size_t>(frames),
                               state.volume.load(std::memory_order_relaxed));
    return result;
}

// Where FluidSynth reads in the SoundFont. Runs on the loading thread.
struct SoundFontReader {
    int descriptor;
    std::int64_t size;
    std::int64_t position = 0;
    const std::atomic<bool>* abandoned;
};

// The file callbacks run on the loading thread, for the SoundFont and later for each
// instrument's samples. Whatever name FluidSynth passes, they read the descriptor that was
// checked; asked from anywhere else they open nothing, so no other thread ever reads the disk.
void* OpenSoundFontReader(const char*) {
    if (loadingHere == nullptr) {
        readFailedHere = true;
        return nullptr;
    }
    return new (std::nothrow)
        SoundFontReader{loadingHere->soundFont.Descriptor(), loadingHere->soundFont.Size(), 0,
                        &loadingHere->abandoned};
}

int ReadSoundFont(void* buffer, fluid_long_long_t count, void* handle) {
    auto& reader = *static_cast<SoundFontReader*>(handle);
    if (reader.abandoned->load(std::memory_order_relaxed) || count < 0 ||
        count > reader.size - reader.position) {
        readFailedHere = true;
        return FLUID_FAILED;
    }
    auto* into = static_cast<char*>(buffer);
    while (count > 0) {
        const ssize_t got = ::pread(reader.descriptor, into, static_cast<std::size_t>(count),
                                    static_cast<off_t>(reader.position));
        if (got < 0 && errno == EINTR)
            continue;
        // The file shrank after it was checked.
        if (got <= 0) {
            readFailedHere = true;
            return FLUID_FAILED;
        }
        into += got;
        count -= got;
        reader.position += got;
    }
    return FLUID_OK;
}

int SeekSoundFont(void* handle, fluid_long_long_t offset, int origin) {
    auto& reader = *static_cast<SoundFontReader*>(handle);
    const std::int64_t from = origin == SEEK_SET   ? 0
                              : origin == SEEK_CUR ? reader.position
                              : origin == SEEK_END ? reader.size
                                                   : -1;
    if (from < 0 || offset < -from || offset > reader.size - from)
        return FLUID_FAILED;
    reader.position = from + offset;
    return FLUID_OK;
}

fluid_long_long_t TellSoundFont(void* handle) {
    return static_cast<SoundFontReader*>(handle)->position;
}

int CloseSoundFont(void* handle) {
    delete static_cast<SoundFontReader*>(handle);
    return FLUID_OK;
}

// Any other loader FluidSynth tries after ours (its DLS loader) opens the file by name: the
// name leads to the descriptor's file, never to whatever the path names by now.
std::string NameOfDescriptor(int descriptor) {
    return "/proc/self/fd/" + std::to_string(descriptor);
}

// The font's instruments, listed once here so that the window never asks FluidSynth, whose
// lock a program change on the loading thread may hold. Runs on the loading thread.
std::vector<SynthPreset> ListPresets(fluid_synth_t* synth, int id) {
    std::vector<SynthPreset> presets;
    fluid_sfont_t* font = fluid->fluid_synth_get_sfont_by_id(synth, id);
    if (font == nullptr)
        return presets;
    fluid->fluid_sfont_iteration_start(font);
    while (fluid_preset_t* preset = fluid->fluid_sfont_iteration_next(font)) {
        const char* name = fluid->fluid_preset_get_name(preset);
        presets.push_back({fluid->fluid_preset_get_banknum(preset),
                           fluid->fluid_preset_get_num(preset), name != nullptr ? name : ""});
    }
    std::sort(presets.begin(), presets.end(), [](const SynthPreset& a, const SynthPreset& b) {
        return std::pair(a.bank, a.program) < std::pair(b.bank, b.program);
    });
    return presets;
}

// Plays a message that may read an instrument's samples. FluidSynth keeps an instrument whose
// samples did not all come in, and a note on it would play from nowhere: the channels it may
// have gone to are left with no instrument instead, and stay silent until the next program.
// Runs on the loading thread.
void DispatchReading(fluid_synth_t* synth, const MidiMessage& message) {
    readFailedHere = false;
    Dispatch(synth, message.data(), message.size());
    if (!readFailedHere || !MayChooseInstrument(message[0]))
        return;
    const bool oneChannel = (message[0] & 0xF0) == 0xC0;
    for (int channel = 0; channel < fluid->fluid_synth_count_midi_channels(synth); ++channel)
        if (!oneChannel || channel == (message[0] & 0x0F))
            fluid->fluid_synth_unset_program(synth, channel);
}

// Runs on the loading thread once the SoundFont is in: plays what the GUI thread handed on,
// in order, until the engine closes. A program change here may read samples from the disk
// for as long as that takes; nobody waits for it but the messages behind it.
void PlayHandedOn(FluidSynthEngine::State& state) {
    for (;;) {
        FluidSynthEngine::State::Waiting next;
        {
            std::unique_lock lock(state.waitingLock);
            state.waitingCame.wait(lock, [&state] {
                return !state.waiting.empty() || state.abandoned.load(std::memory_order_relaxed);
            });
            if (state.abandoned.load(std::memory_order_relaxed))
                return;
            next = std::move(state.waiting.front());
            state.waiting.pop_front();
            state.waitingBytes -= next.bytes.size();
        }
        if (next.silence)
            fluid->fluid_synth_all_sounds_off(state.synth, -1);
        else
            DispatchReading(state.synth, next.bytes);
        state.messagesPlayed.fetch_add(1, std::memory_order_release);
        state.unfinished.fetch_sub(1, std::memory_order_release);
    }
}

// Runs on the loading thread, which owns its share of the state: FluidSynth reads and
// allocates the SoundFont here (the instruments the channels start with too), and nothing of
// ours is touched but the state. A font without a single preset counts as failed: it would
// load and never sound. The thread then stays to read instruments as programs change.
void LoadSoundFont(const std::shared_ptr<FluidSynthEngine::State>& state) {
    loadingHere = state.get();
    const int id = fluid->fluid_synth_sfload(
        state->synth, NameOfDescriptor(state->soundFont.Descriptor()).c_str(), 1);
    if (id != FLUID_FAILED)
        state->presets = ListPresets(state->synth, id);
    const bool loaded = !state->presets.empty();
    if (!loaded && state->loadError[0] == '\0') {
        const char* why =
            id == FLUID_FAILED ? "FluidSynth could not load it" : "it holds no instrument";
        std::snprintf(state->loadError.data(), state->loadError.size(), "%s", why);
    }
    state->loading.store(loaded ? FluidSynthEngine::Loading::Done
                                : FluidSynthEngine::Loading::Failed,
                         std::memory_order_release);
    if (loaded)
        PlayHandedOn(*state);
    loadingHere = nullptr;
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
        fluid->fluid_settings_setnum(state.settings, "synth.sample-rate", rate);
    }
    fluid->fluid_settings_setstr(state.settings, "audio.driver", name.c_str());
    const bool jack = name == "jack";
    // The catcher belongs to the thread that opens.
    const auto open = [&state, &whyNot, jack] {
        fluidErrorCatcher = &whyNot;
        state.driver = fluid->new_fluid_audio_driver2(state.settings, RenderAudio, &state);
        fluidErrorCatcher = nullptr;
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

std::unique_ptr<FluidSynthEngine> FluidSynthEngine::Open(SoundFontFile soundFont,
                                                         const SynthEngineOptions& options,
                                                         std::string& whyNot) {
    if (fluid == nullptr && (fluid = LoadFluidSynth(whyNot)) == nullptr)
        return nullptr;
    RouteFluidLog();
    auto state = std::make_shared<State>(std::move(soundFont));
    state->settings = fluid->new_fluid_settings();
    if (state->settings == nullptr) {
        whyNot = "FluidSynth has no memory for its settings";
        return nullptr;
    }
    fluid->fluid_settings_setnum(state->settings, "synth.sample-rate", kSampleRate);
    fluid->fluid_settings_setint(state->settings, "audio.period-size", kPeriodFrames);
    fluid->fluid_settings_setint(state->settings, "audio.periods", kPeriods);
    const std::string jackName = options.clientName + "-synth";
    fluid->fluid_settings_setstr(state->settings, "audio.jack.id", jackName.c_str());
    fluid->fluid_settings_setint(state->settings, "audio.jack.autoconnect", 1);
    // An instrument's samples are read when a channel chooses it, always on the loading
    // thread (see PlayHandedOn), and dropped when no channel plays it any more.
    fluid->fluid_settings_setint(state->settings, "synth.dynamic-sample-loading", 1);
    // The audio output first: a driver may change the sample rate, and the synthesizer takes
    // the rate it is created with. The driver renders silence until the load is done.
    if (!options.audioDrivers.empty() && !OpenAudio(*state, options, whyNot))
        return nullptr;
    fluid->fluid_settings_setnum(state->settings, "synth.gain", kGain);
    double rate = kSampleRate;
    fluid->fluid_settings_getnum(state->settings, "synth.sample-rate", &rate);
    state->limiter.emplace(rate);
    state->rest.emplace(rate);
    state->synth = fluid->new_fluid_synth(state->settings);
    if (state->synth == nullptr) {
        whyNot = "FluidSynth did not create a synthesizer";
        return nullptr;
    }
    // Tried before FluidSynth's own loaders, which open files by name.
    fluid_sfloader_t* loader = fluid->new_fluid_defsfloader(state->settings);
    if (loader == nullptr || fluid->fluid_sfloader_set_callbacks(
                                 loader, OpenSoundFontReader, ReadSoundFont, SeekSoundFont,
                                 TellSoundFont, CloseSoundFont) != FLUID_OK) {
        if (loader != nullptr)
            fluid->delete_fluid_sfloader(loader);
        whyNot = "FluidSynth has no memory for a SoundFont loader";
        return nullptr;
    }
    fluid->fluid_synth_add_sfloader(state->synth, loader);
    try {
        std::thread([state] { LoadSoundFont(state); }).detach();
    } catch (const std::system_error& error) {
        whyNot = std::string("no thread to load the SoundFont on: ") + error.what();
        return nullptr;
    }
    return std::unique_ptr<FluidSynthEngine>(new FluidSynthEngine(std::move(state)));
}

std::unique_ptr<FluidSynthEngine> FluidSynthEngine::Open(const SynthEngineOptions& options,
                                                         std::string& whyNot) {
    std::optional<SoundFontFile> soundFont = SoundFontFile::Open(options.soundFont, whyNot);
    if (!soundFont)
        return nullptr;
    return Open(std::move(*soundFont), options, whyNot);
}

FluidSynthEngine::FluidSynthEngine(std::shared_ptr<State> state) : state_(std::move(state)) {}

// The audio thread goes first: it may be rendering. A load still going on is told to stop at
// its next read; its thread frees the synthesizer when it ends.
FluidSynthEngine::~FluidSynthEngine() {
    Silence();
    {
        std::lock_guard lock(state_->waitingLock);
        state_->abandoned.store(true, std::memory_order_relaxed);
    }
    state_->waitingCame.notify_all();
    if (state_->driver != nullptr)
        CloseAudioDriver(std::exchange(state_->driver, nullptr), state_->driverName);
}

const std::string& FluidSynthEngine::AudioDriver() const {
    return state_->driverName;
}

FluidSynthEngine::Loading FluidSynthEngine::LoadState() const {
    return state_->loading.load(std::memory_order_acquire);
}

std::string FluidSynthEngine::LoadProblem() const {
    return LoadState() == Loading::Failed ? std::string(state_->loadError.data()) : std::string();
}

bool FluidSynthEngine::WaitUntilLoaded(std::chrono::milliseconds patience) const {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (LoadState() == Loading::Busy && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return LoadState() == Loading::Done;
}

std::vector<SynthPreset> FluidSynthEngine::Presets() const {
    if (LoadState() != Loading::Done)
        return {};
    return state_->presets;
}

void FluidSynthEngine::SetVolume(double volume) {
    state_->volume.store(static_cast<float>(std::clamp(volume, 0.0, 2.0)),
                         std::memory_order_relaxed);
}

bool FluidSynthEngine::LoaderBusy() const {
    return state_->unfinished.load(std::memory_order_acquire) != 0;
}

void FluidSynthEngine::HandOn(const std::uint8_t* bytes, std::size_t size, bool silence) {
    {
        std::lock_guard lock(state_->waitingLock);
        state_->waiting.push_back({MidiMessage(bytes, bytes + size), silence});
        state_->waitingBytes += size;
        state_->unfinished.fetch_add(1, std::memory_order_relaxed);
    }
    state_->waitingCame.notify_one();
}

void FluidSynthEngine::Play(const std::uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size == 0)
        return;
    const Loading loading = LoadState();
    if (loading == Loading::Failed)
        return;
    // While loading, a note would sound (or end) only after the load; it is simply not heard,
    // and its note-off has nothing to end, so nothing can stick.
    if (loading == Loading::Busy && IsNote(bytes[0]))
        return;
    if (loading == Loading::Done && !LoaderBusy() && !MayChooseInstrument(bytes[0])) {
        Dispatch(state_->synth, bytes, size);
        state_->messagesPlayed.fetch_add(1, std::memory_order_release);
        return;
    }
    std::size_t waitingBytes = 0;
    {
        std::lock_guard lock(state_->waitingLock);
        waitingBytes = state_->waitingBytes;
    }
    const std::size_t room = loading == Loading::Busy ? kMaxHeldBytes
                             : IsNoteOn(bytes, size)  ? kMaxWaitingBytes
                                                      : 2 * kMaxWaitingBytes;
    if (waitingBytes + size <= room)
        HandOn(bytes, size, false);
}

void FluidSynthEngine::Silence() {
    if (LoadState() != Loading::Done)
        return;
    if (LoaderBusy())
        HandOn(nullptr, 0, true);
    else
        fluid->fluid_synth_all_sounds_off(state_->synth, -1);
    state_->messagesPlayed.fetch_add(1, std::memory_order_release);
}

void FluidSynthEngine::Render(std::size_t frames, float* left, float* right) {
    if (LoadState() != Loading::Done || state_->driver != nullptr) {
        std::fill(left, left + frames, 0.0f);
        std::fill(right, right + frames, 0.0f);
        return;
    }
    // Rendered by hand, sound is asked for faster than it plays: everything sent before is
    // in these frames, an instrument still being read waited for, as the device's later
    // periods would wait for it.
    while (LoaderBusy())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fluid->fluid_synth_write_float(state_->synth, static_cast<int>(frames), left, 0, 1, right, 0,
                                   1);
    state_->limiter->Process(left, right, frames, state_->volume.load(std::memory_order_relaxed));
}
