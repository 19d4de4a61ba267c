#include "app/Unit1.h"
#include "app/sound_page.h"
#include "keyboard/vmidikeys.h"
#include "tests/fakes/fake_platform.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

using Messages = std::vector<std::uint32_t>;

// The program on fake services; the settings last from one Show to the next.
class SoundPageTest : public testing::Test {
protected:
    void Show() {
        form = std::make_unique<TklavioForm>(platform.Services());
        form->show();
        page = form->SoundTabSheet;
    }
    Messages Sent() { return std::exchange(platform.midi.shortMessages, {}); }

    FakePlatform platform;
    std::unique_ptr<TklavioForm> form;
    SoundPage* page = nullptr;
};

// Everything the page's controls send goes out on the output channel, once per change.
TEST_F(SoundPageTest, EachControlSendsItsMessagesOnTheOutputChannelOnce) {
    Show();
    form->MidiOutChanComboBox->setCurrentIndex(2);
    form->MidiOutChanComboBoxChange();
    Sent();
    // Looking at the page chooses nothing.
    form->PageControl1->setCurrentWidget(page);
    form->activateWindow();
    QApplication::processEvents();
    EXPECT_EQ(Sent(), Messages{});
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
        EXPECT_EQ(Sent(), c.sent) << c.what;
    }
    page->KeyVelocitySpin->setValue(90);
    EXPECT_EQ(form->VMidiKeys1->KeyVelocity(), 90);
}

// What the page shows survives a restart, and a device opened is brought to it; another channel
// shows its own state.
TEST_F(SoundPageTest, TheSoundIsKeptAndSentAgainWhenADeviceOpens) {
    Show();
    page->SearchEdit->setText(QStringLiteral("Choir"));
    page->StepInstrument(1);
    page->ControllerSliders[0]->setValue(70);
    page->KeyVelocitySpin->setValue(64);
    page->TransposeSpin->setValue(-12);
    page->NoteNamesBox->setCurrentIndex(1);
    emit page->NoteNamesBox->activated(1);
    form.reset();

    platform.midi.shortMessages.clear();
    Show();
    const Messages restored = Sent();
    const Messages expected = {0x0000B0, 0x0020B0, 0x0034C0, 0x4607B0, 0x400AB0, 0x7F0BB0,
                               0x285BB0, 0x005DB0, 0x0001B0, 0x0065B0, 0x0064B0, 0x0206B0,
                               0x0026B0, 0x7F65B0, 0x7F64B0, 0x4000E0};
    EXPECT_EQ(restored, expected);
    EXPECT_EQ(page->ControllerSliders[0]->value(), 70);
    EXPECT_EQ(page->InstrumentList->currentItem()->text(), QStringLiteral("000:052  Choir Aahs"));
    EXPECT_EQ(form->VMidiKeys1->KeyVelocity(), 64);
    EXPECT_EQ(form->VMidiKeys1->Transpose(), -12);
    EXPECT_EQ(form->VMidiKeys1->Labels(), KeyLabels::EveryC);

    form->MidiOutChanComboBox->setCurrentIndex(9);
    form->MidiOutChanComboBoxChange();
    EXPECT_EQ(page->ControllerSliders[0]->value(), 100);
    EXPECT_EQ(page->InstrumentList->item(0)->text(), QStringLiteral("120:000  Standard Kit"));
}

// Where the built-in synthesizer is the output, its own instruments are listed, the drum kits
// on the percussion channel; a file that did not load says why.
TEST_F(SoundPageTest, TheBuiltInSynthesizerListsItsInstrumentsOrSaysWhyNot) {
    FakeSynthesizer& synthesizer = platform.synthesizer;
    synthesizer.state = Synthesizer::State::Loaded;
    synthesizer.soundFont = "/sounds/Test.sf2";
    synthesizer.presets = {{0, 48, "Strings"}, {8, 4, "Detuned EP"}, {128, 0, "Standard"}};
    Show();
    const auto items = [&] {
        QStringList texts;
        for (int row = 0; row < page->InstrumentList->count(); ++row)
            texts << page->InstrumentList->item(row)->text();
        return texts;
    };
    EXPECT_EQ(items(), (QStringList{"000:048  Strings", "008:004  Detuned EP"}));
    EXPECT_EQ(page->SoundFontLabel->text(), QStringLiteral("Test.sf2"));
    Sent();
    page->StepInstrument(1);
    page->StepInstrument(1);
    EXPECT_EQ(Sent(), (Messages{0x0000B0, 0x0020B0, 0x0030C0, 0x0800B0, 0x0020B0, 0x0004C0}));
    form->MidiOutChanComboBox->setCurrentIndex(9);
    form->MidiOutChanComboBoxChange();
    EXPECT_EQ(items(), QStringList{"128:000  Standard"});

    synthesizer.state = Synthesizer::State::Failed;
    synthesizer.problem = "it holds no instrument";
    QApplication::postEvent(form.get(), new QEvent(MM_SYNTH_CHANGED));
    QApplication::processEvents();
    EXPECT_EQ(page->SoundFontLabel->toolTip(),
              QStringLiteral("Not loaded: it holds no instrument"));
}

} // namespace
