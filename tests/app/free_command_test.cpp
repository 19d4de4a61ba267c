#include "app/Unit1.h"
#include "app/uStuff.h"
#include "keyboard/vmidikeys.h"
#include "tests/app/form_helpers.h"
#include "tests/fakes/fake_platform.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexText, AcceptsHexDigitsAndBlanksOnly) {
    struct Row {
        const char* text;
        bool withSpaces;
        bool withoutSpaces;
    };
    for (const Row& row : std::vector<Row>{{"", true, true},
                                           {"903c7F", true, true},
                                           {"90 3C 7F", true, false},
                                           {"   ", true, false},
                                           {"G0", false, false},
                                           {"90\t3C", false, false},
                                           {"0x90", false, false},
                                           {"9-0", false, false},
                                           {"\xE4", false, false}})
        EXPECT_EQ(IsHexText(row.text, true), row.withSpaces) << row.text;
    EXPECT_EQ(IsHexText("90 3C", false), false);
    EXPECT_EQ(IsHexText("903C", false), true);
}

TEST(HexText, DigitsBecomeBytesInPairs) {
    EXPECT_EQ(ExtractHexDigits("9 03C7 F"), "903C7F");
    EXPECT_EQ(ExtractHexDigits("x9y0\tz"), "90");
    EXPECT_EQ(HexDigitsToBytes("903c7f"), "\x90\x3C\x7F");
    EXPECT_EQ(HexDigitsToBytes("903"), "\x90");
    EXPECT_EQ(HexDigitsToBytes("9"), "");
    EXPECT_EQ(HexDigitsToBytes("00FF"), std::string("\x00\xFF", 2));
    EXPECT_EQ(TrimBlanks("  90 3C\t\r\n"), "90 3C");
    EXPECT_EQ(TrimBlanks("\x01 7F \x1F"), "7F");
    EXPECT_EQ(TrimBlanks("   "), "");
}

class FreeCommand : public testing::Test {
protected:
    void SetUp() override {
        midi.outputDevices = {"Synth:in"};
        form = std::make_unique<TklavioForm>(platform.Services());
        ShowForm(*form);
        box = form->FreeCmdComboBox;
        // The program's own port.
        form->MidiOutDevComboBox->setCurrentIndex(1);
        form->MidiOutDevComboBoxChange();
    }

    // Types as the user does, so the box's change handler runs.
    void Type(const QString& text) {
        box->lineEdit()->clear();
        box->lineEdit()->insert(text);
    }

    void Send(const QString& text) {
        Type(text);
        form->SendButton->click();
    }

    QStringList History() const { return Items(box); }

    bool Red() const { return box->palette().color(QPalette::Base) == QColor(255, 0, 0); }

    FakePlatform platform;
    FakeErrorBox& errorBox = platform.errorBox;
    FakeMidiService& midi = platform.midi;
    std::unique_ptr<TklavioForm> form;
    QComboBox* box = nullptr;
};

TEST_F(FreeCommand, SendsTheBytesAsOneLongMessage) {
    Send("90 3C 7F");
    Send("fe"); // one byte still takes the long-message path
    Send("  9 03C7 F  ");
    EXPECT_EQ(midi.longMessages,
              (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0xFE}, {0x90, 0x3C, 0x7F}}));
    EXPECT_TRUE(midi.shortMessages.empty());
    EXPECT_EQ(History(), (QStringList{"9 03C7 F", "fe", "90 3C 7F"}));
    EXPECT_EQ(box->currentText(), "9 03C7 F");
}

