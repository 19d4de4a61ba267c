#pragma once

// What the JACK tests run against: a private JACK server, a second JACK client standing in
// for a synthesizer or sequencer connected to klavio, and one listening to its sound.

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using MidiBytes = std::vector<std::uint8_t>;

class PipeWireTestSession;

// The program on the PATH, or nothing.
std::string FindProgram(const std::string& name);
inline std::string FindJackd() {
    return FindProgram("jackd");
}
// Whether the JACK tests run under PipeWire (KLAVIO_TEST_JACK_SERVER=pipewire).
bool JackTestsOnPipeWire();

// jackd with the dummy driver under a name of its own, so tests never meet a user's server
// or each other's. Start points JACK_DEFAULT_SERVER of this process at it.
// With KLAVIO_TEST_JACK_SERVER=pipewire, and PipeWire's libjack in place of jackd's (the
// library path pw-jack sets), the server is a private PipeWire session instead, at the same
// period and rate: the same tests then show what changes for klavio under PipeWire.
class JackTestServer {
public:
    JackTestServer();
    ~JackTestServer();
    // Empty when the server can be started here, else what is missing and how to get it.
    static std::string Missing();
    // Returns once the server takes clients; false and the server's own output otherwise.
    // options replace "-d dummy" and its settings (internal clients go before the "-d").
    bool Start(std::string& whyNot, const std::vector<std::string>& options = {});
    // Before Start: the server and its clients' process threads run with real-time priority,
    // as JACK is meant to run, instead of in the ordinary time-sharing the tests use (which
    // needs no permission). Only for a process that may use it.
    void UseRealtimeScheduling() { realtime_ = true; }
    // patience: how long the server may take to clean up after itself before it is killed.
    void Stop(std::chrono::milliseconds patience = std::chrono::seconds(5));
    const std::string& Name() const { return name_; }
    // Stops the server and starts it again under its name, as a user restarting it does: the
    // clients of the old one are cut off, new ones find the new one.
    bool Restart(std::string& whyNot);
    // Freezes the server as a hung one would be (SIGSTOP), or lets it go on (SIGCONT).
    void Pause(bool paused);

private:
    bool Launch(std::string& whyNot);

    std::unique_ptr<PipeWireTestSession> pipewire_;
    pid_t pid_ = -1;
    int lock_ = -1;
    std::string name_;
    std::vector<std::string> options_;
    bool realtime_ = false;
    std::string logPath_;
    std::uint64_t lateCyclesAtStart_ = 0;
};

// A client "name" with a MIDI input port "in" and a MIDI output port "out". It records every
// event reaching "in" and sends what it is given on "out".
class JackPeer {
public:
    static std::unique_ptr<JackPeer> Open(const std::string& name, std::string& whyNot);
    ~JackPeer();
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    jack_client_t* Client() const { return client_; }
    // Leaves the server as a program that quits does.
    void Close();
    // Takes both ports away while the client stays.
    void RemovePorts();

    // Every event that reached "in", oldest first.
    const std::vector<MidiBytes>& Received();
    // The same, less the one repeat klavio makes: a note-off the same as that note's latest
    // event (8n nn 00 for a note-on without velocity), come again when the peer heard of an xrun
    // between a few cycles before that event and the repeat. Each one left out is printed as the
    // machine's doing.
    std::vector<MidiBytes> ReceivedLessXrunRepeats();
    // For each of them, the peer's cycle it came in.
    const std::vector<std::uint64_t>& CyclesAtReceipt() { return Received(), cyclesAtReceipt_; }
    // And the server's frame time at the start of that cycle: the same for every client.
    const std::vector<std::uint32_t>& FramesAtReceipt() { return Received(), framesAtReceipt_; }
    // The cycles the peer heard of its first xruns in.
    std::vector<std::uint64_t> XrunCycles() const;
    // How many xruns the peer had heard of by the end of that cycle.
    std::uint64_t XrunsHeardBy(std::uint64_t cycle) const;
    // Starts the record of received events afresh.
    void Forget() {
        Received(), receivedSoFar_.clear(), cyclesAtReceipt_.clear(), framesAtReceipt_.clear();
    }
    // Sends the bytes as one event on "out".
    void Send(const MidiBytes& event);
    // Sends FloodMessage(0) to FloodMessage(count - 1) on "out", as many per cycle as fit.
    void Flood(std::uint32_t count) { floodCount_.store(count); }
    // Alternating note-on and note-off, packed as for midiOutShortMsg.
    static std::uint32_t FloodMessage(std::uint32_t index);
    std::uint64_t Cycles() const { return cycles_.load(); }
    // Cycles the server could not finish in time, where MIDI written late is lost.
    std::uint64_t Xruns() const { return xruns_.load(); }
    // When the process callback last found an event on "in": the moment the peer could first
    // act on it. For latency measurements.
    std::chrono::steady_clock::time_point LastReceivedAt() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(lastReceivedAt_.load()));
    }

