// End to end: from an XTest button press on a key of the real klavio window to the note-on at
// a JACK synthesizer, over 40 clicks. Run by hand: it starts its own Xvfb and JACK server.
#include "tests/e2e/x_session.h"
#include "tests/integration/jack_test_support.h"

#include <QElapsedTimer>
#include <QThread>
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void ClickToNote(benchmark::State& state) {
    JackTestServer server;
    std::string whyNot;
    if (!server.Start(whyNot))
        return state.SkipWithError(("no JACK server: " + whyNot).c_str());
    const std::unique_ptr<JackPeer> synth = JackPeer::Open("synth", whyNot);
    XSession session;
    ProgramRun klavio(session, KLAVIO_BINARY);
    const auto window = klavio.WaitForWindow("klavio");
    std::optional<QPoint> keyboard;
    if (!synth || !window ||
        !Eventually([&] { return (keyboard = FindKeyboard(session.Grab(*window))).has_value(); },
                    10s))
        return state.SkipWithError("klavio did not come up");
    const QString id = QString::number(*window);
    const QPoint outputList = *keyboard - QPoint(6, 96) + QPoint(161, 72);
    session.Run("xdotool", {"mousemove", "--window", id, QString::number(outputList.x()),
                            QString::number(outputList.y()), "click", "1"});
    QThread::msleep(300);
    session.Run("xdotool", {"key", "Down", "Down", "Down", "Return"});
    QThread::msleep(300);

    Display* display = XOpenDisplay(session.DisplayName().toLatin1().constData());
    const QPoint a0 = *keyboard + QPoint(7, 60);
    session.Run("xdotool",
                {"mousemove", "--window", id, QString::number(a0.x()), QString::number(a0.y())});
    std::vector<double> milliseconds;
    for (auto _ : state) {
        synth->Forget();
        const Clock::time_point pressed = Clock::now();
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XFlush(display);
        // Busy polling keeps the measurement's own delay far below a millisecond.
        while (synth->Received().empty() && Clock::now() - pressed < 5s)
            std::this_thread::sleep_for(100us);
        const double elapsed =
            std::chrono::duration<double, std::milli>(Clock::now() - pressed).count();
        milliseconds.push_back(elapsed);
        state.SetIterationTime(elapsed / 1000);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XFlush(display);
        Eventually([&] { return synth->Received().size() >= 2; }, 5s);
    }
    XCloseDisplay(display);
    state.counters["median_ms"] = Percentile(milliseconds, 0.5);
    state.counters["p90_ms"] = Percentile(milliseconds, 0.9);
    session.RequestClose(*window);
    klavio.WaitForExit(20s);
}
BENCHMARK(ClickToNote)->Iterations(40)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
