// The free-command line of the real window with the JACK service: what the user types goes
// to a JACK synthesizer byte for byte.

#include "tests/integration/jack_window.h"

#include <QLineEdit>
#include <QPushButton>

#include <vector>

namespace {

using JackFreeCommand = JackWindow;

TEST_F(JackFreeCommand, TypedCommandsArriveAtThePeerByteForByte) {
    if (!Show("klavio-command"))
        return;
    for (const char* command : {"F0 7E 7F 09 01 F7", "90 3c 7F"}) {
        form->FreeCmdComboBox->lineEdit()->clear();
        form->FreeCmdComboBox->lineEdit()->insert(command);
        ASSERT_TRUE(form->SendButton->isEnabled()) << command;
        form->SendButton->click();
    }
    ASSERT_TRUE(Eventually([&] { return synth->Received().size() >= 2; }));
    EXPECT_EQ(synth->Received(),
              (std::vector<MidiBytes>{{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0x90, 0x3C, 0x7F}}));
    // Both completions came back and freed their messages.
    EXPECT_TRUE(Eventually([&] { return form->VMidiKeys1->LongMessagesInFlight() == 0; }));
    EXPECT_TRUE(platform.errorBox.calls.empty());
}

} // namespace
