#include "tests/e2e/klavio_with_synth.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Whether the line beside the page tabs says something is wrong: it writes in dark red, a
// colour nothing else above the panels has.
bool WarningShown(XSession& session, unsigned long window, QPoint page) {
    const QImage shot = session.Grab(window);
    const QRect band(page.x() + 160, std::max(page.y() - 24, 0), 630, 22);
    for (int y = band.top(); y <= band.bottom() && y < shot.height(); ++y)
        for (int x = band.left(); x <= band.right() && x < shot.width(); ++x) {
            const QColor pixel = shot.pixelColor(x, y);
            if (pixel.red() > 110 && pixel.green() < 50 && pixel.blue() < 50)
                return true;
        }
    return false;
}

// A settings file with these lines below the program's key, as a run before left it.
bool WriteSettings(QFile& file, const char* lines) {
    if (!QDir().mkpath(QFileInfo(file).path()) || !file.open(QIODevice::WriteOnly))
        return false;
    file.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n");
    file.write(lines);
    file.close();
    return true;
}

class LiveDevices : public KlavioWithSynth {
protected:
    bool Warning() { return WarningShown(session_, *window_, Page()); }
};

// A saved output that is not there at start is kept, said to be missing, connected the moment
// it appears, and saved again at the end.
TEST(LiveDevicesAtStart, ASavedDeviceThatAppearsLateIsConnectedAndStaysSaved) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    XSession session;
    ASSERT_TRUE(session.Started());
    QTemporaryDir config;
    QFile file(config.filePath("klavio/registry.reg"));
    ASSERT_TRUE(WriteSettings(file, "\"MIDIOutDevice\"=\"late:in\"\r\n"));

    ProgramRun klavio(session, KLAVIO_BINARY, {"XDG_CONFIG_HOME=" + config.path()});
    const std::optional<unsigned long> window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << klavio.Output().toStdString();
    const std::optional<QPoint> keyboard = WaitForKeyboard(session, *window);
    ASSERT_TRUE(keyboard);
    const QPoint page = *keyboard - QPoint(6, 96);
    EXPECT_TRUE(Eventually([&] { return WarningShown(session, *window, page); }, 5s));

    std::string whyNot;
    QElapsedTimer appearing;
    appearing.start();
    const std::unique_ptr<JackPeer> late = JackPeer::Open("late", whyNot);
    ASSERT_TRUE(late) << whyNot;
    ASSERT_TRUE(Eventually([&] { return Connected(*late, "late:in"); }, 5s));
    const qint64 connectedAfter = appearing.elapsed();
    std::printf("saved device connected %lld ms after it appeared\n",
                static_cast<long long>(connectedAfter));
    EXPECT_LT(connectedAfter, 1000);
    EXPECT_TRUE(Eventually([&] { return !WarningShown(session, *window, page); }, 5s));

    const QPoint a0 = *keyboard + QPoint(7, 60);
    ASSERT_TRUE(
        session.Run("xdotool", {"mousemove", "--window", QString::number(*window),
                                QString::number(a0.x()), QString::number(a0.y()), "click", "1"}));
    EXPECT_TRUE(ReceivedExactly(*late, {{0x90, 21, 101}, {0x80, 21, 0}}));

    session.RequestClose(*window);
    ASSERT_TRUE(klavio.WaitForExit(20s));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("\"MIDIOutDevice\"=\"late:in\""));
}

