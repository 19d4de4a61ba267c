// klavio beside its peers in one run: the JACK floor, klavio and, where they are installed,
// jack-keyboard, VMPK and fluidsynth, measured in blocks that run in a new random order every
// round, and one table printed at the end. Run by hand from a release build:
//   build-bench/bench/side_by_side [rounds]      (5 rounds unless told)
// Every block starts its own JACK server (dummy driver, 256 frames at 48 kHz, real-time where
// permitted) and X display, so no contestant runs while another is measured. Presses come after
// random pauses, so that they fall at every phase of the JACK cycle.
#include "bench/process_figures.h"
#include "keyboard/key_geometry.h"
#include "tests/audio_analysis.h"
#include "tests/e2e/x_session.h"
#include "tests/integration/jack_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <poll.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Presses for notes are cheap and the miss of a cycle is a rare event, so they get more; a
// press for sound waits for the last one's tail to fall silent.
constexpr int kNotePressesPerBlock = 200;
constexpr int kSoundPressesPerBlock = 40;
constexpr float kLoud = 0.01f; // -40 dBFS: where a note is heard at all
// Every contestant strikes A4 for sound, found by ear, at velocity 100 (klavio 101: the
// nearest its click gives). A louder note still crosses a fixed level sooner, so a sound block
// times each press to a share of its own note's early peak: 32 dB under it, which is -40 dBFS
// for a note that peaks at 0.4.
constexpr int kA4 = 69;
constexpr float kOnsetShare = 0.025f;
constexpr const char* kSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";

enum Column { kFloor, kBareX, kJackKeyboard, kVmpk, kKlavio, kColumns };
constexpr const char* kColumnNames[kColumns] = {"floor", "bare X client", "jack-keyboard", "VMPK",
                                                "klavio"};

// Every sample of one figure for one contestant, across all rounds.
std::map<std::pair<std::string, Column>, std::vector<double>> samples;
std::mt19937 dice(std::random_device{}());

// Set in a child run for one block under PipeWire: samples go to standard output instead.
bool printSamples = false;

// The round running now, counted from 1; and each block's mean latency by figure, contestant
// and round, for the differences between contestants within a round.
int currentRound = 0;
std::map<std::pair<std::string, Column>, std::map<int, double>> blockMeans;

// A block's figures wait here until it ends: a block the host took too much from runs again,
// and the figures of the try before are dropped.
struct Figure {
    std::string name;
    Column column;
    double value;
};
std::vector<Figure> blockSamples;
std::vector<Figure> blockMeansStaged;

void Record(const std::string& figure, Column column, double value) {
    if (printSamples)
        std::printf("sample %s %d %.6f\n", figure.c_str(), static_cast<int>(column), value);
    else
        blockSamples.push_back({figure, column, value});
}

void RecordBlockMean(const std::string& figure, Column column, const std::vector<double>& values) {
    if (!printSamples && !values.empty())
        blockMeansStaged.push_back({figure, column, Mean(values)});
}

// The share of the block's clicking time that the host took from this virtual machine (its
// steal counts both processors, so a share of 1 % may be one processor's 2 %).
double StolenShareOfBlock() {
    double stolenMs = 0;
    double seconds = 0;
    for (const Figure& figure : blockSamples) {
        if (figure.name.starts_with("note_stolen") || figure.name.starts_with("sound_stolen"))
            stolenMs += figure.value;
        if (figure.name.starts_with("note_seconds") || figure.name.starts_with("sound_seconds"))
            seconds += figure.value;
    }
    return seconds > 0 ? stolenMs / 1000 / seconds : 0;
}

void KeepBlock() {
    for (Figure& figure : blockSamples)
        samples[{std::move(figure.name), figure.column}].push_back(figure.value);
    for (Figure& figure : blockMeansStaged)
        blockMeans[{std::move(figure.name), figure.column}][currentRound] = figure.value;
    blockSamples.clear();
    blockMeansStaged.clear();
}

void DropBlock() {
    blockSamples.clear();
    blockMeansStaged.clear();
}

void Note(const std::string& what) {
    std::fprintf(stderr, "  %s\n", what.c_str());
}

// Watches the display's top-level windows: the moment a program's window first shows a drawn
// frame, timed from before the program was started.
class FirstFrameWatch {
public:
    explicit FirstFrameWatch(const QString& display)
        : display_(XOpenDisplay(display.toLatin1().constData())) {
        if (display_ != nullptr) {
            XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
            XSync(display_, False);
        }
    }
    ~FirstFrameWatch() {
        if (display_ != nullptr)
            XCloseDisplay(display_);
    }
    // Milliseconds from since to the first top-level window of pid showing its first frame:
    // mapped, and more than two colours in it (a window not yet drawn is one plain colour).
    std::optional<double> WaitForWindowOf(long long pid, Clock::time_point since) {
        const Clock::time_point deadline = since + 20s;
        Window mapped = 0;
        while (display_ != nullptr && mapped == 0 && Clock::now() < deadline) {
            while (mapped == 0 && XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type == MapNotify && !event.xmap.override_redirect &&
                    PidOf(event.xmap.window) == pid)
                    mapped = event.xmap.window;
            }
            // Waiting once the window is mapped would add up to 50 ms to a program whose map
            // is the last window change the root hears of.
            if (mapped != 0)
                break;
            pollfd wait{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&wait, 1, 50);
        }
        while (mapped != 0 && Clock::now() < deadline) {
            if (Drawn(mapped))
                return Milliseconds(Clock::now() - since);
            std::this_thread::sleep_for(1ms);
        }
        return std::nullopt;
    }

private:
    bool Drawn(Window window) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, window, &attributes) == 0)
            return false;
        XImage* image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(attributes.width),
                                  static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
        if (image == nullptr)
            return false;
        std::vector<unsigned long> colours;
        for (int y = 0; y < attributes.height && colours.size() < 3; y += 7)
            for (int x = 0; x < attributes.width && colours.size() < 3; x += 7) {
                const unsigned long pixel = XGetPixel(image, x, y);
                if (std::find(colours.begin(), colours.end(), pixel) == colours.end())
                    colours.push_back(pixel);
            }
        XDestroyImage(image);
        return colours.size() >= 3;
    }

    long long PidOf(Window window) {
        const Atom wmPid = XInternAtom(display_, "_NET_WM_PID", False);
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        long long pid = -1;
        if (XGetWindowProperty(display_, window, wmPid, 0, 1, False, XA_CARDINAL, &type, &format,
                               &count, &after, &data) == Success &&
            data != nullptr && format == 32 && count == 1)
            pid = static_cast<long long>(*reinterpret_cast<unsigned long*>(data));
        if (data != nullptr)
            XFree(data);
        return pid;
    }

    Display* display_;
};

