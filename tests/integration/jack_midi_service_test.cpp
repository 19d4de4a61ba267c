// The JACK backend against a real JACK server: every test starts its own server and a peer
// client "peer" with the ports "peer:in" and "peer:out".

#include "platform/linux/jack/jack_midi_service.h"
#include "platform/midi_events.h"
#include "tests/busy_cores.h"
#include "tests/integration/jack_gtest.h"
#include "tests/integration/midi_test_support.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace {

const char* const kClient = "klavio-test";
constexpr std::uint32_t kMarker = 0x7F7F9F; // note-on, channel 16, closes a sequence

MidiBytes SysEx(std::size_t size, std::uint8_t fill = 0x11) {
    MidiBytes bytes(size, fill);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

MidiBytes Unpack(std::uint32_t message, std::size_t size) {
    MidiBytes bytes;
    for (std::size_t i = 0; i < size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(message >> (8 * i)));
    return bytes;
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 10000) {
    return QTest::qWaitFor(condition, milliseconds);
}

// Waits while the service's notifications stay unhandled, as when the GUI thread is busy.
bool WaitWithoutEvents(const std::function<bool()>& condition) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.hasExpired(10000))
            return false;
        QThread::msleep(1);
    }
    return true;
}

class JackMidi : public testing::Test {
protected:
    void SetUp() override {
        if (!StartJackForTest(server_))
            return;
        std::string whyNot;
        peer_ = JackPeer::Open("peer", whyNot);
        ASSERT_TRUE(peer_) << whyNot;
        service_ = OpenJackMidiService(kClient, whyNot);
        ASSERT_TRUE(service_) << whyNot;
    }
    void TearDown() override {
        service_.reset();
        peer_.reset();
        server_.Stop();
    }

    int Find(bool output, const std::string& name) { return DeviceIndex(*service_, output, name); }
    // Waits until a peer's new port is listed: PipeWire lists ports a moment after it opens them.
    int FindNew(bool output, const std::string& name) {
        EXPECT_TRUE(WaitFor([&] { return Find(output, name) != INT_MIN; })) << name;
        return Find(output, name);
    }
    // Opens the port and waits until it reaches its device.
    HMIDIOUT OpenOutput(const std::string& device = "peer:in") {
        HMIDIOUT handle = 0;
        const int index = device.empty() ? MIDI_MAPPER : FindNew(true, device);
        EXPECT_EQ(service_->midiOutOpen(handle, index, &recorder_), MMSYSERR_NOERROR) << device;
        EXPECT_TRUE(WaitFor([&] { return service_->midiOutGetStatus(handle) == 0; })) << device;
        return handle;
    }
    HMIDIIN OpenInput(const std::string& device = "peer:out") {
        HMIDIIN handle = 0;
        EXPECT_EQ(service_->midiInOpen(handle, FindNew(false, device), &recorder_),
                  MMSYSERR_NOERROR);
        EXPECT_TRUE(WaitFor([&] { return service_->midiInGetStatus(handle) == 0; })) << device;
        return handle;
    }
    MMRESULT SendLong(HMIDIOUT out, TestLongMessage& message) {
        const MMRESULT prepared = service_->midiOutPrepareHeader(out, &message.header);
        return prepared != MMSYSERR_NOERROR ? prepared
                                            : service_->midiOutLongMsg(out, &message.header);
    }
    // Everything the peer received up to the marker sent now, which ends the wait.
    std::vector<MidiBytes> ReceivedUpToMarker(HMIDIOUT out) {
        EXPECT_EQ(service_->midiOutShortMsg(out, kMarker), MMSYSERR_NOERROR);
        const MidiBytes marker = Unpack(kMarker, 3);
        EXPECT_TRUE(WaitFor([&] {
            const auto& received = peer_->Received();
            return !received.empty() && received.back() == marker;
        }));
        std::vector<MidiBytes> received = peer_->Received();
        if (!received.empty() && received.back() == marker)
            received.pop_back();
        return received;
    }
    void LetPeerCyclesPass(std::uint64_t cycles) {
        const std::uint64_t target = peer_->Cycles() + cycles;
        EXPECT_TRUE(WaitWithoutEvents([&] { return peer_->Cycles() >= target; }));
    }

    JackTestServer server_;
    std::unique_ptr<JackPeer> peer_;
    std::unique_ptr<MidiService> service_;
    MidiEventRecorder recorder_;
};

TEST_F(JackMidi, ListsPeerPortsByStableNameAndNeverOurOwn) {
    const HMIDIOUT mapper = OpenOutput("");
    const HMIDIOUT out = OpenOutput();
    const HMIDIIN in = OpenInput();

    for (const bool output : {true, false}) {
        std::vector<std::string> names;
        const int count = output ? service_->midiOutGetNumDevs() : service_->midiInGetNumDevs();
        for (int i = 0; i < count; ++i) {
            std::string name;
            output ? service_->midiOutGetDevCaps(i, name) : service_->midiInGetDevCaps(i, name);
            names.push_back(name);
        }
        // The dummy driver's audio ports are no MIDI devices.
        EXPECT_EQ(names, std::vector<std::string>{output ? "peer:in" : "peer:out"});
    }
    std::string mapperName;
    EXPECT_EQ(service_->midiOutGetDevCaps(MIDI_MAPPER, mapperName), MMSYSERR_NOERROR);
    EXPECT_EQ(mapperName, kClient);
    EXPECT_EQ(service_->midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(mapper), MMSYSERR_NOERROR);
}

