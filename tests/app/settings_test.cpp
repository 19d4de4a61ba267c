#include "app/Unit1.h"
#include "formats/reg_file.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

const std::string kSettingsKey = "Software\\Varnholm\\klavio";
const std::string kHistoryKey = kSettingsKey + "\\Cmds";

// One run of the program on fake services; the registry's hive lasts from run to run when the
// same services are shown again.
struct Klavio {
    FakePlatform platform;
    FakeRegistry& registry = platform.registry;
    FakeMidiService& midi = platform.midi;
    FakeLogSink& log = platform.log;
    std::unique_ptr<TklavioForm> form;
    TVMidiKeys* keys = nullptr;

    Klavio(std::vector<std::string> outputs = {"Synth:in", "Other:in"},
           std::vector<std::string> inputs = {"Piano:out"}) {
        midi.outputDevices = std::move(outputs);
        midi.inputDevices = std::move(inputs);
    }

    void Store(const std::string& name, RegData data, const std::string& key = kSettingsKey) {
        ASSERT_TRUE(registry.hive.CreateKey(key)->SetValue({name, std::move(data)}));
    }

    std::vector<RegValue> Stored(const std::string& key) const {
        std::vector<RegValue> values;
        if (const RegKey* found = registry.hive.FindKey(key))
            for (const RegValue* value : found->Values())
                values.push_back(*value);
        return values;
    }

    void Show() {
        form = std::make_unique<TklavioForm>(platform.Services());
        ShowForm(*form);
        keys = form->VMidiKeys1;
    }

    // Destroying the window writes the settings.
    void Close() {
        form.reset();
        keys = nullptr;
    }

    void Send(const QString& command) {
        form->FreeCmdComboBox->setEditText(command);
        form->SendButton->click();
    }
};

// What ReadConfig restores, as the window shows it.
struct Restored {
    int baseOctave = 1;
    int baseNote = 5; // A
    int inDevice = 0;
    int inChannel = 0;
    int outDevice = 0;
    int outChannel = 0;
    bool operator==(const Restored&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Restored& r) {
        return out << "octave " << r.baseOctave << ", note " << r.baseNote << ", in " << r.inDevice
                   << '/' << r.inChannel << ", out " << r.outDevice << '/' << r.outChannel;
    }
};

Restored Shown(const Klavio& klavio) {
    const TklavioForm& form = *klavio.form;
    return Restored{klavio.keys->BaseOctave(),
                    static_cast<int>(klavio.keys->BaseNote()),
                    form.MidiInDevComboBox->currentIndex(),
                    form.MidiInChanComboBox->currentIndex(),
                    form.MidiOutDevComboBox->currentIndex(),
                    form.MidiOutChanComboBox->currentIndex()};
}

TEST(Settings, FirstStartCreatesEmptyKeysAndPlaysThroughTheMapper) {
    Klavio klavio;
    klavio.Show();
    const RegKey* settings = klavio.registry.hive.FindKey(kSettingsKey);
    const RegKey* history = klavio.registry.hive.FindKey(kHistoryKey);
    ASSERT_TRUE(settings && history);
    EXPECT_TRUE(settings->Values().empty() && history->Values().empty());

    Restored mapper;
    mapper.outDevice = 1;
    EXPECT_EQ(Shown(klavio), mapper);
    EXPECT_EQ(klavio.form->BaseKeyLabel->text(), "A0");
    EXPECT_EQ(klavio.keys->MIDIInChannel(), 0);
    EXPECT_EQ(klavio.keys->MIDIOutChannel(), 1);
    EXPECT_EQ(klavio.keys->MIDIOutDevice(), MIDI_MAPPER);
    EXPECT_TRUE(klavio.midi.OutputOpen());
    EXPECT_FALSE(klavio.midi.InputOpen());
    EXPECT_EQ(klavio.form->FreeCmdComboBox->count(), 0);
    EXPECT_EQ(klavio.registry.openAccesses, 0);
    EXPECT_TRUE(klavio.log.messages.empty());
    EXPECT_TRUE(klavio.platform.errorBox.calls.empty());
}

