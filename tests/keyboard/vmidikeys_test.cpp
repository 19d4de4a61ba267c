#include "keyboard/vmidikeys.h"
#include "platform/midi_events.h"
#include "tests/fakes/fake_midi_service.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

class MidiKeysTest : public testing::Test {
protected:
    void SetUp() override {
        service.outputDevices = {"Synth:in", "Other:in"};
        service.inputDevices = {"Piano:out", "Pads:out"};
        keys = std::make_unique<TVMidiKeys>(nullptr, service);
        keys->setGeometry(0, 0, 780, 75);
        keys->SetNoteWidth(15);
        keys->SetBaseOctave(1);
        keys->SetBaseNote(TKeyboardStartNote::A);
        keys->SetOnNoteOn(
            [this](QObject*, int note, int) { events.push_back("on " + std::to_string(note)); });
        keys->SetOnNoteOff(
            [this](QObject*, int note, int) { events.push_back("off " + std::to_string(note)); });
    }

    // The calls made by what runs in `action`.
    template <typename Action> Calls CallsOf(Action action) {
        service.calls.clear();
        action();
        return service.calls;
    }

    void OpenOutput(int device) {
        keys->SetMIDIOutDevice(device);
        keys->SetMidiOutEnabled(true);
    }

    void OpenInput(int device) {
        keys->SetMIDIInDevice(device);
        keys->SetMidiInEnabled(true);
    }

    FakeMidiService service;
    std::unique_ptr<TVMidiKeys> keys;
    std::vector<std::string> events;
};

TEST_F(MidiKeysTest, StartsClosedWithTheDefaultNames) {
    EXPECT_EQ(keys->MIDIOutDevice(), -1);
    EXPECT_EQ(keys->MIDIInDevice(), -1);
    EXPECT_EQ(keys->MIDIOutPortName(), "Microsoft MIDI Mapper");
    EXPECT_EQ(keys->MIDIInPortName(), "<no or invalid selection>");
    EXPECT_EQ(keys->MIDIOutChannel(), 1);
    EXPECT_EQ(keys->MIDIInChannel(), 0);
    EXPECT_FALSE(keys->MidiOutEnabled() || keys->MIDIOutPortOk());
    EXPECT_FALSE(keys->MidiInEnabled() || keys->MIDIInPortOk());
    EXPECT_TRUE(service.calls.empty());
}

TEST_F(MidiKeysTest, OutputOpenChangeAndClose) {
    EXPECT_EQ(CallsOf([&] { keys->SetMIDIOutDevice(-1); }), Calls{}); // unchanged
    EXPECT_EQ(CallsOf([&] { keys->SetMIDIOutDevice(0); }),
              (Calls{"midiOutGetNumDevs", "midiOutGetDevCaps 0"}));
    EXPECT_EQ(keys->MIDIOutPortName(), "Synth:in");
    EXPECT_EQ(CallsOf([&] { keys->SetMidiOutEnabled(true); }),
              (Calls{"midiOutGetNumDevs", "midiOutOpen 0"}));
    EXPECT_TRUE(keys->MidiOutEnabled() && keys->MIDIOutPortOk());
    EXPECT_EQ(CallsOf([&] { keys->SetMidiOutEnabled(true); }), Calls{});
    EXPECT_EQ(CallsOf([&] { keys->SetMIDIOutDevice(1); }),
              (Calls{"midiOutReset", "midiOutClose", "midiOutGetNumDevs", "midiOutGetDevCaps 1",
                     "midiOutOpen 1"}));
    EXPECT_TRUE(keys->MidiOutEnabled());
    EXPECT_EQ(CallsOf([&] { keys->SetMidiOutEnabled(false); }),
              (Calls{"midiOutReset", "midiOutClose"}));
    EXPECT_FALSE(keys->MidiOutEnabled() || keys->MIDIOutPortOk());
    EXPECT_EQ(keys->MIDIOutDevice(), 1);
    EXPECT_FALSE(service.OutputOpen());
}