// Presses and lets go of the first mouse button at a point of the display, as a hand would.
class Clicker {
public:
    Clicker(const QString& display, QPoint onScreen)
        : display_(XOpenDisplay(display.toLatin1().constData())), point_(onScreen) {
        if (display_ != nullptr) {
            XTestFakeMotionEvent(display_, -1, point_.x(), point_.y(), CurrentTime);
            XSync(display_, False);
        }
    }
    ~Clicker() {
        if (display_ != nullptr)
            XCloseDisplay(display_);
    }
    bool Ready() const { return display_ != nullptr; }
    void MoveTo(QPoint onScreen) {
        point_ = onScreen;
        XTestFakeMotionEvent(display_, -1, point_.x(), point_.y(), CurrentTime);
        XSync(display_, False);
    }
    QPoint At() const { return point_; }
    // jack-keyboard strikes harder with Shift held: at 100 instead of 64.
    void HoldShift(bool down) {
        XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, XK_Shift_L), down ? True : False,
                          CurrentTime);
        XSync(display_, False);
    }
    // Whether the X server reports the pointer moving just before each button, as it does for
    // a hand that moves to a key and clicks; a still hand clicks without. The window hears of
    // the motion first, and its share of the processors meanwhile delays the press.
    void MoveBeforeButton(bool moves) { moves_ = moves; }
    void Button(bool down) {
        if (moves_)
            XTestFakeMotionEvent(display_, -1, point_.x(), point_.y(), CurrentTime);
        XTestFakeButtonEvent(display_, 1, down ? True : False, CurrentTime);
        XFlush(display_);
    }

private:
    Display* display_;
    QPoint point_;
    bool moves_ = true;
};

// A point in a window, in screen coordinates.
QPoint OnScreen(XSession& session, unsigned long window, QPoint inWindow) {
    Display* display = XOpenDisplay(session.DisplayName().toLatin1().constData());
    int x = 0;
    int y = 0;
    Window child = 0;
    if (display != nullptr) {
        XTranslateCoordinates(display, window, DefaultRootWindow(display), inWindow.x(),
                              inWindow.y(), &x, &y, &child);
        XCloseDisplay(display);
    }
    return {x, y};
}

// A white key's lower half on jack-keyboard, near the left of the piano that fills the window's
// bottom (B0, its white keys 14 pixels wide), in screen coordinates.
QPoint JackKeyboardKey(XSession& session, unsigned long window, int whiteKeysRight = 0) {
    return OnScreen(session, window,
                    QPoint(30 + 14 * whiteKeysRight, session.Grab(window).height() - 12));
}

// Idle CPU share of a program over five seconds, after two to settle.
double IdleCpuPercent(long long pid) {
    std::this_thread::sleep_for(2s);
    const double before = RunningThreadsCpuSeconds(pid);
    std::this_thread::sleep_for(5s);
    return (RunningThreadsCpuSeconds(pid) - before) / 5 * 100;
}

// A press waits for the next cycle however fast the contestant is, for a random share of a
// period; only the cycles it waits past that one are the contestant's. Half a period plus those
// is the mean latency over every phase, without the luck of the phases this block drew, which
// is most of a block's spread.
// The cycles are the server's, counted from their start by its clock. Counting the receiver's
// turns instead would count a press that falls after the contestant's turn in a cycle but
// before the receiver's as a miss: that gap is the contestant's distance from the receiver in
// the graph (one process more, one wake more), not the press's lateness.
class PressInCycle {
public:
    // Taken just before the press.
    explicit PressInCycle(jack_client_t* client)
        : period_(1e6 * jack_get_buffer_size(client) / jack_get_sample_rate(client)),
          pressed_(Clock::now()), pressedUs_(jack_get_time()) {
        jack_nframes_t frames = 0;
        jack_time_t next = 0;
        float period = 0;
        if (jack_get_cycle_times(client, &frames, &cycleStartUs_, &next, &period) != 0)
            cycleStartUs_ = pressedUs_; // no timing yet: counts the press as at a cycle start
        // The server's clock may have begun a cycle between the two readings.
        while (cycleStartUs_ > pressedUs_)
            cycleStartUs_ -= static_cast<jack_time_t>(period_);
    }

    Clock::time_point Pressed() const { return pressed_; }

    // Whether what arrived then, by the receiver's clock in its cycle, came after the first
    // cycle begun since the press.
    bool Missed(Clock::time_point arrived) const { return CyclesUntil(arrived) > 1; }

    double PhaseFreeMilliseconds(Clock::time_point arrived) const {
        const long late = std::max(CyclesUntil(arrived) - 1, 0L);
        return period_ / 1000 * (0.5 + static_cast<double>(late));
    }

private:
    // Cycles begun since the press up to the one in which something arrived (1: the first).
    // The receiver's turn comes well within the first half of its cycle. No more cycles can
    // begin in that time than fit into it. In one run, the floor's cycles taken out came to
    // 3.41 ms on average, against 2.61 ms for the same notes timed whole, its 90th percentile
    // 2.67: only a cycle start read long before a press can count a note that many cycles late.
    long CyclesUntil(Clock::time_point arrived) const {
        const double sincePress =
            std::chrono::duration<double, std::micro>(arrived - pressed_).count();
        const long counted =
            std::lround((static_cast<double>(pressedUs_ - cycleStartUs_) + sincePress) / period_);
        return std::min(counted, static_cast<long>(sincePress / period_) + 1);
    }

    double period_; // microseconds
    Clock::time_point pressed_;
    jack_time_t pressedUs_;
    jack_time_t cycleStartUs_ = 0;
};

// Times presses until the first event reaches the receiver, by the receiver's own clock in the
// cycle that brought it, and tells whether each came later than the first cycle after it.
// Half the presses, chosen at random, come with the pointer reported moving just before: each
// gets figures of its own, named with "_still" for the others. A contestant without a pointer
// passes no pointerMoves and is split the same way.
void TimeNotes(Column column, JackPeer& receiver, const std::function<void(bool)>& press,
               const std::function<void(bool)>& pointerMoves = {}) {
    std::uniform_int_distribution<int> pauseMicroseconds(2'000, 23'000);
    const std::uint64_t xrunsBefore = receiver.Xruns();
    const double stolenBefore = StolenCpuSeconds();
    const Clock::time_point began = Clock::now();
    std::bernoulli_distribution coin(0.5);
    std::map<std::string, std::vector<double>> latencies; // by figure, for the block's means
    for (int count = 0; count < kNotePressesPerBlock; ++count) {
        std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds(dice)));
        const bool moves = coin(dice);
        if (pointerMoves)
            pointerMoves(moves);
        const std::string figure = moves ? "note" : "note_still";
        receiver.Forget();
        const PressInCycle at(receiver.Client());
        const Clock::time_point pressed = at.Pressed();
        press(true);
        // Busy polling keeps the measurement's own delay far below a millisecond.
        while (receiver.Received().empty() && Clock::now() - pressed < 5s)
            std::this_thread::sleep_for(100us);
        if (receiver.Received().empty()) {
            Record("lost", column, 1);
            // What the release brings tells a click that never reached the player from a note
            // lost after it, and xruns tell the machine's share.
            press(false);
            const bool released = Eventually([&] { return !receiver.Received().empty(); }, 5s);
            Note(std::string(kColumnNames[column]) + ": press " + std::to_string(count + 1) +
                 " brought no note, its release " + (released ? "a note-off" : "nothing") +
                 "; xruns in the block so far: " + std::to_string(receiver.Xruns() - xrunsBefore));
            continue;
        }
        // The receiver's time, not this thread's: how soon this thread notices depends on what
        // else the contestant keeps the processors busy with after its note went out.
        latencies[figure].push_back(Milliseconds(receiver.LastReceivedAt() - pressed));
        Record(figure, column, latencies[figure].back());
        Record("missed", column, at.Missed(receiver.LastReceivedAt()) ? 100 : 0);
        latencies[figure + "_phase"].push_back(at.PhaseFreeMilliseconds(receiver.LastReceivedAt()));
        Record(figure + "_phase", column, latencies[figure + "_phase"].back());
        press(false);
        Eventually([&] { return receiver.Received().size() >= 2; }, 5s);
    }
    for (const auto& [figure, values] : latencies)
        RecordBlockMean(figure, column, values);
    const auto xruns = static_cast<double>(receiver.Xruns() - xrunsBefore);
    Record("note_xruns", column, xruns);
    RecordBlockMean("note_xruns", column, {xruns});
    Record("note_stolen", column, (StolenCpuSeconds() - stolenBefore) * 1000);
    Record("note_seconds", column, Milliseconds(Clock::now() - began) / 1000);
}

