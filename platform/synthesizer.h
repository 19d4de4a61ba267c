#pragma once

// The built-in synthesizer as the Sound page sees it: which SoundFont it plays, how loading it
// went, the instruments in it, and its master volume. The MIDI service that offers the
// synthesizer as an output implements this too. Every call comes from the GUI thread.

#include <QEvent>

#include <string>
#include <vector>

class QObject;

// Posted to the synthesizer's watcher when its load state changes.
inline const QEvent::Type MM_SYNTH_CHANGED = static_cast<QEvent::Type>(QEvent::User + 0x3D1);

struct SynthPreset {
    int bank = 0; // as the SoundFont numbers it: 128 holds the drum kits
    int program = 0;
    std::string name; // UTF-8, as the SoundFont has it
};

class Synthesizer {
public:
    enum class State { Closed, Loading, Loaded, Failed };

    virtual ~Synthesizer() = default;

    virtual State LoadState() = 0;
    // The file it plays or would play, empty when there is none; why it did not load.
    virtual std::string SoundFont() = 0;
    virtual std::string Problem() = 0;
    // The instruments of the loaded SoundFont, by bank and program; empty until it is loaded.
    virtual std::vector<SynthPreset> Presets() = 0;
    // Another file from now on: the synthesizer, when open, has to be opened again to play it.
    virtual void UseSoundFont(const std::string& path) = 0;
    // 0 to 2: how loud everything plays, 1 as it starts.
    virtual void SetMasterVolume(double volume) = 0;
    // Hears an MM_SYNTH_CHANGED event whenever the load state changes; nullptr for none.
    virtual void SetSynthWatcher(QObject* watcher) = 0;
};

// Where no synthesizer is built in.
class NoSynthesizer final : public Synthesizer {
public:
    State LoadState() override { return State::Closed; }
    std::string SoundFont() override { return {}; }
    std::string Problem() override { return {}; }
    std::vector<SynthPreset> Presets() override { return {}; }
    void UseSoundFont(const std::string&) override {}
    void SetMasterVolume(double) override {}
    void SetSynthWatcher(QObject*) override {}
};
