#pragma once

// PipeWire as the desktop runs it, headless and private to one test: the PipeWire daemon,
// WirePlumber and PipeWire's PulseAudio server on a session bus and in a runtime folder of their
// own, running at 256 frames and 48 kHz with one sound card stand-in, the null sink kSink.

#include <sys/types.h>

#include <string>
#include <vector>

class PipeWireTestSession {
public:
    // The sink every sound goes to; JACK clients see its monitor as kSink:monitor_FL and _FR.
    static constexpr const char* kSink = "klavio-test-sink";

    ~PipeWireTestSession() { Stop(); }
    // Empty when the programs are installed, else which Debian packages are missing.
    static std::string Missing();
    // Returns once PipeWire and its PulseAudio server take clients, and points this process's
    // PipeWire clients (PipeWire's libjack among them) and PulseAudio clients at it; the
    // programs it starts inherit that. False with the daemons' own output otherwise.
    bool Start(std::string& whyNot);
    // Ends every process the session started; none outlives it.
    void Stop();
    // Stops the daemons and starts them again in the same folder, as a user restarting PipeWire
    // does: every client of the old daemon is cut off, new ones find the new one.
    bool Restart(std::string& whyNot);
    // Freezes the PipeWire daemon as a hung one would be (SIGSTOP), or lets it go on (SIGCONT).
    void Pause(bool paused);

private:
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& logName);
    bool LaunchDaemons(std::string& whyNot);
    void StopDaemons();
    std::string Logs() const;

    std::string folder_;
    pid_t group_ = -1; // the session bus leads the process group of every daemon
    std::vector<pid_t> daemons_;
};
