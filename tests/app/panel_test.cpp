#include "app/Unit1.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class Panel : public testing::Test {
protected:
    void Show(std::vector<std::string> outputs, std::vector<std::string> inputs) {
        // The window before saves its choice as it goes.
        form.reset();
        midi.outputDevices = std::move(outputs);
        midi.inputDevices = std::move(inputs);
        // A user who chose no output: a first start would choose the built-in synthesizer.
        RegKey* settings = platform.registry.hive.CreateKey("Software\\Varnholm\\klavio");
        for (const char* device : {"MIDIOutDevice", "MIDIInDevice"})
            settings->SetValue({device, std::string("< No device selected >")});
        form = std::make_unique<TklavioForm>(platform.Services());
        ShowForm(*form);
        keys = form->VMidiKeys1;
    }

    FakePlatform platform;
    FakeErrorBox& errorBox = platform.errorBox;
    FakeMidiService& midi = platform.midi;
    std::unique_ptr<TklavioForm> form;
    TVMidiKeys* keys = nullptr;
};

TEST_F(Panel, DeviceListsHaveTheirShapesWithoutDevices) {
    Show({}, {});
    EXPECT_EQ(Items(form->MidiInDevComboBox), QStringList{"< No device selected >"});
    EXPECT_EQ(Items(form->MidiOutDevComboBox),
              (QStringList{"< No device selected >", "Microsoft MIDI Mapper"}));
    EXPECT_FALSE(midi.OutputOpen() || midi.InputOpen());
}

TEST_F(Panel, DeviceListsNameEveryDeviceAndOpenNothing) {
    Show({"Synth:in", "Other:in"}, {"Piano:out"});
    EXPECT_EQ(Items(form->MidiInDevComboBox), (QStringList{"< No device selected >", "Piano:out"}));
    EXPECT_EQ(
        Items(form->MidiOutDevComboBox),
        (QStringList{"< No device selected >", "Microsoft MIDI Mapper", "Synth:in", "Other:in"}));
    EXPECT_FALSE(midi.OutputOpen() || midi.InputOpen());
}

TEST_F(Panel, ChoosingDevicesOpensAndClosesThePorts) {
    Show({"Synth:in", "Other:in"}, {"Piano:out"});
    Choose(form->MidiOutDevComboBox, 3);
    EXPECT_EQ(midi.calls.back(), "midiOutOpen 1");
    EXPECT_TRUE(keys->MidiOutEnabled());
    Choose(form->MidiOutDevComboBox, 1);
    EXPECT_EQ(midi.calls.back(), "midiOutOpen -1");
    midi.calls.clear();
    Choose(form->MidiOutDevComboBox, 1); // the same device again: nothing happens
    EXPECT_EQ(midi.calls, (std::vector<std::string>{}));
    Choose(form->MidiOutDevComboBox, 0);
    EXPECT_FALSE(midi.OutputOpen());
    EXPECT_EQ(keys->MIDIOutDevice(), -1); // kept
    Choose(form->MidiOutDevComboBox, 1);
    EXPECT_TRUE(midi.OutputOpen());

    Choose(form->MidiInDevComboBox, 1);
    EXPECT_TRUE(midi.InputOpen());
    Choose(form->MidiInDevComboBox, 0);
    EXPECT_FALSE(midi.InputOpen());
}

TEST_F(Panel, DeviceThatWillNotOpenFallsBackToNoDevice) {
    Show({"Synth:in"}, {"Piano:out"});
    midi.outOpenResult = MMSYSERR_ALLOCATED;
    midi.inOpenResult = MMSYSERR_ALLOCATED;
    Choose(form->MidiOutDevComboBox, 2);
    Choose(form->MidiInDevComboBox, 1);
    EXPECT_EQ(form->MidiOutDevComboBox->currentIndex(), 0);
    EXPECT_EQ(form->MidiInDevComboBox->currentIndex(), 0);
    EXPECT_FALSE(keys->MidiOutEnabled() || keys->MidiInEnabled());
}