// After a release: no loud sample for a while, the reverb's tail included.
void WaitForSilence(const JackRecorder& recorder) {
    const Clock::time_point deadline = Clock::now() + 5s;
    while (Clock::now() - recorder.LastLoudAt() < 100ms && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
}

// What the recorder took from one press, held for hold after its note was first heard; nothing
// while no note was heard.
std::optional<Samples> RecordPress(JackRecorder& recorder, const std::function<void(bool)>& press,
                                   std::chrono::milliseconds hold) {
    WaitForSilence(recorder);
    recorder.Arm(kLoud);
    recorder.Take();
    const Clock::time_point pressed = Clock::now();
    press(true);
    while (recorder.FirstLoudAt() < pressed && Clock::now() - pressed < 5s)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(hold);
    press(false);
    Samples recorded = recorder.Take();
    if (recorder.FirstLoudAt() < pressed)
        return std::nullopt;
    return recorded;
}

// The loudest sample of a press's note, up to 30 ms after it was first heard.
std::optional<float> EarlyPeak(JackRecorder& recorder, const std::function<void(bool)>& press) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (const std::optional<Samples> recorded = RecordPress(recorder, press, 30ms)) {
            float peak = 0;
            for (const float sample : *recorded)
                peak = std::max(peak, std::abs(sample));
            return peak;
        }
    }
    return std::nullopt;
}

// The MIDI note whose first four harmonics sound strongest together in the samples.
int LoudestNote(const Samples& sound, double rate) {
    int best = 21;
    double bestStrength = -1;
    for (int note = 21; note <= 108; ++note) {
        const double fundamental = 440.0 * std::pow(2.0, (note - kA4) / 12.0);
        double strength = 0;
        for (int harmonic = 1; harmonic <= 4; ++harmonic)
            strength += Magnitude(sound, fundamental * harmonic, rate);
        if (strength > bestStrength) {
            bestStrength = strength;
            best = note;
        }
    }
    return best;
}

// The note one press plays, by ear: 150 ms of it from 20 ms after its onset.
std::optional<int> NoteOfPress(JackRecorder& recorder, const std::function<void(bool)>& press) {
    const std::optional<Samples> recorded = RecordPress(recorder, press, 200ms);
    if (!recorded)
        return std::nullopt;
    const auto onset = std::find_if(recorded->begin(), recorded->end(),
                                    [](float sample) { return std::abs(sample) > kLoud; });
    const auto skip = static_cast<std::ptrdiff_t>(recorder.SampleRate() * 0.02);
    const auto length = static_cast<std::ptrdiff_t>(recorder.SampleRate() * 0.15);
    if (recorded->end() - onset < skip + length)
        return std::nullopt;
    return LoudestNote(Samples(onset + skip, onset + skip + length), recorder.SampleRate());
}

// The most common distance between the starts of light runs along row y: the width of a white
// key, where the row crosses the white keys below the black ones.
int WhiteKeyWidth(const QImage& picture, int y) {
    std::vector<int> starts;
    bool light = false;
    for (int x = 0; x < picture.width(); ++x) {
        const bool isLight = qGray(picture.pixel(x, y)) > 200;
        if (isLight && !light)
            starts.push_back(x);
        light = isLight;
    }
    std::map<int, int> widths;
    for (std::size_t i = 1; i < starts.size(); ++i)
        ++widths[starts[i] - starts[i - 1]];
    const auto most = std::max_element(widths.begin(), widths.end(),
                                       [](auto a, auto b) { return a.second < b.second; });
    return most != widths.end() ? most->first : 1;
}

// White keys below note, from MIDI's lowest C.
int WhiteKeysBelow(int note) {
    const NoteSplit split = SplitNote(note);
    return split.octave * 7 + split.whiteIndex + (split.black ? 1 : 0);
}

// Moves the clicker, along the row of white keys it is on, to the key that sounds A4; whiteKey is
// the width of a white key in pixels.
bool FindA4(JackRecorder& recorder, Clicker& clicker, int whiteKey, Column column) {
    const auto press = [&](bool down) { clicker.Button(down); };
    std::string heard;
    for (int attempt = 0; attempt < 6; ++attempt) {
        const std::optional<int> note = NoteOfPress(recorder, press);
        heard += ' ';
        heard += note ? std::to_string(*note) : "nothing";
        if (note == kA4)
            return true;
        // VMPK now and then leaves a click unheard.
        if (!note)
            continue;
        clicker.MoveTo(clicker.At() +
                       QPoint((WhiteKeysBelow(kA4) - WhiteKeysBelow(*note)) * whiteKey, 0));
    }
    Note(std::string(kColumnNames[column]) + ": no key found that sounds A4; heard" + heard +
         ", white keys taken as " + std::to_string(whiteKey) + " px");
    return false;
}