// Our ports keep one name each whichever device is chosen, for the life of the program: the
// connections patchbays and session managers saved to those names keep working.
TEST_F(JackMidi, OurPortsKeepTheirNamesAcrossDeviceChoices) {
    std::string whyNot;
    const auto other = JackPeer::Open("other", whyNot);
    ASSERT_TRUE(other) << whyNot;
    const std::string ours = std::string(kClient) + ":";
    const HMIDIOUT mapper = OpenOutput("");
    for (const std::string device : {"peer", "other", "peer"}) {
        const HMIDIOUT out = OpenOutput(device + ":in");
        const HMIDIIN in = OpenInput(device + ":out");
        const char** names = jack_get_ports(peer_->Client(), (ours + ".*").c_str(), nullptr, 0);
        std::set<std::string> found;
        for (const char** name = names; name != nullptr && *name != nullptr; ++name)
            found.insert(*name);
        jack_free(names);
        EXPECT_EQ(found, (std::set<std::string>{ours + "device_in", ours + "device_out",
                                                ours + "midi_out"}))
            << device;
        EXPECT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);
        EXPECT_EQ(service_->midiOutClose(out) | service_->midiInClose(in), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(service_->midiOutClose(mapper), MMSYSERR_NOERROR);
}

TEST_F(JackMidi, BadDeviceIndexIsRefusedAndLeavesTheNameAlone) {
    const int outputs = service_->midiOutGetNumDevs();
    const int inputs = service_->midiInGetNumDevs();
    const struct {
        bool output;
        int index;
    } rows[] = {{true, -2},      {true, outputs},  {true, INT_MIN},    {false, MIDI_MAPPER},
                {false, inputs}, {false, INT_MAX}, {true, outputs + 1}};
    for (const auto& row : rows) {
        std::string name = "untouched";
        std::uint32_t handle = 0;
        if (row.output) {
            EXPECT_EQ(service_->midiOutGetDevCaps(row.index, name), MMSYSERR_BADDEVICEID);
            EXPECT_EQ(service_->midiOutOpen(handle, row.index, &recorder_), MMSYSERR_BADDEVICEID);
        } else {
            EXPECT_EQ(service_->midiInGetDevCaps(row.index, name), MMSYSERR_BADDEVICEID);
            EXPECT_EQ(service_->midiInOpen(handle, row.index, &recorder_), MMSYSERR_BADDEVICEID);
        }
        EXPECT_EQ(name, "untouched") << row.index;
        EXPECT_EQ(handle, 0u);
    }
}

TEST_F(JackMidi, UnknownStaleAndMismatchedHandlesAreRefused) {
    const HMIDIOUT closedOut = OpenOutput();
    const HMIDIIN closedIn = OpenInput();
    ASSERT_EQ(service_->midiOutClose(closedOut), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiInClose(closedIn), MMSYSERR_NOERROR);
    const HMIDIOUT openOut = OpenOutput();
    const HMIDIIN openIn = OpenInput();
    std::uint8_t byte = 0xF8;
    MIDIHDR header{&byte, 1, 1, MHDR_PREPARED};

    MidiService& s = *service_;
    const std::vector<std::function<MMRESULT(std::uint32_t)>> outputCalls = {
        [&](std::uint32_t h) { return s.midiOutShortMsg(h, 0x403C90); },
        [&](std::uint32_t h) { return s.midiOutPrepareHeader(h, &header); },
        [&](std::uint32_t h) { return s.midiOutLongMsg(h, &header); },
        [&](std::uint32_t h) { return s.midiOutUnprepareHeader(h, &header); },
        [&](std::uint32_t h) { return s.midiOutReset(h); },
        [&](std::uint32_t h) { return s.midiOutClose(h); }};
    const std::vector<std::function<MMRESULT(std::uint32_t)>> inputCalls = {
        [&](std::uint32_t h) { return s.midiInStart(h); },
        [&](std::uint32_t h) { return s.midiInStop(h); },
        [&](std::uint32_t h) { return s.midiInReset(h); },
        [&](std::uint32_t h) { return s.midiInClose(h); }};
    for (const std::uint32_t handle : {0u, 99999u, closedOut, closedIn, openIn})
        for (const auto& call : outputCalls)
            EXPECT_EQ(call(handle), MMSYSERR_INVALHANDLE) << handle;
    for (const std::uint32_t handle : {0u, 99999u, closedOut, closedIn, openOut})
        for (const auto& call : inputCalls)
            EXPECT_EQ(call(handle), MMSYSERR_INVALHANDLE) << handle;
    EXPECT_EQ(header.dwFlags, MHDR_PREPARED);
    EXPECT_EQ(service_->midiOutClose(openOut), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiInClose(openIn), MMSYSERR_NOERROR);
}

TEST_F(JackMidi, ShortMessagesArriveAsExactlyTheirOwnBytes) {
    const struct {
        std::uint32_t message;
        MMRESULT result;
        MidiBytes arrives;
    } rows[] = {
        {0x403C90, MMSYSERR_NOERROR, {0x90, 0x3C, 0x40}},   // note-on
        {0x003C80, MMSYSERR_NOERROR, {0x80, 0x3C, 0x00}},   // note-off
        {0x7F05C3, MMSYSERR_NOERROR, {0xC3, 0x05}},         // program change: one data byte
        {0x0040DF, MMSYSERR_NOERROR, {0xDF, 0x40}},         // channel pressure
        {0x7F00EE, MMSYSERR_NOERROR, {0xEE, 0x00, 0x7F}},   // pitch bend
        {0x7F7FF8, MMSYSERR_NOERROR, {0xF8}},               // clock: no data bytes
        {0x0000F6, MMSYSERR_NOERROR, {0xF6}},               // tune request
        {0x0012F3, MMSYSERR_NOERROR, {0xF3, 0x12}},         // song select
        {0x0201F2, MMSYSERR_NOERROR, {0xF2, 0x01, 0x02}},   // song position
        {0xAB403C90, MMSYSERR_NOERROR, {0x90, 0x3C, 0x40}}, // the top byte is not MIDI
        {0x0000F0, MMSYSERR_INVALPARAM, {}},
        {0x0000F7, MMSYSERR_INVALPARAM, {}},
        {0x00403C, MMSYSERR_INVALPARAM, {}}, // a data byte where the status belongs
        {0x0000F4, MMSYSERR_INVALPARAM, {}},
        {0x0000F5, MMSYSERR_INVALPARAM, {}},
        {0x0000F9, MMSYSERR_INVALPARAM, {}},
        {0x0000FD, MMSYSERR_INVALPARAM, {}},
        {0x40C890, MMSYSERR_INVALPARAM, {}}, // a data byte that reads as a status
    };
    const HMIDIOUT out = OpenOutput();
    std::vector<MidiBytes> expected;
    for (const auto& row : rows) {
        EXPECT_EQ(service_->midiOutShortMsg(out, row.message), row.result)
            << std::hex << row.message;
        if (!row.arrives.empty())
            expected.push_back(row.arrives);
    }
    EXPECT_EQ(ReceivedUpToMarker(out), expected);
}

TEST_F(JackMidi, MapperPortReachesPeersConnectedToIt) {
    const HMIDIOUT mapper = OpenOutput("");
    const std::string port = std::string(kClient) + ":midi_out";
    ASSERT_EQ(jack_connect(peer_->Client(), port.c_str(), "peer:in"), 0);
    // The server switches to a graph with the new connection at the start of a later cycle;
    // what the port sends before goes nowhere, as it would for anyone connecting it.
    LetPeerCyclesPass(4);
    EXPECT_EQ(service_->midiOutShortMsg(mapper, 0x403C90), MMSYSERR_NOERROR);
    EXPECT_EQ(ReceivedUpToMarker(mapper), (std::vector<MidiBytes>{{0x90, 0x3C, 0x40}}));

    HMIDIOUT second = 0;
    EXPECT_EQ(service_->midiOutOpen(second, MIDI_MAPPER, &recorder_), MMSYSERR_ALLOCATED);
    // Opened again at once, it takes the name as soon as the closing one gave it up.
    EXPECT_EQ(service_->midiOutClose(mapper), MMSYSERR_NOERROR);
    const HMIDIOUT again = OpenOutput("");
    EXPECT_NE(jack_port_by_name(peer_->Client(), port.c_str()), nullptr);
    EXPECT_EQ(service_->midiOutClose(again), MMSYSERR_NOERROR);
    EXPECT_TRUE(WaitFor([&] { return jack_port_by_name(peer_->Client(), port.c_str()) == 0; }));
}

TEST_F(JackMidi, PeerNotesReachTheReceiverOnlyWhileStarted) {
    const HMIDIIN in = OpenInput();
    const auto play = [&](std::uint8_t note) {
        peer_->Send({0x90, note, 0x64});
        peer_->Send({0x80, note, 0x00});
    };
    const auto played = [](std::uint8_t note) {
        return std::vector<std::uint32_t>{0x640090u | note << 8, 0x000080u | note << 8};
    };

    play(40); // opened, not started
    LetPeerCyclesPass(4);
    ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
    play(50);
    ASSERT_TRUE(WaitFor([&] { return recorder_.messages.size() >= 2; }));
    EXPECT_EQ(service_->midiInStop(in), MMSYSERR_NOERROR);
    play(60); // stopped
    LetPeerCyclesPass(4);
    ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
    play(70);
    ASSERT_TRUE(WaitFor([&] { return recorder_.messages.size() >= 4; }));
    EXPECT_EQ(service_->midiInReset(in), MMSYSERR_NOERROR);
    play(80); // reset
    LetPeerCyclesPass(4);
    QCoreApplication::processEvents();

    std::vector<std::uint32_t> expected = played(50);
    for (const std::uint32_t message : played(70))
        expected.push_back(message);
    EXPECT_EQ(recorder_.messages, expected);
    EXPECT_EQ(service_->midiInClose(in), MMSYSERR_NOERROR);
}

TEST_F(JackMidi, OnlyCompleteShortMessagesFromPeersArePosted) {
    const struct {
        MidiBytes event;
        std::vector<std::uint32_t> posted;
    } rows[] = {
        {{0x90, 0x3C, 0x40}, {0x403C90}},
        {{0x90, 0x3C, 0x40, 0x3E, 0x41}, {0x403C90, 0x413E90}}, // running status
        {{0xC0, 0x05}, {0x05C0}},
        {{0xFE}, {0xFE}},
        {{0xF6}, {0xF6}},
        {{0x90, 0x3C, 0x40, 0xF6, 0x3E, 0x40}, {0x403C90, 0xF6}}, // F6 ends running status
        {{0x90, 0x3C, 0xF8, 0x40}, {0xF8, 0x403C90}},             // real-time byte inside a message
        {{0xF2, 0x01, 0x02, 0x03, 0x04}, {0x0201F2}}, // no running status for system common
        {{0x90, 0x3C}, {}},                           // cut short
        {{0x3C, 0x40}, {}},                           // no status
        {{0xF0, 0x01, 0x02, 0xF7}, {}},               // SysEx is never posted
        {{0xF0, 0x01, 0x90, 0x3C, 0x40}, {0x403C90}}, // an unfinished SysEx
        {{0x90, 0x80, 0x40}, {}},                     // status where data belongs
        {{0xF4, 0x01, 0x02}, {}},                     // undefined
        {{0xF9}, {}},
        {{0xFD}, {}},
    };
    const HMIDIIN in = OpenInput();
    ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
    std::vector<std::uint32_t> expected;
    for (const auto& row : rows) {
        peer_->Send(row.event);
        expected.insert(expected.end(), row.posted.begin(), row.posted.end());
    }
    peer_->Send(Unpack(kMarker, 3));
    expected.push_back(kMarker);
    ASSERT_TRUE(WaitFor(
        [&] { return !recorder_.messages.empty() && recorder_.messages.back() == kMarker; }));
    EXPECT_EQ(recorder_.messages, expected);
}

TEST_F(JackMidi, SysExGoesOutWholeBeforeItsCompletionOrNotAtAll) {
    // jackd2's MIDI port buffers take one event of at most 32,720 bytes.
    const struct {
        std::size_t size;
        MMRESULT result;
    } rows[] = {{32000, MMSYSERR_NOERROR},
                {32720, MMSYSERR_NOERROR},
                {32721, MMSYSERR_INVALPARAM},
                {40000, MMSYSERR_INVALPARAM}};
    const HMIDIOUT out = OpenOutput();
    // Kept to the end: a header the service wrongly took must not go while it holds it.
    std::deque<TestLongMessage> messages;
    for (const auto& row : rows) {
        peer_->Forget();
        recorder_.done.clear();
        TestLongMessage& message = messages.emplace_back(SysEx(row.size));
        std::vector<MidiBytes> receivedAtCompletion;
        recorder_.onDone = [&] { receivedAtCompletion = peer_->Received(); };
        ASSERT_EQ(SendLong(out, message), row.result) << row.size;
        if (row.result == MMSYSERR_NOERROR) {
            ASSERT_TRUE(WaitFor([&] { return !recorder_.done.empty(); }));
            EXPECT_EQ(recorder_.done, std::vector<MIDIHDR*>{&message.header});
            EXPECT_EQ(message.header.dwFlags, MHDR_PREPARED | MHDR_DONE);
            EXPECT_EQ(receivedAtCompletion, std::vector<MidiBytes>{message.bytes}) << row.size;
        } else {
            EXPECT_EQ(message.header.dwFlags, MHDR_PREPARED);
            EXPECT_EQ(ReceivedUpToMarker(out), std::vector<MidiBytes>{}) << row.size;
            EXPECT_TRUE(recorder_.done.empty());
        }
        EXPECT_EQ(service_->midiOutUnprepareHeader(out, &message.header), MMSYSERR_NOERROR);
    }
}

TEST_F(JackMidi, LongStreamsGoOutMessageByMessageOrNotAtAll) {
    const struct {
        MidiBytes stream;
        std::vector<MidiBytes> arrives; // nothing: refused
    } rows[] = {
        {{0x90, 0x3C, 0x40, 0x3E, 0x40, 0xF8, 0x40, 0x00},
         {{0x90, 0x3C, 0x40}, {0x90, 0x3E, 0x40}, {0xF8}, {0x90, 0x40, 0x00}}},
        {{0xF0, 0x7E, 0x01, 0xFA, 0x02, 0xF7}, {{0xFA}, {0xF0, 0x7E, 0x01, 0x02, 0xF7}}},
        {{0xF0, 0x01, 0xF7, 0xB0, 0x07, 0x64, 0x0A, 0x40, 0xF6},
         {{0xF0, 0x01, 0xF7}, {0xB0, 0x07, 0x64}, {0xB0, 0x0A, 0x40}, {0xF6}}},
        {{0xC0, 0x05}, {{0xC0, 0x05}}},
        {{0x90, 0x3C}, {}},                         // cut short
        {{0x3C, 0x40}, {}},                         // no status
        {{0xF0, 0x01, 0x02}, {}},                   // SysEx without its end
        {{0x90, 0x3C, 0x40, 0xF4}, {}},             // undefined status
        {{0xF0, 0x01, 0x90, 0x3C, 0x40, 0xF7}, {}}, // SysEx broken by a note
        {{0x90, 0x3C, 0x40, 0x80}, {}},             // a whole note, then half of one
    };
    const HMIDIOUT out = OpenOutput();
    std::deque<TestLongMessage> messages;
    std::vector<MidiBytes> expected;
    std::size_t accepted = 0;
    for (const auto& row : rows) {
        TestLongMessage& message = messages.emplace_back(row.stream);
        if (row.arrives.empty()) {
            EXPECT_EQ(SendLong(out, message), MMSYSERR_INVALPARAM);
            EXPECT_EQ(message.header.dwFlags, MHDR_PREPARED);
        } else {
            EXPECT_EQ(SendLong(out, message), MMSYSERR_NOERROR);
            ++accepted;
        }
        expected.insert(expected.end(), row.arrives.begin(), row.arrives.end());
    }
    ASSERT_TRUE(WaitFor([&] { return recorder_.done.size() == accepted; }));
    EXPECT_EQ(ReceivedUpToMarker(out), expected);
    QCoreApplication::processEvents();
    EXPECT_EQ(recorder_.done.size(), accepted);
}

TEST_F(JackMidi, FullQueueRefusesWithoutLosingAcceptedMessages) {
    const HMIDIOUT out = OpenOutput();
    std::deque<TestLongMessage> accepted;
    MMRESULT refusal = MMSYSERR_NOERROR;
    // One such message fills a port buffer, so they leave one per cycle while we queue faster.
    for (int i = 0; i < 1000 && refusal == MMSYSERR_NOERROR; ++i) {
        TestLongMessage& message =
            accepted.emplace_back(SysEx(32000, static_cast<std::uint8_t>(i)));
        refusal = SendLong(out, message);
        if (refusal != MMSYSERR_NOERROR) {
            EXPECT_EQ(message.header.dwFlags & MHDR_INQUEUE, 0u);
            accepted.pop_back();
        }
    }
    EXPECT_EQ(refusal, MMSYSERR_NOMEM);
    ASSERT_TRUE(WaitFor([&] { return recorder_.done.size() == accepted.size(); }));
    std::vector<MidiBytes> expected;
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        EXPECT_EQ(recorder_.done[i], &accepted[i].header);
        expected.push_back(accepted[i].bytes);
    }
    EXPECT_EQ(ReceivedUpToMarker(out), expected);
}

