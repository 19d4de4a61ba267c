// JACK servers started and stopped under the program: the MIDI service takes one started after
// it, lets go of it when it stops and takes the next, by itself, as the program uses it (a probe
// off the GUI thread, a retry every second).

#include "platform/linux/jack/jack_client.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "platform/linux/midi/reconnecting_midi_service.h"
#include "tests/integration/jack_gtest.h"
#include "tests/integration/midi_test_support.h"

#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

const char* const kReconnectingClient = "klavio-test";

TEST(JackReconnect, AServerStartedLaterOrAgainIsTakenAndOneStoppedIsLetGo) {
    // No server answers to this name; the test's servers take names of their own.
    ::setenv("JACK_DEFAULT_SERVER", "klavio-test-none", 1);
    std::ostringstream log;
    MidiSystemOpener opener;
    opener.probe = [] { return JackServerAnswers(kReconnectingClient); };
    opener.open = [](std::string& whyNot) {
        return OpenJackMidiService(kReconnectingClient, whyNot);
    };
    ReconnectingMidiService service(std::move(opener), kReconnectingClient, log);
    MidiEventRecorder recorder;
    service.midiSetDeviceWatcher(&recorder);
    EXPECT_FALSE(service.midiSystemRunning());

    JackTestServer server;
    HMIDIOUT previous = 0;
    for (const char* round : {"started later", "started again"}) {
        if (!StartJackForTest(server))
            return;
        QElapsedTimer clock;
        clock.start();
        const int eventsBefore = recorder.devicesChanged;
        EXPECT_TRUE(QTest::qWaitFor([&] { return service.midiSystemRunning(); }, 2500)) << round;
        const qint64 taken = clock.elapsed();
        QTest::qWait(50);
        EXPECT_GT(recorder.devicesChanged, eventsBefore) << round;

        std::string whyNot;
        auto peer = JackPeer::Open("peer", whyNot);
        ASSERT_TRUE(peer) << whyNot;
        // PipeWire lists a new port a moment after it opens.
        int device = INT_MIN;
        const auto listed = [&] { return (device = DeviceIndex(service, true, "peer:in")) >= 0; };
        ASSERT_TRUE(QTest::qWaitFor(listed)) << round << ": peer:in is not listed";
        HMIDIOUT out = 0;
        EXPECT_EQ(service.midiOutOpen(out, device, &recorder), MMSYSERR_NOERROR);
        ASSERT_NE(out, 0u) << round;
        EXPECT_NE(out, previous);
        previous = out;
        // The first click arrives whole, once, though it is played while the port connects.
        EXPECT_EQ(service.midiOutShortMsg(out, 0x401590), MMSYSERR_NOERROR);
        EXPECT_EQ(service.midiOutShortMsg(out, 0x001580), MMSYSERR_NOERROR);
        EXPECT_TRUE(QTest::qWaitFor([&] { return peer->Received().size() >= 2; }, 5000)) << round;
        QTest::qWait(100);
        EXPECT_EQ(peer->ReceivedLessXrunRepeats(),
                  (std::vector<MidiBytes>{{0x90, 0x15, 0x40}, {0x80, 0x15, 0}}))
            << round;

        peer.reset();
        clock.restart();
        server.Stop();
        // Keys played meanwhile find the port dead, which the service takes as the system gone
        // even from a backend that does not say so by itself.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                service.midiOutShortMsg(out, 0x401580);
                return !service.midiSystemRunning();
            },
            2000))
            << round;
        const qint64 noticed = clock.elapsed();
        EXPECT_EQ(service.midiOutGetStatus(out), MMSYSERR_NODRIVER);
        EXPECT_EQ(service.midiOutGetNumDevs(), 0);
        clock.restart();
        EXPECT_EQ(service.midiOutClose(out), MMSYSERR_NOERROR); // lets the old client go
        std::printf("%s: taken %lld ms after the server answered, its end noticed %lld ms after "
                    "it was stopped, the old client let go in %lld ms\n",
                    round, static_cast<long long>(taken), static_cast<long long>(noticed),
                    static_cast<long long>(clock.elapsed()));
    }
}

// The server stops while a note is held, and the program looks for the next one at once. Each
// run must end cleanly: libjack frees every client of the process when a new one opens while one
// of the stopped server's is still open, so a later close would use freed memory.
TEST(JackReconnect, AServerStoppingUnderAHeldNoteNeverLeavesAClientToBeFreedTwice) {
    for (int run = 0; run < 50; ++run) {
        JackTestServer server;
        if (!StartJackForTest(server))
            return;
        std::ostringstream log;
        MidiSystemOpener opener;
        opener.probe = [] { return JackServerAnswers(kReconnectingClient); };
        opener.open = [](std::string& whyNot) {
            return OpenJackMidiService(kReconnectingClient, whyNot);
        };
        auto service = std::make_unique<ReconnectingMidiService>(
            std::move(opener), kReconnectingClient, log, std::chrono::milliseconds(5));
        std::string whyNot;
        auto peer = JackPeer::Open("peer", whyNot);
        ASSERT_TRUE(peer) << whyNot;
        HMIDIOUT out = 0;
        ASSERT_EQ(service->midiOutOpen(out, DeviceIndex(*service, true, "peer:in"), nullptr), 0u);
        EXPECT_EQ(service->midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !peer->Received().empty(); }, 5000)) << run;
        peer.reset(); // the test's own client must not be the one freed
        server.Stop();
        // Probes for the next server run while the port, and with it the old client, stays.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !service->midiSystemRunning(); }, 2000)) << run;
        QTest::qWait(40);
        service->midiOutReset(out);
        EXPECT_EQ(service->midiOutClose(out), MMSYSERR_NOERROR) << run;
        service.reset();
    }
}

// The program joins the server while its window is made: the first join of that name takes this
// very client, a probe of another name leaves it alone, and one nobody takes leaves the server.
TEST(JackReconnect, AClientJoinedAheadIsTakenByItsNameAndOneNotTakenLeaves) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    auto peer = JackPeer::Open("peer", whyNot);
    ASSERT_TRUE(peer) << whyNot;
    const auto joined = [&](const char* name) {
        EXPECT_TRUE(JackClientsSettledWithin(std::chrono::seconds(5)));
        char* uuid = jack_get_uuid_for_client_name(peer->Client(), name);
        jack_free(uuid);
        return uuid != nullptr;
    };

    JoinJackServerAhead("klavio-ahead");
    EXPECT_TRUE(JackServerAnswers("klavio-probe"));
    EXPECT_TRUE(joined("klavio-ahead"));
    jack_client_t* client = JoinJackServer("klavio-ahead", whyNot);
    ASSERT_NE(client, nullptr) << whyNot;
    EXPECT_STREQ(jack_get_client_name(client), "klavio-ahead"); // not a second one, renamed
    ForgetJackServerAhead();
    EXPECT_TRUE(joined("klavio-ahead")) << "the client taken was closed";
    EXPECT_TRUE(LeaveJackServerWithin(client, std::chrono::seconds(5)));

    JoinJackServerAhead("klavio-unused");
    EXPECT_TRUE(joined("klavio-unused"));
    ForgetJackServerAhead();
    EXPECT_FALSE(joined("klavio-unused"));
}

} // namespace