TEST(Settings, WhatTheUserChoseComesBackAtTheNextStart) {
    Klavio klavio;
    klavio.Show();
    TklavioForm& form = *klavio.form;
    Choose(form.MidiOutDevComboBox, 3);
    Choose(form.MidiOutChanComboBox, 4);
    Choose(form.MidiInDevComboBox, 1);
    Choose(form.MidiInChanComboBox, 16);
    for (int click = 0; click < 3; ++click)
        form.LowerButton->click(); // A0, G0, F0, E0
    klavio.Send("90 3C 7F");
    klavio.Send("C0 05");
    klavio.Close();

    EXPECT_EQ(klavio.Stored(kSettingsKey), (std::vector<RegValue>{
                                               {"BaseOctave", 1u},
                                               {"BaseNote", 2u},
                                               {"MIDIInDevice", std::string("Piano:out")},
                                               {"MIDIInChannel", 16u},
                                               {"MIDIOutDevice", std::string("Other:in")},
                                               {"MIDIOutChannel", 4u},
                                           }));
    EXPECT_EQ(klavio.Stored(kHistoryKey),
              (std::vector<RegValue>{{"C0 05", 1u}, {"90 3C 7F", 1u}})); // newest first

    klavio.midi.calls.clear();
    klavio.Show();
    EXPECT_EQ(Shown(klavio), (Restored{1, 2, 1, 16, 3, 4}));
    EXPECT_EQ(klavio.form->BaseKeyLabel->text(), "E0");
    EXPECT_EQ(klavio.keys->MIDIInChannel(), 16);
    EXPECT_EQ(klavio.keys->MIDIOutChannel(), 5);
    EXPECT_NE(std::find(klavio.midi.calls.begin(), klavio.midi.calls.end(), "midiOutOpen 1"),
              klavio.midi.calls.end());
    EXPECT_TRUE(klavio.midi.OutputOpen() && klavio.midi.InputOpen());
    EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), (QStringList{"C0 05", "90 3C 7F"}));
    EXPECT_EQ(klavio.form->FreeCmdComboBox->currentText(), "C0 05");
    EXPECT_TRUE(klavio.log.messages.empty());

    // The restored channel is used at once, without touching the list: channel 5 for item 4.
    klavio.midi.shortMessages.clear();
    QTest::mouseClick(klavio.keys, Qt::LeftButton, {}, QPoint(7, 60));
    ASSERT_EQ(klavio.midi.shortMessages.size(), 2u);
    EXPECT_EQ(klavio.midi.shortMessages[0] & 0xFF, 0x94u);
    EXPECT_EQ(klavio.midi.shortMessages[1] & 0xFF, 0x84u);
}

TEST(Settings, ChannelsOutsideTheirListsSelectTheFirstItem) {
    struct Row {
        std::uint32_t storedIn, storedOut;
        int inItem, outItem;
    };
    const std::vector<Row> rows{
        {17, 16, 0, 0},
        {0xFFFFFFFF, 0xFFFFFFFF, 0, 0}, // -1
        {16, 15, 16, 15},
        {1, 0, 1, 0},
        {0x80000000, 0x7FFFFFFF, 0, 0},
    };
    for (const Row& row : rows) {
        Klavio klavio;
        klavio.Store("MIDIInChannel", row.storedIn);
        klavio.Store("MIDIOutChannel", row.storedOut);
        klavio.Show();
        EXPECT_EQ(klavio.form->MidiInChanComboBox->currentIndex(), row.inItem) << row.storedIn;
        EXPECT_EQ(klavio.keys->MIDIInChannel(), row.inItem) << row.storedIn;
        EXPECT_EQ(klavio.form->MidiOutChanComboBox->currentIndex(), row.outItem) << row.storedOut;
        EXPECT_EQ(klavio.keys->MIDIOutChannel(), row.outItem + 1) << row.storedOut;
    }
}

