#include "app/Unit1.h"
#include "app/sound_page.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
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
        ShowForm(*form);
        page = form->SoundTabSheet;
    }
    Messages Sent() { return std::exchange(platform.midi.shortMessages, {}); }

    FakePlatform platform;
    std::unique_ptr<TklavioForm> form;
    SoundPage* page = nullptr;
};

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
