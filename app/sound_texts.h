#pragma once

// The Sound page's captions in German and in English, as UTF-8. Plain data, like the window's
// other texts (window_texts.h).

#include <array>
#include <string_view>

struct SoundTexts {
    std::string_view tab;
    std::string_view instrumentBox;
    std::string_view search; // the search line's placeholder
    std::string_view controllersBox;
    // Volume, pan, expression, reverb, chorus, modulation, in the order of Controller.
    std::array<std::string_view, 6> controllers;
    std::string_view bend;
    std::string_view bendRange;
    std::string_view playingBox;
    // Sustain, sostenuto, soft, in the order of Pedal.
    std::array<std::string_view, 3> pedals;
    std::string_view keyVelocity;
    std::string_view transpose;
    std::string_view noteNames;
    // The note-name choices: none, the C of every octave, every white key.
    std::array<std::string_view, 3> noteNameChoices;
    std::string_view synthesizerBox;
    std::string_view chooseSoundFont;
    std::string_view soundFontFilter; // the file dialog's filter
    std::string_view masterVolume;
    // Shown where the built-in synthesizer is not the output.
    std::string_view notTheSynthesizer;
    std::string_view loading;
    // Before the reason a SoundFont did not load.
    std::string_view notLoaded;
};

// German texts for German, English texts for every other language.
const SoundTexts& SoundTextsIn(bool german);
