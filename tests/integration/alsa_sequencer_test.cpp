// The ALSA backend against the kernel's sequencer. Runs inside the test VM (scripts/alsa-vm.sh),
// where "Midi Through" and four VirMIDI ports exist and nobody else is connected.

#include "formats/midi_stream.h"
#include "formats/short_message.h"
#include "platform/linux/alsa/alsa_midi_service.h"
#include "platform/midi_events.h"
#include "tests/integration/alsa_test_peer.h"
#include "tests/integration/midi_test_support.h"

#include <alsa/asoundlib.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

namespace {

using Bytes = std::vector<std::uint8_t>;
const std::string kClientName = "klavio-test";
const std::string kMidiThrough = "Midi Through:Midi Through Port-0";

using Peer = AlsaPeer;

Bytes SysEx(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 128) & 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class AlsaSequencerTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        std::string whyNot;
        service = OpenAlsaMidiService(kClientName, whyNot);
        ASSERT_NE(service, nullptr) << whyNot;
    }

    // Runs the event loop, letting the peers read, until done() holds. The deadline only keeps
    // a broken build from hanging the run.
    bool RunUntil(const std::function<bool()>& done) { return RunUntil(done, {&peer}); }
    bool RunUntil(const std::function<bool()>& done, const std::vector<Peer*>& readers,
                  int limitMs = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < limitMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            for (Peer* reader : readers)
                reader->Drain();
        }
        return done();
    }

    std::vector<std::string> Names(bool outputs) {
        const int count = outputs ? service->midiOutGetNumDevs() : service->midiInGetNumDevs();
        std::vector<std::string> names(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(Caps(outputs, i, names[static_cast<std::size_t>(i)]), MMSYSERR_NOERROR);
        return names;
    }
    MMRESULT Caps(bool outputs, int device, std::string& name) {
        return outputs ? service->midiOutGetDevCaps(device, name)
                       : service->midiInGetDevCaps(device, name);
    }
    int Index(bool outputs, const std::string& name) {
        const std::vector<std::string> names = Names(outputs);
        const auto found = std::find(names.begin(), names.end(), name);
        return found == names.end() ? -2 : static_cast<int>(found - names.begin());
    }

    HMIDIOUT OpenOutput(const std::string& name) {
        HMIDIOUT handle = 0;
        EXPECT_EQ(service->midiOutOpen(handle, Index(true, name), &receiver), MMSYSERR_NOERROR);
        return handle;
    }
    HMIDIIN OpenInput(const std::string& name) {
        HMIDIIN handle = 0;
        EXPECT_EQ(service->midiInOpen(handle, Index(false, name), &receiver), MMSYSERR_NOERROR);
        return handle;
    }
    MMRESULT Send(HMIDIOUT handle, TestLongMessage& message) {
        const MMRESULT prepared = service->midiOutPrepareHeader(handle, &message.header);
        return prepared ? prepared : service->midiOutLongMsg(handle, &message.header);
    }

    Peer peer{"klavio-test-peer"};
    std::unique_ptr<MidiService> service;
    MidiEventRecorder receiver;
};

