// The free-command line of the real window with the JACK service: what the user types goes
// to a JACK synthesizer byte for byte.

#include "app/Unit1.h"
#include "keyboard/vmidikeys.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "tests/fakes/fake_platform.h"
#include "tests/integration/jack_gtest.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

bool Eventually(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 5000) {
        if (condition())
            return true;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

TEST(JackFreeCommand, TypedCommandsArriveAtThePeerByteForByte) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    ASSERT_TRUE(synth) << whyNot;
    const std::unique_ptr<MidiService> jack = OpenJackMidiService("klavio-command", whyNot);
    ASSERT_TRUE(jack) << whyNot;

    FakePlatform platform;
    TklavioForm form(platform.ServicesWith(*jack));
    form.show();
    const int synthItem = form.MidiOutDevComboBox->findText("synth:in");
    ASSERT_GE(synthItem, 2);
    form.MidiOutDevComboBox->setCurrentIndex(synthItem);
    form.MidiOutDevComboBoxChange();
    ASSERT_TRUE(form.VMidiKeys1->MidiOutEnabled());

    for (const char* command : {"F0 7E 7F 09 01 F7", "90 3c 7F"}) {
        form.FreeCmdComboBox->lineEdit()->clear();
        form.FreeCmdComboBox->lineEdit()->insert(command);
        ASSERT_TRUE(form.SendButton->isEnabled()) << command;
        form.SendButton->click();
    }
    ASSERT_TRUE(Eventually([&] { return synth->Received().size() >= 2; }));
    EXPECT_EQ(synth->Received(),
              (std::vector<MidiBytes>{{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0x90, 0x3C, 0x7F}}));
    // Both completions came back and freed their messages.
    EXPECT_TRUE(Eventually([&] { return form.VMidiKeys1->LongMessagesInFlight() == 0; }));
    EXPECT_TRUE(platform.errorBox.calls.empty());
}

} // namespace