TEST_F(JackMidi, ResetCompletesQueuedLongMessagesOldestFirstAndOnlyOnce) {
    const HMIDIOUT out = OpenOutput();
    std::deque<TestLongMessage> messages;
    for (std::uint8_t i = 1; i <= 3; ++i) {
        messages.emplace_back(MidiBytes{0xF0, i, 0xF7});
        ASSERT_EQ(SendLong(out, messages.back()), MMSYSERR_NOERROR);
    }
    // They go out, but the service has not yet been told so.
    ASSERT_TRUE(WaitWithoutEvents([&] { return peer_->Received().size() == 3; }));
    LetPeerCyclesPass(3);
    EXPECT_EQ(service_->midiOutClose(out), MIDIERR_STILLPLAYING);
    EXPECT_EQ(service_->midiOutUnprepareHeader(out, &messages[0].header), MIDIERR_STILLPLAYING);
    EXPECT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);
    for (const TestLongMessage& message : messages)
        EXPECT_EQ(message.header.dwFlags, MHDR_PREPARED | MHDR_DONE);

    // The late news of the first three must neither complete them again nor the next one early.
    messages.emplace_back(SysEx(32000));
    std::size_t receivedAtLastCompletion = 0;
    recorder_.onDone = [&] { receivedAtLastCompletion = peer_->Received().size(); };
    ASSERT_EQ(SendLong(out, messages.back()), MMSYSERR_NOERROR);
    QCoreApplication::processEvents(); // the late news arrives before the SysEx can leave
    ASSERT_TRUE(WaitFor([&] { return recorder_.done.size() >= 4; }));
    LetPeerCyclesPass(4);
    QCoreApplication::processEvents();
    std::vector<MIDIHDR*> expected;
    for (TestLongMessage& message : messages)
        expected.push_back(&message.header);
    EXPECT_EQ(recorder_.done, expected);
    EXPECT_EQ(receivedAtLastCompletion, 4u);
    EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(JackMidi, ResetStopsLongMessagesThatHaveNotLeftYet) {
    const HMIDIOUT out = OpenOutput();
    // Each fills a port buffer of its own, so the last leaves eight cycles from now at best.
    std::deque<TestLongMessage> messages;
    for (std::uint8_t i = 0; i < 8; ++i) {
        messages.emplace_back(SysEx(32000, i));
        ASSERT_EQ(SendLong(out, messages.back()), MMSYSERR_NOERROR);
    }
    EXPECT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);

    const std::vector<MidiBytes> received = ReceivedUpToMarker(out);
    EXPECT_LT(received.size(), messages.size());
    for (std::size_t i = 0; i < received.size(); ++i)
        EXPECT_EQ(received[i], messages[i].bytes) << i;
    EXPECT_TRUE(WaitFor([&] { return recorder_.done.size() == messages.size(); }));
}

