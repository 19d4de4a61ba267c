#include "tests/busy_cores.h"
#include "tests/e2e/klavio_with_synth.h"

#include <QThread>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace std::chrono_literals;

// klavio playing into the synthesizer on channel 3, the keyboard clicked once so that it has
// the keys and the window the X input focus.
class ComputerKeys : public KlavioWithSynth {
protected:
    void SetUp() override {
        KlavioWithSynth::SetUp();
        if (HasFatalFailure() || IsSkipped())
            return;
        ASSERT_TRUE(ClickAt(Page() + QPoint(6 + 263 + 40, 48 + 14 + 10), "click"));
        QThread::msleep(300);
        ASSERT_TRUE(Xdotool({"key", "Down", "Down", "Return"}));
        QThread::msleep(300);
        ASSERT_TRUE(ClickAt(A0(), "click"));
        ASSERT_TRUE(Xdotool({"windowfocus", "--sync", QString::number(*window_)}));
        ExpectExactly({{0x92, 21, 101}, {0x82, 21, 0}});
        synth_->Forget();
    }

    static MidiBytes On(int note) { return {0x92, static_cast<std::uint8_t>(note), 100}; }
    static MidiBytes Off(int note) { return {0x82, static_cast<std::uint8_t>(note), 0}; }

    void ExpectExactly(const std::vector<MidiBytes>& expected) {
        EXPECT_TRUE(ReceivedExactly(*synth_, expected));
    }

    // The notes of Z S X Q on a US keyboard, from C1, the C above A0.
    const std::vector<MidiBytes> kZsxq = {On(24), Off(24), On(25), Off(25),
                                          On(26), Off(26), On(36), Off(36)};
};

TEST_F(ComputerKeys, TypedKeysPlayTheirNotesOnTheChosenChannel) {
    ASSERT_TRUE(Xdotool({"key", "z", "s", "x", "q"}));
    ExpectExactly(kZsxq);
}

// The same places on a German keyboard carry Y S X Q; its Z sits where the US Y is.
TEST_F(ComputerKeys, AGermanLayoutPlaysTheSameNotesFromTheSameKeys) {
    ASSERT_TRUE(session_.Run("setxkbmap", {"-display", session_.DisplayName(), "de"}));
    ASSERT_TRUE(Xdotool({"key", "y", "s", "x", "q"}));
    ExpectExactly(kZsxq);
    synth_->Forget();
    ASSERT_TRUE(Xdotool({"key", "z"}));
    ExpectExactly({On(45), Off(45)});
}

// The server repeats a held key; the note sounds once, also on a busy machine, where a
// repeat's release may be read before the press behind it.
TEST_F(ComputerKeys, AHeldRepeatingKeySendsOneNoteOn) {
    ASSERT_TRUE(session_.KeyRepeatOn());
    ASSERT_TRUE(Xdotool({"keydown", "z"}));
    {
        const BusyCores busy;
        QThread::sleep(1);
    }
    ASSERT_TRUE(Xdotool({"keyup", "z"}));
    ExpectExactly({On(24), Off(24)});
}

TEST_F(ComputerKeys, FocusingAnotherWindowEndsAHeldNote) {
    const std::optional<unsigned long> other = session_.OpenOtherWindow();
    ASSERT_TRUE(other);
    ASSERT_TRUE(Xdotool({"keydown", "z"}));
    ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));
    ASSERT_TRUE(Xdotool({"windowfocus", "--sync", QString::number(*other)}));
    ExpectExactly({On(24), Off(24)});
    ASSERT_TRUE(Xdotool({"keyup", "z"}));
    ExpectExactly({On(24), Off(24)});
}

// The focus away and back faster than Qt tells its widgets, the key released meanwhile in the
// other window: the note ends all the same, and the key plays again at its next press.
TEST_F(ComputerKeys, AKeyReleasedWhileTheFocusWasAwayForAMomentEndsItsNote) {
    const std::optional<unsigned long> other = session_.OpenOtherWindow();
    ASSERT_TRUE(other);
    ASSERT_TRUE(Xdotool({"keydown", "z"}));
    ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));
    ASSERT_TRUE(Xdotool({"windowfocus", QString::number(*other), "keyup", "z", "windowfocus",
                         QString::number(*window_)}));
    ExpectExactly({On(24), Off(24)});
    ASSERT_TRUE(Xdotool({"key", "z"}));
    ExpectExactly({On(24), Off(24), On(24), Off(24)});
}

TEST_F(ComputerKeys, EscapeSilencesEveryChannelAndEndsTheHeldNotes) {
    ASSERT_TRUE(Xdotool({"keydown", "z", "keydown", "x"}));
    ASSERT_TRUE(Eventually([&] { return synth_->Received().size() >= 2; }));
    ASSERT_TRUE(Xdotool({"key", "Escape"}));
    std::vector<MidiBytes> expected = {On(24), On(26)};
    for (std::uint8_t channel = 0; channel < 16; ++channel)
        for (std::uint8_t controller : {120, 123})
            expected.push_back({static_cast<std::uint8_t>(0xB0 | channel), controller, 0});
    expected.push_back(Off(24));
    expected.push_back(Off(26));
    ExpectExactly(expected);
    ASSERT_TRUE(Xdotool({"keyup", "z", "keyup", "x"}));
    ExpectExactly(expected);
}

TEST_F(ComputerKeys, SpaceHoldsTheSustainPedalOnTheChosenChannel) {
    ASSERT_TRUE(Xdotool({"key", "space"}));
    ExpectExactly({{0xB2, 64, 127}, {0xB2, 64, 0}});
}

} // namespace
