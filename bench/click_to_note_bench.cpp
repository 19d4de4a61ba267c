// End to end: from an XTest press on the real klavio window to the note-on at a JACK
// synthesizer, for a mouse click on a key and for a key of the computer keyboard, next to the
// JACK floor: one bare client's note reaching another. Each press comes after a random pause,
// so that presses fall at every phase of the JACK cycle; where jack-keyboard is installed, the
// same click on it. Run by hand: it starts its own Xvfb and JACK server. Give
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true to compare them in
// interleaved blocks.
#include "bench/process_figures.h"
#include "tests/e2e/x_session.h"
#include "tests/integration/jack_test_support.h"

#include <QStandardPaths>
#include <QThread>
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Times each press until the first event reaches the receiver, after a random pause of 2 to
// 23 ms: the dummy driver's cycle is 256 frames at 48 kHz, 5.3 ms, so the pauses cover several
// cycles at every phase.
void TimePresses(benchmark::State& state, JackPeer& receiver, const std::function<void()>& press,
                 const std::function<void()>& release) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pauseMicroseconds(2'000, 23'000);
    std::vector<double> milliseconds;
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds(random)));
        receiver.Forget();
        const Clock::time_point pressed = Clock::now();
        press();
        // Busy polling keeps the measurement's own delay far below a millisecond.
        while (receiver.Received().empty() && Clock::now() - pressed < 5s)
            std::this_thread::sleep_for(100us);
        const double elapsed =
            std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
        milliseconds.push_back(elapsed);
        state.SetIterationTime(elapsed / 1000);
        release();
        Eventually([&] { return receiver.Received().size() >= 2; }, 5s);
    }
    state.counters["median_ms"] = Percentile(milliseconds, 0.5);
    state.counters["p90_ms"] = Percentile(milliseconds, 0.9);
}

// Presses or releases the first mouse button where the pointer is, at once.
void Button(Display* display, bool down) {
    XTestFakeButtonEvent(display, 1, down, CurrentTime);
    XFlush(display);
}

// klavio on a private display playing into a JACK synthesizer, its keyboard clicked once so
// that it has the keys, and an XTest connection to press with.
class KlavioRig {
public:
    explicit KlavioRig(QStringList environment = {}) : environment_(std::move(environment)) {}
    bool Start(std::string& whyNot) {
        if (!server_.Start(whyNot))
            return false;
        synth_ = JackPeer::Open("synth", whyNot);
        klavio_.emplace(session_, KLAVIO_BINARY, environment_);
        window_ = klavio_->WaitForWindow("klavio");
        if (!synth_ || !window_ ||
            !Eventually(
                [&] { return (keyboard_ = FindKeyboard(session_.Grab(*window_))).has_value(); },
                10s)) {
            whyNot = "klavio did not come up";
            return false;
        }
        const QPoint outputList = *keyboard_ - QPoint(6, 96) + QPoint(161, 72);
        MoveTo(outputList, "click");
        QThread::msleep(300);
        // No device, the built-in synthesizer, the program's own port, then the peer.
        session_.Run("xdotool", {"key", "Home", "Down", "Down", "Down", "Return"});
        QThread::msleep(300);
        MoveTo(A0(), "click");
        session_.Run("xdotool", {"windowfocus", "--sync", QString::number(*window_)});
        display_ = XOpenDisplay(session_.DisplayName().toLatin1().constData());
        Eventually([&] { return synth_->Received().size() >= 2; }, 5s);
        return display_ != nullptr;
    }
    ~KlavioRig() {
        if (display_)
            XCloseDisplay(display_);
        if (window_) {
            session_.RequestClose(*window_);
            klavio_->WaitForExit(20s);
        }
    }

    JackPeer& Synth() { return *synth_; }
    Display* XDisplay() { return display_; }
    QPoint A0() const { return *keyboard_ + QPoint(7, 60); }
    void MoveTo(QPoint point, const QString& then = {}) {
        QStringList arguments{"mousemove", "--window", QString::number(*window_),
                              QString::number(point.x()), QString::number(point.y())};
        if (!then.isEmpty())
            arguments << then << "1";
        session_.Run("xdotool", arguments);
    }

private:
    QStringList environment_;
    JackTestServer server_;
    std::unique_ptr<JackPeer> synth_;
    XSession session_;
    std::optional<ProgramRun> klavio_;
    std::optional<unsigned long> window_;
    std::optional<QPoint> keyboard_;
    Display* display_ = nullptr;
};

