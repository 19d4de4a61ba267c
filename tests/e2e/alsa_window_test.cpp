// The real window over the kernel's ALSA sequencer. Runs inside the test VM (scripts/alsa-vm.sh,
// ctest alsa_window_vm), where "Midi Through" and four VirMIDI ports exist and the only other
// clients are this test's own peers.

#include "tests/e2e/x_session.h"
#include "tests/integration/alsa_test_peer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Events take many turns of a slow emulated machine: waits are long, and end as soon as the
// awaited thing shows.
constexpr auto kWait = 30s;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A peer that reads all the time on a thread of its own, as a synthesizer does: a long SysEx
// is paced for a reader that wakes at least every 30 ms.
class ListeningPeer {
public:
    explicit ListeningPeer(const std::string& name) : peer_(name) {
        if (peer_.Ok())
            reader_ = std::thread([this] { Read(); });
    }
    ~ListeningPeer() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }

    bool Ok() const { return peer_.Ok(); }
    QString DeviceName() const { return QString::fromStdString(peer_.DeviceName()); }
    Bytes Received() {
        std::lock_guard lock(mutex_);
        return peer_.received;
    }
    void Forget() {
        std::lock_guard lock(mutex_);
        peer_.received.clear();
    }
    bool Overflowed() {
        std::lock_guard lock(mutex_);
        return peer_.overflowed;
    }
    // When the last SysEx ended here and the first byte after it came, in ms on the reader's
    // clock; -1 for what did not happen.
    std::pair<qint64, qint64> SysExEndAndNext() {
        std::lock_guard lock(mutex_);
        return {sysExEndMs_, afterSysExMs_};
    }
    // Whether a port sends here: klavio's output, once it is connected.
    bool Connected() {
        std::lock_guard lock(mutex_);
        return peer_.HasSubscribers(SND_SEQ_QUERY_SUBS_WRITE);
    }
    bool Play(const Bytes& stream) {
        std::lock_guard lock(mutex_);
        return peer_.Play(stream);
    }

private:
    // Runs on the peer's reading thread.
    void Read() {
        snd_seq_t* seq = peer_.Sequencer();
        std::vector<pollfd> descriptors(
            static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq, POLLIN)));
        snd_seq_poll_descriptors(seq, descriptors.data(), static_cast<unsigned>(descriptors.size()),
                                 POLLIN);
        QElapsedTimer clock;
        clock.start();
        while (!stop_) {
            poll(descriptors.data(), descriptors.size(), 50);
            std::lock_guard lock(mutex_);
            const std::size_t before = peer_.received.size();
            peer_.Drain();
            const Bytes& bytes = peer_.received;
            for (std::size_t i = before; i < bytes.size(); ++i) {
                if (bytes[i] == 0xF7) {
                    sysExEndMs_ = clock.elapsed();
                    afterSysExMs_ = -1;
                } else if (sysExEndMs_ >= 0 && afterSysExMs_ < 0) {
                    afterSysExMs_ = clock.elapsed();
                }
            }
        }
    }

    AlsaPeer peer_;
    std::mutex mutex_;
    qint64 sysExEndMs_ = -1;
    qint64 afterSysExMs_ = -1;
    std::atomic<bool> stop_ = false;
    std::thread reader_;
};

// Writes into a VirMIDI device what a keyboard on a cable would send; the sequencer hands it
// on as events of that port's client, "Virtual Raw MIDI 0-N".
bool WriteToVirMidi(int device, const Bytes& bytes) {
    // The VirMIDI card is the VM's only card.
    QFile port(QStringLiteral("/dev/snd/midiC0D%1").arg(device));
    return port.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           port.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
}

// "F0 ... F7" of that many bytes in all, written as the longest text the command line takes:
// hexadecimal digits without blanks.
QString SysExText(int size, Bytes& bytes) {
    bytes.assign(static_cast<std::size_t>(size), 0);
    QString text;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(i == 0          ? 0xF0
                                                    : i == size - 1 ? 0xF7
                                                                    : (i * 7 + i / 128) & 0x7F);
        bytes[static_cast<std::size_t>(i)] = byte;
        text += QString::asprintf("%02X", byte);
    }
    return text;
}

