#include "app/settings_schema.h"

#include "formats/code_page.h"
#include "platform/log_sink.h"
#include "platform/registry.h"

#include <QString>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_set>

namespace {

const char* const kHistorySubkey = "\\Cmds";

// A missing setting and one of another type than the program writes both count as absent; the
// second is reported, and the settings after it are still restored.
template <typename Read>
auto ReadSetting(RegistryAccess& registry, const std::string& name, LogSink& log, Read read)
    -> std::optional<decltype(read(name))> {
    if (!registry.ValueExists(name))
        return std::nullopt;
    try {
        return read(name);
    } catch (const RegistryError& error) {
        log.Report(std::string(error.what()) + "; it is not restored");
        return std::nullopt;
    }
}

std::optional<std::int32_t> ReadIntegerSetting(RegistryAccess& registry, const std::string& name,
                                               LogSink& log) {
    return ReadSetting(registry, name, log,
                       [&](const std::string& value) { return registry.ReadInteger(value); });
}

std::optional<std::string> ReadTextSetting(RegistryAccess& registry, const std::string& name,
                                           LogSink& log) {
    return ReadSetting(registry, name, log,
                       [&](const std::string& value) { return registry.ReadString(value); });
}

// A channel item outside its list selects the list's first item, without a report.
std::int32_t ChannelItem(std::optional<std::int32_t> stored, std::int32_t lastItem) {
    return stored && *stored >= 0 && *stored <= lastItem ? *stored : 0;
}

// A value the file cannot hold (a line break in a device name or a command) is reported and
// left out; the values after it are still written. A save that fails is not caught here.
void WriteOrReport(LogSink& log, const std::function<void()>& write) {
    try {
        write();
    } catch (const RegistryError& error) {
        log.Report(std::string(error.what()) + "; it is not saved");
    }
}

// Keeping the keys that reading creates on a first start may fail (a read-only home folder);
// the settings read are applied all the same.
void CloseKeyOrReport(RegistryAccess& registry, LogSink& log) {
    try {
        registry.CloseKey();
    } catch (const RegistryError& error) {
        log.Report(error.what());
    }
}

// Value names are the same whatever the letter case of their ASCII letters, as in the
// settings file.
char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct SameNameHash {
    std::size_t operator()(std::string_view name) const {
        // FNV-1a over the lower-case bytes: names that differ in case only land together.
        std::size_t hash = 14695981039346656037ull;
        for (const char c : name)
            hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 1099511628211ull;
        return hash;
    }
};

struct SameName {
    bool operator()(std::string_view a, std::string_view b) const {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
    }
};

// Views into the caller's vectors, which outlive the set: a history of a million commands is
// looked up without copying it.
using NameSet = std::unordered_set<std::string_view, SameNameHash, SameName>;

// Those of names that are not among within, in the order of names: one pass over each, and
// only names go into a set, as within is a long history and names the few that differ.
std::vector<std::string_view> NotAmong(const std::vector<std::string_view>& names,
                                       const std::vector<std::string>& within) {
    const NameSet wanted(names.begin(), names.end());
    NameSet found;
    for (const std::string& name : within)
        if (wanted.contains(name))
            found.insert(name);
    std::vector<std::string_view> chosen;
    for (const std::string_view name : names)
        if (!found.contains(name))
            chosen.push_back(name);
    return chosen;
}

// Linear in the three histories together. The stored history is mostly the one this instance
// loaded, perhaps with a few commands another instance put in: it is walked beside the loaded
// one, and only the entries that are not where the walk expects them are looked up.
std::vector<std::string> MergedHistory(const std::vector<std::string>& ours,
                                       const std::vector<std::string>& loaded,
                                       const std::vector<std::string>& storedNow) {
    std::vector<std::string_view> unexpected;
    std::size_t next = 0;
    for (const std::string& command : storedNow) {
        if (next < loaded.size() && loaded[next] == command)
            ++next;
        else
            unexpected.push_back(command);
    }
    std::vector<std::string> merged = ours;
    if (unexpected.empty())
        return merged;
    // What another instance added: not loaded here, and not among ours either. Each once.
    const std::vector<std::string_view> added = NotAmong(unexpected, loaded);
    NameSet taken;
    for (const std::string_view command : NotAmong(added, ours))
        if (taken.insert(command).second)
            merged.emplace_back(command);
    return merged;
}

// A whole number in [lowest, highest]; one out of range is reported and keeps its default.
std::optional<std::int32_t> ReadRangeSetting(RegistryAccess& registry, const std::string& name,
                                             std::int32_t lowest, std::int32_t highest,
                                             LogSink& log) {
    const std::optional<std::int32_t> value = ReadIntegerSetting(registry, name, log);
    if (value && (*value < lowest || *value > highest)) {
        log.Report(name + " " + std::to_string(*value) + " is not from " + std::to_string(lowest) +
                   " to " + std::to_string(highest) + "; it is not restored");
        return std::nullopt;
    }
    return value;
}

// The Sound page's settings live in a subkey of their own, rewritten at every save and there
// only while something differs from how a device starts: a file of a user who never changed the
// sound is what it always was. Each channel the user changed has a subkey below it.
const char* const kSoundSubkey = "\\Sound";

std::string ChannelKey(const std::string& settingsKey, int channel) {
    return settingsKey + kSoundSubkey + "\\Channel " + std::to_string(channel + 1);
}

const std::array<const char*, kControllerCount> kControllerNames = {
    "Volume", "Pan", "Expression", "Reverb", "Chorus", "Modulation"};

void ReadSoundSettings(RegistryAccess& registry, const std::string& settingsKey, LogSink& log,
                       SoundSettings& sound) {
    if (registry.OpenKey(settingsKey + kSoundSubkey, false)) {
        sound.keyVelocity = ReadRangeSetting(registry, "KeyVelocity", 1, 127, log).value_or(100);
        sound.transpose = ReadRangeSetting(registry, "Transpose", -24, 24, log).value_or(0);
        sound.keyLabels = static_cast<KeyLabels>(
            ReadRangeSetting(registry, "KeyLabels", 0, kKeyLabelsChoices - 1, log).value_or(0));
        sound.masterVolume = ReadRangeSetting(registry, "MasterVolume", 0, 200, log).value_or(100);
        CloseKeyOrReport(registry, log);
    }
    for (int channel = 0; channel < 16; ++channel) {
        if (!registry.OpenKey(ChannelKey(settingsKey, channel), false))
            continue;
        ChannelSettings& settings = sound.channels[static_cast<std::size_t>(channel)];
        const auto data = [&](const char* name) {
            return ReadRangeSetting(registry, name, 0, 127, log);
        };
        if (const std::optional<std::int32_t> program = data("Program"))
            settings.sound =
                SoundChoice{data("BankMSB").value_or(0), data("BankLSB").value_or(0), *program};
        for (std::size_t i = 0; i < kControllerCount; ++i)
            settings.controllers[i] = static_cast<std::uint8_t>(
                data(kControllerNames[i]).value_or(kControllerDefaults[i]));
        settings.bendRange = ReadRangeSetting(registry, "BendRange", 0, kMaxBendRange, log)
                                 .value_or(kDefaultBendRange);
        CloseKeyOrReport(registry, log);
    }
}

void WriteSoundSettings(RegistryAccess& registry, const std::string& settingsKey, LogSink& log,
                        const SoundSettings& sound) {
    registry.DeleteKey(settingsKey + kSoundSubkey);
    if (sound == SoundSettings{} || !registry.OpenKey(settingsKey + kSoundSubkey, true))
        return;
    const auto write = [&](const char* name, int value) {
        WriteOrReport(log, [&] { registry.WriteInteger(name, value); });
    };
    // Only what differs from how the program starts.
    const SoundSettings start;
    for (const auto& [name, value, startsAs] :
         {std::tuple{"KeyVelocity", sound.keyVelocity, start.keyVelocity},
          {"Transpose", sound.transpose, start.transpose},
          {"KeyLabels", static_cast<int>(sound.keyLabels), static_cast<int>(start.keyLabels)},
          {"MasterVolume", sound.masterVolume, start.masterVolume}})
        if (value != startsAs)
            write(name, value);
    CloseKeyOrReport(registry, log);
    for (int channel = 0; channel < 16; ++channel) {
        const ChannelSettings& settings = sound.channels[static_cast<std::size_t>(channel)];
        if (settings.Untouched() || !registry.OpenKey(ChannelKey(settingsKey, channel), true))
            continue;
        if (settings.sound) {
            write("BankMSB", settings.sound->bankMsb);
            write("BankLSB", settings.sound->bankLsb);
            write("Program", settings.sound->program);
        }
        for (std::size_t i = 0; i < kControllerCount; ++i)
            write(kControllerNames[i], settings.controllers[i]);
        write("BendRange", settings.bendRange);
        CloseKeyOrReport(registry, log);
    }
}

} // namespace