TEST_F(JackMidi, ResetSwitchesOffEveryNoteStillOnBeforeTheClose) {
    // The note-off of the note struck twice has a velocity, so the reset's own note-off for it
    // is not taken for an xrun's repeat.
    const std::uint32_t sent[] = {
        0x403C90,                     // channel 1 note 60 on
        0x403E91, 0x003E81,           // on and off
        0x404092, 0x004092,           // on, then off as a note-on without velocity
        0x404193, 0x404193, 0x404183, // twice on, once off: still on
    };
    const HMIDIOUT out = OpenOutput();
    std::vector<MidiBytes> expected;
    for (const std::uint32_t message : sent) {
        ASSERT_EQ(service_->midiOutShortMsg(out, message), MMSYSERR_NOERROR);
        expected.push_back(Unpack(message, 3));
    }
    TestLongMessage longNote(MidiBytes{0x95, 0x45, 0x40});
    ASSERT_EQ(SendLong(out, longNote), MMSYSERR_NOERROR);
    expected.push_back(longNote.bytes);
    ASSERT_TRUE(WaitFor([&] { return recorder_.done.size() == 1; }));

    EXPECT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
    for (const MidiBytes& off :
         {MidiBytes{0x80, 0x3C, 0}, MidiBytes{0x83, 0x41, 0}, MidiBytes{0x85, 0x45, 0}})
        expected.push_back(off);
    ASSERT_TRUE(WaitFor([&] { return peer_->Received().size() >= expected.size(); }));
    EXPECT_EQ(peer_->ReceivedLessXrunRepeats(), expected);
}

