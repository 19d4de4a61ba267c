// The built-in synthesizer playing into a private JACK server, the server going away under it,
// and the next one.

#include "platform/linux/synth/synth_midi_service.h"
#include "tests/fakes/fake_midi_service.h"
#include "tests/integration/jack_gtest.h"
#include "tests/integration/midi_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

namespace {

// The playback ports the synthesizer's audio ports feed.
std::vector<std::string> Destinations(jack_client_t* client) {
    std::vector<std::string> found;
    const char** ours =
        jack_get_ports(client, "klavio-test-synth:", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (const char** port = ours; ours != nullptr && *port != nullptr; ++port) {
        const char** peers =
            jack_port_get_all_connections(client, jack_port_by_name(client, *port));
        for (const char** peer = peers; peers != nullptr && *peer != nullptr; ++peer)
            found.emplace_back(*peer);
        jack_free(peers);
    }
    jack_free(ours);
    return found;
}

TEST(JackSynth, PlaysIntoThePlaybackPortsOutlivesTheServerAndPlaysInTheNextOne) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    auto peer = JackPeer::Open("peer", whyNot);
    ASSERT_TRUE(peer) << whyNot;
    std::ostringstream log;
    auto system = std::make_unique<FakeMidiService>();
    FakeMidiService* midi = system.get();
    const auto jack = [] { return std::vector<std::string>{"jack"}; };
    SynthMidiService service(std::move(system), {"", jack, "klavio-test", FileExists}, log);
    MidiEventRecorder recorder;
    HMIDIOUT synth = 0;
    ASSERT_EQ(service.midiOutOpen(synth, MIDI_MAPPER, &recorder), MMSYSERR_NOERROR) << log.str();
    EXPECT_NE(log.str().find("through jack"), std::string::npos) << log.str();
    EXPECT_EQ(Destinations(peer->Client()),
              (std::vector<std::string>{"system:playback_1", "system:playback_2"}));
    ASSERT_TRUE(service.Engine()->WaitUntilLoaded(std::chrono::seconds(60)));
    EXPECT_EQ(service.midiOutShortMsg(synth, 0x643C90), MMSYSERR_NOERROR);

    EXPECT_EQ(service.midiOutGetStatus(synth), MMSYSERR_NOERROR);

    peer.reset();
    server.Stop();
    midi->systemRunning = false;
    // The window learns that the synthesizer is gone with the server. Nothing plays any more,
    // but nothing crashes or waits for the lost server either.
    EXPECT_EQ(service.midiOutGetStatus(synth), MMSYSERR_NODRIVER);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(service.midiOutShortMsg(synth, 0x643E90), MMSYSERR_NOERROR);
    EXPECT_EQ(service.midiOutReset(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(service.midiOutClose(synth), MMSYSERR_NOERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

    // Opened again once a server is back, it plays there.
    ASSERT_TRUE(StartJackForTest(server));
    midi->systemRunning = true;
    log.str("");
    ASSERT_EQ(service.midiOutOpen(synth, MIDI_MAPPER, &recorder), MMSYSERR_NOERROR) << log.str();
    EXPECT_NE(log.str().find("through jack"), std::string::npos) << log.str();
    EXPECT_EQ(service.midiOutGetStatus(synth), MMSYSERR_NOERROR);
    EXPECT_EQ(service.midiOutClose(synth), MMSYSERR_NOERROR);
}

} // namespace