TEST_F(Panel, AChosenItemOpensTheDeviceItNamesAfterOthersCameOrWent) {
    using Names = std::vector<std::string>;
    struct Row {
        const char* what;
        bool output;
        Names listed, now;
        int openedBefore; // an item chosen while the list was still right, or 0
        int chosen;
        int opened; // the device number opened, or -2 for none and "no device" shown
    };
    const std::vector<Row> rows{
        {"one before it went", true, {"X:in", "A:in", "B:in"}, {"A:in", "B:in"}, 0, 3, 0},
        {"one before it came", true, {"A:in"}, {"N:in", "A:in"}, 0, 2, 1},
        {"the chosen one went", true, {"A:in", "B:in"}, {"B:in"}, 0, 2, -2},
        {"another now has the open one's number", true, {"A:in", "B:in"}, {"B:in"}, 2, 3, 0},
        {"the own port", true, {"A:in"}, {}, 0, 1, -1},
        {"an input before it went", false, {"X:out", "A:out"}, {"A:out"}, 0, 2, 0},
        {"the chosen input went", false, {"A:out", "B:out"}, {"B:out"}, 0, 1, -2},
        {"another input now has the open one's number",
         false,
         {"A:out", "B:out"},
         {"B:out"},
         1,
         2,
         0},
    };
    for (const Row& row : rows) {
        Show(row.output ? row.listed : Names{}, row.output ? Names{} : row.listed);
        QComboBox* box = row.output ? form->MidiOutDevComboBox : form->MidiInDevComboBox;
        if (row.openedBefore > 0)
            Choose(box, row.openedBefore);
        (row.output ? midi.outputDevices : midi.inputDevices) = row.now;
        midi.calls.clear();
        const QString name = box->itemText(row.chosen);
        Choose(box, row.chosen);

        const std::string open = row.output ? "midiOutOpen " : "midiInOpen ";
        std::string lastOpen;
        for (const std::string& call : midi.calls)
            if (call.starts_with(open))
                lastOpen = call;
        const bool isOpen = row.output ? midi.OutputOpen() : midi.InputOpen();
        if (row.opened == -2) {
            EXPECT_EQ(box->currentIndex(), 0) << row.what;
            EXPECT_FALSE(isOpen) << row.what;
        } else {
            EXPECT_EQ(box->currentText(), name) << row.what;
            EXPECT_EQ(lastOpen, open + std::to_string(row.opened)) << row.what;
            EXPECT_TRUE(isOpen) << row.what;
        }
    }
}

TEST_F(Panel, ChannelListsMapToTheChannelsOnTheWire) {
    Show({"Synth:in"}, {"Piano:out"});
    Choose(form->MidiOutDevComboBox, 2);
    for (int item : {0, 4, 15}) {
        Choose(form->MidiOutChanComboBox, item);
        EXPECT_EQ(keys->MIDIOutChannel(), item + 1);
        keys->NoteOn(60, 100, true);
        keys->NoteOff(60, 0, true);
    }
    EXPECT_EQ(midi.shortMessages,
              (std::vector<std::uint32_t>{0x643C90, 0x3C80, 0x643C94, 0x3C84, 0x643C9F, 0x3C8F}));
    for (int item : {0, 1, 16}) {
        Choose(form->MidiInChanComboBox, item);
        EXPECT_EQ(keys->MIDIInChannel(), item);
    }
}

TEST_F(Panel, ShiftButtonsStopAtTheEndsOfTheRange) {
    Show({}, {});
    EXPECT_TRUE(form->LowerButton->isEnabled());
    for (int click = 0; click < 12; ++click)
        form->LowerButton->click();
    EXPECT_EQ(form->BaseKeyLabel->text(), "C-1");
    EXPECT_FALSE(form->LowerButton->isEnabled());
    form->UpperButton->click();
    EXPECT_TRUE(form->LowerButton->isEnabled());
    form->LowerButton->click();
    for (int click = 0; click < 12 + 57; ++click)
        form->UpperButton->click();
    EXPECT_EQ(form->BaseKeyLabel->text(), "B8");
    EXPECT_FALSE(form->UpperButton->isEnabled());
    EXPECT_TRUE(form->LowerButton->isEnabled());
}

TEST_F(Panel, LastKeyFollowsPlayedKeysButNotIncomingNotes) {
    Show({}, {"Piano:out"});
    EXPECT_EQ(form->LastKeyLabel->text(), "<?\?\?>");
    Choose(form->MidiInDevComboBox, 1);
    midi.Inject(0x7F3C90);
    QApplication::processEvents();
    EXPECT_TRUE(keys->IsPressed(60));
    EXPECT_EQ(form->LastKeyLabel->text(), "<?\?\?>");
    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(7, 60));
    EXPECT_EQ(form->LastKeyLabel->text(), "A0");
}

} // namespace