// The registry's names are UTF-8. Empty names leave an empty name in the path, which names no
// key: nothing is then read or written, rather than settings landing in "\Software" itself.
std::string SettingsKeyPath(const std::string& companyName, const std::string& productName) {
    const auto utf8 = [](const std::string& text) {
        return QString::fromStdU16String(Windows1252ToUtf16(text)).toStdString();
    };
    return "\\Software\\" + utf8(companyName) + "\\" + utf8(productName);
}

std::string ReadSoundFontSetting(RegistryAccess& registry, const std::string& settingsKey,
                                 LogSink& log) {
    if (!registry.OpenKey(settingsKey, false))
        return {};
    std::string soundFont = ReadTextSetting(registry, "SoundFont", log).value_or("");
    CloseKeyOrReport(registry, log);
    return soundFont;
}

void WriteSoundFontSetting(RegistryAccess& registry, const std::string& settingsKey,
                           const std::string& soundFont, LogSink& log) {
    if (!registry.OpenKey(settingsKey, true))
        return;
    WriteOrReport(log, [&] { registry.WriteString("SoundFont", soundFont); });
    CloseKeyOrReport(registry, log);
}

StoredSettings LoadSettings(RegistryAccess& registry, const std::string& settingsKey,
                            LogSink& log) {
    StoredSettings settings;
    if (registry.OpenKey(settingsKey, true)) {
        settings.baseOctave = ReadIntegerSetting(registry, "BaseOctave", log).value_or(1);
        // The note is the value's low eight bits; what the bits above hold does not count.
        const std::optional<std::int32_t> baseNote = ReadIntegerSetting(registry, "BaseNote", log);
        const std::int32_t note =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(baseNote.value_or(0)) & 0xFFu);
        if (baseNote && note > static_cast<int>(TKeyboardStartNote::B))
            log.Report("BaseNote " + std::to_string(*baseNote) +
                       " is no note from C (0) to B (6); it is not restored");
        else if (baseNote)
            settings.baseNote = note;
        settings.midiInDevice = ReadTextSetting(registry, "MIDIInDevice", log).value_or("");
        settings.midiInChannel =
            ChannelItem(ReadIntegerSetting(registry, "MIDIInChannel", log), 16);
        settings.outputNeverChosen = !registry.ValueExists("MIDIOutDevice");
        settings.midiOutDevice = ReadTextSetting(registry, "MIDIOutDevice", log).value_or("");
        settings.midiOutChannel =
            ChannelItem(ReadIntegerSetting(registry, "MIDIOutChannel", log), 15);
        CloseKeyOrReport(registry, log);
    } else {
        log.Report("cannot open the settings key " + settingsKey +
                   "; the settings are not restored");
    }

    ReadSoundSettings(registry, settingsKey, log, settings.sound);

    // Only the names count, whatever their data. The unnamed default value, which is where an
    // empty command went, does not come back. Every stored command is kept, even beyond the
    // history's limit.
    if (registry.OpenKey(settingsKey + kHistorySubkey, true)) {
        for (std::string& command : registry.GetValueNames())
            if (!command.empty())
                settings.commands.push_back(std::move(command));
        CloseKeyOrReport(registry, log);
    }
    return settings;
}

