#include "jack_gtest.h"
#include "x_session.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace {

using namespace std::chrono_literals;

bool Connected(JackPeer& peer, const char* port) {
    jack_port_t* in = jack_port_by_name(peer.Client(), port);
    return in != nullptr && jack_port_connected(in) > 0;
}

// The user picks a JACK synthesizer as output device and plays A0: the synthesizer gets the
// note-on and then the note-off.
TEST(MidiClick, PlayedKeyReachesAJackPeer) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    ASSERT_TRUE(synth) << whyNot;

    XSession session;
    ASSERT_TRUE(session.Started());
    QTemporaryDir config; // no saved settings: nothing is chosen at start
    ProgramRun klavio(session, KLAVIO_BINARY, {"XDG_CONFIG_HOME=" + config.path()});
    const auto window = klavio.WaitForWindow("klavio");
    ASSERT_TRUE(window) << klavio.Output().toStdString();
    std::optional<QPoint> keyboard;
    ASSERT_TRUE(
        Eventually([&] { return (keyboard = FindKeyboard(session.Grab(*window))).has_value(); }));
    const QString id = QString::number(*window);
    auto run = [&](const QStringList& arguments) {
        return session.Run("xdotool", arguments).has_value();
    };

    // The output list: no device, the program's own port, then synth:in.
    const QPoint page = *keyboard - QPoint(6, 96);
    const QPoint outputList = page + QPoint(6 + 55 + 100, 48 + 14 + 10);
    ASSERT_TRUE(run({"mousemove", "--window", id, QString::number(outputList.x()),
                     QString::number(outputList.y()), "click", "1"}));
    QThread::msleep(300);
    ASSERT_TRUE(run({"key", "Down", "Down", "Return"}));
    ASSERT_TRUE(Eventually([&] { return Connected(*synth, "synth:in"); }))
        << "synth:in was not connected";

    const QPoint a0 = *keyboard + QPoint(7, 60);
    ASSERT_TRUE(run({"mousemove", "--window", id, QString::number(a0.x()), QString::number(a0.y()),
                     "mousedown", "1"}));
    ASSERT_TRUE(Eventually([&] { return !synth->Received().empty(); }));
    ASSERT_TRUE(run({"mouseup", "1"}));
    ASSERT_TRUE(Eventually([&] { return synth->Received().size() >= 2; }));
    EXPECT_EQ(synth->Received(), (std::vector<MidiBytes>{{0x90, 21, 101}, {0x80, 21, 0}}));

    session.RequestClose(*window);
    ASSERT_TRUE(klavio.WaitForExit(20s));
    EXPECT_EQ(klavio.ExitCode(), 0) << klavio.Output().toStdString();
}

} // namespace
