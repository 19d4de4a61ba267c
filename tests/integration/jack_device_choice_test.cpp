// The window's device lists with the JACK service: an item opens the port it names, also after
// another client has left the server since the lists were filled.

#include "tests/app/form_helpers.h"
#include "tests/integration/jack_window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

// The calling thread's processor time.
double ThreadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

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

// Opening and closing ports waits for no answer from the server on the window's thread. The
// window's own work for a choice stays within a frame (16 ms of its thread's time: on a busy
// machine the wall clock also counts the time others ran), and choices made while the server
// hangs return as soon: a window that waited would wait until the server is let go.
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
    std::vector<double> work;
    std::vector<double> whileHung;
    const auto chooseEach = [&](int rounds, bool hung) {
        for (int round = 0; round < rounds; ++round) {
            for (QComboBox* box : {form.MidiOutDevComboBox, form.MidiInDevComboBox}) {
                // Another device each time: one of the peers, or no device.
                int item = box->currentIndex();
                while (item == box->currentIndex())
                    item = std::uniform_int_distribution<int>(0, box->count() - 1)(random);
                box->setCurrentIndex(item);
                const double threadStart = ThreadMilliseconds();
                QElapsedTimer wall;
                wall.start();
                emit box->activated(item);
                (hung ? whileHung : work)
                    .push_back(hung ? wall.nsecsElapsed() / 1e6
                                    : ThreadMilliseconds() - threadStart);
                // Random pauses, so that the choices meet the server's cycle at every phase.
                const int wait = std::uniform_int_distribution<int>(5, 60)(random);
                while (wall.elapsed() < wait)
                    QApplication::processEvents(QEventLoop::AllEvents, 5);
            }
        }
    };
    chooseEach(10, false);
    server.Pause(true);
    std::thread letGo([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        server.Pause(false);
    });
    chooseEach(3, true);
    letGo.join();

    std::sort(work.begin(), work.end());
    std::sort(whileHung.begin(), whileHung.end());
    std::printf("window's own work for a device choice: median %.2f ms, max %.2f ms over %zu; "
                "a choice while the server hangs: max %.1f ms\n",
                work[work.size() / 2], work.back(), work.size(), whileHung.back());
    EXPECT_LT(work.back(), 16.0);
    EXPECT_LT(whileHung.back(), 500.0) << "the window waited for the server";
}

} // namespace