// Times presses until the recorder hears them. synthesizer: the process that renders the sound,
// whose real-time threads' CPU time per cycle is taken over the block.
void TimeSound(Column column, JackRecorder& recorder, JackPeer& xrunWatch, long long synthesizer,
               const std::function<void(bool)>& press) {
    const std::optional<float> peak = EarlyPeak(recorder, press);
    if (!peak)
        return Note(std::string(kColumnNames[column]) + ": no note to take the level from");
    Record("sound_peak", column, *peak);
    const float onset = *peak * kOnsetShare;
    recorder.Arm(onset); // silence is judged by it too
    std::uniform_int_distribution<int> pauseMicroseconds(20'000, 120'000);
    const std::uint64_t xrunsBefore = xrunWatch.Xruns();
    const double stolenBefore = StolenCpuSeconds();
    const double renderedBefore = RunningThreadsCpuSeconds(synthesizer, true);
    const Clock::time_point began = Clock::now();
    std::vector<double> latencies;
    std::vector<double> phaseFree;
    for (int count = 0; count < kSoundPressesPerBlock; ++count) {
        WaitForSilence(recorder);
        std::this_thread::sleep_for(std::chrono::microseconds(pauseMicroseconds(dice)));
        // Armed at the press, so that a blip of the last note's tail during the pause is not
        // taken for this one's onset.
        recorder.Arm(onset);
        const PressInCycle at(xrunWatch.Client());
        const Clock::time_point pressed = at.Pressed();
        press(true);
        while (recorder.FirstLoudAt() < pressed && Clock::now() - pressed < 5s)
            std::this_thread::sleep_for(100us);
        if (recorder.FirstLoudAt() >= pressed) {
            latencies.push_back(Milliseconds(recorder.FirstLoudAt() - pressed));
            Record("sound", column, latencies.back());
            phaseFree.push_back(at.PhaseFreeMilliseconds(recorder.FirstLoudAt()));
            Record("sound_phase", column, phaseFree.back());
        } else {
            Record("unheard", column, 1);
        }
        std::this_thread::sleep_for(30ms);
        press(false);
    }
    RecordBlockMean("sound", column, latencies);
    RecordBlockMean("sound_phase", column, phaseFree);
    const double seconds = Milliseconds(Clock::now() - began) / 1000;
    const double cycles = seconds * jack_get_sample_rate(xrunWatch.Client()) /
                          jack_get_buffer_size(xrunWatch.Client());
    if (cycles > 0)
        Record("sound_audio_cpu", column,
               (RunningThreadsCpuSeconds(synthesizer, true) - renderedBefore) * 1e6 / cycles);
    const auto xruns = static_cast<double>(xrunWatch.Xruns() - xrunsBefore);
    Record("sound_xruns", column, xruns);
    RecordBlockMean("sound_xruns", column, {xruns});
    Record("sound_stolen", column, (StolenCpuSeconds() - stolenBefore) * 1000);
    Record("sound_seconds", column, seconds);
}

// Presses until the recorder hears something: a synthesizer loading its SoundFont is silent.
bool PlayUntilHeard(JackRecorder& recorder, const std::function<void(bool)>& press) {
    const Clock::time_point since = Clock::now();
    recorder.Arm(kLoud);
    while (recorder.FirstLoudAt() < since && Clock::now() - since < 30s) {
        press(true);
        std::this_thread::sleep_for(10ms);
        press(false);
        std::this_thread::sleep_for(20ms);
    }
    return recorder.FirstLoudAt() >= since;
}

// Whether this process may give a thread real-time priority, as jackd will try to.
bool RealtimePermitted() {
    bool permitted = false;
    std::thread([&permitted] {
        sched_param parameter{};
        parameter.sched_priority = 10;
        permitted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
    }).join();
    return permitted;
}

// Whether the blocks' jackd servers run with real-time scheduling, as JACK is meant to: where
// permitted, unless KLAVIO_BENCH_NO_REALTIME is set. Without it, a client woken for its cycle
// waits behind whatever else the machine runs, and on a busy machine the xruns count those
// waits far more than anything the contestants do.
bool Realtime() {
    static const bool realtime =
        std::getenv("KLAVIO_BENCH_NO_REALTIME") == nullptr && RealtimePermitted();
    return realtime;
}

// On a virtual machine, a processor with nothing to run halts, and the host may give its real
// processor to another guest meanwhile; a thread woken there then waits for the host, which
// counts as stolen time. With KLAVIO_BENCH_KEEP_AWAKE set, a spinning thread of the lowest
// class (SCHED_IDLE: it runs only where no other thread wants the processor, and yields at
// once to one that wakes) keeps every processor from halting, so that a wake costs what it
// would on a machine of one's own. On 2026-12-10 it took what the host took during a block
// of the floor's clicks from 2.6 s to 0.03 to 0.4 s.
class KeepProcessorsAwake {
public:
    KeepProcessorsAwake() {
        if (std::getenv("KLAVIO_BENCH_KEEP_AWAKE") == nullptr)
            return;
        for (unsigned count = std::max(1u, std::thread::hardware_concurrency()); count > 0; --count)
            spinners_.emplace_back([this] {
                sched_param parameter{};
                if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &parameter) != 0)
                    return;
                spinning_.fetch_add(1);
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
    }
    ~KeepProcessorsAwake() {
        stop_ = true;
        for (std::thread& spinner : spinners_)
            spinner.join();
    }
    bool Active() const { return spinning_.load() > 0; }

private:
    std::atomic<bool> stop_ = false;
    std::atomic<int> spinning_ = 0;
    std::vector<std::thread> spinners_;
};

// A D-Bus session bus for the whole run, announced to every program started after it, as a
// desktop session announces its own. Without one, a Qt program's accessibility bridge has
// libdbus fork to launch a bus at start (10 ms here, on the window's thread): a cost no desktop
// charges, and one that jack-keyboard, which uses no D-Bus, never pays.
class SessionBus {
public:
    SessionBus() {
        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty()) {
            Note("no dbus-daemon (Debian package dbus-daemon): the programs start without a "
                 "session bus");
            return;
        }
        daemon_.start(daemon, {"--session", "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(5000) || !daemon_.waitForReadyRead(5000)) {
            Note("dbus-daemon did not start: the programs start without a session bus");
            return;
        }
        const QByteArray address = daemon_.readLine().trimmed();
        if (!address.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    }
    ~SessionBus() {
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000))
            daemon_.kill();
    }

private:
    QProcess daemon_;
};

// A JACK server of the block's own, with the clients every block has.
struct Stage {
    JackTestServer server;
    std::string whyNot;
    bool Start() {
        if (Realtime())
            server.UseRealtimeScheduling();
        if (server.Start(whyNot))
            return true;
        Note("no JACK server: " + whyNot);
        return false;
    }
};

// fluidsynth as a plain JACK synthesizer: MIDI in at fluidsynth-midi:midi_00, sound out at
// fluidsynth-midi:left and :right.
class FluidSynthProcess {
public:
    bool Start(JackRecorder& recorder) {
        process_.setProgram(QStandardPaths::findExecutable("fluidsynth"));
        process_.setArguments({"-a", "jack", "-m", "jack", "-i", "-s", "-g", "1", kSoundFont});
        process_.setStandardInputFile(QProcess::nullDevice());
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start();
        return process_.waitForStarted() &&
               Eventually([&] { return recorder.Listen("fluidsynth-midi:") == 2; }, 20s);
    }
    long long Pid() const { return process_.processId(); }
    ~FluidSynthProcess() {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
    }

private:
    QProcess process_;
};

// ---- click to note-on at a JACK peer --------------------------------------------------------

