#include "app/sound_texts.h"

namespace {

// The blanks around the group boxes' captions keep the frame line off the text.
constexpr SoundTexts kGerman = {
    .tab = "Klang",
    .instrumentBox = " Instrument ",
    .search = "Suchen",
    .controllersBox = " Regler ",
    .controllers = {"Lautstärke", "Panorama", "Ausdruck", "Hall", "Chorus", "Modulation"},
    .bend = "Tonhöhe",
    .bendRange = "Bereich",
    .playingBox = " Spielen ",
    .pedals = {"Haltepedal", "Sostenuto", "Leise"},
    .keyVelocity = "Anschlag:",
    .transpose = "Transponieren:",
    .noteNames = "Notennamen:",
    .noteNameChoices = {"keine", "jedes C", "alle weißen"},
    .synthesizerBox = " Eingebauter Synthesizer ",
    .chooseSoundFont = "SoundFont…",
    .soundFontFilter = "SoundFonts (*.sf2 *.sf3 *.SF2 *.SF3);;Alle Dateien (*)",
    .masterVolume = "Gesamt:",
    .notTheSynthesizer = "Nicht gewählt: der Ausgang ist ein anderes Gerät.",
    .loading = "lädt …",
    .notLoaded = "Nicht geladen: ",
};

constexpr SoundTexts kEnglish = {
    .tab = "Sound",
    .instrumentBox = " Instrument ",
    .search = "Search",
    .controllersBox = " Controllers ",
    .controllers = {"Volume", "Pan", "Expression", "Reverb", "Chorus", "Modulation"},
    .bend = "Pitch bend",
    .bendRange = "Range",
    .playingBox = " Playing ",
    .pedals = {"Sustain", "Sostenuto", "Soft"},
    .keyVelocity = "Key velocity:",
    .transpose = "Transpose:",
    .noteNames = "Note names:",
    .noteNameChoices = {"none", "every C", "all white"},
    .synthesizerBox = " Built-in synthesizer ",
    .chooseSoundFont = "SoundFont…",
    .soundFontFilter = "SoundFonts (*.sf2 *.sf3 *.SF2 *.SF3);;All files (*)",
    .masterVolume = "Master:",
    .notTheSynthesizer = "Not chosen: the output is another device.",
    .loading = "loading …",
    .notLoaded = "Not loaded: ",
};

} // namespace

const SoundTexts& SoundTextsIn(bool german) {
    return german ? kGerman : kEnglish;
}