std::string Hex(const Bytes& bytes, std::size_t limit = 64) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i)
        text += QString::asprintf("%02X ", bytes[i]).toStdString();
    return text + (bytes.size() > limit ? "... (" + std::to_string(bytes.size()) + " bytes)" : "");
}

// klavio on the test's display with a settings folder of its own, and what a user does with
// its window.
class Window {
public:
    explicit Window(XSession& session) : session_(session) {}

    // Starts klavio, again after a close, and waits for its keyboard.
    ::testing::AssertionResult Start() {
        QElapsedTimer clock;
        clock.start();
        program_.emplace(session_, KLAVIO_BINARY, QStringList{"XDG_CONFIG_HOME=" + config_.path()});
        window_ = program_->WaitForWindow("klavio");
        const std::optional<QPoint> keyboard =
            window_ ? WaitForKeyboard(session_, *window_) : std::nullopt;
        if (!keyboard)
            return ::testing::AssertionFailure()
                   << "no keyboard on screen: " << program_->Output().toStdString();
        keyboard_ = *keyboard;
        std::printf("[ measured ] klavio showed its keyboard %lld ms after it was started\n",
                    static_cast<long long>(clock.elapsed()));
        return ::testing::AssertionSuccess();
    }

    // Closes the window as its close button does; klavio must end cleanly.
    ::testing::AssertionResult Close() {
        session_.RequestClose(*window_);
        if (!program_->WaitForExit(kWait))
            return ::testing::AssertionFailure() << "klavio did not end";
        if (program_->CrashedOrKilled() || program_->ExitCode() != 0)
            return ::testing::AssertionFailure() << program_->Output().toStdString();
        return ::testing::AssertionSuccess();
    }

    QString SettingsFile() const { return config_.filePath("klavio/registry.reg"); }

    bool Xdotool(const QStringList& arguments) {
        return session_.Run("xdotool", arguments, kWait).has_value();
    }
    QStringList MoveTo(QPoint point) const {
        return {"mousemove", "--window", QString::number(*window_), QString::number(point.x()),
                QString::number(point.y())};
    }
    bool ClickAt(QPoint point) { return Xdotool(MoveTo(point) + QStringList{"click", "1"}); }

    // Opens a list and picks the item whose text starts with the given one, typed as a user
    // looking for it would. The button is held meanwhile: a release that klavio sees long after
    // the list opened would pick the item under the pointer and close the list. Nothing needs to
    // wait in between: the open list takes the keys that follow, however late klavio gets to
    // them.
    bool Choose(QPoint list, const QString& item) {
        // "type" and "key" take every word after them as text and keys.
        return Xdotool(MoveTo(list) +
                       QStringList{"mousedown", "1", "type", "--delay", "10", item}) &&
               Xdotool({"key", "Return"}) && Xdotool({"mouseup", "1"});
    }
    // Picks a channel, counted from 1, by its place in the list: typing "Channel 1" would find
    // "Channel 10" first when the list is further down.
    bool ChooseChannel(QPoint list, int channel) {
        QStringList keys{"key", "Home"};
        // The input list starts with "All channels".
        for (int down = list == InputChannels() ? channel : channel - 1; down > 0; --down)
            keys << "Down";
        return Xdotool(MoveTo(list) + QStringList{"mousedown", "1"}) && Xdotool(keys << "Return") &&
               Xdotool({"mouseup", "1"});
    }

    // Where the panel's controls are: the page starts 6 pixels left of the keyboard and 96
    // above it.
    QPoint Page() const { return keyboard_ - QPoint(6, 96); }
    QPoint InputDevices() const { return Page() + QPoint(6 + 55 + 101, 4 + 14 + 10); }
    QPoint InputChannels() const { return Page() + QPoint(6 + 263 + 41, 4 + 14 + 10); }
    QPoint OutputDevices() const { return Page() + QPoint(6 + 55 + 101, 48 + 14 + 10); }
    QPoint OutputChannels() const { return Page() + QPoint(6 + 263 + 41, 48 + 14 + 10); }
    QPoint CommandText() const { return Page() + QPoint(368 + 8 + 40, 48 + 14 + 10); }
    QPoint Send() const { return Page() + QPoint(368 + 333 + 37, 48 + 14 + 10); }
    // A white key, counted from A0, at a depth where the velocity is depth * 127 / 75.
    QPoint WhiteKey(int index, int depth = 60) const {
        return keyboard_ + QPoint(15 * index + 7, depth);
    }
    // A pressed key shows inverted: its lower part turns black.
    bool Lit(int whiteIndex) {
        return session_.Grab(*window_).pixel(WhiteKey(whiteIndex)) == 0xFF000000;
    }

private:
    XSession& session_;
    QTemporaryDir config_;
    std::optional<ProgramRun> program_;
    std::optional<unsigned long> window_;
    QPoint keyboard_;
};