TEST_F(FreeCommand, WhatIsNotWholeMessagesStaysHereAndSaysWhy) {
    struct Row {
        const char* text;
        const char* status; // on the line beside the tabs
    };
    for (const Row& row : std::vector<Row>{
             {"903", "Not sent: an odd number of hex digits"},
             {"3C 7F", "Not sent: data bytes without a status byte"},
             {"90 80 00", "Not sent: a message is missing data bytes"},
             {"F0 7E 7F 09 01", "Not sent: the SysEx has no F7 at its end"},
             {"F4", "Not sent: an undefined status byte"},
         }) {
        midi.calls.clear();
        Send(row.text);
        EXPECT_TRUE(midi.calls.empty()) << row.text;
        EXPECT_EQ(form->StatusLabel->text(), row.status) << row.text;
        EXPECT_EQ(box->toolTip(), row.status) << row.text;
        EXPECT_EQ(History().front(), row.text) << row.text; // there to be corrected
    }
    // The next edit starts afresh; Enter sends as the button does.
    Type("90 3C 7F");
    EXPECT_EQ(form->StatusLabel->text(), "");
    QTest::keyClick(box->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(midi.longMessages, (std::vector<Bytes>{{0x90, 0x3C, 0x7F}}));
    EXPECT_EQ(History().front(), "90 3C 7F");
    // A port that refuses is named as the reason too.
    midi.longMsgResult = MIDIERR_NODEVICE;
    Send("C0 05");
    EXPECT_EQ(form->StatusLabel->text(), "Not sent: the MIDI output is not available");
}

TEST_F(FreeCommand, ResendingInOtherCaseMovesTheStoredEntryUp) {
    Send("90 3C 7F");
    Send("C0 05");
    Send("90 3c 7f");
    EXPECT_EQ(midi.longMessages.size(), 3u);
    EXPECT_EQ(History(), (QStringList{"90 3C 7F", "C0 05"}));
    EXPECT_EQ(box->currentText(), "90 3C 7F");
}

TEST_F(FreeCommand, UnacceptableTextTurnsTheBoxRed) {
    Type("G0");
    EXPECT_TRUE(Red());
    EXPECT_FALSE(form->SendButton->isEnabled());
    box->lineEdit()->backspace();
    box->lineEdit()->backspace();
    QTest::keyClicks(box->lineEdit(), "90");
    EXPECT_FALSE(Red());
    EXPECT_TRUE(form->SendButton->isEnabled());
    Type("90\t3C");
    EXPECT_TRUE(Red());
    Type("");
    EXPECT_FALSE(Red());
    EXPECT_TRUE(form->SendButton->isEnabled());
}

TEST_F(FreeCommand, EmptyTextSendsNothingButEntersTheHistory) {
    Send("   ");
    EXPECT_TRUE(midi.longMessages.empty());
    EXPECT_EQ(History(), QStringList{""});
}

TEST_F(FreeCommand, HistoryKeepsTwentyEntries) {
    for (int i = 1; i <= 21; ++i)
        Send(QString::asprintf("C0 %02X", i));
    EXPECT_EQ(box->count(), 20);
    EXPECT_EQ(box->itemText(0), "C0 15");
    EXPECT_EQ(box->itemText(19), "C0 02"); // the first one went
    Send("c0 0a");
    EXPECT_EQ(box->count(), 20);
    EXPECT_EQ(box->itemText(0), "C0 0A");
}

TEST_F(FreeCommand, LongerRestoredHistoryIsNotCutDown) {
    for (int i = 0; i < 25; ++i)
        box->addItem(QString::asprintf("C0 %02X", i));
    Send("90 3C 7F");
    EXPECT_EQ(box->count(), 25);
    EXPECT_EQ(box->itemText(0), "90 3C 7F");
    EXPECT_EQ(box->itemText(20), "C0 14"); // "C0 13" at index 20 went
}

TEST_F(FreeCommand, SelectingTheSentEntryKeepsTheBoxAsItWas) {
    Type("G0");
    form->SendButtonClick(); // a restored, untested command may still be sent
    EXPECT_TRUE(Red());
    EXPECT_EQ(box->currentText(), "G0");
    EXPECT_TRUE(midi.longMessages.empty()); // "0" alone is no byte
}

// Pasted in one step: the line's own paste takes time that grows with the square of its length.
TEST_F(FreeCommand, PastesGoInWholeAndHugeOnesAreCutToAFixedLength) {
    struct Row {
        const char* what;
        QString before;
        int selectFrom, selectLength;
        QString clipboard;
        QString after;
    };
    const QString huge = QString(1 << 20, QLatin1Char('7')).replace(1000, 1, u'\n');
    // Keys and the menu key go to the box, which has the focus.
    const std::vector<std::function<void()>> pastes{
        [&] { QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier); },
        [&] { QTest::keyClick(box, Qt::Key_Insert, Qt::ShiftModifier); },
        [&] {
            QContextMenuEvent request(QContextMenuEvent::Keyboard, {5, 5}, {5, 5});
            QApplication::sendEvent(box, &request);
            QWidget* menu = QApplication::activePopupWidget();
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions())
                if (action->text().startsWith("&Paste"))
                    action->trigger();
            menu->close();
        }};
    const std::vector<Row> rows{
        {"over the selection", "90 3C 7F", 3, 2, "40", "90 40 7F"},
        {"line breaks become blanks", "", 0, 0, "F0 01\r\n02\tF7", "F0 01  02 F7"},
        {"huge", "", 0, 0, huge,
         huge.left(3 * 65536).replace(1000, 1, u' ')}}; // a 64 KiB SysEx with blanks
    for (std::size_t i = 0; i < rows.size() * pastes.size(); ++i) {
        const Row& row = rows[i / pastes.size()];
        box->lineEdit()->setText(row.before);
        box->lineEdit()->setSelection(row.selectFrom, row.selectLength);
        QApplication::clipboard()->setText(row.clipboard);
        QElapsedTimer clock;
        clock.start();
        pastes[i % pastes.size()]();
        EXPECT_LT(clock.elapsed(), 2000) << row.what;
        EXPECT_EQ(box->currentText(), row.after) << row.what;
        EXPECT_TRUE(form->SendButton->isEnabled()) << row.what;
    }
}

// The settings file cannot hold a command this long: the window says so when it is sent, and the
// line on standard error at closing names it in a few words.
TEST_F(FreeCommand, ACommandTooLongToKeepSaysSoAndIsReportedBriefly) {
    const QString sysEx = "F0 " + QString("01 ").repeated(6000) + "F7";
    Send(sysEx);
    EXPECT_EQ(midi.longMessages.size(), 1u);
    EXPECT_EQ(form->StatusLabel->text(), "Not kept in the history: longer than 16383 characters");
    Send(sysEx.chopped(2));
    EXPECT_EQ(form->StatusLabel->text(), "Not sent: the SysEx has no F7 at its end; not kept in "
                                         "the history either: longer than 16383 characters");
    form.reset();
    ASSERT_EQ(platform.log.messages.size(), 2u);
    EXPECT_LT(platform.log.messages[0].size(), 300u) << platform.log.messages[0];
}

} // namespace
