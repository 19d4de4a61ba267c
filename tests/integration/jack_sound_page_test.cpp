// The Sound page of the real window with the JACK service: what its controls send reaches a
// JACK synthesizer as exactly these messages.

#include "app/sound_page.h"
#include "formats/short_message.h"
#include "tests/integration/jack_window.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <vector>

namespace {

using Messages = std::vector<std::uint32_t>;

class JackSoundPage : public JackWindow {
protected:
    // The window playing into synth:in; false when there is nothing to play on.
    bool Show() {
        const bool shown = JackWindow::Show("klavio-sound");
        page = form ? form->SoundTabSheet : nullptr;
        return shown;
    }
    // What the synthesizer received since the last look, once count messages came and a while
    // passed for any that should not come, packed as the service takes them; a note-off sent
    // again after an xrun is left out.
    Messages Sent(std::size_t count) {
        Eventually([&] { return synth->Received().size() >= count; });
        QTest::qWait(100);
        Messages sent;
        for (const MidiBytes& event : synth->ReceivedLessXrunRepeats())
            sent.push_back(PackShortMessage(event[0], event.size() > 1 ? event[1] : 0,
                                            event.size() > 2 ? event[2] : 0));
        synth->Forget();
        return sent;
    }

    SoundPage* page = nullptr;
};

// Everything the page's controls send goes out on the output channel, once per change.
TEST_F(JackSoundPage, EachControlSendsItsMessagesOnTheOutputChannelOnce) {
    if (!Show())
        return;
    form->MidiOutChanComboBox->setCurrentIndex(2);
    form->MidiOutChanComboBoxChange();
    // Looking at the page chooses nothing.
    form->PageControl1->setCurrentWidget(page);
    form->activateWindow();
    QApplication::processEvents();
    EXPECT_EQ(Sent(0), Messages{});
    const auto pick = [&](const char* name) {
        page->SearchEdit->setText(QString::fromLatin1(name));
        page->StepInstrument(1); // the first item the search leaves
    };
    const struct {
        const char* what;
        std::function<void()> act;
        Messages sent;
    } cases[] = {
        {"strings by name", [&] { pick("String Ensemble 1"); }, {0x0000B2, 0x0020B2, 0x0030C2}},
        {"volume", [&] { page->ControllerSliders[0]->setValue(90); }, {0x5A07B2}},
        {"volume unchanged", [&] { page->ControllerSliders[0]->setValue(90); }, {}},
        {"pan", [&] { page->ControllerSliders[1]->setValue(0); }, {0x000AB2}},
        {"expression", [&] { page->ControllerSliders[2]->setValue(100); }, {0x640BB2}},
        {"reverb", [&] { page->ControllerSliders[3]->setValue(0); }, {0x005BB2}},
        {"chorus", [&] { page->ControllerSliders[4]->setValue(64); }, {0x405DB2}},
        {"modulation", [&] { page->ControllerSliders[5]->setValue(127); }, {0x7F01B2}},
        {"bend and let go",
         [&] {
             page->BendSlider->setValue(16383);
             emit page->BendSlider->sliderReleased();
         },
         {0x7F7FE2, 0x4000E2}},
        {"bend range",
         [&] { page->BendRangeSpin->setValue(12); },
         {0x0065B2, 0x0064B2, 0x0C06B2, 0x0026B2, 0x7F65B2, 0x7F64B2}},
        {"sustain, shared with the space bar",
         [&] {
             page->PedalButtons[0]->click();
             EXPECT_TRUE(form->VMidiKeys1->SustainIsDown());
             QTest::keyRelease(form->VMidiKeys1, Qt::Key_Space);
             EXPECT_FALSE(page->PedalButtons[0]->isChecked());
         },
         {0x7F40B2, 0x0040B2}},
        {"sostenuto", [&] { page->PedalButtons[1]->click(); }, {0x7F42B2}},
        {"soft", [&] { page->PedalButtons[2]->click(); }, {0x7F43B2}},
        {"the next instrument by the down arrow",
         [&] {
             page->SearchEdit->clear();
             form->VMidiKeys1->setFocus();
             QTest::keyClick(form->VMidiKeys1, Qt::Key_Down);
         },
         {0x0000B2, 0x0020B2, 0x0031C2}},
        {"a bend held on the right arrow",
         [&] {
             QTest::keyPress(form->VMidiKeys1, Qt::Key_Right);
             QTest::keyRelease(form->VMidiKeys1, Qt::Key_Right);
         },
         {0x7F7FE2, 0x4000E2}},
        {"C4 transposed up a tone",
         [&] {
             page->TransposeSpin->setValue(2);
             form->VMidiKeys1->NoteOn(60, 100, true);
             page->TransposeSpin->setValue(0);
             form->VMidiKeys1->NoteOff(60, 0, true);
         },
         {0x643E92, 0x003E82}},
    };
    for (const auto& c : cases) {
        c.act();
        EXPECT_EQ(Sent(c.sent.size()), c.sent) << c.what;
    }
    page->KeyVelocitySpin->setValue(90);
    EXPECT_EQ(form->VMidiKeys1->KeyVelocity(), 90);
}

} // namespace