// What a peer got, once it got that much and nothing more came for a while.
Bytes Heard(ListeningPeer& peer, std::size_t size) {
    Eventually([&] { return peer.Received().size() >= size; }, kWait);
    QThread::msleep(300);
    return peer.Received();
}

// One display and one synthesizer for every case. A start of klavio takes seconds under
// emulation, so the cases that need only a first start with the synthesizer chosen share one.
class AlsaWindow : public testing::Test {
protected:
    static void SetUpTestSuite() {
        session_ = std::make_unique<XSession>();
        synth_ = std::make_unique<ListeningPeer>("synth");
    }
    static void TearDownTestSuite() {
        if (shared_) {
            const ::testing::AssertionResult closed = shared_->Close();
            if (!closed)
                ADD_FAILURE() << closed.message();
        }
        shared_.reset();
        synth_.reset();
        session_.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(session_->Started()) << "Xvfb did not start";
        ASSERT_TRUE(synth_->Ok());
        synth_->Forget();
    }

    // klavio after its first start, the synthesizer chosen from the output list by its name.
    void UseSharedRun() {
        if (shared_)
            return;
        auto window = std::make_unique<Window>(*session_);
        ASSERT_TRUE(window->Start());
        ASSERT_TRUE(window->Choose(window->OutputDevices(), synth_->DeviceName()));
        ASSERT_TRUE(Eventually([] { return synth_->Connected(); }, kWait))
            << "choosing synth:io from the output list did not connect it";
        shared_ = std::move(window);
    }

    static std::unique_ptr<XSession> session_;
    static std::unique_ptr<ListeningPeer> synth_;
    static std::unique_ptr<Window> shared_;
};

std::unique_ptr<XSession> AlsaWindow::session_;
std::unique_ptr<ListeningPeer> AlsaWindow::synth_;
std::unique_ptr<Window> AlsaWindow::shared_;

TEST_F(AlsaWindow, TheChosenPeerHearsClicksAndAGlissandoAsExactBytes) {
    ASSERT_NO_FATAL_FAILURE(UseSharedRun());
    Window& klavio = *shared_;
    ASSERT_TRUE(klavio.ChooseChannel(klavio.OutputChannels(), 3));
    // A0 deep in the key, C1 half as deep, then a glissando from D1 over E1 to F1, each key
    // left only once it shows pressed: moves that come together make one.
    ASSERT_TRUE(klavio.ClickAt(klavio.WhiteKey(0)));
    ASSERT_TRUE(klavio.ClickAt(klavio.WhiteKey(2, 30)));
    ASSERT_TRUE(klavio.Xdotool(klavio.MoveTo(klavio.WhiteKey(3)) + QStringList{"mousedown", "1"}));
    for (int key = 3; key <= 5; ++key) {
        ASSERT_TRUE(Eventually([&] { return klavio.Lit(key); }, kWait)) << "white key " << key;
        ASSERT_TRUE(klavio.Xdotool(key < 5 ? klavio.MoveTo(klavio.WhiteKey(key + 1))
                                           : QStringList{"mouseup", "1"}));
    }
    const Bytes expected = {0x92, 21,   101,  0x82, 21,   0,    0x92, 24,   50,   0x82,
                            24,   0,    0x92, 26,   101,  0x82, 26,   0,    0x92, 28,
                            101,  0x82, 28,   0,    0x92, 29,   101,  0x82, 29,   0};
    EXPECT_EQ(Heard(*synth_, expected.size()), expected);
}