TEST_F(MidiKeysTest, InputOpenChangeAndClose) {
    EXPECT_EQ(CallsOf([&] { OpenInput(0); }),
              (Calls{"midiInGetNumDevs", "midiInGetDevCaps 0", "midiInGetNumDevs", "midiInOpen 0",
                     "midiInStart"}));
    EXPECT_TRUE(keys->MidiInEnabled() && keys->MIDIInPortOk());
    EXPECT_EQ(CallsOf([&] { keys->SetMIDIInDevice(1); }),
              (Calls{"midiInReset", "midiInStop", "midiInClose", "midiInGetNumDevs",
                     "midiInGetDevCaps 1", "midiInOpen 1", "midiInStart"}));
    EXPECT_EQ(keys->MIDIInPortName(), "Pads:out");
    EXPECT_EQ(CallsOf([&] { keys->SetMidiInEnabled(false); }),
              (Calls{"midiInReset", "midiInStop", "midiInClose"}));
    EXPECT_FALSE(service.InputOpen());
}

TEST_F(MidiKeysTest, DestructionClosesInputThenOutput) {
    OpenInput(0);
    OpenOutput(0);
    EXPECT_EQ(CallsOf([&] { keys.reset(); }),
              (Calls{"midiInReset", "midiInStop", "midiInClose", "midiOutReset", "midiOutClose"}));
}

TEST_F(MidiKeysTest, OpenFailuresLeaveThePortsClosed) {
    service.outOpenResult = MMSYSERR_ALLOCATED;
    OpenOutput(0);
    EXPECT_FALSE(keys->MidiOutEnabled() || keys->MIDIOutPortOk());
    EXPECT_EQ(keys->MIDIOutPortName(), "Synth:in");
    service.inStartResult = MMSYSERR_ERROR;
    OpenInput(1);
    EXPECT_FALSE(keys->MidiInEnabled() || keys->MIDIInPortOk());
    // Opened but not started: the next request closes it before trying again.
    service.inStartResult = MMSYSERR_NOERROR;
    EXPECT_EQ(CallsOf([&] { keys->SetMidiInEnabled(true); }),
              (Calls{"midiInReset", "midiInStop", "midiInClose", "midiInGetNumDevs", "midiInOpen 1",
                     "midiInStart"}));
    EXPECT_TRUE(keys->MidiInEnabled());
}

TEST_F(MidiKeysTest, MapperIsBelowTheCountEvenWithoutDevices) {
    service.outputDevices.clear();
    keys->SetMidiOutEnabled(true);
    EXPECT_TRUE(keys->MidiOutEnabled());
    EXPECT_EQ(service.calls.back(), "midiOutOpen -1");
}

