#include "app/settings_schema.h"
#include "formats/reg_file.h"
#include "tests/fakes/fake_log_sink.h"
#include "tests/fakes/fake_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string kKey = "\\Software\\Varnholm\\klavio";

// The setting of that name as text, the way a row names what it expects back.
std::string Restored(const StoredSettings& settings, const std::string& name) {
    if (name == "MIDIInDevice")
        return settings.midiInDevice;
    if (name == "MIDIOutDevice")
        return settings.midiOutDevice;
    const std::int32_t number = name == "BaseOctave"      ? settings.baseOctave
                                : name == "BaseNote"      ? settings.baseNote
                                : name == "MIDIInChannel" ? settings.midiInChannel
                                                          : settings.midiOutChannel;
    return std::to_string(number);
}

TEST(SettingsSchema, EachValueIsRestoredWithinItsTypeAndRange) {
    struct Row {
        std::string name;
        RegData stored;
        std::string restored;
        bool reported;
    };
    const std::vector<Row> rows{
        {"BaseOctave", 3u, "3", false},
        {"BaseOctave", std::string("3"), "1", true},
        {"BaseNote", 0u, "0", false},
        {"BaseNote", 6u, "6", false},
        {"BaseNote", 7u, "5", true},
        {"BaseNote", 0x102u, "2", false}, // only the low eight bits count
        {"BaseNote", 0xFFFFFF06u, "6", false},
        {"BaseNote", 0xFFFFFFFFu, "5", true},
        {"MIDIInDevice", std::string("Piano:out"), "Piano:out", false},
        {"MIDIInDevice", 1u, "", true},
        {"MIDIInChannel", 16u, "16", false},
        {"MIDIInChannel", 17u, "0", false},
        {"MIDIInChannel", 0xFFFFFFFFu, "0", false},
        {"MIDIOutDevice", RegData(RegRawData{REG_BINARY, {}}), "", true},
        {"MIDIOutChannel", 15u, "15", false},
        {"MIDIOutChannel", 16u, "0", false},
        {"MIDIOutChannel", std::string("4"), "0", true},
    };
    for (const Row& row : rows) {
        FakeRegistry registry;
        ASSERT_TRUE(registry.hive.CreateKey(kKey)->SetValue({row.name, row.stored}));
        FakeLogSink log;
        const StoredSettings settings = LoadSettings(*registry.Access(), kKey, log);
        EXPECT_EQ(Restored(settings, row.name), row.restored) << row.name;
        ASSERT_EQ(log.messages.size(), row.reported ? 1u : 0u) << row.name;
        if (row.reported) {
            EXPECT_NE(log.messages[0].find(row.name), std::string::npos) << log.messages[0];
        }
    }
}

TEST(SettingsSchema, SavingKeepsTheCommandsAnotherInstanceSavedSinceLoading) {
    using Names = std::vector<std::string>;
    struct Row {
        std::string what;
        Names loaded, ours, storedNow, saved;
    };
    const std::vector<Row> rows{
        {"one added by the other",
         {"A", "B"},
         {"C", "A", "B"},
         {"X", "A", "B"},
         {"C", "A", "B", "X"}},
        {"several, in the other's order", {}, {"A"}, {"Y", "X"}, {"A", "Y", "X"}},
        {"one we dropped stays dropped", {"A", "B"}, {"C", "A"}, {"A", "B"}, {"C", "A"}},
        {"one both sent, in another case", {"A"}, {"c0 05", "A"}, {"C0 05", "A"}, {"c0 05", "A"}},
        {"no history stored", {"A"}, {"A"}, {}, {"A"}},
        {"the other dropped one and added one",
         {"A", "B", "C"},
         {"A", "B"},
         {"Y", "A", "C"},
         {"A", "B", "Y"}},
    };
    for (const Row& row : rows) {
        FakeRegistry registry;
        RegKey* history = registry.hive.CreateKey(kKey + "\\Cmds");
        for (const std::string& name : row.storedNow)
            ASSERT_TRUE(history->SetValue({name, 1u}));
        StoredSettings settings;
        settings.commands = row.ours;
        FakeLogSink log;
        SaveSettings(*registry.Access(), kKey, settings, row.loaded, log);
        EXPECT_EQ(LoadSettings(*registry.Access(), kKey, log).commands, row.saved) << row.what;
        EXPECT_TRUE(log.messages.empty()) << row.what;
    }
}

// A history as long as anyone could gather merges in time proportional to its length: a merge
// that compared every command with every other took minutes at closing.
TEST(SettingsSchema, SavingAHugeHistoryTakesNoLongerThanItsLength) {
    constexpr int kCommands = 20000;
    std::vector<std::string> loaded;
    FakeRegistry registry;
    RegKey* history = registry.hive.CreateKey(kKey + "\\Cmds");
    for (int command = 0; command < kCommands; ++command) {
        loaded.push_back("F0 " + std::to_string(command) + " F7");
        ASSERT_TRUE(history->SetValue({"f0 " + std::to_string(command + 7) + " f7", 1u}));
    }
    StoredSettings settings;
    settings.commands = loaded;
    FakeLogSink log;
    const auto start = std::chrono::steady_clock::now();
    SaveSettings(*registry.Access(), kKey, settings, loaded, log);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    const std::vector<std::string> saved = LoadSettings(*registry.Access(), kKey, log).commands;
    ASSERT_EQ(saved.size(), kCommands + 7u);
    EXPECT_EQ(saved.back(), "f0 20006 f7");
}

} // namespace
