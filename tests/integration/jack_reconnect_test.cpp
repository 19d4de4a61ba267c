// A JACK server stopped and started again under the program: the MIDI service lets go of the
// old one and takes the new one by itself, as the program uses it (probe off the GUI thread,
// a retry every second).

#include "platform/linux/jack_client.h"
#include "platform/linux/jack_midi_service.h"
#include "platform/linux/reconnecting_midi_service.h"
#include "tests/integration/jack_gtest.h"
#include "tests/integration/midi_test_support.h"

#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace {

const char* const kClient = "klavio-test";

TEST(JackReconnect, AServerStoppedAndStartedAgainIsLetGoAndTakenAgain) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::ostringstream log;
    MidiSystemOpener opener;
    opener.probe = [] { return JackServerAnswers(kClient); };
    opener.open = [](std::string& whyNot) { return OpenJackMidiService(kClient, whyNot); };
    ReconnectingMidiService service(std::move(opener), kClient, log);
    MidiEventRecorder recorder;
    service.midiSetDeviceWatcher(&recorder);

    // Opens a port to the peer and plays a note on it; returns the port.
    const auto playToPeer = [&](JackPeer& peer) {
        HMIDIOUT out = 0;
        const int count = service.midiOutGetNumDevs();
        for (int device = 0; device < count && out == 0; ++device) {
            std::string name;
            if (service.midiOutGetDevCaps(device, name) == MMSYSERR_NOERROR && name == "peer:in") {
                EXPECT_EQ(service.midiOutOpen(out, device, &recorder), MMSYSERR_NOERROR);
            }
        }
        EXPECT_NE(out, 0u) << "peer:in is not listed";
        EXPECT_EQ(service.midiOutShortMsg(out, 0x403C90), MMSYSERR_NOERROR);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !peer.Received().empty(); }, 5000));
        return out;
    };
    std::string whyNot;
    auto peer = JackPeer::Open("peer", whyNot);
    ASSERT_TRUE(peer) << whyNot;
    ASSERT_TRUE(service.midiSystemRunning());
    const HMIDIOUT old = playToPeer(*peer);

    peer.reset();
    server.Stop();
    QElapsedTimer clock;
    clock.start();
    // Keys played meanwhile find the port dead, which the service takes as the system gone
    // even from a backend that does not say so by itself.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            service.midiOutShortMsg(old, 0x403C80);
            return !service.midiSystemRunning();
        },
        2000));
    const qint64 noticed = clock.elapsed();
    EXPECT_EQ(service.midiOutGetStatus(old), MMSYSERR_NODRIVER);
    EXPECT_EQ(service.midiOutGetNumDevs(), 0);
    clock.restart();
    EXPECT_EQ(service.midiOutClose(old), MMSYSERR_NOERROR); // lets the old client go
    const qint64 letGo = clock.elapsed();

    ASSERT_TRUE(StartJackForTest(server));
    clock.restart();
    const int eventsBefore = recorder.devicesChanged;
    EXPECT_TRUE(QTest::qWaitFor([&] { return service.midiSystemRunning(); }, 2500));
    const qint64 taken = clock.elapsed();
    QTest::qWait(50);
    EXPECT_GT(recorder.devicesChanged, eventsBefore);
    peer = JackPeer::Open("peer", whyNot);
    ASSERT_TRUE(peer) << whyNot;
    const HMIDIOUT fresh = playToPeer(*peer);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(service.midiOutClose(fresh), MMSYSERR_NOERROR);
    std::printf("server gone noticed in %lld ms, old client let go in %lld ms, new server "
                "taken %lld ms after it answered\n",
                static_cast<long long>(noticed), static_cast<long long>(letGo),
                static_cast<long long>(taken));
    peer.reset();
}

} // namespace
