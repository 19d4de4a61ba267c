#pragma once

// The built-in synthesizer as a test sets it: its state, file, problem and instruments.

#include "platform/synthesizer.h"

class FakeSynthesizer final : public Synthesizer {
public:
    State state = State::Closed;
    std::string soundFont;
    std::string problem;
    std::vector<SynthPreset> presets;
    double volume = 1.0;

    State LoadState() override { return state; }
    std::string SoundFont() override { return soundFont; }
    std::string Problem() override { return problem; }
    std::vector<SynthPreset> Presets() override { return presets; }
    void UseSoundFont(const std::string& path) override { soundFont = path; }
    void SetMasterVolume(double value) override { volume = value; }
    void SetSynthWatcher(QObject*) override {}
};
