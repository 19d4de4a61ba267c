#pragma once

// The JACK backend's table of open ports and the steps that open and close them, on the GUI
// thread. Registering and connecting wait for the server, so they run on the requests thread;
// the GUI thread takes their answers, shows a port to the process callback, lets a closing
// port's queue drain and waits the callback out, in small steps that Advance runs whenever it
// is called (a timer calls it while any step is left). Until a port is ready it tells so, and
// what it is sent waits in its queue.

#include "platform/linux/jack/jack_port.h"
#include "platform/midi_service.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class JackRequests;
class QObject;

namespace jack_midi {

class JackProcess;

class JackPorts {
public:
    // process and requests must outlive the table.
    JackPorts(std::string clientName, JackProcess& process, JackRequests& requests);
    ~JackPorts();
    JackPorts(const JackPorts&) = delete;
    JackPorts& operator=(const JackPorts&) = delete;

    // The MIDI ports of the other clients: flags JackPortIsInput lists outputs' devices.
    std::vector<std::string> List(unsigned long flags);
    // The open port with handle, of that direction; nullptr for none.
    Port* Find(std::uint32_t handle, bool output);
    // Whether the program's own port for other programs is open.
    bool MapperOpen() const;
    // Opens a port to device (an empty name: the program's own port) and asks the requests
    // thread to register and connect it; Advance takes it from there.
    MMRESULT Open(std::uint32_t& handle, bool output, const std::string& device, QObject* receiver);
    // Takes the port out of the table; Advance closes it, after what it was sent went out.
    void Close(Port& port);
    // Runs the open and close steps that can run now; true while any are left.
    bool Advance();
    bool Closing() const { return !closing_.empty(); }
    // The client closes once the closing ports are gone: it stays in the cycles until then.
    void Ending() { ending_ = true; }
    // How the port is, as midiOutGetStatus says it.
    MMRESULT Status(const Port& port);
    // Puts one message in an output port's queue; false when the queue is full.
    bool Queue(Port& port, const std::uint8_t* bytes, std::size_t size, std::uint32_t epoch,
               std::uint32_t token);
    // Hands the oldest or every long message of the port back to its receiver.
    void CompleteOldest(Port& port);
    void CompleteAll(Port& port);
    // Every open port's long messages, when the server has gone.
    void CompleteEveryPort();
    // When asked for (KLAVIO_JACK_COUNTS): what each open port handed to JACK.
    void ReportOpenPorts() const;

    // Whether a port changed in a way the device watcher has not heard of yet.
    bool Changed() const { return changed_; }
    void NoteChanged() { changed_ = true; }
    void ChangesTold() { changed_ = false; }

private:
    bool ConnectedToDevice(const Port& port);
    void PostRequest(Port& port);
    // Puts the client in the server's cycles before a port registers, and takes it out once no
    // port is left; false when the request could not be posted.
    bool PostCycling(bool cycling);
    void Unregister(jack_port_t* jackPort);
    void AdvanceOpening(Port& port);
    // One step of a close at a time; true once the port is gone.
    bool AdvanceClosing(Port& port);
    bool CyclingStopped(Port& port, std::chrono::steady_clock::time_point now);
    void ReportHanded(const Port& port) const;

    const std::string clientName_;
    JackProcess& process_;
    JackRequests& requests_;
    std::map<std::uint32_t, std::unique_ptr<Port>> ports_;
    // Closed ports on their way out; their handles are stale already.
    std::vector<std::unique_ptr<Port>> closing_;
    // Ports the callback might still be looking at because it never finished its cycle.
    std::vector<std::unique_ptr<Port>> abandoned_;
    std::array<bool, kMaxPorts> slotTaken_{};
    std::uint32_t nextHandle_ = 1;
    bool changed_ = false;
    // Whether the client was last asked to be in the server's cycles: from the first port's
    // registration until no port is left.
    bool cycling_ = false;
    bool ending_ = false;
    bool reportHanded_ = false; // what each port handed to JACK goes to standard error
};

} // namespace jack_midi