TEST_F(MidiKeysTest, IndexPastTheDevicesEmptiesTheNameAndClosesThePortForGood) {
    OpenOutput(0);
    OpenInput(0);
    keys->SetMIDIOutDevice(2);
    keys->SetMIDIInDevice(2);
    EXPECT_EQ(keys->MIDIOutPortName(), "");
    EXPECT_EQ(keys->MIDIInPortName(), "");
    EXPECT_FALSE(keys->MidiOutEnabled() || keys->MIDIOutPortOk());
    EXPECT_FALSE(keys->MidiInEnabled());
    // Nothing reaches the closed port.
    EXPECT_EQ(CallsOf([&] { keys->NoteOn(60, 100, true); }), Calls{});
    EXPECT_EQ(keys->SendShortMsg("\x90"), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(keys->SendLongMsg("\x90"), MMSYSERR_INVALHANDLE);
    EXPECT_TRUE(service.calls.empty());
}

TEST_F(MidiKeysTest, PlayedNotesGoOutOnTheOutputChannel) {
    OpenOutput(0);
    keys->NoteOn(60, 100, true);
    keys->NoteOff(60, 55, true); // a note-off always carries velocity 0
    keys->SetMIDIOutChannel(16);
    keys->NoteOn(21, 127, true);
    keys->NoteOff(21, 0, true);
    keys->NoteOn(62, 100, false);        // only shown
    keys->MidiNoteOn(nullptr, 200, 100); // no note: nothing to send
    EXPECT_EQ(service.shortMessages,
              (std::vector<std::uint32_t>{0x643C90, 0x003C80, 0x7F159F, 0x00158F}));
    EXPECT_EQ(events, (std::vector<std::string>{"on 60", "off 60", "on 21", "off 21"}));
}

// The message leaves before the key is drawn and the window hears of it: time spent first is
// latency.
TEST_F(MidiKeysTest, TheMessageGoesOutBeforeTheKeyIsDrawnAndTheWindowTold) {
    OpenOutput(0);
    std::vector<std::size_t> sentByThen;
    const auto record = [&](QObject*, int, int) {
        sentByThen.push_back(service.shortMessages.size());
    };
    keys->SetOnNoteOn(record);
    keys->SetOnNoteOff(record);
    keys->NoteOn(60, 100, true);
    keys->NoteOff(60, 0, true);
    EXPECT_EQ(sentByThen, (std::vector<std::size_t>{1, 2}));
}

// A note-off goes out on the channel of its note-on, whatever the channel list says by then,
// and not at all when its note-on never reached the open port.
TEST_F(MidiKeysTest, NoteOffFollowsItsNoteOn) {
    OpenOutput(0);
    keys->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(keys.get()));
    QWidget* widget = keys.get();
    struct Row {
        const char* name;
        std::function<void()> play;
        std::vector<std::uint32_t> wire;
    };
    const std::vector<Row> rows{
        {"channel changed while held",
         [&] {
             QTest::mousePress(widget, Qt::LeftButton, {}, QPoint(7, 60));
             keys->SetMIDIOutChannel(2);
             QTest::mouseRelease(widget, Qt::LeftButton, {}, QPoint(7, 60));
         },
         {0x651590, 0x001580}},
        {"glissando across a channel change",
         [&] {
             QTest::mousePress(widget, Qt::LeftButton, {}, QPoint(5, 10));
             keys->SetMIDIOutChannel(3);
             QTest::mouseMove(widget, QPoint(27, 10));
             keys->SetMIDIOutChannel(4);
             QTest::mouseRelease(widget, Qt::LeftButton, {}, QPoint(27, 10));
         },
         {0x101590, 0x001580, 0x101792, 0x001782}},
        {"port reset while held",
         [&] {
             QTest::mousePress(widget, Qt::LeftButton, {}, QPoint(7, 60));
             keys->SetMidiOutEnabled(false);
             keys->SetMidiOutEnabled(true);
             QTest::mouseRelease(widget, Qt::LeftButton, {}, QPoint(7, 60));
         },
         {0x651590}},
        {"port opened while held",
         [&] {
             keys->SetMidiOutEnabled(false);
             QTest::mousePress(widget, Qt::LeftButton, {}, QPoint(7, 60));
             keys->SetMidiOutEnabled(true);
             QTest::mouseRelease(widget, Qt::LeftButton, {}, QPoint(7, 60));
         },
         {}},
        {"right-click repeat of a released note",
         [&] {
             QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(7, 60));
             keys->SetMIDIOutChannel(5);
             QTest::mouseClick(widget, Qt::RightButton, {}, QPoint(7, 60));
         },
         {0x651590, 0x001580, 0x001584}},
    };
    for (const Row& row : rows) {
        keys->SetMIDIOutChannel(1);
        service.shortMessages.clear();
        row.play();
        EXPECT_EQ(service.shortMessages, row.wire) << row.name;
    }
}

TEST_F(MidiKeysTest, ChannelsStayInTheirRange) {
    keys->SetMIDIOutChannel(0);
    EXPECT_EQ(keys->MIDIOutChannel(), 1);
    keys->SetMIDIOutChannel(17);
    EXPECT_EQ(keys->MIDIOutChannel(), 16);
    keys->SetMIDIInChannel(200);
    EXPECT_EQ(keys->MIDIInChannel(), 16);
}

