#pragma once

// What the window keeps from one run to the next, and where: a settings key below "\Software"
// named after maker and product with six values in it, the free-command history as the value
// names of its subkey "Cmds", and the Sound page's settings in the subkey "Sound" and, for each
// channel the user changed, in "Sound\Channel 1" to "Sound\Channel 16".

#include "formats/channel_sound.h"
#include "keyboard/key_geometry.h"
#include "keyboard/key_labels.h"

#include <array>

#include <cstdint>
#include <string>
#include <vector>

class LogSink;
class RegistryAccess;

// What the settings file keeps of the Sound page.
struct SoundSettings {
    std::array<ChannelSettings, 16> channels{};
    int keyVelocity = 100;
    int transpose = 0;
    KeyLabels keyLabels = KeyLabels::None;
    int masterVolume = 100; // percent
    bool operator==(const SoundSettings&) const = default;
};

struct StoredSettings {
    std::int32_t baseOctave = 1;
    std::int32_t baseNote = static_cast<std::int32_t>(TKeyboardStartNote::A);
    // The device lists' item texts, as the user saw them; empty when none is stored.
    std::string midiInDevice;
    std::string midiOutDevice;
    // No output was ever chosen: the settings key holds no "MIDIOutDevice" at all.
    bool outputNeverChosen = false;
    // Items of the channel lists: 0 is all channels, 1 to 16 the channels; the output list
    // starts at channel 1, so 0 to 15.
    std::int32_t midiInChannel = 0;
    std::int32_t midiOutChannel = 0;
    // Most recent first.
    std::vector<std::string> commands;
    SoundSettings sound;
};

// "\Software\<maker>\<product>"; the names are Windows-1252 text.
std::string SettingsKeyPath(const std::string& companyName, const std::string& productName);

// Settings missing, of another type than the program writes, or out of range keep their
// default; the last two are reported, and the settings after them are still read. Opens the
// keys with canCreate, so that a first start leaves them in place.
StoredSettings LoadSettings(RegistryAccess& registry, const std::string& settingsKey, LogSink& log);

// The optional text value "SoundFont": the file the built-in synthesizer plays; empty when none
// is named. Written when the user picks a file on the Sound page, or set by hand.
std::string ReadSoundFontSetting(RegistryAccess& registry, const std::string& settingsKey,
                                 LogSink& log);
void WriteSoundFontSetting(RegistryAccess& registry, const std::string& settingsKey,
                           const std::string& soundFont, LogSink& log);

// The values replace what is stored. The history is merged, since another instance of the
// program may have saved its own since this one loaded: settings.commands first, then the
// commands stored now that were not among commandsLoaded, in their stored order. A command
// that this instance loaded and has since dropped stays dropped.
// A value the file cannot hold is reported and left out. A failure to keep the changes throws
// RegistryError.
void SaveSettings(RegistryAccess& registry, const std::string& settingsKey,
                  const StoredSettings& settings, const std::vector<std::string>& commandsLoaded,
                  LogSink& log);