TEST_F(JackMidi, VanishedPeerMakesLaterCallsFailWithoutHarm) {
    std::deque<TestLongMessage> refused;
    service_->midiSetDeviceWatcher(&recorder_);
    for (const bool quits : {true, false}) {
        SCOPED_TRACE(quits ? "the peer quits" : "the peer removes its ports");
        std::string whyNot;
        auto gone = JackPeer::Open("gone", whyNot);
        ASSERT_TRUE(gone) << whyNot;
        const HMIDIOUT out = OpenOutput("gone:in");
        const HMIDIIN in = OpenInput("gone:out");
        ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
        ASSERT_EQ(service_->midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);

        recorder_.devicesChanged = 0;
        quits ? gone->Close() : gone->RemovePorts();
        ASSERT_TRUE(WaitFor([&] { return recorder_.devicesChanged > 0; }, 1000));
        // The ports go one after the other.
        ASSERT_TRUE(WaitFor([&] {
            return Find(true, "gone:in") == INT_MIN && Find(false, "gone:out") == INT_MIN;
        }));
        EXPECT_TRUE(WaitFor([&] {
            return service_->midiOutGetStatus(out) == MIDIERR_NODEVICE &&
                   service_->midiInGetStatus(in) == MIDIERR_NODEVICE;
        }));
        // JACK drops a vanished port from its list a moment before it drops the port's
        // connections; from then on nothing goes out.
        ASSERT_TRUE(WaitFor([&] { return service_->midiOutShortMsg(out, 0xF8) != 0; }));
        // Only the end of the note that went out is still taken: a port may just look cut off.
        EXPECT_NE(service_->midiOutShortMsg(out, 0x403E90), MMSYSERR_NOERROR);
        EXPECT_EQ(service_->midiOutShortMsg(out, 0x003C80), MMSYSERR_NOERROR);
        EXPECT_NE(service_->midiOutShortMsg(out, 0x003C80), MMSYSERR_NOERROR); // ended now
        TestLongMessage& message = refused.emplace_back(MidiBytes{0xF0, 0x01, 0xF7});
        EXPECT_NE(SendLong(out, message), MMSYSERR_NOERROR);
        EXPECT_EQ(message.header.dwFlags & MHDR_INQUEUE, 0u);
        EXPECT_NE(service_->midiInStart(in), MMSYSERR_NOERROR);
        service_->midiOutReset(out);
        EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
        EXPECT_EQ(service_->midiInStop(in), MMSYSERR_NOERROR);
        EXPECT_EQ(service_->midiInClose(in), MMSYSERR_NOERROR);
    }
    // Everything else carries on.
    EXPECT_EQ(ReceivedUpToMarker(OpenOutput()), std::vector<MidiBytes>{});
}