// Presses and releases until both arrive: a note sent before the server runs a new link goes
// nowhere, under PipeWire at least. Every contestant's first press comes before its timing.
bool FirstNoteArrives(JackPeer& receiver, const std::function<void(bool)>& press) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        receiver.Forget();
        press(true);
        press(false);
        if (Eventually([&] { return receiver.Received().size() >= 2; }, 1s)) {
            receiver.Forget();
            return true;
        }
    }
    return false;
}

// What the bare players send: middle C struck or let go.
MidiBytes BareNote(bool down) {
    return down ? MidiBytes{0x90, 60, 100} : MidiBytes{0x80, 60, 0};
}

// The floor of a click: a bare X client that reads the display's events itself, on a thread
// of its own, and hands each press or release of its window straight to a JACK client. What
// any keyboard on X pays for the window system alone.
class BareXKeyboard {
public:
    BareXKeyboard(const QString& display, JackPeer& player)
        : display_(XOpenDisplay(display.toLatin1().constData())), player_(player) {
        if (display_ == nullptr)
            return;
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 200, 100, 0, 0,
                                      WhitePixel(display_, DefaultScreen(display_)));
        XSelectInput(display_, window_, ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
        XMapWindow(display_, window_);
        XEvent event{};
        do
            XNextEvent(display_, &event);
        while (event.type != MapNotify);
        thread_ = std::thread([this] { Run(); });
    }
    ~BareXKeyboard() {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        if (display_ != nullptr)
            XCloseDisplay(display_);
    }
    BareXKeyboard(const BareXKeyboard&) = delete;
    BareXKeyboard& operator=(const BareXKeyboard&) = delete;
    std::optional<unsigned long> Window() const {
        return display_ != nullptr ? std::optional<unsigned long>(window_) : std::nullopt;
    }

private:
    // Runs on the client's own thread, the only one using the display once it started.
    void Run() {
        pollfd readable{ConnectionNumber(display_), POLLIN, 0};
        while (!stop_.load()) {
            while (XPending(display_) > 0) {
                XEvent event{};
                XNextEvent(display_, &event);
                if (event.type == ButtonPress || event.type == ButtonRelease)
                    player_.Send(BareNote(event.type == ButtonPress));
            }
            poll(&readable, 1, 50);
        }
    }