TEST_F(AlsaWindow, VirMidiNotesLightTheKeysOfTheChosenChannelOnlyAndNeverReachTheOutput) {
    ASSERT_NO_FATAL_FAILURE(UseSharedRun());
    Window& klavio = *shared_;
    ASSERT_TRUE(klavio.ChooseChannel(klavio.OutputChannels(), 1));
    // The channel first: notes come in as soon as the device is chosen.
    ASSERT_TRUE(klavio.ChooseChannel(klavio.InputChannels(), 2));
    ASSERT_TRUE(klavio.Choose(klavio.InputDevices(), "Virtual Raw MIDI 0-1"));
    // B0 on channel 1 and C1 on channel 3 come before A0 on channel 2: once A0 shows, they have
    // been taken and left alone.
    ASSERT_TRUE(WriteToVirMidi(1, {0x90, 23, 64, 0x92, 24, 64, 0x91, 21, 64}));
    EXPECT_TRUE(Eventually([&] { return klavio.Lit(0); }, kWait)) << "A0 did not light";
    EXPECT_FALSE(klavio.Lit(1)) << "a note on channel 1 lit B0";
    EXPECT_FALSE(klavio.Lit(2)) << "a note on channel 3 lit C1";
    ASSERT_TRUE(WriteToVirMidi(1, {0x81, 21, 0, 0x80, 23, 0, 0x82, 24, 0}));
    EXPECT_TRUE(Eventually([&] { return !klavio.Lit(0); }, kWait)) << "A0 stayed lit";

    // The synthesizer hears the click, and nothing of what came in before it.
    ASSERT_TRUE(klavio.ClickAt(klavio.WhiteKey(3)));
    const Bytes expected = {0x90, 26, 101, 0x80, 26, 0};
    EXPECT_EQ(Heard(*synth_, expected.size()), expected);
}

