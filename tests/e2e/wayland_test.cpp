#include "tests/e2e/klavio_with_synth.h"
#include "tests/e2e/wayland_session.h"
#include "tests/e2e/window_pictures.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <vector>

// The real program as a native Wayland client of a headless sway, with no X server anywhere:
// Qt picks its Wayland platform from WAYLAND_DISPLAY alone.

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kZ = 44; // the kernel's key code

// Without sway and its helpers the test is skipped, except under CI, which must run it; a sway
// that is there but does not start fails the test. Returns whether the test can go on.
bool StartWaylandForTest(WaylandSession& session) {
    if (const QString missing = WaylandSession::MissingPrograms(); !missing.isEmpty()) {
        if (std::getenv("CI") != nullptr)
            [&] {
                FAIL() << "not installed: " << missing.toStdString() << "; CI must run these";
            }();
        else
            [&] { GTEST_SKIP() << "not installed: " << missing.toStdString(); }();
        return false;
    }
    QString whyNot;
    if (session.Start(QSize(1280, 1024), whyNot))
        return true;
    [&] { FAIL() << whyNot.toStdString(); }();
    return false;
}

TEST(WaylandWindow, ShowsAtItsSizeAndMatchesTheKeptPicture) {
    if (access("/dev/snd/seq", R_OK | W_OK) == 0)
        GTEST_SKIP() << "this machine has an ALSA sequencer: the window would list its devices";
    WaylandSession session;
    if (!StartWaylandForTest(session))
        return;
    QTemporaryDir config;
    const QStringList environment = PictureEnvironment(config, "en_US.UTF-8", 1);
    ASSERT_FALSE(environment.isEmpty()) << "cannot write the settings and fonts";
    ProgramRun klavio(session.Environment(), KLAVIO_BINARY, environment);
    const std::optional<QRect> window = session.WaitForWindow(klavio.Pid());
    ASSERT_TRUE(window) << "no klavio window: " << klavio.Output().toStdString();
    // The pointer out of the window's way: a control under it would be drawn hovered.
    ASSERT_TRUE(session.Pointer({1279, 1023}, "move"));
    const QImage actual = SettledPicture([&] { return session.Grab(*window); }, 1);
    ASSERT_FALSE(actual.isNull()) << "the window never showed its keyboard steadily";
    EXPECT_TRUE(MatchesKeptPicture(actual, "window-en-1x", 1));
}

// klavio with synth:in chosen as its output in the settings, its keyboard on the screen.
class OnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        if (!StartWaylandForTest(session_) || !StartJackForTest(server_))
            return;
        std::string whyNot;
        synth_ = JackPeer::Open("synth", whyNot);
        ASSERT_TRUE(synth_) << whyNot;
        QFile settings(config_.filePath("klavio/registry.reg"));
        ASSERT_TRUE(QDir(config_.path()).mkpath("klavio") && settings.open(QIODevice::WriteOnly));
        settings.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n"
                       "\"MIDIOutDevice\"=\"synth:in\"\r\n");
        settings.close();
        klavio_.emplace(session_.Environment(), KLAVIO_BINARY,
                        QStringList{"XDG_CONFIG_HOME=" + config_.path()});
        const std::optional<QRect> window = session_.WaitForWindow(klavio_->Pid());
        ASSERT_TRUE(window) << klavio_->Output().toStdString();
        std::optional<QPoint> keyboard;
        ASSERT_TRUE(Eventually(
            [&] { return (keyboard = FindKeyboard(session_.Grab(*window))).has_value(); }));
        keyboard_ = window->topLeft() + *keyboard;
        ASSERT_TRUE(Eventually([&] { return Connected(*synth_, "synth:in"); }))
            << "synth:in was not connected: " << klavio_->Output().toStdString();
    }

    // A white key on the screen, counted from A0, where the velocity is 101.
    QPoint WhiteKey(int index) const { return keyboard_ + QPoint(15 * index + 7, 60); }

    WaylandSession session_;
    JackTestServer server_;
    std::unique_ptr<JackPeer> synth_;
    QTemporaryDir config_;
    std::optional<ProgramRun> klavio_;
    QPoint keyboard_;
};

// One note-on per press and one note-off per release, also where the compositor repeats a held
// key (Qt does so in the program, with releases and presses marked as repeats) or takes the keys
// away while one is held (the note ends then, not at a release that goes elsewhere).
TEST_F(OnWayland, WhatIsPlayedArrivesExactlyOnce) {
    const auto hold = [&](const std::function<bool()>& meanwhile) {
        return session_.Key(kZ, true) && Eventually([&] { return !synth_->Received().empty(); }) &&
               meanwhile() && session_.Key(kZ, false);
    };
    const auto sway = [&](const QString& command) { return session_.Run("swaymsg", {command}); };
    const std::vector<MidiBytes> a0 = {{0x90, 21, 101}, {0x80, 21, 0}};
    const std::vector<MidiBytes> z = {{0x90, 24, 100}, {0x80, 24, 0}};
    const struct {
        const char* what;
        std::function<bool()> play;
        std::vector<MidiBytes> expected;
    } cases[] = {
        {"a click on A0", [&] { return session_.Pointer(WhiteKey(0), "click"); }, a0},
        // The click gave the keyboard the keys.
        {"Z typed", [&] { return hold([] { return true; }); }, z},
        {"Z held for a second", [&] { return hold([] { return QThread::sleep(1), true; }); }, z},
        {"Z held while another workspace takes the keys",
         [&] {
             return hold([&] {
                        return sway("workspace 2") &&
                               Eventually([&] { return synth_->Received().size() >= 2; });
                    }) &&
                    sway("workspace 1");
         },
         z},
        {"A0 held while the compositor closes the window",
         [&] {
             return session_.Pointer(WhiteKey(0), "press") &&
                    Eventually([&] { return !synth_->Received().empty(); }) &&
                    sway(QStringLiteral("[pid=%1] kill").arg(klavio_->Pid())) &&
                    klavio_->WaitForExit(20s);
         },
         a0},
    };
    for (const auto& played : cases) {
        SCOPED_TRACE(played.what);
        synth_->Forget();
        ASSERT_TRUE(played.play());
        EXPECT_TRUE(ReceivedExactly(*synth_, played.expected));
    }
    EXPECT_EQ(klavio_->ExitCode(), 0) << klavio_->Output().toStdString();
}

} // namespace
