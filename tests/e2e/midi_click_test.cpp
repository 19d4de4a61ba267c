#include "tests/e2e/klavio_with_synth.h"

#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

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
        EXPECT_TRUE(ReceivedExactly(*synth_, {{0x90, 21, 101}, {0x80, 21, 0}}, 2s));

        QFile settings(config_.path() + "/klavio/registry.reg");
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly)) << "no settings were saved";
        EXPECT_TRUE(settings.readAll().contains("synth:in"));
        Xdotool({"mouseup", "1"});
    }
};

// Every way of playing delivers exactly what was played: one note-on per press, one note-off
// per release, a command byte for byte; no copy and nothing nobody played.
TEST_F(MidiClick, WhatIsPlayedArrivesExactlyOnce) {
    const auto on = [](int note) { return MidiBytes{0x90, static_cast<std::uint8_t>(note), 101}; };
    const auto off = [](int note) { return MidiBytes{0x80, static_cast<std::uint8_t>(note), 0}; };
    // Presses one after another, each moving on once the peer has its note-on, so that moves
    // coming together do not make one.
    const auto glide = [&](std::vector<int> whiteKeys) {
        bool done = ClickAt(WhiteKey(whiteKeys[0]), "mousedown");
        for (std::size_t key = 1; key <= whiteKeys.size() && done; ++key) {
            done = Eventually([&] { return synth_->Received().size() >= 2 * key - 1; });
            done = done && (key < whiteKeys.size() ? MoveTo(WhiteKey(whiteKeys[key]))
                                                   : Xdotool({"mouseup", "1"}));
        }
        return done;
    };
    std::vector<MidiBytes> escape;
    for (std::uint8_t channel = 0; channel < 16; ++channel)
        for (std::uint8_t controller : {120, 123})
            escape.push_back({static_cast<std::uint8_t>(0xB0 | channel), controller, 0});
    const QPoint commandLine = Page() + QPoint(368 + 8 + 40, 48 + 14 + 10);

    const struct {
        const char* what;
        std::function<bool()> play;
        std::vector<MidiBytes> expected;
    } cases[] = {
        {"a click", [&] { return ClickAt(A0(), "click"); }, {on(21), off(21)}},
        {"a double click",
         [&] {
             return MoveTo(A0()) && Xdotool({"click", "--repeat", "2", "--delay", "60", "1"});
         },
         {on(21), off(21), on(21), off(21)}},
        {"a glissando B0 C1 D1",
         [&] {
             return glide({1, 2, 3});
         },
         {on(23), off(23), on(24), off(24), on(26), off(26)}},
        {"a drag out of the keyboard",
         [&] {
             return ClickAt(WhiteKey(4), "mousedown") &&
                    Eventually([&] { return !synth_->Received().empty(); }) &&
                    MoveTo(WhiteKey(4, -40)) && Xdotool({"mouseup", "1"});
         },
         {on(28), off(28)}},
        // The keyboard has the focus from the clicks before.
        {"a typed key",
         [&] {
             return Xdotool({"key", "z"});
         },
         {{0x90, 24, 100}, {0x80, 24, 0}}},
        {"Space",
         [&] {
             return Xdotool({"key", "space"});
         },
         {{0xB0, 64, 127}, {0xB0, 64, 0}}},
        {"Escape",
         [&] {
             return Xdotool({"key", "Escape"});
         },
         escape},
        {"a free command of two messages",
         [&] {
             return ClickAt(commandLine, "click") && Xdotool({"type", "90 3C 7F 80 3C 00"}) &&
                    Xdotool({"key", "Return"});
         },
         {{0x90, 0x3C, 0x7F}, {0x80, 0x3C, 0x00}}},
    };
    for (const auto& played : cases) {
        SCOPED_TRACE(played.what);
        synth_->Forget();
        ASSERT_TRUE(played.play());
        EXPECT_TRUE(ReceivedExactly(*synth_, played.expected));
    }

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