// A SysEx of 64 KiB pasted into the command line goes out in paced pieces, and notes clicked
// while it does wait for its end.
TEST_F(AlsaWindow, ALongSysExCommandArrivesWholeAndTheNotesPlayedMeanwhileAfterIt) {
    ASSERT_NO_FATAL_FAILURE(UseSharedRun());
    Window& klavio = *shared_;
    ASSERT_TRUE(klavio.ChooseChannel(klavio.OutputChannels(), 1));
    Bytes sysEx;
    const QString text = SysExText(65536, sysEx);
    QTemporaryDir folder;
    QFile file(folder.filePath("command"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(text.toLatin1()) == text.size());
    file.close();
    // Pasted, as a dump this long would be: xclip holds the clipboard until it is stopped.
    QProcess clipboard;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", session_->DisplayName());
    clipboard.setProcessEnvironment(environment);
    clipboard.start("xclip", {"-quiet", "-selection", "clipboard", "-i", file.fileName()});
    const auto stop = qScopeGuard([&] {
        clipboard.kill();
        clipboard.waitForFinished();
    });
    ASSERT_TRUE(Eventually(
        [&] {
            return session_->Run("xclip", {"-o", "-selection", "clipboard"}) == text;
        },
        kWait))
        << "xclip did not take the clipboard";
    ASSERT_TRUE(klavio.ClickAt(klavio.CommandText()));
    ASSERT_TRUE(klavio.Xdotool({"key", "ctrl+a", "ctrl+v"}));

    // Sent, then A0 clicked and a glissando from B0 to C1, in one go.
    ASSERT_TRUE(klavio.Xdotool(klavio.MoveTo(klavio.Send()) + QStringList{"click", "1"} +
                               klavio.MoveTo(klavio.WhiteKey(0)) + QStringList{"click", "1"} +
                               klavio.MoveTo(klavio.WhiteKey(1)) + QStringList{"mousedown", "1"} +
                               klavio.MoveTo(klavio.WhiteKey(2)) + QStringList{"mouseup", "1"}));
    const Bytes notes = {0x90, 21, 101, 0x80, 21, 0,   0x90, 23, 101,
                         0x80, 23, 0,   0x90, 24, 101, 0x80, 24, 0};
    const Bytes heard = Heard(*synth_, sysEx.size() + notes.size());
    EXPECT_TRUE(heard == sysEx + notes) << Hex(heard);
    EXPECT_FALSE(synth_->Overflowed());
    const auto [sysExEnd, next] = synth_->SysExEndAndNext();
    std::printf("[ measured ] the first note came %lld ms after the SysEx's end\n",
                static_cast<long long>(next - sysExEnd));
}

// Ends the shared run.
TEST_F(AlsaWindow, TheChoicesComeBackFromTheSettingsFileAfterARestart) {
    ASSERT_NO_FATAL_FAILURE(UseSharedRun());
    const std::unique_ptr<Window> klavio = std::move(shared_);
    ASSERT_TRUE(klavio->ChooseChannel(klavio->OutputChannels(), 5));
    ASSERT_TRUE(klavio->ChooseChannel(klavio->InputChannels(), 4));
    ASSERT_TRUE(klavio->Choose(klavio->InputDevices(), "Virtual Raw MIDI 0-2"));
    ASSERT_TRUE(klavio->Close());
    QFile file(klavio->SettingsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray saved = file.readAll();
    for (const char* line :
         {"\"MIDIOutDevice\"=\"synth:io\"\r\n", "\"MIDIOutChannel\"=dword:00000004\r\n",
          "\"MIDIInDevice\"=\"Virtual Raw MIDI 0-2:VirMIDI 0-2\"\r\n",
          "\"MIDIInChannel\"=dword:00000004\r\n"})
        EXPECT_TRUE(saved.contains(line)) << line << " not in:\n" << saved.toStdString();

    ASSERT_TRUE(klavio->Start());
    ASSERT_TRUE(klavio->ClickAt(klavio->WhiteKey(0)));
    const Bytes expected = {0x94, 21, 101, 0x84, 21, 0};
    EXPECT_EQ(Heard(*synth_, expected.size()), expected);
    EXPECT_TRUE(Eventually(
        [&] {
            return WriteToVirMidi(2, {0x93, 23, 64}) && klavio->Lit(1);
        },
        kWait))
        << "channel 4 of VirMIDI 0-2 does not light the keys";
    EXPECT_TRUE(klavio->Close());
}

// Clients that start after klavio: one named in the settings is connected when it comes, both
// lists offer another.
TEST_F(AlsaWindow, ClientsAppearingLateAreListedAndASavedOneIsConnected) {
    Window klavio(*session_);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(klavio.SettingsFile()).path()));
    QFile file(klavio.SettingsFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n"
               "\"MIDIOutDevice\"=\"late:io\"\r\n");
    file.close();
    ASSERT_TRUE(klavio.Start());

    ListeningPeer late("late");
    ASSERT_TRUE(late.Ok());
    ASSERT_TRUE(Eventually([&] { return late.Connected(); }, kWait)) << "late:io was not connected";
    ASSERT_TRUE(klavio.ClickAt(klavio.WhiteKey(0)));
    const Bytes click = {0x90, 21, 101, 0x80, 21, 0};
    EXPECT_EQ(Heard(late, click.size()), click);

    ListeningPeer newcomer("newcomer");
    ASSERT_TRUE(newcomer.Ok());
    // The lists follow the devices within a moment.
    ASSERT_TRUE(Eventually(
        [&] {
            return klavio.Choose(klavio.OutputDevices(), "newcomer") &&
                   Eventually([&] { return newcomer.Connected(); }, 2s);
        },
        kWait))
        << "newcomer:io was not listed for output";
    ASSERT_TRUE(klavio.ClickAt(klavio.WhiteKey(1)));
    EXPECT_EQ(Heard(newcomer, click.size()), (Bytes{0x90, 23, 101, 0x80, 23, 0}));
    ASSERT_TRUE(klavio.Choose(klavio.InputDevices(), "newcomer"));
    // The subscription may lag the choice by a moment; a note-on played again changes nothing.
    EXPECT_TRUE(Eventually(
        [&] {
            return newcomer.Play({0x90, 21, 64}) && klavio.Lit(0);
        },
        kWait))
        << "notes from newcomer:io do not light the keys";
    EXPECT_TRUE(klavio.Close());
}

} // namespace