TEST_F(AlsaSequencerTest, DeviceListsNameOtherClientsPortsStably) {
    HMIDIOUT mapper = 0;
    // Our own ports exist while the lists are taken, and must not show up in them.
    ASSERT_EQ(service->midiOutOpen(mapper, MIDI_MAPPER, &receiver), MMSYSERR_NOERROR);
    OpenInput(kMidiThrough);

    for (const bool outputs : {true, false}) {
        SCOPED_TRACE(outputs ? "outputs" : "inputs");
        const std::vector<std::string> names = Names(outputs);
        for (const std::string& expected :
             {kMidiThrough, peer.DeviceName(), std::string("Virtual Raw MIDI 0-0:VirMIDI 0-0"),
              std::string("Virtual Raw MIDI 0-3:VirMIDI 0-3")})
            EXPECT_EQ(std::count(names.begin(), names.end(), expected), 1) << expected;
        for (const std::string& name : names) {
            EXPECT_NE(name.rfind(kClientName + ":", 0), 0u) << name;
            EXPECT_NE(name.rfind("System:", 0), 0u) << name;
        }

        const int count = static_cast<int>(names.size());
        for (const int bad : {-2, outputs ? -3 : -1, count, count + 7}) {
            std::string name = "unchanged";
            EXPECT_EQ(Caps(outputs, bad, name), MMSYSERR_BADDEVICEID) << bad;
            EXPECT_EQ(name, "unchanged");
        }
        // Names refer to the last count: a newcomer waits for the next one.
        Peer late("klavio-test-late");
        std::string name;
        EXPECT_EQ(Caps(outputs, count, name), MMSYSERR_BADDEVICEID);
        EXPECT_EQ(Names(outputs).back(), late.DeviceName());
    }
    std::string mapperName;
    EXPECT_EQ(service->midiOutGetDevCaps(MIDI_MAPPER, mapperName), MMSYSERR_NOERROR);
    EXPECT_EQ(mapperName, kClientName);
}

TEST_F(AlsaSequencerTest, ShortMessagesReachThePeerAsExactBytes) {
    const std::uint32_t messages[] = {0x7F3C90, 0x403C8F, 0x3C95,    0x2040A1, 0x7F07B2, 0x13C3,
                                      0x7F55D4, 0x4000E5, 0xE6,      0x7F7FE7, 0x2315F1, 0x2315F2,
                                      0x05F3,   0x7F3CF6, 0x7F3CF8,  0xFA,     0xFB,     0xFC,
                                      0xFE,     0xFF,     0xFFFFBC90};
    // A status without data bytes sends none, whatever the upper bits hold; data bytes keep
    // their low 7 bits.
    const Bytes expected = {0x90, 0x3C, 0x7F, 0x8F, 0x3C, 0x40, 0x95, 0x3C, 0x00, 0xA1, 0x40, 0x20,
                            0xB2, 0x07, 0x7F, 0xC3, 0x13, 0xD4, 0x55, 0xE5, 0x00, 0x40, 0xE6, 0x00,
                            0x00, 0xE7, 0x7F, 0x7F, 0xF1, 0x15, 0xF2, 0x15, 0x23, 0xF3, 0x05, 0xF6,
                            0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF, 0x90, 0x3C, 0x7F};
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    for (const std::uint32_t message : messages)
        EXPECT_EQ(service->midiOutShortMsg(handle, message), MMSYSERR_NOERROR) << message;
    for (const std::uint32_t refused : {0xF0u, 0xF7u, 0x643Cu, 0xF4u, 0xF5u, 0xF9u, 0xFDu})
        EXPECT_EQ(service->midiOutShortMsg(handle, refused), MMSYSERR_INVALPARAM) << refused;
    EXPECT_EQ(peer.Drain(), std::size(messages));
    EXPECT_EQ(peer.received, expected);
    EXPECT_FALSE(peer.undecodable);
}

TEST_F(AlsaSequencerTest, MapperPortReachesPeersSubscribedToIt) {
    EXPECT_FALSE(peer.ListenTo(kClientName)) << "a public port before the mapper is open";
    HMIDIOUT mapper = 0;
    ASSERT_EQ(service->midiOutOpen(mapper, MIDI_MAPPER, &receiver), MMSYSERR_NOERROR);
    ASSERT_TRUE(peer.ListenTo(kClientName));
    EXPECT_EQ(service->midiOutShortMsg(mapper, 0x643C90), MMSYSERR_NOERROR);
    TestLongMessage message(SysEx(9000));
    EXPECT_EQ(Send(mapper, message), MMSYSERR_NOERROR);
    ASSERT_TRUE(RunUntil([&] { return receiver.done.size() == 1; }));
    peer.Drain();
    EXPECT_EQ(peer.received, Bytes({0x90, 0x3C, 0x64}) + message.bytes);

    EXPECT_EQ(service->midiOutReset(mapper), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutClose(mapper), MMSYSERR_NOERROR);
    EXPECT_FALSE(peer.ListenTo(kClientName)) << "the mapper's port outlived its close";
}