    Display* display_;
    JackPeer& player_;
    ::Window window_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A block's server with two bare clients, the player's "out" linked to the synthesizer's "in".
struct LinkedStage {
    Stage stage;
    std::unique_ptr<JackPeer> player;
    std::unique_ptr<JackPeer> synth;
    bool Start(const std::string& who) {
        if (!stage.Start())
            return false;
        player = JackPeer::Open("player", stage.whyNot);
        synth = JackPeer::Open("synth", stage.whyNot);
        if (player && synth && jack_connect(player->Client(), "player:out", "synth:in") == 0)
            return true;
        Note(who + ": no JACK clients");
        return false;
    }
};

void BareXNotes() {
    LinkedStage linked;
    if (!linked.Start("bare X client"))
        return;
    JackPeer& player = *linked.player;
    JackPeer& synth = *linked.synth;
    XSession session;
    BareXKeyboard keyboard(session.DisplayName(), player);
    if (!keyboard.Window())
        return Note("bare X client: no window");
    Clicker clicker(session.DisplayName(), OnScreen(session, *keyboard.Window(), QPoint(100, 50)));
    const auto press = [&](bool down) { clicker.Button(down); };
    if (!FirstNoteArrives(synth, press))
        return Note("bare X client: no note came");
    TimeNotes(kBareX, synth, press, [&](bool moves) { clicker.MoveBeforeButton(moves); });
}

void FloorNotes() {
    LinkedStage linked;
    if (!linked.Start("floor"))
        return;
    JackPeer& player = *linked.player;
    JackPeer& synth = *linked.synth;
    const auto press = [&](bool down) { player.Send(BareNote(down)); };
    if (!FirstNoteArrives(synth, press))
        return Note("floor: the link carries nothing");
    TimeNotes(kFloor, synth, press);
}

// jack-keyboard (-t: no timestamps, each note goes out at the start of the next cycle, as
// klavio's do): start, idle with nothing connected, then connected and clicked.
void JackKeyboardNotes() {
    const QString binary = QStandardPaths::findExecutable("jack-keyboard");
    if (binary.isEmpty())
        return;
    Stage stage;
    if (!stage.Start())
        return;
    const auto synth = JackPeer::Open("synth", stage.whyNot);
    XSession session;
    FirstFrameWatch watch(session.DisplayName());
    const Clock::time_point started = Clock::now();
    ProgramRun keyboard(session, binary, {}, {"-t"});
    if (const auto shown = watch.WaitForWindowOf(keyboard.Pid(), started))
        Record("start_no_synth", kJackKeyboard, *shown);
    const std::optional<unsigned long> window = keyboard.WaitForWindow("jack-keyboard");
    if (!synth || !window)
        return Note("jack-keyboard did not come up");
    Record("idle_cpu_no_device", kJackKeyboard, IdleCpuPercent(keyboard.Pid()));
    if (jack_connect(synth->Client(), "jack-keyboard:midi_out", "synth:in") != 0)
        return Note("jack-keyboard's port did not connect");
    Clicker clicker(session.DisplayName(), JackKeyboardKey(session, *window));
    const auto press = [&](bool down) { clicker.Button(down); };
    FirstNoteArrives(*synth, press); // timed even without it: its losses then show
    TimeNotes(kJackKeyboard, *synth, press, [&](bool moves) { clicker.MoveBeforeButton(moves); });
}

// A settings file as a run before left it, with this output device chosen.
bool WriteSettings(const QTemporaryDir& config, const char* output) {
    QFile file(config.filePath("klavio/registry.reg"));
    if (!QDir().mkpath(config.filePath("klavio")) || !file.open(QIODevice::WriteOnly))
        return false;
    file.write("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n");
    file.write(QByteArray("\"MIDIOutDevice\"=\"") + output + "\"\r\n");
    return true;
}

// klavio started with no output device (its start without the synthesizer, and its idle CPU),
// then set to the peer through its output list and clicked.
void KlavioNotes() {
    Stage stage;
    if (!stage.Start())
        return;
    const auto synth = JackPeer::Open("synth", stage.whyNot);
    XSession session;
    QTemporaryDir config;
    if (!synth || !WriteSettings(config, ""))
        return Note("klavio: no peer or no settings");
    FirstFrameWatch watch(session.DisplayName());
    const Clock::time_point started = Clock::now();
    ProgramRun klavio(session, KLAVIO_BINARY, {"XDG_CONFIG_HOME=" + config.path()});
    if (const auto shown = watch.WaitForWindowOf(klavio.Pid(), started))
        Record("start_no_synth", kKlavio, *shown);
    const std::optional<unsigned long> window = klavio.WaitForWindow("klavio");
    const std::optional<QPoint> keyboard =
        window ? WaitForKeyboard(session, *window) : std::nullopt;
    if (!keyboard)
        return Note("klavio did not come up");
    Record("idle_cpu_no_device", kKlavio, IdleCpuPercent(klavio.Pid()));

    const QPoint outputList = *keyboard - QPoint(6, 96) + QPoint(161, 72);
    session.Run("xdotool",
                {"mousemove", "--window", QString::number(*window), QString::number(outputList.x()),
                 QString::number(outputList.y()), "click", "1"});
    QThread::msleep(300);
    // No device, the built-in synthesizer, the program's own port, then the peer.
    session.Run("xdotool", {"key", "Home", "Down", "Down", "Down", "Return"});
    if (!Eventually(
            [&] { return jack_port_connected(jack_port_by_name(synth->Client(), "synth:in")) > 0; },
            10s))
        return Note("klavio did not connect to the peer");
    Clicker clicker(session.DisplayName(), OnScreen(session, *window, *keyboard + QPoint(7, 60)));
    const auto press = [&](bool down) { clicker.Button(down); };
    FirstNoteArrives(*synth, press); // timed even without it: its losses then show
    TimeNotes(kKlavio, *synth, press, [&](bool moves) { clicker.MoveBeforeButton(moves); });
    session.RequestClose(*window);
    klavio.WaitForExit(20s);
}

// ---- click to sound ------------------------------------------------------------------------

// The floor of sound: a bare client's note straight into fluidsynth.
void FloorSound() {
    if (QStandardPaths::findExecutable("fluidsynth").isEmpty())
        return;
    Stage stage;
    if (!stage.Start())
        return;
    const auto recorder = JackRecorder::Open("listener", stage.whyNot);
    const auto sender = JackPeer::Open("sender", stage.whyNot);
    FluidSynthProcess fluidsynth;
    if (!recorder || !sender || !fluidsynth.Start(*recorder) ||
        jack_connect(sender->Client(), "sender:out", "fluidsynth-midi:midi_00") != 0)
        return Note("fluidsynth did not come up");
    const auto press = [&](bool down) {
        sender->Send(down ? MidiBytes{0x90, 69, 100} : MidiBytes{0x80, 69, 0});
    };
    if (PlayUntilHeard(*recorder, press))
        TimeSound(kFloor, *recorder, *sender, fluidsynth.Pid(), press);
}

// jack-keyboard played into fluidsynth.
void JackKeyboardSound() {
    const QString binary = QStandardPaths::findExecutable("jack-keyboard");
    if (binary.isEmpty() || QStandardPaths::findExecutable("fluidsynth").isEmpty())
        return;
    Stage stage;
    if (!stage.Start())
        return;
    const auto recorder = JackRecorder::Open("listener", stage.whyNot);
    const auto watch = JackPeer::Open("xrun-watch", stage.whyNot);
    FluidSynthProcess fluidsynth;
    if (!recorder || !watch || !fluidsynth.Start(*recorder))
        return Note("fluidsynth did not come up");
    XSession session;
    ProgramRun keyboard(session, binary, {}, {"-t", "-a", "fluidsynth-midi:midi_00"});
    const std::optional<unsigned long> window = keyboard.WaitForWindow("jack-keyboard");
    if (!window)
        return Note("jack-keyboard did not come up");
    // A4: 27 white keys right of B0.
    Clicker clicker(session.DisplayName(), JackKeyboardKey(session, *window, 27));
    const auto press = [&](bool down) { clicker.Button(down); };
    clicker.HoldShift(true);
    if (PlayUntilHeard(*recorder, press) && FindA4(*recorder, clicker, 14, kJackKeyboard))
        TimeSound(kJackKeyboard, *recorder, *watch, fluidsynth.Pid(), press);
    clicker.HoldShift(false);
}

// Memory five seconds after a synthesizer's window showed, with a note played and heard so
// that the instrument in use is loaded, then its idle CPU.
void SynthesizerAtRest(Column column, long long pid, Clock::time_point shown) {
    std::this_thread::sleep_until(std::max(shown + 5s, Clock::now() + 2s));
    Record("anon_memory", column, StatusMegabytes(pid, "RssAnon:"));
    Record("idle_cpu_synth", column, IdleCpuPercent(pid));
}

// VMPK with its FluidSynth output on JACK, the same SoundFont; its piano fills the window's
// bottom.
void VmpkSound() {
    const QString binary = QStandardPaths::findExecutable("vmpk");
    if (binary.isEmpty())
        return;
    Stage stage;
    if (!stage.Start())
        return;
    const auto recorder = JackRecorder::Open("listener", stage.whyNot);
    const auto watch = JackPeer::Open("xrun-watch", stage.whyNot);
    QTemporaryDir home;
    QFile settings(home.filePath(".config/vmpk.sourceforge.net/VMPK.conf"));
    if (!recorder || !watch || !QDir().mkpath(QFileInfo(settings).path()) ||
        !settings.open(QIODevice::WriteOnly))
        return Note("VMPK: no recorder or settings");
    settings.write(QByteArray("[Connections]\nInEnabled=false\nThruEnabled=false\n"
                              "OutputDriver=FluidSynth\nOutPort=FluidSynth\n\n[FluidSynth]\n"
                              "AudioDriver=jack\nInstrumentsDefinition=") +
                   kSoundFont + "\n\n[Preferences]\nVelocity=100\n");
    settings.close();
    XSession session;
    FirstFrameWatch frameWatch(session.DisplayName());
    const Clock::time_point started = Clock::now();
    ProgramRun vmpk(session, binary,
                    {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + home.filePath(".config")});
    const std::optional<double> shownAfter = frameWatch.WaitForWindowOf(vmpk.Pid(), started);
    if (shownAfter)
        Record("start_synth", kVmpk, *shownAfter);
    const std::optional<unsigned long> window = vmpk.WaitForWindow("Virtual MIDI Piano Keyboard");
    if (!window || !shownAfter ||
        !Eventually([&] { return recorder->Listen("fluidsynth:") == 2; }, 20s))
        return Note("VMPK's synthesizer did not come up");
    const QImage picture = session.Grab(*window);
    const int whiteKey = WhiteKeyWidth(picture, picture.height() - 15);
    Clicker clicker(
        session.DisplayName(),
        OnScreen(session, *window, QPoint(picture.width() / 2 + 4, picture.height() - 15)));
    const auto press = [&](bool down) { clicker.Button(down); };
    if (!PlayUntilHeard(*recorder, press))
        return Note("VMPK was never heard");
    SynthesizerAtRest(kVmpk, vmpk.Pid(),
                      started + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(*shownAfter)));
    if (FindA4(*recorder, clicker, whiteKey, kVmpk))
        TimeSound(kVmpk, *recorder, *watch, vmpk.Pid(), press);
}

