// The built-in synthesizer as heard at its JACK audio ports, end to end through the real klavio
// window on Xvfb. Run by hand: it starts its own Xvfb and JACK server.
//   ClickToSound    XTest press on A4 to the first loud sample, beside JACK's own floor: one
//                   client's note reaching another, timed the same way
//   SynthOpenClose  choosing the synthesizer to the first note heard, memory with it open and
//                   closed (anonymous memory too, 7 s after the first note), CPU while it is open
//                   and silent and once it is closed
#include "bench/process_figures.h"
#include "tests/e2e/x_session.h"
#include "tests/integration/jack_test_support.h"

#include <QThread>
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// -40 dBFS: the first sample past it is where the note is heard.
constexpr float kLoud = 0.01f;

// After a release: no loud sample for a while, the reverb's tail included.
void WaitForSilence(const JackRecorder& recorder) {
    const Clock::time_point deadline = Clock::now() + 5s;
    while (Clock::now() - recorder.LastLoudAt() < 100ms && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
}

// klavio on a first start, which opens its synthesizer, with a JACK client listening to it.
class ListenedKlavio {
public:
    bool Start(std::string& whyNot) {
        if (!server_.Start(whyNot))
            return false;
        recorder_ = JackRecorder::Open("listener", whyNot);
        if (!recorder_)
            return false;
        recorder_->Arm(kLoud);
        klavio_.emplace(session_, KLAVIO_BINARY);
        window_ = klavio_->WaitForWindow("klavio");
        if (!window_ || !Eventually([&] {
                return (keyboard_ = FindKeyboard(session_.Grab(*window_))).has_value();
            })) {
            whyNot = "klavio did not come up";
            return false;
        }
        if (!Listen()) {
            whyNot =
                "the synthesizer's audio ports did not come: " + klavio_->Output().toStdString();
            return false;
        }
        display_ = XOpenDisplay(session_.DisplayName().toLatin1().constData());
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display_, *window_, DefaultRootWindow(display_),
                              keyboard_->x() + 28 * 15 + 7, keyboard_->y() + 60, &x, &y, &child);
        a4_ = QPoint(x, y);
        return true;
    }
    ~ListenedKlavio() {
        if (display_ != nullptr)
            XCloseDisplay(display_);
        if (klavio_ && window_) {
            session_.RequestClose(*window_);
            klavio_->WaitForExit(20s);
        }
    }

    bool Listen() {
        return Eventually([&] { return recorder_->Listen("klavio-synth:") == 2; }, 10s);
    }
    JackRecorder& Recorder() { return *recorder_; }
    qint64 Pid() { return klavio_->Pid(); }

    // A4, pressed or let go by XTest, as the X server's own input would be.
    void Button(bool down) {
        XTestFakeMotionEvent(display_, -1, a4_.x(), a4_.y(), CurrentTime);
        XTestFakeButtonEvent(display_, 1, down ? True : False, CurrentTime);
        XFlush(display_);
    }
    // Presses A4 until it is heard, which it is not while the SoundFont loads.
    std::optional<Clock::time_point> PlayUntilHeard(Clock::time_point since) {
        recorder_->Arm(kLoud);
        const Clock::time_point deadline = Clock::now() + 30s;
        while (recorder_->FirstLoudAt() < since && Clock::now() < deadline) {
            Button(true);
            std::this_thread::sleep_for(10ms);
            Button(false);
            std::this_thread::sleep_for(2ms);
        }
        if (recorder_->FirstLoudAt() < since)
            return std::nullopt;
        return recorder_->FirstLoudAt();
    }
    // Opens the output list and moves up or down in it; Choose then takes the item.
    void OpenOutputList(KeySym move) {
        const QPoint list = *keyboard_ - QPoint(6, 96) + QPoint(161, 72);
        session_.Run("xdotool",
                     {"mousemove", "--window", QString::number(*window_), QString::number(list.x()),
                      QString::number(list.y()), "click", "1"});
        QThread::msleep(300);
        Key(move);
    }
    void Choose() { Key(XK_Return); }

private:
    void Key(KeySym key) {
        const KeyCode code = XKeysymToKeycode(display_, key);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        XFlush(display_);
    }

    JackTestServer server_;
    std::unique_ptr<JackRecorder> recorder_;
    XSession session_;
    std::optional<ProgramRun> klavio_;
    std::optional<unsigned long> window_;
    std::optional<QPoint> keyboard_;
    Display* display_ = nullptr;
    QPoint a4_;
};