TEST_F(JackMidi, StoppedServerLeavesAServiceThatRefusesEverything) {
    const HMIDIOUT out = OpenOutput();
    const HMIDIOUT mapper = OpenOutput("");
    const HMIDIIN in = OpenInput();
    ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
    TestLongMessage inFlight(SysEx(30000));
    ASSERT_EQ(SendLong(out, inFlight), MMSYSERR_NOERROR);

    // Caught by the stop while still connecting, it must neither hang its close nor the
    // service's end.
    HMIDIIN connecting = 0;
    ASSERT_EQ(service_->midiInOpen(connecting, Find(false, "peer:out"), &recorder_), 0u);
    service_->midiSetDeviceWatcher(&recorder_);
    EXPECT_TRUE(service_->midiSystemRunning());
    server_.Stop();
    ASSERT_TRUE(WaitFor([&] { return service_->midiOutShortMsg(mapper, 0xF8) != 0; }));
    EXPECT_FALSE(service_->midiSystemRunning());
    EXPECT_TRUE(WaitFor([&] { return recorder_.devicesChanged > 0; }));
    for (const MMRESULT status :
         {service_->midiOutGetStatus(out), service_->midiOutGetStatus(mapper),
          service_->midiInGetStatus(in)})
        EXPECT_EQ(status, MMSYSERR_NODRIVER);
    // Whether it went out before the server stopped or not, its header comes back.
    ASSERT_TRUE(WaitFor([&] { return recorder_.done.size() == 1; }));
    EXPECT_EQ(inFlight.header.dwFlags, MHDR_PREPARED | MHDR_DONE);

    EXPECT_NE(service_->midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
    TestLongMessage late(MidiBytes{0xF0, 0x01, 0xF7});
    EXPECT_NE(SendLong(out, late), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutGetNumDevs(), 0);
    EXPECT_EQ(service_->midiInGetNumDevs(), 0);
    HMIDIOUT again = 0;
    EXPECT_NE(service_->midiOutOpen(again, MIDI_MAPPER, &recorder_), MMSYSERR_NOERROR);
    service_->midiOutReset(out);
    EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiOutClose(mapper), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiInStop(in), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiInClose(in), MMSYSERR_NOERROR);
    EXPECT_EQ(service_->midiInClose(connecting), MMSYSERR_NOERROR);
}

// The client of a service closed while its server hangs is left to JACK. It leaves once the
// server answers again, and what its callbacks may still reach is kept, not lost: the leak
// checker at the end of this program tells.
TEST_F(JackMidi, ClosingWhileTheServerHangsReturnsAndLeavesNothingBehind) {
    const HMIDIOUT out = OpenOutput();
    EXPECT_EQ(service_->midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
    server_.Pause(true);
    QElapsedTimer timer;
    timer.start();
    service_.reset();
    EXPECT_LT(timer.elapsed(), 5000);
    server_.Pause(false);
    EXPECT_TRUE(WaitFor(
        [&] { return jack_port_by_name(peer_->Client(), "klavio-test:device_out") == nullptr; }));
}

TEST_F(JackMidi, HungServerNeverHoldsTheCallerAndWhatWasSentArrivesOnceItAnswers) {
    const HMIDIOUT out = OpenOutput();
    const int device = Find(true, "peer:in");
    server_.Pause(true);
    std::vector<HMIDIOUT> waiting;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        HMIDIOUT other = 0;
        EXPECT_EQ(service_->midiOutOpen(other, device, &recorder_), MMSYSERR_NOERROR);
        EXPECT_EQ(service_->midiOutShortMsg(other, 0x403C90 + (attempt << 8)), MMSYSERR_NOERROR);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(16));
        EXPECT_EQ(service_->midiOutGetStatus(other), MIDIERR_NOTREADY);
        waiting.push_back(other);
    }
    QElapsedTimer timer;
    timer.start();
    service_->midiOutReset(out);
    EXPECT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
    EXPECT_LT(timer.elapsed(), 16);
    QTest::qWait(200);

    server_.Pause(false);
    for (const HMIDIOUT other : waiting)
        EXPECT_TRUE(WaitFor([&] { return service_->midiOutGetStatus(other) == 0; }));
    // Each port's note arrives; ports linked in the same cycle may interleave.
    ASSERT_TRUE(WaitFor([&] { return peer_->Received().size() >= 3; }));
    std::vector<MidiBytes> received = peer_->Received();
    std::sort(received.begin(), received.end());
    const std::vector<MidiBytes> expected = {
        {0x90, 0x3C, 0x40}, {0x90, 0x3D, 0x40}, {0x90, 0x3E, 0x40}};
    EXPECT_EQ(received, expected);
}

TEST_F(JackMidi, OpeningAndClosingNeverHoldTheWindowAndNotesSentAtOnceArriveInOrder) {
    using Clock = std::chrono::steady_clock;
    const int device = Find(true, "peer:in");
    std::vector<MidiBytes> expected;
    Clock::duration longest{};
    for (std::uint8_t i = 0; i < 10; ++i) {
        auto start = Clock::now();
        HMIDIOUT out = 0;
        ASSERT_EQ(service_->midiOutOpen(out, device, &recorder_), MMSYSERR_NOERROR);
        longest = std::max(longest, Clock::now() - start);
        for (const std::uint32_t message : {0x403C90u + (i << 8), 0x003C80u + (i << 8)}) {
            ASSERT_EQ(service_->midiOutShortMsg(out, message), MMSYSERR_NOERROR);
            expected.push_back(Unpack(message, 3));
        }
        // The note-off a reset before the close queues goes out too, after what came before.
        ASSERT_EQ(service_->midiOutShortMsg(out, 0x404090u), MMSYSERR_NOERROR);
        expected.push_back(Unpack(0x404090u, 3));
        ASSERT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);
        expected.push_back({0x80, 0x40, 0x00});
        start = Clock::now();
        ASSERT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
        longest = std::max(longest, Clock::now() - start);
        // Only a moment for the window to breathe: the next port opens while this one leaves.
        QCoreApplication::processEvents();
    }
    EXPECT_LT(longest, std::chrono::milliseconds(16));
    ASSERT_TRUE(WaitFor([&] { return peer_->Received().size() >= expected.size(); }));
    EXPECT_EQ(peer_->ReceivedLessXrunRepeats(), expected);
}