// klavio on a first start, which opens its built-in synthesizer.
void KlavioSound() {
    Stage stage;
    if (!stage.Start())
        return;
    const auto recorder = JackRecorder::Open("listener", stage.whyNot);
    const auto watch = JackPeer::Open("xrun-watch", stage.whyNot);
    if (!recorder || !watch)
        return Note("klavio: no recorder");
    XSession session;
    FirstFrameWatch frameWatch(session.DisplayName());
    const Clock::time_point started = Clock::now();
    ProgramRun klavio(session, KLAVIO_BINARY);
    const std::optional<double> shownAfter = frameWatch.WaitForWindowOf(klavio.Pid(), started);
    if (shownAfter)
        Record("start_synth", kKlavio, *shownAfter);
    const std::optional<unsigned long> window = klavio.WaitForWindow("klavio");
    const std::optional<QPoint> keyboard =
        window ? WaitForKeyboard(session, *window) : std::nullopt;
    if (!keyboard || !shownAfter ||
        !Eventually([&] { return recorder->Listen("klavio-synth:") == 2; }, 20s))
        return Note("klavio's synthesizer did not come up");
    // A4: the fifteenth white key from A0.
    Clicker clicker(session.DisplayName(),
                    OnScreen(session, *window, *keyboard + QPoint(28 * 15 + 7, 60)));
    const auto press = [&](bool down) { clicker.Button(down); };
    if (!PlayUntilHeard(*recorder, press))
        return Note("klavio's synthesizer was never heard");
    SynthesizerAtRest(kKlavio, klavio.Pid(),
                      started + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(*shownAfter)));
    if (FindA4(*recorder, clicker, 15, kKlavio))
        TimeSound(kKlavio, *recorder, *watch, klavio.Pid(), press);
    session.RequestClose(*window);
    klavio.WaitForExit(20s);
}

// ---- the table -----------------------------------------------------------------------------

struct Row {
    const char* figure;
    const char* caption;
    enum Kind { kLatency, kMean, kSum } kind;
    const char* unit;
    int decimals = 1; // of a mean
};

constexpr Row kRows[] = {
    {"note", "click → note-on at a JACK peer, the pointer moving just before: mean (p50 / p90)",
     Row::kLatency, "ms"},
    {"note_phase", "the same, the cycle's phase taken out: half a period + the cycles missed",
     Row::kLatency, "ms"},
    {"note_still", "click → note-on at a JACK peer, the pointer still", Row::kLatency, "ms"},
    {"note_still_phase", "the same, the cycle's phase taken out", Row::kLatency, "ms"},
    {"missed", "notes that miss the next JACK cycle", Row::kMean, "%"},
    {"note_xruns", "xruns while clicking for notes", Row::kSum, ""},
    {"note_stolen", "CPU time the host took meanwhile", Row::kSum, "ms"},
    {"note_seconds", "time spent clicking for notes", Row::kSum, "s"},
    {"sound", "click → sound (floor: a bare client into fluidsynth): mean (p50 / p90)",
     Row::kLatency, "ms"},
    {"sound_phase", "the same, the cycle's phase taken out", Row::kLatency, "ms"},
    {"sound_peak", "the note's early peak (timed to 32 dB under it)", Row::kMean, "", 2},
    {"sound_xruns", "xruns while clicking for sound", Row::kSum, ""},
    {"sound_audio_cpu", "the synthesizer's real-time threads: CPU per cycle while clicking",
     Row::kMean, "µs", 0},
    {"sound_stolen", "CPU time the host took meanwhile", Row::kSum, "ms"},
    {"sound_seconds", "time spent clicking for sound", Row::kSum, "s"},
    {"anon_memory", "anonymous memory with the synthesizer, 5 s after start", Row::kMean, "MB"},
    {"idle_cpu_synth", "idle CPU with the synthesizer", Row::kMean, "%", 2},
    {"idle_cpu_no_device", "idle CPU with no output device", Row::kMean, "%", 2},
    {"start_synth", "start → first frame drawn, with the synthesizer", Row::kLatency, "ms"},
    {"start_no_synth", "start → first frame drawn, without the synthesizer", Row::kLatency, "ms"},
    {"note_pw", "under PipeWire: click → note-on at a JACK peer", Row::kLatency, "ms"},
    {"missed_pw", "under PipeWire: notes that miss the next cycle", Row::kMean, "%"},
    {"sound_pw", "under PipeWire: click → sound", Row::kLatency, "ms"},
    {"note_xruns_pw", "under PipeWire: xruns while clicking for notes", Row::kSum, ""},
    {"sound_xruns_pw", "under PipeWire: xruns while clicking for sound", Row::kSum, ""},
};

std::string Cell(const Row& row, Column column) {
    const auto found = samples.find({row.figure, column});
    if (found == samples.end() || found->second.empty())
        return "—";
    const std::vector<double>& values = found->second;
    char text[96];
    switch (row.kind) {
    case Row::kLatency:
        std::snprintf(text, sizeof text, "%.2f (%.2f / %.2f) %s, n = %zu", Mean(values),
                      Percentile(values, 0.5), Percentile(values, 0.9), row.unit, values.size());
        break;
    case Row::kMean:
        std::snprintf(text, sizeof text, "%.*f %s", row.decimals, Mean(values), row.unit);
        break;
    case Row::kSum:
        std::snprintf(text, sizeof text, "%.0f%s%s",
                      std::accumulate(values.begin(), values.end(), 0.0), *row.unit ? " " : "",
                      row.unit);
        break;
    }
    return text;
}

// Two-sided 95 % quantiles of Student's t for 1 to 10 degrees of freedom; past that, 2.2 errs a
// little wide, which a claim of being ahead can afford.
double TQuantile(std::size_t degrees) {
    constexpr double kQuantiles[] = {12.71, 4.30, 3.18, 2.78, 2.57, 2.45, 2.36, 2.31, 2.26, 2.23};
    return degrees >= 1 && degrees <= 10 ? kQuantiles[degrees - 1] : 2.2;
}

// One contestant's block mean less another's in the same round, with a 95 % interval over the
// rounds both ran: a round's blocks share the machine's state of those minutes, so the rounds'
// spread is the noise a difference has to beat, the host's busy spells included.
void PrintDifference(const std::string& figure, const char* caption, Column one, Column other,
                     const char* unit = " ms") {
    const auto ours = blockMeans.find({figure, one});
    const auto theirs = blockMeans.find({figure, other});
    if (ours == blockMeans.end() || theirs == blockMeans.end())
        return;
    std::vector<double> differences;
    for (const auto& [round, mean] : ours->second)
        if (const auto match = theirs->second.find(round); match != theirs->second.end())
            differences.push_back(mean - match->second);
    if (differences.size() < 2)
        return;
    const double mean = Mean(differences);
    double squares = 0;
    for (const double difference : differences)
        squares += (difference - mean) * (difference - mean);
    const double half = TQuantile(differences.size() - 1) *
                        std::sqrt(squares / static_cast<double>(differences.size() - 1) /
                                  static_cast<double>(differences.size()));
    std::printf("- %s, against %s: %+.2f%s (%+.2f to %+.2f), %zu rounds\n", caption,
                kColumnNames[other], mean, unit, mean - half, mean + half, differences.size());
}