// range(0) 1: Qt's own event dispatcher instead of GLib's (QT_NO_GLIB); 2: core X input events
// instead of XInput 2 (QT_XCB_NO_XI2); 3: both.
void ClickToNote(benchmark::State& state) {
    const QStringList variants[] = {
        {}, {"QT_NO_GLIB=1"}, {"QT_XCB_NO_XI2=1"}, {"QT_NO_GLIB=1", "QT_XCB_NO_XI2=1"}};
    KlavioRig rig(variants[state.range(0)]);
    std::string whyNot;
    if (!rig.Start(whyNot))
        return state.SkipWithError(whyNot.c_str());
    rig.MoveTo(rig.A0());
    Display* display = rig.XDisplay();
    TimePresses(
        state, rig.Synth(), [&] { Button(display, true); }, [&] { Button(display, false); });
}
BENCHMARK(ClickToNote)
    ->DenseRange(0, 3)
    ->Iterations(40)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void KeyToNote(benchmark::State& state) {
    KlavioRig rig;
    std::string whyNot;
    if (!rig.Start(whyNot))
        return state.SkipWithError(whyNot.c_str());
    Display* display = rig.XDisplay();
    constexpr unsigned kZ = 52; // the bottom row's C
    const auto key = [display](bool down) {
        XTestFakeKeyEvent(display, kZ, down, CurrentTime);
        XFlush(display);
    };
    TimePresses(
        state, rig.Synth(), [&] { key(true); }, [&] { key(false); });
}
BENCHMARK(KeyToNote)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same click on jack-keyboard (-t: no timestamps, each note goes out at the start of the
// next cycle, as klavio's do), connected to the synthesizer with -a.
void JackKeyboardClickToNote(benchmark::State& state) {
    const QString binary = QStandardPaths::findExecutable("jack-keyboard");
    if (binary.isEmpty())
        return state.SkipWithError("jack-keyboard is not installed");
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    XSession session;
    ProgramRun keyboard(session, binary, {}, {"-t", "-a", "synth:in"});
    const std::optional<unsigned long> window = keyboard.WaitForWindow("jack-keyboard");
    jack_client_t* client = synth ? synth->Client() : nullptr;
    if (!window || client == nullptr ||
        !Eventually([&] { return jack_port_connected(jack_port_by_name(client, "synth:in")) > 0; },
                    10s))
        return state.SkipWithError("jack-keyboard did not come up");
    // A white key's lower half, near the left of the piano that fills the window's bottom.
    const QImage picture = session.Grab(*window);
    session.Run("xdotool", {"mousemove", "--window", QString::number(*window), "30",
                            QString::number(picture.height() - 12)});
    Display* display = XOpenDisplay(session.DisplayName().toLatin1().constData());
    if (display == nullptr)
        return state.SkipWithError("no XTest connection");
    Button(display, true);
    Button(display, false);
    Eventually([&] { return synth->Received().size() >= 2; }, 5s);
    TimePresses(
        state, *synth, [&] { Button(display, true); }, [&] { Button(display, false); });
    XCloseDisplay(display);
}
BENCHMARK(JackKeyboardClickToNote)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

// The least any program can take: one bare JACK client's note reaching another.
void JackFloor(benchmark::State& state) {
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    const std::unique_ptr<JackPeer> player = JackPeer::Open("player", whyNot);
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    if (!player || !synth || jack_connect(player->Client(), "player:out", "synth:in") != 0)
        return state.SkipWithError(("no JACK clients: " + whyNot).c_str());
    TimePresses(
        state, *synth,
        [&] {
            player->Send({0x90, 60, 100});
        },
        [&] {
            player->Send({0x80, 60, 0});
        });
}
BENCHMARK(JackFloor)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