TEST_F(AlsaSequencerTest, PeerMessagesReachTheReceiverInOrderOnlyWhileStarted) {
    const HMIDIIN handle = OpenInput(peer.DeviceName());
    const Bytes ignored = {0x90, 0x01, 0x01};
    const Bytes
        played = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x40, 0x9F, 0x3E, 0x00, 0xA1, 0x3C, 0x22, 0xB2,
                  0x07, 0x65, 0xC3, 0x10, 0xD4, 0x33, 0xE5, 0x00, 0x40, 0xE5, 0x7F, 0x7F, 0xF0,
                  0x7E, 0x01, 0xF7, // SysEx input is dropped
                  0xF1, 0x15, 0xF2, 0x15, 0x23, 0xF3, 0x05, 0xF6, 0xF8, 0xFA, 0xFB, 0xFC, 0xFE};
    std::vector<std::uint32_t> expected = {0x643C90, 0x403C80, 0x003E9F, 0x223CA1, 0x6507B2, 0x10C3,
                                           0x33D4,   0x4000E5, 0x7F7FE5, 0x15F1,   0x2315F2, 0x05F3,
                                           0xF6,     0xF8,     0xFA,     0xFB,     0xFC,     0xFE};

    ASSERT_TRUE(peer.Play(ignored));
    ASSERT_EQ(service->midiInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(peer.Play(played));
    ASSERT_TRUE(RunUntil([&] { return receiver.messages.size() >= expected.size(); }));
    EXPECT_EQ(service->midiInStop(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(peer.Play(ignored));
    // What came while stopped is dropped at the next start; what comes while started arrives,
    // even when the port stops before the event loop has had a turn.
    EXPECT_EQ(service->midiInStart(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(peer.Play({0x91, 0x40, 0x50}));
    EXPECT_EQ(service->midiInReset(handle), MMSYSERR_NOERROR);
    ASSERT_TRUE(peer.Play(ignored));
    EXPECT_EQ(service->midiInClose(handle), MMSYSERR_NOERROR);
    QCoreApplication::sendPostedEvents();

    expected.push_back(0x504091);
    EXPECT_EQ(receiver.messages, expected);
}

TEST_F(AlsaSequencerTest, PeerEventsOutOfRangeAreDroppedAndCompoundOnesSpelledOut) {
    auto control = [](snd_seq_event_type_t type, unsigned channel, unsigned param, int value) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        event.type = type;
        event.data.control = {static_cast<unsigned char>(channel), {}, param, value};
        return event;
    };
    auto note = [](unsigned channel, unsigned key, unsigned velocity) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_noteon(&event, channel, key, velocity);
        return event;
    };
    const snd_seq_event_t events[] = {
        note(16, 60, 100), note(0, 128, 100), note(0, 60, 128),
        control(SND_SEQ_EVENT_CONTROLLER, 0, 128, 1), control(SND_SEQ_EVENT_CONTROLLER, 0, 7, 128),
        control(SND_SEQ_EVENT_PGMCHANGE, 0, 0, -1), control(SND_SEQ_EVENT_PITCHBEND, 0, 0, 8192),
        control(SND_SEQ_EVENT_SONGPOS, 0, 0, 16384), control(SND_SEQ_EVENT_CHANPRESS, 99, 0, 1),
        // Only these four are MIDI.
        control(SND_SEQ_EVENT_PITCHBEND, 1, 0, -8192),
        control(SND_SEQ_EVENT_CONTROL14, 2, 7, 0x3FFF),
        control(SND_SEQ_EVENT_CONTROL14, 2, 70, 0x05),
        control(SND_SEQ_EVENT_NONREGPARAM, 3, 0x1234, 0x0567)};
    const HMIDIIN handle = OpenInput(peer.DeviceName());
    ASSERT_EQ(service->midiInStart(handle), MMSYSERR_NOERROR);
    for (const snd_seq_event_t& event : events)
        ASSERT_TRUE(peer.Send(event));
    EXPECT_EQ(service->midiInStop(handle), MMSYSERR_NOERROR);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(receiver.messages,
              (std::vector<std::uint32_t>{0x00E1, 0x7F07B2, 0x7F27B2, 0x0546B2, 0x2463B3, 0x3462B3,
                                          0x0A06B3, 0x6726B3}));
}

TEST_F(AlsaSequencerTest, LargeSysExArrivesWholeWithItsCompletionAfterIt) {
    const struct {
        std::size_t size;
        bool throughMidiThrough;
    } cases[] = {{3, true}, {512, true}, {513, true}, {5573, true}, {65536, true}, {65536, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes, through " << c.throughMidiThrough);
        Peer listener("klavio-test-listener");
        ASSERT_TRUE(c.throughMidiThrough ? listener.ListenTo("Midi Through") : listener.Ok());
        const HMIDIOUT handle =
            OpenOutput(c.throughMidiThrough ? kMidiThrough : listener.DeviceName());
        TestLongMessage message(SysEx(c.size));
        std::size_t receivedAtDone = 0;
        receiver.done.clear();
        receiver.onDone = [&] {
            if (receiver.done.size() == 1)
                receivedAtDone = (listener.Drain(), listener.received.size());
        };
        const auto forget = qScopeGuard([&] { receiver.onDone = nullptr; });
        QElapsedTimer clock;
        clock.start();
        ASSERT_EQ(Send(handle, message), MMSYSERR_NOERROR);
        ASSERT_TRUE(RunUntil([&] { return !receiver.done.empty(); }, {&listener}));
        std::printf("[ measured ] %zu-byte SysEx%s: done after %lld ms\n", c.size,
                    c.throughMidiThrough ? " through Midi Through" : "",
                    static_cast<long long>(clock.elapsed()));
        QCoreApplication::sendPostedEvents();

        EXPECT_EQ(receiver.done, std::vector<MIDIHDR*>{&message.header});
        EXPECT_EQ(receivedAtDone, c.size) << "the completion came before the last piece";
        EXPECT_TRUE(listener.received == message.bytes) << listener.received.size() << " bytes";
        EXPECT_EQ(message.header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
        EXPECT_EQ(service->midiOutUnprepareHeader(handle, &message.header), MMSYSERR_NOERROR);
        EXPECT_EQ(service->midiOutClose(handle), MMSYSERR_NOERROR);
    }
}

TEST_F(AlsaSequencerTest, LongMessagesGoOutInOrderOneAfterAnother) {
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    // Running status, a SysEx with a clock inside it, a clock of its own.
    TestLongMessage first(Bytes{0x90, 0x3C, 0x64, 0x3E, 0x64} + SysEx(20000) +
                          Bytes{0xF8, 0x80, 0x3C, 0});
    first.bytes[10] = 0xF8;
    TestLongMessage second(Bytes{0x91, 0x40, 0x7F});
    ASSERT_EQ(Send(handle, first), MMSYSERR_NOERROR);
    ASSERT_EQ(Send(handle, second), MMSYSERR_NOERROR);
    // Half way through a SysEx only real-time messages cut in; others wait for its end.
    ASSERT_TRUE(
        RunUntil([&] { return std::count(peer.received.begin(), peer.received.end(), 0xF0); }));
    EXPECT_EQ(service->midiOutShortMsg(handle, 0x7F4192), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutShortMsg(handle, 0xFE), MMSYSERR_NOERROR);
    ASSERT_TRUE(RunUntil([&] { return receiver.done.size() == 2; }));
    peer.Drain();

    EXPECT_EQ(receiver.done, (std::vector<MIDIHDR*>{&first.header, &second.header}));
    Bytes sysEx = SysEx(20000);
    sysEx.erase(sysEx.begin() + 5); // the clock inside goes out ahead of the SysEx
    const Bytes expected = Bytes{0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64, 0xF8} + sysEx +
                           Bytes{0x92, 0x41, 0x7F, 0xF8, 0x80, 0x3C, 0x00, 0x91, 0x40, 0x7F};
    Bytes received = peer.received;
    ASSERT_EQ(std::count(received.begin(), received.end(), 0xFE), 1);
    received.erase(std::find(received.begin(), received.end(), 0xFE));
    EXPECT_TRUE(received == expected);
}

TEST_F(AlsaSequencerTest, NotesPlayedDuringASysExFollowItAndNoNoteOffIsLost) {
    // What is played once the peer holds so many bytes of a 64 KiB dump. The last row plays
    // more than the service keeps waiting: past its bound note-ons are refused, while every
    // note-off is still taken.
    const struct {
        std::size_t afterBytes;
        std::uint32_t message;
        int pairs; // >0: that many note-on/note-off pairs, on the following notes
    } played[] = {
        {1, 0x643C90, 0},     {1, 0x403C80, 0},     {2000, 0x7F4091, 0}, {2000, 0x0040B1, 0},
        {30000, 0x004091, 0}, {30000, 0x6030E9, 0}, {30000, 0x3099, 0},  {40000, 0x500090, 2300},
    };
    const std::size_t kSysExBytes = 65536;
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    TestLongMessage dump(SysEx(kSysExBytes));
    ASSERT_EQ(Send(handle, dump), MMSYSERR_NOERROR);

    std::vector<std::uint32_t> taken; // in the order the service accepted them
    int refusedNoteOns = 0;
    auto play = [&](std::uint32_t message) {
        const MMRESULT result = service->midiOutShortMsg(handle, message);
        if (result == MMSYSERR_NOERROR)
            taken.push_back(message);
        else if (result == MIDIERR_NOTREADY && (message & 0xF0) == 0x90 && message >> 16 != 0)
            ++refusedNoteOns;
        else
            ADD_FAILURE() << std::hex << message << " refused with " << std::dec << result;
    };
    std::size_t row = 0;
    std::size_t lastSize = 0;
    QElapsedTimer quiet;
    quiet.start();
    // Done once everything is played and the peer has heard nothing new for a while.
    ASSERT_TRUE(RunUntil([&] {
        for (; row < std::size(played) && peer.received.size() >= played[row].afterBytes; ++row) {
            const auto& p = played[row];
            for (int i = 0; i < p.pairs; ++i) {
                const std::uint32_t note = p.message + (static_cast<std::uint32_t>(i % 128) << 8) +
                                           static_cast<std::uint32_t>(i / 128 % 16);
                play(note);
                play(note & 0xFFFF);
            }
            if (p.pairs == 0)
                play(p.message);
        }
        if (peer.received.size() != lastSize)
            quiet.restart();
        lastSize = peer.received.size();
        return row == std::size(played) && !receiver.done.empty() && quiet.elapsed() > 300;
    }));

    EXPECT_GT(refusedNoteOns, 0) << "the bound was never reached";
    ASSERT_GE(peer.received.size(), kSysExBytes);
    EXPECT_TRUE(Bytes(peer.received.begin(), peer.received.begin() + kSysExBytes) == dump.bytes);
    const MidiStreamSplit after =
        SplitMidiStream(peer.received.data() + kSysExBytes, peer.received.size() - kSysExBytes);
    ASSERT_TRUE(after.complete);
    // Up to the bound everything arrives in the order played.
    const std::size_t inOrder = std::min<std::size_t>(4096, taken.size());
    ASSERT_GE(after.messages.size(), inOrder);
    for (std::size_t i = 0; i < inOrder; ++i) {
        const ShortMessage sent = UnpackShortMessage(taken[i]);
        ASSERT_EQ(after.messages[i],
                  MidiMessage(sent.bytes.begin(), sent.bytes.begin() + sent.size))
            << "message " << i;
    }
    // Past it, every note that sounded at the peer was let go.
    SoundingNotes sounding;
    for (const MidiMessage& message : after.messages)
        sounding.Track(message.data(), message.size());
    EXPECT_EQ(sounding.Count(), 0u);
    EXPECT_EQ(service->midiOutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(AlsaSequencerTest, BadLongMessagesAreRefusedWithNothingSent) {
    const struct {
        Bytes bytes;
        MMRESULT result;
    } cases[] = {
        {{0x90, 0x3C}, MMSYSERR_INVALPARAM},             // a note cut short
        {{0xF0, 0x01, 0x02}, MMSYSERR_INVALPARAM},       // a SysEx without its end
        {{0x3C, 0x64}, MMSYSERR_INVALPARAM},             // data without a status
        {{0x90, 0x3C, 0x64, 0xF5}, MMSYSERR_INVALPARAM}, // a good note, then an undefined status
        {{0x90, 0x3C, 0x64, 0xF0, 0x01, 0x80, 0x3C, 0x00}, MMSYSERR_INVALPARAM}, // SysEx cut
        {{0x90, 0x3C, 0x64}, MIDIERR_UNPREPARED},
    };
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    for (const auto& c : cases) {
        TestLongMessage message(c.bytes);
        if (c.result != MIDIERR_UNPREPARED) {
            ASSERT_EQ(service->midiOutPrepareHeader(handle, &message.header), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(service->midiOutLongMsg(handle, &message.header), c.result);
        EXPECT_FALSE(message.header.dwFlags & MHDR_INQUEUE);
    }
    TestLongMessage empty(Bytes{});
    EXPECT_EQ(service->midiOutPrepareHeader(handle, &empty.header), MMSYSERR_INVALPARAM);
    EXPECT_EQ(service->midiOutPrepareHeader(handle, nullptr), MMSYSERR_INVALPARAM);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(peer.Drain(), 0u);
    EXPECT_TRUE(receiver.done.empty());
}

TEST_F(AlsaSequencerTest, ResetSilencesSoundingNotesAndHandsBackQueuedMessages) {
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    for (const std::uint32_t note :
         {0x643C90u, 0x643E90u, 0x644099u, 0x003E90u, 0x644190u, 0x404180u, 0x643C90u})
        ASSERT_EQ(service->midiOutShortMsg(handle, note), MMSYSERR_NOERROR);
    TestLongMessage messages[] = {TestLongMessage(SysEx(20000)), TestLongMessage(SysEx(20000)),
                                  TestLongMessage(Bytes{0x90, 0x30, 0x30})};
    for (TestLongMessage& message : messages)
        ASSERT_EQ(Send(handle, message), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutUnprepareHeader(handle, &messages[1].header), MIDIERR_STILLPLAYING);
    EXPECT_EQ(service->midiOutClose(handle), MIDIERR_STILLPLAYING);

    EXPECT_EQ(service->midiOutReset(handle), MMSYSERR_NOERROR);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(receiver.done, (std::vector<MIDIHDR*>{&messages[0].header, &messages[1].header,
                                                    &messages[2].header}));
    for (TestLongMessage& message : messages) {
        EXPECT_EQ(message.header.dwFlags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
        EXPECT_EQ(service->midiOutUnprepareHeader(handle, &message.header), MMSYSERR_NOERROR);
    }
    peer.Drain();
    // The SysEx cut short is closed, and each note still sounding gets one note-off, however
    // often it was struck.
    ASSERT_GE(peer.received.size(), 7u);
    EXPECT_TRUE(SplitMidiStream(peer.received.data(), peer.received.size()).complete);
    EXPECT_EQ(Bytes(peer.received.end() - 7, peer.received.end()),
              (Bytes{0xF7, 0x80, 0x3C, 0x00, 0x89, 0x40, 0x00}));
    EXPECT_EQ(service->midiOutClose(handle), MMSYSERR_NOERROR);
}

TEST_F(AlsaSequencerTest, PeerThatDoesNotReadMakesSendsFailUntilItReadsAgain) {
    const HMIDIOUT handle = OpenOutput(peer.DeviceName());
    const std::uint32_t volume = 0x4007B0;
    std::size_t accepted = 0;
    while (accepted < 10000 && service->midiOutShortMsg(handle, volume) == MMSYSERR_NOERROR)
        ++accepted;
    std::printf("[ measured ] a peer that does not read took %zu short messages\n", accepted);
    EXPECT_GT(accepted, 0u);
    EXPECT_EQ(service->midiOutShortMsg(handle, volume), MIDIERR_NOTREADY);
    TestLongMessage refused(Bytes{0xB0, 0x07, 0x41});
    EXPECT_EQ(Send(handle, refused), MIDIERR_NOTREADY);
    EXPECT_FALSE(refused.header.dwFlags & MHDR_INQUEUE);

    // The kernel empties the queue of a reader that something was refused for; what matters
    // is that our client is not wedged: once the peer reads again, everything goes through.
    peer.Drain();
    EXPECT_TRUE(peer.overflowed);
    peer.received.clear();
    EXPECT_EQ(service->midiOutShortMsg(handle, volume), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutLongMsg(handle, &refused.header), MMSYSERR_NOERROR);
    ASSERT_TRUE(RunUntil([&] { return receiver.done.size() == 1; }));
    EXPECT_EQ(peer.received, (Bytes{0xB0, 0x07, 0x40, 0xB0, 0x07, 0x41}));

    // A dump refused half way is given up; the message behind it waits for the reader.
    TestLongMessage dump(SysEx(20000));
    TestLongMessage notes(Bytes{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00});
    ASSERT_EQ(Send(handle, dump), MMSYSERR_NOERROR);
    ASSERT_EQ(Send(handle, notes), MMSYSERR_NOERROR);
    ASSERT_TRUE(RunUntil([&] { return receiver.done.size() == 2; }, {}));
    EXPECT_EQ(receiver.done.back(), &dump.header);
    EXPECT_TRUE(notes.header.dwFlags & MHDR_INQUEUE);
    peer.Drain();
    peer.received.clear();
    ASSERT_TRUE(RunUntil([&] { return receiver.done.size() == 3; }));
    EXPECT_EQ(peer.received, notes.bytes);

    // A note-off the full peer refuses is kept, through a reset and a close, until it reads.
    ASSERT_EQ(service->midiOutShortMsg(handle, 0x643C90), MMSYSERR_NOERROR);
    while (service->midiOutShortMsg(handle, volume) == MMSYSERR_NOERROR) {
    }
    EXPECT_EQ(service->midiOutShortMsg(handle, 0x403C80), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutReset(handle), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutClose(handle), MMSYSERR_NOERROR);
    peer.received.clear();
    ASSERT_TRUE(RunUntil([&] { return !peer.received.empty(); }));
    EXPECT_EQ(peer.received, (Bytes{0x80, 0x3C, 0x00}));
}

TEST_F(AlsaSequencerTest, PeerThatVanishesLeavesPortsThatAnswerWithErrors) {
    const HMIDIOUT output = OpenOutput(peer.DeviceName());
    const HMIDIIN input = OpenInput(peer.DeviceName());
    ASSERT_EQ(service->midiInStart(input), MMSYSERR_NOERROR);
    ASSERT_EQ(service->midiOutShortMsg(output, 0x643C90), MMSYSERR_NOERROR);
    peer.Close();
    // The newcomer is likely given the same client number; it must not get the old peer's notes.
    Peer newcomer("klavio-test-peer");
    EXPECT_EQ(service->midiOutShortMsg(output, 0x643E90), MIDIERR_NODEVICE);
    TestLongMessage message(Bytes{0x90, 0x40, 0x64});
    EXPECT_EQ(Send(output, message), MIDIERR_NODEVICE);
    EXPECT_NE(service->midiOutReset(output), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutClose(output), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiInStop(input), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiInStart(input), MIDIERR_NODEVICE);
    EXPECT_EQ(service->midiInClose(input), MMSYSERR_NOERROR);
    EXPECT_EQ(newcomer.Drain(), 0u);
}

TEST_F(AlsaSequencerTest, WatcherHearsOfOtherProgramsAndPortsTellWhetherTheirDeviceIsThere) {
    MidiEventRecorder watcher;
    service->midiSetDeviceWatcher(&watcher);
    HMIDIOUT mapper = 0;
    ASSERT_EQ(service->midiOutOpen(mapper, MIDI_MAPPER, &receiver), MMSYSERR_NOERROR);
    const int outputsBefore = service->midiOutGetNumDevs();
    auto late = std::make_unique<Peer>("klavio-test-late");
    // A client, its name and its port come in one burst: one event.
    ASSERT_TRUE(RunUntil([&] { return watcher.devicesChanged > 0; }));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(watcher.devicesChanged, 1);
    EXPECT_EQ(service->midiOutGetNumDevs(), outputsBefore + 1);

    // Our own opening and closing is no news; none of it may hold up the GUI thread.
    const int outputIndex = Index(true, late->DeviceName());
    const int inputIndex = Index(false, late->DeviceName());
    std::map<std::string, std::vector<double>> millis;
    auto timed = [&](const char* name, auto call) {
        QElapsedTimer clock;
        clock.start();
        const MMRESULT result = call();
        millis[name].push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        return result;
    };
    HMIDIOUT output = 0;
    HMIDIIN input = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(timed("midiOutOpen",
                        [&] { return service->midiOutOpen(output, outputIndex, &receiver); }),
                  0u);
        ASSERT_EQ(
            timed("midiInOpen", [&] { return service->midiInOpen(input, inputIndex, &receiver); }),
            0u);
        if (i == 19)
            break;
        ASSERT_EQ(timed("midiOutClose", [&] { return service->midiOutClose(output); }), 0u);
        ASSERT_EQ(timed("midiInClose", [&] { return service->midiInClose(input); }), 0u);
    }
    for (auto& [name, times] : millis) {
        std::sort(times.begin(), times.end());
        std::printf("[ measured ] %s: median %.2f ms, slowest %.2f ms of %zu\n", name.c_str(),
                    times[times.size() / 2], times.back(), times.size());
    }
    RunUntil([] { return false; }, {&peer}, 100);
    EXPECT_EQ(watcher.devicesChanged, 1);
    for (const MMRESULT status :
         {service->midiOutGetStatus(output), service->midiInGetStatus(input),
          service->midiOutGetStatus(mapper)})
        EXPECT_EQ(status, MMSYSERR_NOERROR);

    // Another program connecting to our public port is news.
    ASSERT_TRUE(peer.ListenTo(kClientName));
    ASSERT_TRUE(RunUntil([&] { return watcher.devicesChanged == 2; }));

    late->Close();
    ASSERT_TRUE(RunUntil([&] { return watcher.devicesChanged == 3; }));
    EXPECT_EQ(service->midiOutGetStatus(output), MIDIERR_NODEVICE);
    EXPECT_EQ(service->midiInGetStatus(input), MIDIERR_NODEVICE);
    EXPECT_EQ(service->midiOutGetStatus(mapper), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiOutGetNumDevs(), outputsBefore);
    RunUntil([] { return false; }, {&peer}, 100);
    EXPECT_EQ(watcher.devicesChanged, 3) << "one event for the client, its port and subscriptions";
}

TEST_F(AlsaSequencerTest, UnknownAndStaleHandlesAreRefused) {
    const HMIDIOUT closed = OpenOutput(kMidiThrough);
    ASSERT_EQ(service->midiOutClose(closed), MMSYSERR_NOERROR);
    const HMIDIIN input = OpenInput(kMidiThrough);
    TestLongMessage message(Bytes{0x90, 0x3C, 0x64});
    for (const std::uint32_t handle : {0u, closed, input, 12345u}) {
        EXPECT_EQ(service->midiOutShortMsg(handle, 0x643C90), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutPrepareHeader(handle, &message.header), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutLongMsg(handle, &message.header), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutUnprepareHeader(handle, &message.header), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutReset(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutClose(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiOutGetStatus(handle), MMSYSERR_INVALHANDLE);
        if (handle == input)
            continue;
        EXPECT_EQ(service->midiInGetStatus(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiInStart(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiInStop(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiInReset(handle), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(service->midiInClose(handle), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(service->midiInClose(input), MMSYSERR_NOERROR);
    EXPECT_EQ(service->midiInClose(input), MMSYSERR_INVALHANDLE);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