// Starts klavio and plays until its synthesizer is heard; false, with the benchmark skipped,
// when it is not.
bool StartAndHear(ListenedKlavio& klavio, benchmark::State& state) {
    std::string whyNot;
    if (!klavio.Start(whyNot)) {
        state.SkipWithError(whyNot.c_str());
        return false;
    }
    if (!klavio.PlayUntilHeard(Clock::now())) {
        state.SkipWithError("the synthesizer was never heard");
        return false;
    }
    return true;
}

// Presses come at random phases of the JACK cycle: the pauses between them are random.
void ClickToSound(benchmark::State& state) {
    ListenedKlavio klavio;
    if (!StartAndHear(klavio, state))
        return;
    klavio.Button(false);
    std::string whyNot;
    const auto sender = JackPeer::Open("sender", whyNot);
    const auto receiver = JackPeer::Open("receiver", whyNot);
    if (!sender || !receiver || jack_connect(sender->Client(), "sender:out", "receiver:in") != 0)
        return state.SkipWithError("the JACK floor's clients did not connect");

    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pauseUs(20000, 120000);
    JackRecorder& recorder = klavio.Recorder();
    std::vector<double> sound;
    std::vector<double> hops;
    for (auto _ : state) {
        WaitForSilence(recorder);
        recorder.Arm(kLoud);
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        const Clock::time_point pressed = Clock::now();
        klavio.Button(true);
        while (recorder.FirstLoudAt() < pressed && Clock::now() - pressed < 5s)
            std::this_thread::sleep_for(1ms);
        const bool heard = recorder.FirstLoudAt() >= pressed;
        const double elapsed = Milliseconds(heard ? recorder.FirstLoudAt() - pressed : 5s);
        if (heard)
            sound.push_back(elapsed);
        state.SetIterationTime(elapsed / 1000);
        std::this_thread::sleep_for(30ms);
        klavio.Button(false);

        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        const Clock::time_point sent = Clock::now();
        sender->Send({0x90, 69, 100});
        const Clock::time_point deadline = sent + 5s;
        while (receiver->LastReceivedAt() < sent && Clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        if (receiver->LastReceivedAt() >= sent)
            hops.push_back(Milliseconds(receiver->LastReceivedAt() - sent));
        sender->Send({0x80, 69, 0});
    }
    if (sound.empty() || hops.empty())
        return state.SkipWithError("no press was heard or no note hopped");
    state.counters["sound_median_ms"] = Percentile(sound, 0.5);
    state.counters["sound_p90_ms"] = Percentile(sound, 0.9);
    state.counters["jack_floor_median_ms"] = Percentile(hops, 0.5);
    state.counters["jack_floor_p90_ms"] = Percentile(hops, 0.9);
    state.counters["unheard"] = static_cast<double>(state.iterations()) - sound.size();
}
BENCHMARK(ClickToSound)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

// The first start opens the synthesizer; it is then closed by choosing the next output, and
// chosen again from the list.
void SynthOpenClose(benchmark::State& state) {
    for (auto _ : state) {
        ListenedKlavio klavio;
        if (!StartAndHear(klavio, state))
            return;
        std::this_thread::sleep_for(2s); // the note and its reverb die away
        const double cpuBefore = CpuSeconds(klavio.Pid());
        std::this_thread::sleep_for(5s);
        state.counters["cpu_open_silent_pct"] = (CpuSeconds(klavio.Pid()) - cpuBefore) / 5 * 100;
        state.counters["anon_open_MB"] = StatusMegabytes(klavio.Pid(), "RssAnon:");
        state.counters["rss_open_MB"] = StatusMegabytes(klavio.Pid());

        klavio.OpenOutputList(XK_Down);
        klavio.Choose();
        std::this_thread::sleep_for(1s);
        state.counters["rss_closed_MB"] = StatusMegabytes(klavio.Pid());
        const double cpuClosed = CpuSeconds(klavio.Pid());
        std::this_thread::sleep_for(5s);
        state.counters["cpu_closed_pct"] = (CpuSeconds(klavio.Pid()) - cpuClosed) / 5 * 100;

        klavio.OpenOutputList(XK_Up);
        const Clock::time_point chosen = Clock::now();
        klavio.Choose();
        if (!klavio.Listen())
            return state.SkipWithError("the synthesizer did not open again");
        const auto heard = klavio.PlayUntilHeard(chosen);
        if (!heard)
            return state.SkipWithError("the synthesizer was not heard again");
        state.counters["first_note_ms"] = Milliseconds(*heard - chosen);
        klavio.Button(false);
        std::this_thread::sleep_for(1s);
        state.counters["rss_reopened_MB"] = StatusMegabytes(klavio.Pid());
    }
}
BENCHMARK(SynthOpenClose)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
