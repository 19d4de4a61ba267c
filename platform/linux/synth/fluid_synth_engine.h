#pragma once

// The built-in synthesizer: FluidSynth playing a SoundFont, heard through the first audio output
// that opens, or rendered by hand when there is none (tests). Only this file's source and
// fluid_library.h, which opens FluidSynth when the first engine opens, include FluidSynth.
//
// Opening is quick: the audio output opens at once, so a missing one is reported to the caller,
// while the SoundFont (100 MB and more) loads on a thread of its own. Until it is in, notes are
// not heard; everything else sent meanwhile (programs, controllers, SysEx) takes effect when it
// is, so the first key heard already plays the instrument chosen. Closing never waits for the
// load: an abandoned load is cut short, and its thread frees what it used when it ends.
//
// Only the instruments in use are in memory: an instrument's samples are read when a channel
// first chooses it and dropped when no channel plays it any more. That reading is done by the
// loading thread, which stays for it: a program change, and whatever comes after it, waits
// there in order until the new instrument is in, so neither the window nor the audio output
// ever waits for the disk. Everything else is played at once.

#include "platform/linux/synth/soundfont_discovery.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/synthesizer.h"

struct SynthEngineOptions {
    // For the Open that opens the file itself: the SoundFont's path.
    std::string soundFont;
    // FluidSynth's audio driver names, tried in order; none renders nothing but Render's output.
    std::vector<std::string> audioDrivers;
    // What the synthesizer is called where it shows, such as among JACK's clients.
    std::string clientName = "klavio";
};

class FluidSynthEngine {
public:
    // Failed: FluidSynth refused the file, or it holds no instrument to play.
    enum class Loading { Busy, Done, Failed };

    // Returns nullptr and a one-line reason in whyNot when no audio output opens. GUI thread.
    static std::unique_ptr<FluidSynthEngine>
    Open(SoundFontFile soundFont, const SynthEngineOptions& options, std::string& whyNot);
    // Opens options.soundFont first; nullptr with the reason when it is no SoundFont.
    static std::unique_ptr<FluidSynthEngine> Open(const SynthEngineOptions& options,
                                                  std::string& whyNot);
    // Stops the sound at once; a load still going on is abandoned, not waited for.
    ~FluidSynthEngine();
    FluidSynthEngine(const FluidSynthEngine&) = delete;
    FluidSynthEngine& operator=(const FluidSynthEngine&) = delete;

    // The audio driver that opened; empty without audio output.
    const std::string& AudioDriver() const;
    Loading LoadState() const;
    // Why the load failed, in one line; empty unless LoadState() is Failed.
    std::string LoadProblem() const;
    // Waits at most patience for the load to end; true when the SoundFont is in.
    bool WaitUntilLoaded(std::chrono::milliseconds patience) const;

    // The instruments of the loaded SoundFont, by bank and program; empty until it is loaded.
    // GUI thread.
    std::vector<SynthPreset> Presets() const;
    // How loud everything plays, 0 to 2: 1 as it starts, where one note at velocity 100 peaks
    // near -11 dBFS; louder playing is held below full scale. GUI thread.
    void SetVolume(double volume);

    // One complete MIDI message, status first, as SplitMidiStream gives them. GUI thread.
    void Play(const std::uint8_t* bytes, std::size_t size);
    // Every voice on every channel stops now; the reverb's tail fades out. GUI thread.
    void Silence();
    // Without audio output: the next frames of sound, left and right, with all that was sent
    // before in them (an instrument still being read is waited for). Silence until loaded.
    void Render(std::size_t frames, float* left, float* right);

    // FluidSynth's side, opaque here.
    struct State;

private:
    explicit FluidSynthEngine(std::shared_ptr<State> state);
    // Passes the message to the loading thread, behind what waits there already.
    void HandOn(const std::uint8_t* bytes, std::size_t size, bool silence);
    // True while the loading thread has messages of ours to play or is playing one.
    bool LoaderBusy() const;

    // Shared with the loading thread, which may outlive the engine.
    std::shared_ptr<State> state_;
};