// A note-off goes out once: without a cycle the server reported lost, nothing is repeated.
TEST_F(JackMidi, ANoteOffGoesOutOnceWithoutAnXrun) {
    const HMIDIOUT out = OpenOutput();
    ASSERT_EQ(service_->midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
    ASSERT_EQ(service_->midiOutShortMsg(out, 0x003C80), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return peer_->Received().size() >= 2; }));
    LetPeerCyclesPass(40);
    const std::vector<MidiBytes> sent = {{0x90, 0x3C, 0x40}, {0x80, 0x3C, 0x00}};
    if (peer_->Xruns() == 0)
        EXPECT_EQ(peer_->Received(), sent);
    else // an xrun may repeat the note-off once
        EXPECT_LE(peer_->Received().size(), 3u);
}

// Each device choice: what the port is sent from the moment it opens, while it still connects,
// reaches the peer once and exactly, with nothing after it. Each case takes the port name the
// case before gave up, as choosing another device does.
TEST_F(JackMidi, EachDeviceChoiceDeliversExactlyWhatItWasSentFromTheFirstMessage) {
    // Played as three-byte short messages and a reset, as when the device changes, or as one
    // long message; what arrives is what was played and then the reset's note-offs.
    const struct {
        const char* what;
        bool stream;
        MidiBytes played;
        MidiBytes resetSends;
    } rows[] = {
        {"click on A0", false, {0x90, 0x15, 0x65, 0x80, 0x15, 0}, {}},
        {"glissando",
         false,
         {0x90, 60, 64, 0x90, 62, 64, 0x80, 60, 0, 0x90, 64, 64, 0x80, 62, 0},
         {0x80, 64, 0}},
        {"drag out", false, {0x90, 60, 64}, {0x80, 60, 0}},
        {"free command of two messages", true, {0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00}, {}},
        {"reset", false, {0x90, 60, 64, 0x91, 62, 64, 0xB0, 7, 127}, {0x80, 60, 0, 0x81, 62, 0}},
    };
    const auto messages = [](const MidiBytes& bytes) {
        std::vector<MidiBytes> split;
        for (std::size_t i = 0; i + 2 < bytes.size(); i += 3)
            split.emplace_back(bytes.begin() + i, bytes.begin() + i + 3);
        return split;
    };
    const int device = Find(true, "peer:in");
    std::deque<TestLongMessage> streams;
    for (const auto& row : rows) {
        peer_->Forget();
        const std::uint64_t cycles = peer_->Cycles();
        QElapsedTimer clock;
        clock.start();
        HMIDIOUT out = 0;
        ASSERT_EQ(service_->midiOutOpen(out, device, &recorder_), MMSYSERR_NOERROR);
        for (std::size_t i = 0; !row.stream && i + 2 < row.played.size(); i += 3) {
            const auto& b = row.played;
            ASSERT_EQ(service_->midiOutShortMsg(out, b[i] | b[i + 1] << 8 | b[i + 2] << 16), 0u);
        }
        const MMRESULT sent = row.stream ? SendLong(out, streams.emplace_back(row.played))
                                         : service_->midiOutReset(out);
        EXPECT_EQ(sent, MMSYSERR_NOERROR) << row.what;
        std::vector<MidiBytes> arrives = messages(row.played);
        for (const MidiBytes& noteOff : messages(row.resetSends))
            arrives.push_back(noteOff);
        ASSERT_TRUE(WaitFor([&] { return !peer_->Received().empty(); })) << row.what;
        std::printf("%s: the first message arrived %lld ms (%llu cycles) after the choice\n",
                    row.what, static_cast<long long>(clock.elapsed()),
                    static_cast<unsigned long long>(peer_->Cycles() - cycles));
        ASSERT_TRUE(WaitFor([&] { return peer_->Received().size() >= arrives.size(); }));
        LetPeerCyclesPass(20);
        EXPECT_EQ(peer_->ReceivedLessXrunRepeats(), arrives) << row.what;
        EXPECT_TRUE(WaitFor([&] { return service_->midiOutClose(out) == MMSYSERR_NOERROR; }));
    }
}

