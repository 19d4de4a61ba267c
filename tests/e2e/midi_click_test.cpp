#include "tests/e2e/klavio_with_synth.h"

#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class MidiClick : public KlavioWithSynth {
protected:
    // The desktop session ends while A0 is held, with one stop signal or more.
    void EndSessionWhileAKeyIsHeld(int stopSignals) {
        ASSERT_TRUE(ClickAt(A0(), "mousedown"));
        ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));

        for (int signal = 0; signal < stopSignals; ++signal) {
            if (signal > 0)
                QThread::msleep(5); // apart enough not to merge into one pending signal
            klavio_->Terminate();
        }
        ASSERT_TRUE(klavio_->WaitForExit(20s));
        EXPECT_FALSE(klavio_->CrashedOrKilled());
        EXPECT_EQ(klavio_->ExitCode(), 0) << klavio_->Output().toStdString();
        ASSERT_TRUE(Eventually([&] { return synth_->Heard().size() >= 2; }, 2s));
        EXPECT_EQ(synth_->Heard(), (std::vector<MidiBytes>{{0x90, 21, 101}, {0x80, 21, 0}}));

        QFile settings(config_.path() + "/klavio/registry.reg");
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly)) << "no settings were saved";
        EXPECT_TRUE(settings.readAll().contains("synth:in"));
        Xdotool({"mouseup", "1"});
    }
};

// The user plays A0: the synthesizer gets the note-on and then the note-off.
TEST_F(MidiClick, PlayedKeyReachesAJackPeer) {
    ASSERT_TRUE(ClickAt(A0(), "mousedown"));
    ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));
    ASSERT_TRUE(Xdotool({"mouseup", "1"}));
    ASSERT_TRUE(Eventually([&] { return synth_->Heard().size() >= 2; }));
    EXPECT_EQ(synth_->Heard(), (std::vector<MidiBytes>{{0x90, 21, 101}, {0x80, 21, 0}}));

    session_.RequestClose(*window_);
    ASSERT_TRUE(klavio_->WaitForExit(20s));
    EXPECT_EQ(klavio_->ExitCode(), 0) << klavio_->Output().toStdString();
}

// The desktop session ends while a key is held: the note is switched off, not left sounding,
// and the choice of device is saved as on a normal close.
TEST_F(MidiClick, SessionEndWhileAKeyIsHeldEndsTheNoteAndSavesTheSettings) {
    EndSessionWhileAKeyIsHeld(1);
}

// Session managers may send the signal twice: the second one must not cut the ending short.
TEST_F(MidiClick, TwoStopSignalsAtOnceStillEndTheNoteAndSaveTheSettings) {
    EndSessionWhileAKeyIsHeld(2);
}

} // namespace
