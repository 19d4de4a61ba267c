#include "tests/e2e/x_session.h"
#include "tests/integration/jack_gtest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRect>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

namespace {

using namespace std::chrono_literals;

const QSize kKeyboardSize(780, 75);

constexpr const char* kReceiver = "settings-receiver";

// Whether the receiver gets an event of exactly these bytes.
bool Receives(JackPeer& receiver, const MidiBytes& event) {
    return Eventually([&] {
        const std::vector<MidiBytes>& received = receiver.Received();
        return std::find(received.begin(), received.end(), event) != received.end();
    });
}

std::string Describe(JackPeer& receiver) {
    std::string text;
    for (const MidiBytes& event : receiver.Received()) {
        for (std::uint8_t byte : event)
            text += QString::asprintf("%02x ", byte).toStdString();
        text += "| ";
    }
    return text;
}

// Where the panel's controls are, from the keyboard's corner in the window: the page starts 6
// pixels left of and 96 above it.
struct Layout {
    QPoint page;
    QPoint Centre(int left, int top, int width, int height) const {
        return page + QPoint(left + width / 2, top + height / 2);
    }
    QPoint OutputDevice() const { return Centre(6 + 55, 48 + 14, 202, 21); }
    QPoint OutputChannel() const { return Centre(6 + 263, 48 + 14, 82, 21); }
    QPoint Higher() const { return Centre(609 + 92, 4 + 14, 75, 21); }
    QPoint CommandText() const { return page + QPoint(368 + 8 + 40, 48 + 14 + 10); }
    QPoint Send() const { return Centre(368 + 333, 48 + 14, 75, 21); }
    QPoint Keyboard() const { return page + QPoint(6, 96); }
    // The parts of the window that show what was restored: the keyboard, the base key, and the
    // text inside the two output lists (inside their frames, which show focus and hover).
    std::vector<QRect> Restored() const {
        return {QRect(Keyboard(), kKeyboardSize),
                QRect(page + QPoint(368 + 56, 4 + 17), QSize(49, 13)),
                QRect(page + QPoint(6 + 55 + 4, 48 + 14 + 4), QSize(170, 13)),
                QRect(page + QPoint(6 + 263 + 4, 48 + 14 + 4), QSize(60, 13))};
    }
};

class KlavioRun {
public:
    KlavioRun(XSession& session, const QStringList& environment)
        : session_(session), program_(session, KLAVIO_BINARY, environment) {}

    // Waits for the window and its keyboard; false when either does not come.
    bool Start() {
        window_ = program_.WaitForWindow("klavio");
        if (!window_)
            return false;
        return Eventually([&] {
            const auto keyboard = FindKeyboard(session_.Grab(*window_));
            if (keyboard)
                layout_.page = *keyboard - QPoint(6, 96);
            return keyboard.has_value();
        });
    }

    const Layout& Where() const { return layout_; }

    bool Click(QPoint at, int times = 1) {
        return session_
            .Run("xdotool", {"mousemove", "--window", QString::number(*window_),
                             QString::number(at.x()), QString::number(at.y()), "click", "--repeat",
                             QString::number(times), "--delay", "150", "1"})
            .has_value();
    }

    // Turning the mouse wheel over a list moves its selection as choosing with the mouse does,
    // without a drop-down to wait for.
    bool WheelDown(QPoint at, int notches) {
        return session_
            .Run("xdotool", {"mousemove", "--window", QString::number(*window_),
                             QString::number(at.x()), QString::number(at.y()), "click", "--repeat",
                             QString::number(notches), "--delay", "150", "5"})
            .has_value();
    }

    bool Type(const QString& text) {
        return session_.Run("xdotool", {"type", "--delay", "30", text}).has_value();
    }

    // The restored parts of the window once nothing moves any more, with the pointer out of the
    // way so that nothing shows hovered.
    std::vector<QImage> RestoredParts() {
        session_.Run("xdotool", {"mousemove", "1270", "1010"});
        std::vector<QImage> parts;
        Eventually([&] {
            const QImage first = session_.Grab(*window_);
            QThread::msleep(300);
            const QImage second = session_.Grab(*window_);
            if (second.isNull() || first != second)
                return false;
            parts.clear();
            for (const QRect& part : layout_.Restored())
                parts.push_back(second.copy(part));
            return true;
        });
        return parts;
    }

    ::testing::AssertionResult Close() {
        session_.RequestClose(*window_);
        if (!program_.WaitForExit(20s))
            return ::testing::AssertionFailure() << "klavio did not end";
        if (program_.CrashedOrKilled() || program_.ExitCode() != 0)
            return ::testing::AssertionFailure() << program_.Output().toStdString();
        return ::testing::AssertionSuccess();
    }