TEST_F(MidiKeysTest, ShortMessagesPackUpToThreeBytes) {
    EXPECT_EQ(keys->SendShortMsg(""), MMSYSERR_NOERROR);
    OpenOutput(0);
    EXPECT_EQ(keys->SendShortMsg("\xC5"), MMSYSERR_NOERROR);
    EXPECT_EQ(keys->SendShortMsg(std::string("\x90\x3C\x7F\x01\x02", 5)), MMSYSERR_NOERROR);
    EXPECT_EQ(service.shortMessages, (std::vector<std::uint32_t>{0xC5, 0x7F3C90}));
    service.shortMsgResult = MMSYSERR_NOMEM;
    EXPECT_EQ(keys->SendShortMsg("\xC5"), MMSYSERR_NOMEM);
}

TEST_F(MidiKeysTest, LongMessagesAreFreedWhenTheServiceIsDone) {
    OpenOutput(0);
    const std::string stream("\x90\x3C\x7F\x40\x7F\xF8\x3C\x00", 8); // running status, clock
    for (const std::string& data : {std::string("\xFE"), std::string("\x90\x3C\x7F"), stream})
        EXPECT_EQ(keys->SendLongMsg(data), MMSYSERR_NOERROR);
    EXPECT_EQ(service.longMessages,
              (std::vector<std::vector<std::uint8_t>>{
                  {0xFE}, {0x90, 0x3C, 0x7F}, {0x90, 0x3C, 0x7F, 0x40, 0x7F, 0xF8, 0x3C, 0x00}}));
    EXPECT_EQ(keys->LongMessagesInFlight(), 3u);
    service.CompleteLongMessages();
    QApplication::processEvents();
    EXPECT_EQ(keys->LongMessagesInFlight(), 0u);
    EXPECT_EQ(service.PreparedHeaders(), 0u);
}

