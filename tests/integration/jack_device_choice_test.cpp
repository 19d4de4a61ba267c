// The window's device lists with the JACK service: an item opens the port it names, also after
// another client has left the server since the lists were filled.

#include "app/Unit1.h"
#include "keyboard/vmidikeys.h"
#include "platform/linux/jack_midi_service.h"
#include "tests/fakes/fake_platform.h"
#include "tests/integration/jack_gtest.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <memory>

namespace {

bool Connected(JackPeer& peer, const char* port) {
    QElapsedTimer timer;
    timer.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        jack_port_t* in = jack_port_by_name(peer.Client(), port);
        if (in != nullptr && jack_port_connected(in) > 0)
            return true;
    } while (timer.elapsed() < 5000);
    return false;
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
    form.show();
    QComboBox* outputs = form.MidiOutDevComboBox;
    const int earlyItem = outputs->findText("early:in");
    const int synthItem = outputs->findText("synth:in");
    ASSERT_TRUE(earlyItem >= 2 && synthItem >= 2);

    early->Close();
    outputs->setCurrentIndex(synthItem);
    form.MidiOutDevComboBoxChange();
    EXPECT_EQ(outputs->currentIndex(), synthItem);
    EXPECT_TRUE(Connected(*synth, "synth:in"));

    outputs->setCurrentIndex(earlyItem);
    form.MidiOutDevComboBoxChange();
    EXPECT_EQ(outputs->currentIndex(), 0);
    EXPECT_FALSE(form.VMidiKeys1->MidiOutEnabled());
}

} // namespace