TEST(Settings, DevicesAreFoundByTheirNameIgnoringLetterCase) {
    struct Row {
        std::string what;
        std::vector<std::string> outputs;
        std::string stored;
        int item;
    };
    const std::vector<Row> rows{
        {"the same name", {"Synth:in"}, "Synth:in", 2},
        {"another letter case", {"Other:in", "Synth:in"}, "SYNTH:IN", 3},
        {"letters beyond ASCII in another case", {"Kanäle:in"}, "KANÄLE:IN", 2},
        {"two devices of one name: the first", {"Same:in", "Other:in", "same:in"}, "Same:in", 2},
        // Kept as the choice, after the devices that are there, until it comes back.
        {"a device that is gone", {"Synth:in"}, "Gone:in", 3},
        {"the program's own port", {}, "Microsoft MIDI Mapper", 1},
        {"the no-device item in another language", {"Synth:in"}, "< Kein Gerät ausgewählt >", 0},
    };
    for (const Row& row : rows) {
        Klavio klavio(row.outputs, {"Piano:out"});
        klavio.Store("MIDIOutDevice", row.stored);
        klavio.Store("MIDIInDevice", std::string("piano:OUT"));
        klavio.Show();
        EXPECT_EQ(klavio.form->MidiOutDevComboBox->currentIndex(), row.item) << row.what;
        const bool absent = row.stored == "Gone:in";
        EXPECT_EQ(klavio.midi.OutputOpen(), row.item > 0 && !absent) << row.what;
        if (row.item > 0 && !absent) {
            EXPECT_EQ(klavio.keys->MIDIOutDevice(), row.item - 2) << row.what;
        }
        EXPECT_EQ(klavio.form->MidiInDevComboBox->currentIndex(), 1) << row.what;
        EXPECT_TRUE(klavio.midi.InputOpen()) << row.what;
    }
}

TEST(Settings, TheHistoryIsReadInFullByNameWithoutTheDefaultValue) {
    Klavio klavio;
    QStringList expected;
    klavio.Store("", 1u, kHistoryKey);
    for (int i = 0; i < 25; ++i) {
        const std::string command = "F0 " + std::to_string(10 + i) + " F7";
        // Only the names count, whatever their data.
        const RegData data = i == 3   ? RegData(std::string("text"))
                             : i == 4 ? RegData(RegRawData{REG_BINARY, {1, 2}})
                                      : RegData(1u);
        klavio.Store(command, data, kHistoryKey);
        expected << QString::fromStdString(command);
    }
    klavio.Show();
    EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), expected);
    EXPECT_EQ(klavio.form->FreeCmdComboBox->currentIndex(), 0);
    EXPECT_TRUE(klavio.log.messages.empty());
}

TEST(Settings, AnEmptyCommandIsSavedAsTheDefaultValueAndDoesNotComeBack) {
    Klavio klavio;
    klavio.Show();
    klavio.Send("90 3C 7F");
    klavio.Send("");
    EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), (QStringList{"", "90 3C 7F"}));
    klavio.Close();
    EXPECT_EQ(klavio.Stored(kHistoryKey), (std::vector<RegValue>{{"", 1u}, {"90 3C 7F", 1u}}));
    klavio.Show();
    EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), QStringList{"90 3C 7F"});
}

TEST(Settings, AfterWritingTheHistoryKeyHoldsExactlyTheCurrentCommands) {
    Klavio klavio;
    std::vector<RegValue> expected{{"90 3C 7F", 1u}};
    for (int i = 0; i < 20; ++i) {
        const std::string command = "C0 " + std::to_string(10 + i);
        klavio.Store(command, 1u, kHistoryKey);
        if (i < 19)
            expected.push_back({command, 1u});
    }
    klavio.registry.hive.CreateKey(kHistoryKey + "\\Below");
    klavio.Show();
    klavio.Send("90 3C 7F"); // the 21st drops the oldest
    klavio.Close();
    EXPECT_EQ(klavio.Stored(kHistoryKey), expected);
    EXPECT_EQ(klavio.registry.hive.FindKey(kHistoryKey + "\\Below"), nullptr);
}