// Ports opened, played and closed over and over while every core is busy: cycles come late and
// the graph changes each time. Rounds take the port's name in turn, so they reach the peer one
// after another and the record splits into rounds by channel; a round no reported xrun came
// near arrives exactly, and none leaves a note sounding.
TEST_F(JackMidi, ChurnOfPortsDeliversExactlyWhereNoXrunWasReported) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(0, 12);
    const int device = Find(true, "peer:in");
    constexpr std::uint32_t kRounds = 24;
    std::vector<std::vector<MidiBytes>> expected(kRounds);
    {
        const BusyCores busy;
        for (std::uint32_t round = 0; round < kRounds; ++round) {
            HMIDIOUT out = 0;
            ASSERT_EQ(service_->midiOutOpen(out, device, &recorder_), MMSYSERR_NOERROR);
            for (std::uint32_t note = 0x30; note < 0x33; ++note) {
                // A note-on of velocity 64, then its note-off, on the round's channel.
                for (const std::uint32_t status : {0x400090u, 0x000080u}) {
                    QTest::qWait(pause(random));
                    const std::uint32_t message = status | note << 8 | (round & 15);
                    ASSERT_EQ(service_->midiOutShortMsg(out, message), MMSYSERR_NOERROR);
                    expected[round].push_back(Unpack(message, 3));
                }
            }
            ASSERT_EQ(service_->midiOutReset(out), MMSYSERR_NOERROR);
            ASSERT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
        }
        service_.reset(); // sends what every closed port still holds
    }
    LetPeerCyclesPass(20);
    const std::vector<MidiBytes> received = peer_->Received();
    const std::vector<std::uint64_t>& cycles = peer_->CyclesAtReceipt();
    std::vector<std::size_t> starts(kRounds + 2); // where each round's record begins
    for (std::size_t round = 0, at = 0; round < starts.size(); ++round) {
        starts[round] = at;
        while (at < received.size() && (received[at][0] & 0x0F) == (round & 15))
            ++at;
    }
    EXPECT_EQ(starts[kRounds], received.size()) << "events out of their round's order";
    const auto xrunsAt = [&](std::size_t at) { // when event at arrived; after the last: now
        return at < received.size() ? peer_->XrunsHeardBy(cycles[at]) : peer_->Xruns();
    };
    std::map<int, int> sounding; // by channel and note
    int excused = 0;
    for (std::uint32_t round = 0; round < kRounds; ++round) {
        const std::vector<MidiBytes> got(received.begin() + starts[round],
                                         received.begin() + starts[round + 1]);
        for (const MidiBytes& event : got)
            sounding[(event[0] & 0x0F) * 128 + event[1]] += event[0] >= 0x90 ? 1 : -1;
        // Reports come a little late: one heard by the end of the next round counts.
        if ((starts[round] == 0 ? 0 : xrunsAt(starts[round] - 1)) != xrunsAt(starts[round + 2])) {
            ++excused; // only a note-off may come twice, repeated after the report
            EXPECT_LE(std::count_if(got.begin(), got.end(), [](auto& e) { return e[0] >= 0x90; }),
                      3);
        } else {
            EXPECT_EQ(got, expected[round]) << "round " << round << ", seed " << seed;
        }
    }
    std::printf("busy machine: %zu of %u messages arrived, %llu xruns seen by the peer, %d of %u "
                "rounds near one\n",
                received.size(), kRounds * 6, static_cast<unsigned long long>(peer_->Xruns()),
                excused, kRounds);
    for (const auto& [key, count] : sounding)
        EXPECT_LE(count, 0) << "channel " << key / 128 + 1 << ", note " << key % 128
                            << " (random pauses from seed " << seed << ")";
}

TEST_F(JackMidi, WatcherHearsOfAPeerPortWithinASecond) {
    service_->midiSetDeviceWatcher(&recorder_);
    const int before = service_->midiOutGetNumDevs();
    std::string whyNot;
    const auto late = JackPeer::Open("late", whyNot);
    ASSERT_TRUE(late) << whyNot;
    EXPECT_TRUE(WaitFor([&] { return recorder_.devicesChanged > 0; }, 1000));
    EXPECT_EQ(service_->midiOutGetNumDevs(), before + 1);
    EXPECT_NE(Find(true, "late:in"), INT_MIN);
    service_->midiSetDeviceWatcher(nullptr);
    QCoreApplication::processEvents(); // what was posted before
    recorder_.devicesChanged = 0;
    late->Close();
    ASSERT_TRUE(WaitFor([&] { return Find(true, "late:in") == INT_MIN; }));
    QTest::qWait(50);
    EXPECT_EQ(recorder_.devicesChanged, 0);
}

// With no port the client only listens, out of the server's cycles: nothing wakes it while the
// window is idle. Its first port puts it back in, before the port can send; closing the last
// takes it out again, and it still hears of peers and plays when a port opens anew.
TEST_F(JackMidi, TheClientCyclesOnlyWhileItHasAPort) {
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
    };
    service_->midiSetDeviceWatcher(&recorder_);
    for (int round = 0; round < 2; ++round) {
        const HMIDIOUT out = OpenOutput();
        EXPECT_EQ(ReceivedUpToMarker(out), std::vector<MidiBytes>{}) << "round " << round;
        const auto cycling = threads();
        ASSERT_EQ(service_->midiOutClose(out), MMSYSERR_NOERROR);
        // jackd runs a client's process callback on a thread of its own, for as long as it
        // cycles; PipeWire's data thread stays.
        if (!JackTestsOnPipeWire()) {
            EXPECT_TRUE(WaitFor([&] { return threads() == cycling - 1; })) << "round " << round;
        }
        QTest::qWait(100);
        recorder_.devicesChanged = 0;
        std::string whyNot;
        const auto late = JackPeer::Open("late", whyNot);
        ASSERT_TRUE(late) << whyNot;
        EXPECT_TRUE(WaitFor([&] { return recorder_.devicesChanged > 0; }, 1000));
        EXPECT_NE(Find(true, "late:in"), INT_MIN);
        peer_->Forget();
    }
}

TEST_F(JackMidi, FloodOfPeerNotesArrivesWholeAndInOrder) {
    constexpr std::uint32_t kCount = 100000;
    const HMIDIIN in = OpenInput();
    ASSERT_EQ(service_->midiInStart(in), MMSYSERR_NOERROR);
    QElapsedTimer clock;
    clock.start();
    peer_->Flood(kCount);
    ASSERT_TRUE(WaitFor([&] { return recorder_.messages.size() >= kCount; }, 20000))
        << recorder_.messages.size() << " arrived";
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    std::printf("flood: %u messages in %.3f s, %.0f per second\n", kCount, seconds,
                kCount / seconds);

    LetPeerCyclesPass(4);
    QCoreApplication::processEvents();
    ASSERT_EQ(recorder_.messages.size(), kCount);
    std::set<std::uint32_t> sounding;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(recorder_.messages[i], JackPeer::FloodMessage(i)) << "message " << i;
        const std::uint32_t key = recorder_.messages[i] & 0xFF0F;
        if ((recorder_.messages[i] & 0xF0) == 0x90)
            sounding.insert(key);
        else
            sounding.erase(key);
    }
    EXPECT_TRUE(sounding.empty());
}

} // namespace