// The sound kept from the last run reaches the device when it opens, before the first note;
// the arrow keys then choose the next instrument and bend.
TEST(SoundAtStart, TheKeptSoundIsSentWhenTheDeviceOpensAndTheArrowsShapeIt) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    ASSERT_TRUE(synth) << whyNot;
    XSession session;
    ASSERT_TRUE(session.Started());
    QTemporaryDir config;
    QFile file(config.filePath("klavio/registry.reg"));
    ASSERT_TRUE(WriteSettings(
        file, "\"MIDIOutDevice\"=\"synth:in\"\r\n\"MIDIOutChannel\"=dword:00000002\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Sound\\Channel 3]\r\n"
              "\"Program\"=dword:00000030\r\n\"Volume\"=dword:00000050\r\n"));
    ProgramRun klavio(session, KLAVIO_BINARY, {"XDG_CONFIG_HOME=" + config.path()});
    const std::optional<unsigned long> window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << klavio.Output().toStdString();
    ASSERT_TRUE(WaitForKeyboard(session, *window));
    ASSERT_TRUE(session.Run("xdotool", {"windowfocus", "--sync", QString::number(*window), "key",
                                        "Down", "keydown", "Right", "keyup", "Right"}));
    EXPECT_TRUE(ReceivedExactly(
        *synth, {{0xB2, 0, 0},    {0xB2, 32, 0},  {0xC2, 48},    {0xB2, 7, 80},    {0xB2, 10, 64},
                 {0xB2, 11, 127}, {0xB2, 91, 40}, {0xB2, 93, 0}, {0xB2, 1, 0},     {0xB2, 101, 0},
                 {0xB2, 100, 0},  {0xB2, 6, 2},   {0xB2, 38, 0}, {0xB2, 101, 127}, {0xB2, 100, 127},
                 {0xE2, 0, 64},   {0xB2, 0, 0},   {0xB2, 32, 0}, {0xC2, 49},       {0xE2, 127, 127},
                 {0xE2, 0, 64}}));
}

// The JACK server is stopped and started again while a key is held: klavio stays, says so,
// lets the note go, and plays to the synthesizer again once it is back.
TEST_F(LiveDevices, TheServerGoesAndComesBackWhileAKeyIsHeld) {
    ASSERT_TRUE(ClickAt(A0(), "mousedown"));
    ASSERT_TRUE(Eventually([&] { return !synth_->Received().empty(); }));
    std::string whyNot;
    synth_.reset();
    ASSERT_TRUE(server_.Restart(whyNot)) << whyNot;
    EXPECT_TRUE(Eventually([&] { return Warning(); }, 5s)) << "the window did not say so";
    ASSERT_TRUE(Xdotool({"mouseup", "1"}));
    EXPECT_FALSE(klavio_->WaitForExit(0ms));

    synth_ = JackPeer::Open("synth", whyNot);
    ASSERT_TRUE(synth_) << whyNot;
    ASSERT_TRUE(Eventually([&] { return Connected(*synth_, "synth:in"); }, 10s))
        << "synth:in was not connected again\n"
        << klavio_->Output().toStdString();
    EXPECT_TRUE(Eventually([&] { return !Warning(); }, 5s));
    ASSERT_TRUE(ClickAt(A0(), "click"));
    // Nothing of the note held before: it ended with the server.
    EXPECT_TRUE(ReceivedExactly(*synth_, {{0x90, 21, 101}, {0x80, 21, 0}}))
        << klavio_->Output().toStdString();
}

// Text that is no whole MIDI message is not sent and the window says so; Enter sends.
TEST_F(LiveDevices, ARejectedCommandShowsWhyAndEnterSends) {
    const QPoint commandLine = Page() + QPoint(368 + 8 + 40, 48 + 14 + 10);
    ASSERT_TRUE(ClickAt(commandLine, "click"));
    ASSERT_TRUE(Xdotool({"type", "3C 7F"}));
    ASSERT_TRUE(Xdotool({"key", "Return"}));
    EXPECT_TRUE(Eventually([&] { return Warning(); }, 5s));
    ASSERT_TRUE(Xdotool({"key", "ctrl+a", "BackSpace"}));
    ASSERT_TRUE(Xdotool({"type", "90 3C 7F"}));
    EXPECT_TRUE(Eventually([&] { return !Warning(); }, 5s));
    ASSERT_TRUE(Xdotool({"key", "Return"}));
    EXPECT_TRUE(ReceivedExactly(*synth_, {{0x90, 0x3C, 0x7F}}));
}

} // namespace
