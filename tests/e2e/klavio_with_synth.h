#pragma once

// klavio on a private display, with a JACK synthesizer chosen as its output device: the setting
// every end-to-end test of played notes starts from.

#include "tests/e2e/x_session.h"
#include "tests/integration/jack_gtest.h"

#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

// Whether the peer received exactly these events, once that many came and a while passed for
// any that should not come: a copy, or a message nobody played, fails it; a note-off klavio sent
// again after an xrun is the machine's doing, said and not counted.
inline ::testing::AssertionResult
ReceivedExactly(JackPeer& peer, const std::vector<MidiBytes>& expected,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Eventually([&] { return peer.Received().size() >= expected.size(); }, timeout);
    QThread::msleep(400);
    const std::vector<MidiBytes> received = peer.ReceivedLessXrunRepeats();
    if (received == expected)
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "received:";
    for (const MidiBytes& event : received) {
        failure << " [";
        for (std::uint8_t byte : event)
            failure << ' ' << std::hex << static_cast<int>(byte);
        failure << " ]";
    }
    return failure << std::dec << " (" << received.size() << " events, " << expected.size()
                   << " expected)";
}

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
    bool MoveTo(QPoint point) {
        return Xdotool({"mousemove", "--window", QString::number(*window_),
                        QString::number(point.x()), QString::number(point.y())});
    }
    bool ClickAt(QPoint point, const QString& action) {
        return Xdotool({"mousemove", "--window", QString::number(*window_),
                        QString::number(point.x()), QString::number(point.y()), action, "1"});
    }
    // The keyboard page's top-left corner in the window.
    QPoint Page() const { return *keyboard_ - QPoint(6, 96); }
    QPoint A0() const { return WhiteKey(0); }
    // A white key, counted from A0, at a depth where the velocity is depth * 127 / 75.
    QPoint WhiteKey(int index, int depth = 60) const {
        return *keyboard_ + QPoint(15 * index + 7, depth);
    }

    JackTestServer server_;
    std::unique_ptr<JackPeer> synth_;
    XSession session_;
    QTemporaryDir config_;
    std::optional<ProgramRun> klavio_;
    std::optional<unsigned long> window_;
    std::optional<QPoint> keyboard_;
};