void SaveSettings(RegistryAccess& registry, const std::string& settingsKey,
                  const StoredSettings& settings, const std::vector<std::string>& commandsLoaded,
                  LogSink& log) {
    if (registry.OpenKey(settingsKey, true)) {
        WriteOrReport(log, [&] { registry.WriteInteger("BaseOctave", settings.baseOctave); });
        WriteOrReport(log, [&] { registry.WriteInteger("BaseNote", settings.baseNote); });
        WriteOrReport(log, [&] { registry.WriteString("MIDIInDevice", settings.midiInDevice); });
        WriteOrReport(log, [&] { registry.WriteInteger("MIDIInChannel", settings.midiInChannel); });
        WriteOrReport(log, [&] { registry.WriteString("MIDIOutDevice", settings.midiOutDevice); });
        WriteOrReport(log,
                      [&] { registry.WriteInteger("MIDIOutChannel", settings.midiOutChannel); });
        registry.CloseKey();
    } else {
        log.Report("cannot open the settings key " + settingsKey + "; the settings are not saved");
    }

    WriteSoundSettings(registry, settingsKey, log, settings.sound);

    // The access holds the settings file for its whole life, so no other instance saves
    // between reading the stored history and writing the merged one.
    const std::string historyKey = settingsKey + kHistorySubkey;
    std::vector<std::string> storedNow;
    if (registry.OpenKey(historyKey, false))
        storedNow = registry.GetValueNames();
    const std::vector<std::string> history =
        MergedHistory(settings.commands, commandsLoaded, storedNow);
    // The key is made anew so that it holds the merged history and nothing older, most recent
    // first: the order the values are written in is the order they are read back in.
    registry.DeleteKey(historyKey);
    if (!registry.OpenKey(historyKey, true))
        return;
    for (const std::string& command : history)
        WriteOrReport(log, [&] { registry.WriteBool(command, true); });
    registry.CloseKey();
}