namespace {

// Waits for the window to take in the devices the service announced.
void AnnounceAndWait(FakeMidiService& midi) {
    midi.AnnounceChange();
    QTest::qWait(120);
}

TEST_F(Panel, ChosenDevicesFollowTheirDevicesComingAndGoing) {
    RegKey* stored = platform.registry.hive.CreateKey("Software\\Varnholm\\klavio");
    stored->SetValue({"MIDIInDevice", std::string("Piano:out")});
    stored->SetValue({"MIDIOutDevice", std::string("Synth:in")});
    midi.outputDevices = {"Other:in"};
    form = std::make_unique<TklavioForm>(platform.Services());
    ShowForm(*form);
    keys = form->VMidiKeys1;
    QComboBox* out = form->MidiOutDevComboBox;

    // Absent at start: kept as the choice, after the devices that are there.
    EXPECT_EQ(Items(out), (QStringList{"< No device selected >", "Microsoft MIDI Mapper",
                                       "Other:in", "Synth:in"}));
    EXPECT_EQ(out->currentText(), "Synth:in");
    EXPECT_FALSE(midi.OutputOpen() || midi.InputOpen());
    EXPECT_EQ(form->StatusLabel->text(), "MIDI output “Synth:in” is not available");
    EXPECT_EQ(out->toolTip(), form->StatusLabel->text());

    // It comes: connected, in its place in the list.
    midi.outputDevices = {"Synth:in", "Other:in"};
    AnnounceAndWait(midi);
    EXPECT_TRUE(midi.OutputOpen());
    EXPECT_EQ(out->currentIndex(), 2);
    EXPECT_EQ(form->StatusLabel->text(), "MIDI input “Piano:out” is not available");

    // It goes while a key is held: the note is released and the key shows it.
    QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(7, 60));
    ASSERT_TRUE(keys->IsPressed(21));
    midi.outputDevices = {"Other:in"};
    midi.outStatus = MIDIERR_NODEVICE;
    AnnounceAndWait(midi);
    EXPECT_FALSE(keys->IsPressed(21));
    EXPECT_EQ(midi.shortMessages.back() & 0xFFFF, 0x1580u); // the held A0's note-off
    EXPECT_FALSE(midi.OutputOpen());
    EXPECT_EQ(out->currentText(), "Synth:in");
    QTest::mouseRelease(keys, Qt::LeftButton, {}, QPoint(7, 60));

    // No MIDI system at all.
    midi.outputDevices.clear();
    midi.systemRunning = false;
    AnnounceAndWait(midi);
    EXPECT_EQ(form->StatusLabel->text(),
              "No MIDI system: neither the ALSA sequencer nor a JACK server");

    // What the window did by itself is on record.
    EXPECT_EQ(platform.log.messages,
              (std::vector<std::string>{"MIDI output \"Synth:in\" connected",
                                        "MIDI output \"Synth:in\" closed, its device is gone"}));

    // The choice survives its absence into the settings.
    form.reset();
    const RegKey* settings = platform.registry.hive.FindKey("Software\\Varnholm\\klavio");
    ASSERT_NE(settings, nullptr);
    const RegValue* output = settings->FindValue("MIDIOutDevice");
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(std::get<std::string>(output->data), "Synth:in");
}

// An item opens the device it stands for: the second of two with one name, or one whose name is
// no UTF-8 (JACK takes any bytes). It stays chosen when the devices are looked at again, and the
// settings keep its name's bytes, which open it at the next start.
TEST_F(Panel, EachItemOpensItsOwnDeviceWhereNamesRepeatOrAreNoText) {
    Show({"Twin:in", "Twin:in", "Synth\xE9:in"}, {"Twin:out", "Twin:out"});
    struct Row {
        QComboBox* box;
        int item, device;
    };
    for (const Row& row : std::vector<Row>{{form->MidiOutDevComboBox, 3, 1},
                                           {form->MidiInDevComboBox, 2, 1},
                                           {form->MidiOutDevComboBox, 2, 0},
                                           {form->MidiOutDevComboBox, 4, 2}}) {
        Choose(row.box, row.item);
        AnnounceAndWait(midi);
        EXPECT_EQ(row.box == form->MidiInDevComboBox ? keys->MIDIInDevice() : keys->MIDIOutDevice(),
                  row.device);
        EXPECT_EQ(row.box->currentIndex(), row.item);
    }
    form.reset();
    form = std::make_unique<TklavioForm>(platform.Services());
    ShowForm(*form);
    EXPECT_EQ(form->VMidiKeys1->MIDIOutDevice(), 2);
}

// A port that leads nowhere is opened anew; when that fails the record says so, and nothing
// claims it opened.
TEST_F(Panel, AReopenThatFailsIsReportedAsFailed) {
    platform.registry.hive.CreateKey("Software\\Varnholm\\klavio")
        ->SetValue({"MIDIOutDevice", std::string("Synth:in")});
    midi.outputDevices = {"Synth:in"};
    form = std::make_unique<TklavioForm>(platform.Services());
    ShowForm(*form);
    ASSERT_TRUE(midi.OutputOpen());
    midi.outStatus = MMSYSERR_ERROR;
    midi.outOpenResult = MMSYSERR_ALLOCATED;
    AnnounceAndWait(midi);
    EXPECT_FALSE(midi.OutputOpen());
    EXPECT_EQ(platform.log.messages,
              std::vector<std::string>{"MIDI output \"Synth:in\" closed, it does not open again"});
}

} // namespace
