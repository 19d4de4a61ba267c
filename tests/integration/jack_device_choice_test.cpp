// The window's device lists with the JACK service: an item opens the port it names, also after
// another client has left the server since the lists were filled.

#include "tests/app/form_helpers.h"
#include "tests/integration/jack_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

bool Connected(JackPeer& peer, const char* port) {
    return Eventually([&] {
        jack_port_t* in = jack_port_by_name(peer.Client(), port);
        return in != nullptr && jack_port_connected(in) > 0;
    });
}

TEST(JackDeviceChoice, AnItemOpensTheDeviceItNamesAfterAnotherLeft) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    const std::unique_ptr<JackPeer> early = JackPeer::Open("early", whyNot);
    ASSERT_TRUE(early) << whyNot;
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    ASSERT_TRUE(synth) << whyNot;
    const std::unique_ptr<MidiService> jack = OpenJackMidiService("klavio-choice", whyNot);
    ASSERT_TRUE(jack) << whyNot;

    FakePlatform platform;
    TklavioForm form(platform.ServicesWith(*jack));
    ShowForm(form);
    QComboBox* outputs = form.MidiOutDevComboBox;
    const int earlyItem = outputs->findText("early:in");
    const int synthItem = outputs->findText("synth:in");
    ASSERT_TRUE(earlyItem >= 2 && synthItem >= 2);

    // The stale item, chosen before the list took in that early left.
    early->Close();
    outputs->setCurrentIndex(earlyItem);
    form.MidiOutDevComboBoxChange();
    EXPECT_EQ(outputs->currentIndex(), 0);
    EXPECT_FALSE(form.VMidiKeys1->MidiOutEnabled());

    // The list has caught up; synth:in has moved up by one and opens from its new place.
    outputs->setCurrentIndex(outputs->findText("synth:in"));
    form.MidiOutDevComboBoxChange();
    EXPECT_EQ(outputs->currentText(), "synth:in");
    EXPECT_TRUE(Connected(*synth, "synth:in"));
}

// Opening and closing ports waits for no answer from the server on the window's thread: choosing
// a device never holds the window up for a frame (16 ms).
TEST(JackDeviceChoice, ChoosingDevicesNeverStallsTheWindow) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    std::vector<std::unique_ptr<JackPeer>> peers;
    for (const char* name : {"one", "two", "three"}) {
        peers.push_back(JackPeer::Open(name, whyNot));
        ASSERT_TRUE(peers.back()) << whyNot;
    }
    const std::unique_ptr<MidiService> jack = OpenJackMidiService("klavio-stall", whyNot);
    ASSERT_TRUE(jack) << whyNot;
    FakePlatform platform;
    TklavioForm form(platform.ServicesWith(*jack));
    ShowForm(form);

    std::mt19937 random(7);
    std::vector<double> stalls;
    for (int choice = 0; choice < 10; ++choice) {
        for (QComboBox* box : {form.MidiOutDevComboBox, form.MidiInDevComboBox}) {
            // Another device each time: one of the peers, or no device.
            int item = box->currentIndex();
            while (item == box->currentIndex())
                item = std::uniform_int_distribution<int>(0, box->count() - 1)(random);
            box->setCurrentIndex(item);
            const auto start = std::chrono::steady_clock::now();
            emit box->activated(item);
            stalls.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            // Random pauses, so that the choices meet the server's cycle at every phase.
            QElapsedTimer pause;
            pause.start();
            const int wait = std::uniform_int_distribution<int>(5, 60)(random);
            while (pause.elapsed() < wait)
                QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    std::sort(stalls.begin(), stalls.end());
    std::printf("window held up by a device choice: median %.2f ms, max %.2f ms over %zu\n",
                stalls[stalls.size() / 2], stalls.back(), stalls.size());
    EXPECT_LT(stalls.back(), 16.0);
}

} // namespace