TEST_F(MidiKeysTest, RefusedLongMessageIsFreedAtOnce) {
    OpenOutput(0);
    EXPECT_EQ(keys->SendLongMsg(std::string("\x90\x3C\x7F\x80\x3C", 5)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(keys->LongMessagesInFlight(), 0u);
    EXPECT_EQ(service.PreparedHeaders(), 0u);
    service.prepareResult = MMSYSERR_NOMEM;
    EXPECT_EQ(keys->SendLongMsg("\xFE"), MMSYSERR_NOMEM);
    EXPECT_EQ(keys->LongMessagesInFlight(), 0u);
}

TEST_F(MidiKeysTest, CompletionAfterADeviceChangeStillFreesTheMessage) {
    OpenOutput(0);
    keys->SendLongMsg("\xFE");
    keys->SetMIDIOutDevice(1); // the reset hands the message back
    QApplication::processEvents();
    EXPECT_EQ(keys->LongMessagesInFlight(), 0u);
    // A completion the control does not know is ignored, not freed twice.
    QApplication::postEvent(keys.get(), new MidiOutDoneEvent(nullptr));
    MIDIHDR stranger;
    QApplication::postEvent(keys.get(), new MidiOutDoneEvent(&stranger));
    QApplication::processEvents();
}

TEST_F(MidiKeysTest, MessagesInFlightAreFreedWithTheControl) {
    OpenOutput(0);
    keys->SendLongMsg("\xFE");
    keys->SendLongMsg("\xFA");
    keys.reset(); // LeakSanitizer reports what is not freed
    QApplication::processEvents();
}

TEST_F(MidiKeysTest, IncomingNotesOnlyLightTheKeys) {
    OpenOutput(0);
    OpenInput(0);
    keys->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(keys.get()));
    service.Inject(0x643C90);
    QApplication::processEvents();
    EXPECT_TRUE(keys->IsPressed(60));
    service.Inject(0x003C90); // velocity 0 releases
    service.Inject(0x7F4091);
    service.Inject(0x7F41B0); // a controller is ignored
    QApplication::processEvents();
    EXPECT_FALSE(keys->IsPressed(60));
    EXPECT_TRUE(keys->IsPressed(64));
    service.Inject(0x404081);
    QApplication::processEvents();
    EXPECT_FALSE(keys->IsPressed(64));
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(service.shortMessages.empty());
}

TEST_F(MidiKeysTest, InputChannelFilter) {
    OpenInput(0);
    struct Row {
        TMIDIInChannel channel;
        std::uint32_t status;
        bool shown;
    };
    for (const Row& row : std::vector<Row>{{0, 0x90, true},
                                           {0, 0x9F, true},
                                           {1, 0x90, true},
                                           {1, 0x91, false},
                                           {16, 0x9F, true},
                                           {16, 0x90, false}}) {
        keys->SetMIDIInChannel(row.channel);
        service.Inject(0x7F3C00 | row.status);
        QApplication::processEvents();
        EXPECT_EQ(keys->IsPressed(60), row.shown) << int(row.channel) << " " << row.status;
        service.Inject(0x003C80 | (row.status & 0x0F));
        QApplication::processEvents();
        EXPECT_FALSE(keys->IsPressed(60));
    }
}

// Space is the sustain pedal on the output channel; the pedal is lifted on the channel it went
// down on, also when the keys are lost while it is held.
TEST_F(MidiKeysTest, SpaceHoldsTheSustainPedal) {
    OpenOutput(0);
    keys->SetMIDIOutChannel(3);
    const auto space = [&](QEvent::Type type, bool autoRepeat) {
        QKeyEvent event(type, Qt::Key_Space, {}, 65, 0, 0, QStringLiteral(" "), autoRepeat);
        QApplication::sendEvent(keys.get(), &event);
    };
    space(QEvent::KeyPress, false);
    space(QEvent::KeyRelease, true);
    space(QEvent::KeyPress, true);
    keys->SetMIDIOutChannel(5);
    space(QEvent::KeyRelease, false);
    space(QEvent::KeyPress, false);
    keys->ReleaseHeldNotes();
    space(QEvent::KeyRelease, false);
    EXPECT_EQ(service.shortMessages,
              (std::vector<std::uint32_t>{0x7F40B2, 0x0040B2, 0x7F40B4, 0x0040B4}));
}

// Escape silences every channel, ends the notes the user holds on the channels they went out
// on, and shows every key released, incoming notes included.
TEST_F(MidiKeysTest, EscapeSilencesEverythingAndReleasesEveryKey) {
    OpenOutput(0);
    OpenInput(0);
    keys->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(keys.get()));
    keys->SetMIDIOutChannel(3);
    QTest::mousePress(keys.get(), Qt::LeftButton, {}, QPoint(7, 60)); // A0
    QTest::keyPress(keys.get(), Qt::Key_Z);                           // C1
    keys->SetMIDIOutChannel(7);
    QTest::keyPress(keys.get(), Qt::Key_Q); // C2
    service.Inject(0x7F3C90);
    QApplication::processEvents();
    service.shortMessages.clear();
    events.clear();

    QTest::keyPress(keys.get(), Qt::Key_Escape);
    QTest::keyPress(keys.get(), Qt::Key_Escape); // held: repeated, unmarked as X11's may be
    QTest::keyRelease(keys.get(), Qt::Key_Escape);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t channel = 0; channel < 16; ++channel)
        for (std::uint32_t controller : {120u, 123u})
            expected.push_back(0xB0 | channel | controller << 8);
    for (std::uint32_t noteOff : {0x001582u, 0x001882u, 0x002486u})
        expected.push_back(noteOff);
    EXPECT_EQ(service.shortMessages, expected);
    EXPECT_EQ(events, (std::vector<std::string>{"off 21", "off 24", "off 36"}));
    for (int note = 0; note < 128; ++note)
        EXPECT_FALSE(keys->IsPressed(note)) << note;
    // The releases that follow end nothing more.
    service.shortMessages.clear();
    QTest::mouseRelease(keys.get(), Qt::LeftButton, {}, QPoint(7, 60));
    QTest::keyRelease(keys.get(), Qt::Key_Z);
    QTest::keyRelease(keys.get(), Qt::Key_Q);
    EXPECT_TRUE(service.shortMessages.empty());
}

} // namespace
