#include "app/Unit1.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class PlayingKeys : public testing::Test {
protected:
    void SetUp() override {
        ShowForm(*form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        keys = form->VMidiKeys1;
    }

    FakePlatform platform;
    std::unique_ptr<TklavioForm> form = std::make_unique<TklavioForm>(platform.Services());
    TVMidiKeys* keys = nullptr;
};

// Page Up and Page Down take the buttons' steps seven at a time, stop where the buttons stop
// and leave the buttons enabled as after clicks.
TEST_F(PlayingKeys, PageUpAndDownShiftAnOctaveWithinTheButtonsLimits) {
    struct Step {
        Qt::Key key;
        int presses;
        const char* baseKey;
        bool lowerEnabled;
        bool higherEnabled;
    };
    const std::vector<Step> steps = {
        {Qt::Key_PageUp, 1, "A1", true, true},    {Qt::Key_PageDown, 1, "A0", true, true},
        {Qt::Key_PageDown, 1, "A-1", true, true}, {Qt::Key_PageDown, 1, "C-1", false, true},
        {Qt::Key_PageUp, 1, "C0", true, true},    {Qt::Key_PageUp, 9, "B8", true, false},
        {Qt::Key_PageDown, 1, "B7", true, true},
    };
    for (const Step& step : steps) {
        for (int press = 0; press < step.presses; ++press)
            QTest::keyClick(keys, step.key);
        EXPECT_EQ(form->BaseKeyLabel->text(), step.baseKey);
        EXPECT_EQ(keys->BaseString(), step.baseKey);
        EXPECT_EQ(form->LowerButton->isEnabled(), step.lowerEnabled) << step.baseKey;
        EXPECT_EQ(form->UpperButton->isEnabled(), step.higherEnabled) << step.baseKey;
    }
    // A held Page Down moves once, its repeats marked or not; the keyboard's description
    // follows the range.
    QTest::keyPress(keys, Qt::Key_PageDown);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_PageDown, {}, QString(), true);
    QApplication::sendEvent(keys, &repeat);
    QTest::keyPress(keys, Qt::Key_PageDown);
    EXPECT_EQ(form->BaseKeyLabel->text(), "B6");
    EXPECT_TRUE(keys->accessibleDescription().contains("B6"))
        << keys->accessibleDescription().toStdString();
}

// The keyboard has the keys from the start; buttons and the pages leave them there, lists and
// the command line take them only when the user goes there.
TEST_F(PlayingKeys, TheKeyboardKeepsTheKeysUntilAListOrTheCommandLineIsChosen) {
    EXPECT_EQ(QApplication::focusWidget(), keys);
    QTest::mouseClick(form->UpperButton, Qt::LeftButton);
    EXPECT_EQ(form->BaseKeyLabel->text(), "B0");
    EXPECT_EQ(QApplication::focusWidget(), keys);
    form->PageControl1->setCurrentWidget(form->AboutTabSheet);
    form->PageControl1->setCurrentWidget(form->KeyboardTabSheet);
    EXPECT_EQ(QApplication::focusWidget(), keys);

    QTest::mouseClick(form->FreeCmdComboBox->lineEdit(), Qt::LeftButton);
    EXPECT_TRUE(form->FreeCmdComboBox->hasFocus());
    QTest::keyClicks(QApplication::focusWidget(), "zq");
    EXPECT_EQ(form->FreeCmdComboBox->currentText(), "zq");
    EXPECT_TRUE(platform.midi.shortMessages.empty());
    EXPECT_EQ(form->LastKeyLabel->text(), "<?\?\?>");

    QTest::mouseClick(keys, Qt::LeftButton, {}, QPoint(7, 60));
    EXPECT_EQ(QApplication::focusWidget(), keys);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Q);
    EXPECT_EQ(form->LastKeyLabel->text(), "C2");
}

// Leaving the keyboard page ends what the computer keyboard and the mouse hold.
TEST_F(PlayingKeys, LeavingThePageEndsEveryHeldNote) {
    Choose(form->MidiOutDevComboBox, 1);
    keys->setFocus();
    QTest::mousePress(keys, Qt::LeftButton, {}, QPoint(7, 60));
    QTest::keyPress(keys, Qt::Key_X);
    platform.midi.shortMessages.clear();
    form->PageControl1->setCurrentWidget(form->AboutTabSheet);
    EXPECT_EQ(platform.midi.shortMessages, (std::vector<std::uint32_t>{0x001580, 0x001A80}));
    EXPECT_FALSE(keys->IsPressed(21) || keys->IsPressed(26));
}

} // namespace