    QString Output() { return program_.Output(); }

private:
    XSession& session_;
    ProgramRun program_;
    std::optional<unsigned long> window_;
    Layout layout_;
};

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(Settings, ChoicesSurviveARestartAndNotesGoOutOnTheRestoredChannel) {
    JackTestServer server;
    if (!StartJackForTest(server))
        return;
    std::string whyNot;
    const std::unique_ptr<JackPeer> receiver = JackPeer::Open(kReceiver, whyNot);
    ASSERT_TRUE(receiver) << whyNot;
    XSession session;
    ASSERT_TRUE(session.Started()) << "Xvfb did not start";
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    // The server's name reaches klavio through this process's environment.
    const QStringList environment{"XDG_CONFIG_HOME=" + config.path()};
    const QString settingsFile = config.filePath("klavio/registry.reg");

    std::vector<QImage> chosen;
    {
        KlavioRun first(session, environment);
        ASSERT_TRUE(first.Start()) << first.Output().toStdString();
        const Layout& where = first.Where();
        // The output list holds no device, the built-in synthesizer (chosen at a first start),
        // the program's own port, then the receiver.
        ASSERT_TRUE(first.WheelDown(where.OutputDevice(), 2));
        ASSERT_TRUE(first.WheelDown(where.OutputChannel(), 4)); // channel 5
        ASSERT_TRUE(first.Click(where.Higher(), 3));            // A0 to D1
        ASSERT_TRUE(first.Click(where.CommandText()));
        ASSERT_TRUE(first.Type("90 3C 7F"));
        ASSERT_TRUE(first.Click(where.Send()));
        ASSERT_TRUE(Receives(*receiver, {0x90, 0x3C, 0x7F}))
            << "the command did not arrive: " << Describe(*receiver)
            << first.Output().toStdString();
        chosen = first.RestoredParts();
        ASSERT_TRUE(first.Close());
    }
    const QByteArray saved = ReadFile(settingsFile);
    for (const QByteArray& line :
         {QByteArray("[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n"),
          QByteArray("\"BaseOctave\"=dword:00000002\r\n"),
          QByteArray("\"BaseNote\"=dword:00000001\r\n"),
          QByteArray("\"MIDIOutDevice\"=\"") + kReceiver + ":",
          QByteArray("\"MIDIOutChannel\"=dword:00000004\r\n"),
          QByteArray("[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Cmds]\r\n"
                     "\"90 3C 7F\"=dword:00000001\r\n")})
        EXPECT_TRUE(saved.contains(line)) << line.toStdString() << " not in:\n"
                                          << saved.toStdString();

    receiver->Forget();
    KlavioRun second(session, environment);
    ASSERT_TRUE(second.Start()) << second.Output().toStdString();
    const std::vector<QImage> restored = second.RestoredParts();
    ASSERT_EQ(restored.size(), chosen.size());
    const char* parts[] = {"keyboard from D1", "base key", "output device", "output channel"};
    for (std::size_t i = 0; i < restored.size(); ++i)
        EXPECT_TRUE(restored[i] == chosen[i]) << parts[i] << " differs after the restart";
    // D1, note 26, on channel 5, without touching the channel list.
    ASSERT_TRUE(second.Click(second.Where().Keyboard() + QPoint(7, 60)));
    EXPECT_TRUE(Receives(*receiver, {0x94, 0x1A, 0x65}))
        << "no note-on on channel 5: " << Describe(*receiver);
    EXPECT_TRUE(Receives(*receiver, {0x84, 0x1A, 0x00})) << Describe(*receiver);
    ASSERT_TRUE(second.Close());
    // Nothing was lost on the way: the second run saved what the first one had.
    EXPECT_EQ(ReadFile(settingsFile), saved);
}

// Two instances share one settings file. The one that closes last keeps the commands the other
// saved meanwhile, after its own.
TEST(Settings, TheInstanceClosingLastKeepsTheOthersCommands) {
    XSession session;
    ASSERT_TRUE(session.Started()) << "Xvfb did not start";
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const QStringList environment{"XDG_CONFIG_HOME=" + config.path()};
    const auto send = [](KlavioRun& run, const QString& command) {
        return run.Click(run.Where().CommandText()) && run.Type(command) &&
               run.Click(run.Where().Send());
    };

    KlavioRun first(session, environment);
    ASSERT_TRUE(first.Start()) << first.Output().toStdString();
    ASSERT_TRUE(send(first, "C0 01"));
    {
        KlavioRun second(session, environment);
        ASSERT_TRUE(second.Start()) << second.Output().toStdString();
        ASSERT_TRUE(send(second, "C0 02"));
        ASSERT_TRUE(second.Close());
    }
    ASSERT_TRUE(first.Close());
    const QByteArray saved = ReadFile(config.filePath("klavio/registry.reg"));
    EXPECT_TRUE(saved.contains("[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Cmds]\r\n"
                               "\"C0 01\"=dword:00000001\r\n"
                               "\"C0 02\"=dword:00000001\r\n"))
        << saved.toStdString();
}

} // namespace