void PrintDifferences() {
    const std::map<std::string, const char*> captions = {
        {"note", "click → note-on, pointer moving"},
        {"note_phase", "click → note-on, pointer moving, phase taken out"},
        {"note_still", "click → note-on, pointer still"},
        {"note_still_phase", "click → note-on, pointer still, phase taken out"},
        {"sound", "click → sound"},
        {"sound_phase", "click → sound, phase taken out"}};
    std::printf("\nklavio's block mean less the other's, same round (mean, 95 %% interval):\n");
    for (const auto& [figure, caption] : captions)
        for (int column = 0; column < kColumns; ++column)
            if (column != kKlavio)
                PrintDifference(figure, caption, kKlavio, static_cast<Column>(column));
    // xruns come in bursts while the host is busy: a gap between two contestants' counts means
    // something only where it stands out of the rounds' spread.
    for (const auto& [figure, caption] :
         {std::pair("note_xruns", "xruns while clicking for notes"),
          std::pair("sound_xruns", "xruns while clicking for sound")})
        for (int column = 0; column < kColumns; ++column)
            if (column != kKlavio)
                PrintDifference(figure, caption, kKlavio, static_cast<Column>(column), "");
    // The bare X client reads its presses as soon as the X server hands them over: the most
    // any keyboard on X can be ahead of another.
    std::printf("\nThe bare X client's less jack-keyboard's:\n");
    for (const auto& [figure, caption] : captions)
        if (figure.starts_with("note"))
            PrintDifference(figure, caption, kBareX, kJackKeyboard);
}

// While the host takes a processor from this virtual machine, every thread here stands still,
// the JACK server's and the contestants' alike, and a click then waits cycles that no
// contestant caused. A block the host took more than this share of its clicking time from
// runs again, up to kBlockTries in all; the last try is kept whatever the host took.
constexpr double kMostStolenShare = 0.01;
constexpr int kBlockTries = 3;

void PrintTable(int rounds, bool keptAwake) {
    std::printf("\njackd with%s real-time scheduling; processors%s kept from halting\n",
                Realtime() ? "" : "out", keptAwake ? "" : " not");
    std::printf("\n| figure (%d interleaved rounds) |", rounds);
    for (const char* name : kColumnNames)
        std::printf(" %s |", name);
    std::printf("\n|---|");
    for (int column = 0; column < kColumns; ++column)
        std::printf("---|");
    std::printf("\n");
    for (const Row& row : kRows) {
        std::printf("| %s |", row.caption);
        for (int column = 0; column < kColumns; ++column)
            std::printf(" %s |", Cell(row, static_cast<Column>(column)).c_str());
        std::printf("\n");
    }
    const std::string share = std::to_string(std::lround(kMostStolenShare * 100)) + " %";
    const std::pair<const char*, std::string> counts[] = {
        {"lost", "presses lost"},
        {"unheard", "clicks unheard"},
        {"run_again", "blocks run again, the host having taken over " + share + " of their time"},
        {"kept_busy", "blocks kept after the last try with the host over " + share}};
    for (const auto& [figure, what] : counts)
        for (int column = 0; column < kColumns; ++column)
            if (samples.count({figure, static_cast<Column>(column)}) != 0)
                std::printf("%s: %zu %s\n", kColumnNames[column],
                            samples[{figure, static_cast<Column>(column)}].size(), what.c_str());
    PrintDifferences();
}

struct Block {
    const char* name;
    Column column;
    void (*run)();
    // Run again in a child process on PipeWire's libjack (pw-jack), its figures apart.
    bool alsoUnderPipeWire;
};

const Block kBlocks[] = {
    {"floor, notes", kFloor, FloorNotes, true},
    {"bare X client, notes", kBareX, BareXNotes, true},
    {"jack-keyboard, notes", kJackKeyboard, JackKeyboardNotes, false},
    {"klavio, notes", kKlavio, KlavioNotes, true},
    {"floor, sound (fluidsynth)", kFloor, FloorSound, true},
    {"jack-keyboard → fluidsynth, sound", kJackKeyboard, JackKeyboardSound, false},
    {"VMPK, sound", kVmpk, VmpkSound, false},
    {"klavio, sound", kKlavio, KlavioSound, true},
};

// The block in a child on a private PipeWire session instead of jackd, at the same period and
// rate (the test helpers start it), its samples read back from the child's output.
void RunUnderPipeWire(const Block& block) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KLAVIO_TEST_JACK_SERVER", "pipewire");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStandardPaths::findExecutable("pw-jack"),
                {QCoreApplication::applicationFilePath(), "--block", block.name});
    if (!child.waitForFinished(600'000))
        child.kill();
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 4 && fields[0] == "sample")
            Record(fields[1].toStdString() + "_pw", static_cast<Column>(fields[2].toInt()),
                   fields[3].toDouble());
    }
}

// Runs the block until the host takes no more than kMostStolenShare of its clicking time, or
// kBlockTries times, and keeps the figures of the last try only.
void RunKeepingTheHostOut(const Block& block, bool underPipeWire, int round, int rounds) {
    for (int attempt = 1;; ++attempt) {
        std::fprintf(stderr, "round %d/%d: %s%s\n", round, rounds, block.name,
                     underPipeWire ? ", PipeWire" : "");
        if (underPipeWire)
            RunUnderPipeWire(block);
        else
            block.run();
        const double stolen = StolenShareOfBlock();
        if (stolen <= kMostStolenShare || attempt == kBlockTries) {
            if (stolen > kMostStolenShare)
                Record("kept_busy", block.column, 1);
            KeepBlock();
            return;
        }
        char why[96];
        std::snprintf(why, sizeof why, "the host took %.1f %% of the clicking time", stolen * 100);
        Note(std::string(why) + "; the block runs again");
        DropBlock();
        samples[{"run_again", block.column}].push_back(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    // The bus of the desktop the run starts from, if any; a child block under PipeWire takes
    // its parent's.
    std::optional<SessionBus> bus;
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        bus.emplace();
    if (argc == 3 && std::string(argv[1]) == "--block") {
        printSamples = true;
        for (const Block& block : kBlocks)
            if (block.name == std::string(argv[2]))
                block.run();
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const KeepProcessorsAwake awake;
    struct Run {
        const Block* block;
        bool underPipeWire;
    };
    std::vector<Run> runs;
    const bool pipeWire = !QStandardPaths::findExecutable("pw-jack").isEmpty() &&
                          !QStandardPaths::findExecutable("pipewire").isEmpty();
    for (const Block& block : kBlocks) {
        // A second argument keeps only the blocks whose names contain it.
        if (argc > 2 && std::string(block.name).find(argv[2]) == std::string::npos)
            continue;
        runs.push_back({&block, false});
        if (block.alsoUnderPipeWire && pipeWire)
            runs.push_back({&block, true});
    }
    for (int round = 1; round <= rounds; ++round) {
        currentRound = round;
        std::shuffle(runs.begin(), runs.end(), dice);
        for (const Run& run : runs)
            RunKeepingTheHostOut(*run.block, run.underPipeWire, round, rounds);
    }
    PrintTable(rounds, awake.Active());
    return 0;
}