TEST(Settings, ClosingLastKeepsTheCommandsAnotherInstanceSavedMeanwhile) {
    Klavio klavio;
    klavio.Store("90 3C 7F", 1u, kHistoryKey);
    klavio.Show();
    klavio.Store("B0 07 64", 1u, kHistoryKey); // the other instance closes first
    klavio.Send("C0 05");
    klavio.Close();
    EXPECT_EQ(klavio.Stored(kHistoryKey),
              (std::vector<RegValue>{{"C0 05", 1u}, {"90 3C 7F", 1u}, {"B0 07 64", 1u}}));
}

TEST(Settings, AWrongTypeIsReportedAndTheOtherSettingsStillApply) {
    struct Row {
        std::string name;
        RegData stored;
        Restored expected; // the good settings with the wrong one at its default
    };
    const Restored good{3, 2, 1, 5, 2, 4};
    const auto with = [&](auto field, int value) {
        Restored restored = good;
        restored.*field = value;
        return restored;
    };
    const std::vector<Row> rows{
        {"BaseOctave", std::string("3"), with(&Restored::baseOctave, 1)},
        {"BaseNote", std::string("2"), with(&Restored::baseNote, 5)},
        {"BaseNote", 7u, with(&Restored::baseNote, 5)},
        {"BaseNote", 0xFFFFFFFFu, with(&Restored::baseNote, 5)},
        {"BaseNote", 0x107u, with(&Restored::baseNote, 5)},
        {"MIDIInDevice", 1u, with(&Restored::inDevice, 0)},
        {"MIDIInChannel", std::string("5"), with(&Restored::inChannel, 0)},
        {"MIDIOutDevice", RegData(RegRawData{REG_BINARY, {}}), with(&Restored::outDevice, 0)},
        {"MIDIOutChannel", std::string("4"), with(&Restored::outChannel, 0)},
    };
    for (const Row& row : rows) {
        Klavio klavio;
        klavio.Store("BaseOctave", 3u);
        klavio.Store("BaseNote", 2u);
        klavio.Store("MIDIInDevice", std::string("Piano:out"));
        klavio.Store("MIDIInChannel", 5u);
        klavio.Store("MIDIOutDevice", std::string("Synth:in"));
        klavio.Store("MIDIOutChannel", 4u);
        klavio.Store(row.name, row.stored);
        klavio.Store("90 3C 7F", 1u, kHistoryKey);
        klavio.Show();
        EXPECT_EQ(Shown(klavio), row.expected) << row.name;
        ASSERT_EQ(klavio.log.messages.size(), 1u) << row.name;
        EXPECT_NE(klavio.log.messages[0].find(row.name), std::string::npos)
            << klavio.log.messages[0];
        // No error box, and the start-up steps after the settings still ran.
        EXPECT_TRUE(klavio.platform.errorBox.calls.empty()) << row.name;
        EXPECT_TRUE(klavio.form->Timer1->isActive()) << row.name;
        EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), QStringList{"90 3C 7F"}) << row.name;
        EXPECT_EQ(klavio.registry.openAccesses, 0);
    }
}