private:
    JackPeer() = default;
    static int OnProcess(jack_nframes_t frames, void* self);
    void Process(jack_nframes_t frames);

    jack_client_t* client_ = nullptr;
    std::atomic<jack_port_t*> in_{nullptr};
    std::atomic<jack_port_t*> out_{nullptr};
    jack_ringbuffer_t* received_ = nullptr; // size, the cycle it came in, its frame, then bytes
    jack_ringbuffer_t* toSend_ = nullptr;   // size, then bytes
    std::atomic<std::uint32_t> floodCount_{0};
    std::uint32_t floodSent_ = 0; // process callback only
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> xruns_{0};
    jack_time_t lastCycleStart_ = 0; // process thread only
    // The cycles in which the first xruns were heard of.
    std::array<std::atomic<std::uint64_t>, 4096> xrunCycles_{};
    std::atomic<std::chrono::steady_clock::rep> lastReceivedAt_{0};
    std::vector<MidiBytes> receivedSoFar_;
    std::vector<std::uint64_t> cyclesAtReceipt_;
    std::vector<std::uint32_t> framesAtReceipt_;
};

// A client "name" with one audio input port "in", which records what reaches it (every
// connected output, mixed) for about a minute; later sound is lost until Take makes room.
class JackRecorder {
public:
    using Clock = std::chrono::steady_clock;

    static std::unique_ptr<JackRecorder> Open(const std::string& name, std::string& whyNot);
    ~JackRecorder();
    JackRecorder(const JackRecorder&) = delete;
    JackRecorder& operator=(const JackRecorder&) = delete;

    double SampleRate() const;
    // Connects "in" to every audio output port whose name starts with prefix, such as
    // "klavio-synth:"; returns how many are connected, including those that were already.
    int Listen(const std::string& prefix);
    // What was recorded since the last call, oldest first.
    std::vector<float> Take();
    // From now on, the time the process callback first finds a sample louder than threshold is
    // kept for FirstLoudAt; the latest such time always is, for LastLoudAt. The callback runs
    // after the clients feeding "in" in the same cycle, so this is when the sound is there for
    // a JACK client, as it would be for a sound card.
    void Arm(float threshold);
    // The epoch until a loud sample arrives.
    Clock::time_point FirstLoudAt() const { return At(firstLoudAt_); }
    Clock::time_point LastLoudAt() const { return At(lastLoudAt_); }

private:
    JackRecorder() = default;
    static Clock::time_point At(const std::atomic<Clock::rep>& ticks) {
        return Clock::time_point(Clock::duration(ticks.load()));
    }
    static int OnProcess(jack_nframes_t frames, void* self);
    void Process(jack_nframes_t frames);

    jack_client_t* client_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_ringbuffer_t* recorded_ = nullptr; // floats
    std::atomic<float> threshold_{1.0f};
    std::atomic<Clock::rep> firstLoudAt_{0};
    std::atomic<Clock::rep> lastLoudAt_{0};
    jack_time_t lastCycleStart_ = 0; // process thread only
};
