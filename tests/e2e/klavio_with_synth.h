#pragma once

// klavio on a private display, with a JACK synthesizer chosen as its output device: the setting
// every end-to-end test of played notes starts from.

#include "tests/e2e/x_session.h"
#include "tests/integration/jack_gtest.h"

#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <memory>
#include <optional>

inline bool Connected(JackPeer& peer, const char* port) {
    jack_port_t* in = jack_port_by_name(peer.Client(), port);
    return in != nullptr && jack_port_connected(in) > 0;
}

class KlavioWithSynth : public ::testing::Test {
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
        keyboard_ = WaitForKeyboard(session_, *window_);
        ASSERT_TRUE(keyboard_);

        // The output list: no device, the built-in synthesizer (chosen at a first start), the
        // program's own port, then synth:in.
        ASSERT_TRUE(ClickAt(Page() + QPoint(6 + 55 + 100, 48 + 14 + 10), "click"));
        QThread::msleep(300);
        ASSERT_TRUE(Xdotool({"key", "Home", "Down", "Down", "Down", "Return"}));
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
    // The keyboard page's top-left corner in the window.
    QPoint Page() const { return *keyboard_ - QPoint(6, 96); }
    QPoint A0() const { return *keyboard_ + QPoint(7, 60); }

    JackTestServer server_;
    std::unique_ptr<JackPeer> synth_;
    XSession session_;
    QTemporaryDir config_;
    std::optional<ProgramRun> klavio_;
    std::optional<unsigned long> window_;
    std::optional<QPoint> keyboard_;
};
