#include "tests/e2e/x_session.h"
#include "tests/integration/jack_gtest.h"

#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;

bool Connected(JackPeer& peer, const char* port) {
    jack_port_t* in = jack_port_by_name(peer.Client(), port);
    return in != nullptr && jack_port_connected(in) > 0;
}

// klavio on a private display, with a JACK synthesizer chosen as its output device.
class MidiClick : public ::testing::Test {
protected:
    void SetUp() override {
        if (!StartJackForTest(server_))
            return;
        std::string whyNot;
        synth_ = JackPeer::Open("synth", whyNot);
        ASSERT_TRUE(synth_) << whyNot;
        ASSERT_TRUE(session_.Started());
        klavio_.emplace(session_, KLAVIO_BINARY,
                        QStringList{"XDG_CONFIG_HOME=" + config_.path()}); // nothing chosen yet
        window_ = klavio_->WaitForWindow("klavio");
        ASSERT_TRUE(window_) << klavio_->Output().toStdString();
        ASSERT_TRUE(Eventually(
            [&] { return (keyboard_ = FindKeyboard(session_.Grab(*window_))).has_value(); }));

        // The output list: no device, the built-in synthesizer, the program's own port, then
        // synth:in.
        const QPoint page = *keyboard_ - QPoint(6, 96);
        ASSERT_TRUE(ClickAt(page + QPoint(6 + 55 + 100, 48 + 14 + 10), "click"));
        QThread::msleep(300);
        ASSERT_TRUE(Xdotool({"key", "Down", "Down", "Down", "Return"}));
        ASSERT_TRUE(Eventually([&] { return Connected(*synth_, "synth:in"); }))
            << "synth:in was not connected";
    }

    bool Xdotool(const QStringList& arguments) {
        return session_.Run("xdotool", arguments).has_value();
    }
    bool ClickAt(QPoint point, const QString& action) {
        return Xdotool({"mousemove", "--window", QString::number(*window_),
                        QString::number(point.x()), QString::number(point.y()), action, "1"});
    }
    QPoint A0() const { return *keyboard_ + QPoint(7, 60); }

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
        ASSERT_TRUE(Eventually([&] { return synth_->Received().size() >= 2; }, 2s));
        EXPECT_EQ(synth_->Received(), (std::vector<MidiBytes>{{0x90, 21, 101}, {0x80, 21, 0}}));

        QFile settings(config_.path() + "/klavio/registry.reg");
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly)) << "no settings were saved";
        EXPECT_TRUE(settings.readAll().contains("synth:in"));
        Xdotool({"mouseup", "1"});
    }

    JackTestServer server_;
    std::unique_ptr<JackPeer> synth_;
    XSession session_;
    QTemporaryDir config_;
    std::optional<ProgramRun> klavio_;
    std::optional<unsigned long> window_;
    std::optional<QPoint> keyboard_;
};

// The user plays A0: the synthesizer gets the note-on and then the note-off.
TEST_F(MidiClick, PlayedKeyReachesAJackPeer) {
    ASSERT_TRUE(ClickAt(A0(), "mousedown"));
    ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));
    ASSERT_TRUE(Xdotool({"mouseup", "1"}));
    ASSERT_TRUE(Eventually([&] { return synth_->Received().size() >= 2; }));
    EXPECT_EQ(synth_->Received(), (std::vector<MidiBytes>{{0x90, 21, 101}, {0x80, 21, 0}}));

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