TEST(Settings, ASettingsKeyThatCannotBeOpenedKeepsTheDefaultsAndStillReadsTheHistory) {
    Klavio klavio;
    klavio.Store("BaseOctave", 3u);
    klavio.Store("MIDIOutDevice", std::string("Synth:in"));
    klavio.Store("90 3C 7F", 1u, kHistoryKey);
    klavio.registry.refusedKeys = {"\\" + kSettingsKey};
    klavio.Show();
    EXPECT_EQ(Shown(klavio), Restored{});
    EXPECT_EQ(klavio.form->BaseKeyLabel->text(), "A0");
    EXPECT_EQ(Items(klavio.form->FreeCmdComboBox), QStringList{"90 3C 7F"});
    EXPECT_EQ(klavio.log.messages.size(), 1u);

    // Writing skips the settings, which stay as they were, and still saves the history.
    klavio.Send("C0 05");
    klavio.Close();
    EXPECT_EQ(
        klavio.Stored(kSettingsKey),
        (std::vector<RegValue>{{"BaseOctave", 3u}, {"MIDIOutDevice", std::string("Synth:in")}}));
    EXPECT_EQ(klavio.Stored(kHistoryKey), (std::vector<RegValue>{{"C0 05", 1u}, {"90 3C 7F", 1u}}));
    EXPECT_TRUE(klavio.platform.errorBox.calls.empty());
}

TEST(Settings, WithoutMakerAndProductNameNothingIsReadOrWritten) {
    Klavio klavio;
    VersionResource resource = FakeVersionService::KlavioResource();
    std::erase_if(resource.stringTables[0].values, [](const auto& value) {
        return value.first == "CompanyName" || value.first == "ProductName";
    });
    klavio.platform.version.blocks[klavio.platform.program.executablePath] =
        BuildVersionBlock(resource);
    klavio.Show();
    klavio.Send("90 3C 7F");
    klavio.Close();
    // Not even "\Software" itself gets a value.
    EXPECT_TRUE(klavio.registry.hive.Keys().empty());
    EXPECT_EQ(klavio.registry.openAccesses, 0);
    EXPECT_TRUE(klavio.platform.errorBox.calls.empty());
}

TEST(Settings, ASaveThatFailsIsShownInTheErrorBox) {
    Klavio klavio;
    klavio.registry.storeFails = true;
    klavio.Show();
    // Reading still applies what is there; only keeping the new empty keys failed.
    EXPECT_TRUE(klavio.platform.errorBox.calls.empty());
    EXPECT_FALSE(klavio.log.messages.empty());
    klavio.Close();
    ASSERT_EQ(klavio.platform.errorBox.calls.size(), 1u);
    EXPECT_EQ(klavio.platform.errorBox.calls[0].text, "settings not saved: the disk is full.");
    EXPECT_EQ(klavio.registry.openAccesses, 0);
}

TEST(Settings, ACommandTheFileCannotHoldIsReportedAndTheRestIsSaved) {
    Klavio klavio;
    klavio.Show();
    klavio.Send("C0 05");
    klavio.form->FreeCmdComboBox->insertItem(0, "90\n3C 7F"); // as a paste could bring it
    klavio.Send("B0 07 64");
    klavio.Close();
    EXPECT_EQ(klavio.Stored(kHistoryKey), (std::vector<RegValue>{{"B0 07 64", 1u}, {"C0 05", 1u}}));
    EXPECT_EQ(klavio.Stored(kSettingsKey).size(), 6u);
    ASSERT_EQ(klavio.log.messages.size(), 1u);
    EXPECT_NE(klavio.log.messages[0].find("90\n3C 7F"), std::string::npos);
    EXPECT_TRUE(klavio.platform.errorBox.calls.empty());
}

// The history's names are the user's commands: bytes that are no UTF-8, as in a file from
// elsewhere, are saved exactly as they were read, also when a command goes back to the top.
TEST(Settings, HistoryNamesThatAreNoUtf8AreSavedByteForByte) {
    Klavio klavio;
    const std::vector<std::string> names{"90 3C 7F \xFF", "\xC3(", "F0 \xE9 F7"};
    for (const std::string& name : names)
        klavio.Store(name, 1u, kHistoryKey);
    klavio.Show();
    klavio.form->FreeCmdComboBox->setCurrentIndex(2);
    klavio.form->SendButton->click();
    klavio.Close();
    std::vector<std::string> stored;
    for (const RegValue& value : klavio.Stored(kHistoryKey))
        stored.push_back(value.name);
    EXPECT_EQ(stored, (std::vector<std::string>{names[2], names[0], names[1]}));
}

} // namespace
