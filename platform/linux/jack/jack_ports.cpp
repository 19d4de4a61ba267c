// The JACK backend's port table and its open and close steps (see jack_ports.h). GUI thread
// throughout, but for the requests it posts.

#include "platform/linux/jack/jack_ports.h"

#include "platform/linux/jack/jack_process.h"
#include "platform/linux/jack/jack_requests.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <jack/jack.h>

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace jack_midi {

namespace {

// Room for several SysEx messages of the largest size a port buffer takes.
constexpr std::size_t kOutputQueueBytes = 256 * 1024;
// A server that runs no cycle for this long has stopped, whatever its period (4096 frames at
// 44.1 kHz are 93 ms) and however loaded the machine.
constexpr std::chrono::milliseconds kSilence{1000};
// The longest a closing port waits for any of what it queued to go out while the server still
// cycles.
constexpr std::chrono::milliseconds kLongestDrain{3000};

// Our ports keep their names for the life of the process, whichever device they lead to, so
// that connections a patchbay made to them are made again when they come back.
const char* const kMapperPortName = "midi_out";
const char* const kDeviceOutputPortName = "device_out";
const char* const kDeviceInputPortName = "device_in";

// Whether a port has messages queued that have not gone out.
bool HasSomethingToSend(const Port& port) {
    return port.output && port.queue->ReadSpace() != 0;
}

} // namespace

// ---- Runs on the GUI thread ---------------------------------------------------------------------

JackPorts::JackPorts(std::string clientName, JackProcess& process, JackRequests& requests)
    : clientName_(std::move(clientName)), process_(process), requests_(requests),
      // For tests that compare what reached a peer with what was handed to JACK.
      reportHanded_(std::getenv("KLAVIO_JACK_COUNTS") != nullptr) {}

JackPorts::~JackPorts() = default;

bool JackPorts::MapperOpen() const {
    return std::any_of(ports_.begin(), ports_.end(), [](const auto& open) {
        return open.second->output && open.second->device.empty();
    });
}

void JackPorts::CompleteEveryPort() {
    for (auto& [handle, port] : ports_)
        CompleteAll(*port);
}

void JackPorts::ReportOpenPorts() const {
    if (reportHanded_)
        for (const auto& [handle, port] : ports_)
            ReportHanded(*port);
}

// What a port handed to JACK, on standard error, for tests that compare it with what arrived.
void JackPorts::ReportHanded(const Port& port) const {
    if (!port.output)
        return;
    std::fprintf(stderr,
                 "klavio JACK counts: %s:%s to %s: %llu note-ons, %llu note-offs, %llu others, "
                 "%llu note-offs repeated after %llu xrun reports; %llu messages accepted, %llu "
                 "cancelled by a reset; %llu cycles run, %llu messages dropped by any port\n",
                 clientName_.c_str(), port.name.c_str(),
                 port.device.empty() ? "(whoever connects)" : port.device.c_str(),
                 static_cast<unsigned long long>(port.handedNoteOns.load()),
                 static_cast<unsigned long long>(port.handedNoteOffs.load()),
                 static_cast<unsigned long long>(port.handedOthers.load()),
                 static_cast<unsigned long long>(port.repeatedNoteOffs.load()),
                 static_cast<unsigned long long>(process_.xrunsReported.load()),
                 static_cast<unsigned long long>(port.accepted),
                 static_cast<unsigned long long>(port.cancelled.load()),
                 static_cast<unsigned long long>(process_.cycles.load()),
                 static_cast<unsigned long long>(process_.droppedOutgoing.load()));
}

void JackPorts::CompleteOldest(Port& port) {
    MIDIHDR* header = port.pending.front().header;
    port.pending.pop_front();
    MarkMidiHeaderDone(header);
    PostMidiOutDone(port.receiver, header);
}

void JackPorts::CompleteAll(Port& port) {
    while (!port.pending.empty())
        CompleteOldest(port);
}

std::vector<std::string> JackPorts::List(unsigned long flags) {
    std::vector<std::string> names;
    if (process_.serverGone.load())
        return names;
    const char** ports = jack_get_ports(process_.Client(), nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (ports == nullptr)
        return names;
    for (const char** name = ports; *name != nullptr; ++name) {
        const jack_port_t* port = jack_port_by_name(process_.Client(), *name);
        if (port != nullptr && !jack_port_is_mine(process_.Client(), port))
            names.emplace_back(*name);
    }
    jack_free(ports);
    return names;
}

Port* JackPorts::Find(std::uint32_t handle, bool output) {
    const auto found = ports_.find(handle);
    if (found == ports_.end() || found->second->output != output)
        return nullptr;
    return found->second.get();
}

bool JackPorts::ConnectedToDevice(const Port& port) {
    // Asked for every message sent, so the answer is kept until the notification thread hears
    // of a change to our ports' connections, or of the server running a new graph: it tells of
    // a connection before the graph it reads from has it. Both counts only grow, and they are
    // read before asking, so a change while asking is not missed.
    const std::uint64_t changes =
        process_.ourConnectionChanges.load() + process_.graphOrders.load();
    if (port.connectedAsOf == changes)
        return port.connectedToDevice;
    // Asking about the device by name would make libjack complain once it is gone.
    bool connected = false;
    if (const char** peers = jack_port_get_connections(port.jackPort)) {
        for (const char** peer = peers; *peer != nullptr && !connected; ++peer)
            connected = port.device == *peer;
        jack_free(peers);
    }
    port.connectedToDevice = connected;
    port.connectedAsOf = changes;
    return connected;
}

MMRESULT JackPorts::Status(const Port& port) {
    if (process_.serverGone.load())
        return MMSYSERR_NODRIVER;
    switch (port.connection) {
    case Connection::Waiting:
    case Connection::Connecting:
        return MIDIERR_NOTREADY;
    case Connection::Refused:
        return MIDIERR_NODEVICE;
    case Connection::Made:
        break;
    }
    if (port.device.empty() || ConnectedToDevice(port))
        return MMSYSERR_NOERROR;
    return MIDIERR_NODEVICE;
}

MMRESULT JackPorts::Open(std::uint32_t& handle, bool output, const std::string& device,
                         QObject* receiver) {
    if (process_.serverGone.load())
        return MMSYSERR_NODRIVER;
    const auto freeSlot = std::find(slotTaken_.begin(), slotTaken_.end(), false);
    if (freeSlot == slotTaken_.end())
        return MMSYSERR_NOMEM;
    // A device known to have gone since the list was counted is refused at once; the graph
    // is read locally, without asking the server.
    if (!device.empty()) {
        const std::vector<std::string> now = List(output ? JackPortIsInput : JackPortIsOutput);
        if (std::find(now.begin(), now.end(), device) == now.end())
            return MIDIERR_NODEVICE;
    }

    auto port = std::make_unique<Port>();
    port->handle = nextHandle_++;
    if (nextHandle_ == 0)
        nextHandle_ = 1;
    port->output = output;
    port->device = device;
    port->toDevice = !device.empty();
    port->receiver = receiver;
    port->slot = static_cast<std::size_t>(freeSlot - slotTaken_.begin());
    if (output) {
        port->queue = std::make_unique<Ring>(kOutputQueueBytes);
        if (!port->queue->Valid())
            return MMSYSERR_NOMEM;
    }
    // The program has one port of each kind open at a time, so it always gets the fixed name;
    // others open at once beside it (a second output) are told apart by a number.
    const std::string base = !output          ? kDeviceInputPortName
                             : device.empty() ? kMapperPortName
                                              : kDeviceOutputPortName;
    port->name = base;
    for (int n = 2; std::any_of(ports_.begin(), ports_.end(),
                                [&](const auto& open) { return open.second->name == port->name; });
         ++n)
        port->name = base + "_" + std::to_string(n);
    port->openedAt = std::chrono::steady_clock::now();
    *freeSlot = true;
    handle = port->handle;
    Port& opened = *port;
    ports_.emplace(port->handle, std::move(port));
    PostRequest(opened);
    return MMSYSERR_NOERROR;
}

// Registering and connecting wait for the server's answer, so the request runs on the requests
// thread; everything it touches is its own. A port closed a moment ago may still hold the
// name (each kind of port has one fixed name): then the request waits for its
// unregistration, which comes first in the queue.
void JackPorts::PostRequest(Port& port) {
    if (process_.serverGone.load()) { // its client is closed, or about to be
        port.connection = Connection::Refused;
        changed_ = true;
        return;
    }
    // Closed ports take the name in the order they were opened, before any port still open: a
    // port closed while it waited for the name still sends what it was sent.
    bool older = true;
    for (const std::unique_ptr<Port>& other : closing_) {
        if (&*other == &port) {
            older = false;
            continue;
        }
        if (other->name != port.name)
            continue;
        if (other->jackPort != nullptr || other->request != nullptr)
            return;
        if (older && other->connection == Connection::Waiting && HasSomethingToSend(*other))
            return;
    }
    if (!cycling_ && !PostCycling(true)) {
        port.connection = Connection::Refused;
        changed_ = true;
        return;
    }
    auto request = std::make_shared<PortRequest>();
    port.graphOrdersAtRequest = process_.graphOrders.load();
    jack_client_t* client = process_.Client();
    const bool posted = requests_.Post(
        [client, request, name = port.name, device = port.device, output = port.output] {
            jack_port_t* registered =
                jack_port_register(client, name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                   output ? JackPortIsOutput : JackPortIsInput, 0);
            if (registered != nullptr && !device.empty()) {
                const char* ours = jack_port_name(registered);
                const int failed = output ? jack_connect(client, ours, device.c_str())
                                          : jack_connect(client, device.c_str(), ours);
                if (failed != 0) {
                    jack_port_unregister(client, registered);
                    registered = nullptr;
                    request->refused = true;
                }
            }
            request->port = registered;
            // Nobody wants the port any more: it would only take the name.
            if (!request->outcome.Finish() && registered != nullptr)
                jack_port_unregister(client, registered);
        });
    port.connection = posted ? Connection::Connecting : Connection::Refused;
    if (posted) {
        port.request = std::move(request);
        // The server's patience starts now, and so does the drain of a port closed while it
        // waited for its name.
        port.openedAt = std::chrono::steady_clock::now();
        port.closingSince = port.openedAt;
        port.lastCycleAt = port.openedAt;
    } else
        changed_ = true;
}

// The requests run in the order posted, so the client enters the cycles before the registration
// that follows and leaves them after every unregistration before.
bool JackPorts::PostCycling(bool cycling) {
    if (!requests_.Post(process_.ActivationRequest(cycling, true)))
        return false;
    cycling_ = cycling;
    return true;
}

void JackPorts::Unregister(jack_port_t* jackPort) {
    if (process_.serverGone.load() || jackPort == nullptr)
        return;
    jack_client_t* client = process_.Client();
    // A full queue keeps the port until the program ends; it only holds a name. The request
    // runs on the requests thread.
    if (!requests_.Post([client, jackPort] { jack_port_unregister(client, jackPort); }))
        qWarning("JACK: too many requests waiting; a closed port stays registered");
}

void JackPorts::AdvanceOpening(Port& port) {
    if (port.connection == Connection::Waiting) {
        PostRequest(port);
        return;
    }
    if (port.connection != Connection::Connecting || process_.serverGone.load())
        return;
    const auto now = std::chrono::steady_clock::now();
    const bool late = now - port.openedAt > kServerPatience;
    if (late && !port.slowWarned) {
        port.slowWarned = true;
        qWarning("JACK: the server is slow to answer; %s is not connected yet",
                 port.device.empty() ? port.name.c_str() : port.device.c_str());
    }
    if (port.jackPort == nullptr) {
        if (!port.request->outcome.Finished())
            return;
        if (port.request->port == nullptr) {
            port.connection = Connection::Refused;
            port.request.reset();
            changed_ = true;
            return;
        }
        port.jackPort = port.request->port;
        port.request.reset();
    }
    // Shown to the callback at once: a connected port whose buffer nobody clears would hand
    // its readers whatever was left in it.
    if (!port.shown) {
        // Its connection holds back what it sends until the server runs a graph with it.
        if (port.toDevice && port.output) {
            port.heldBehindGraphOrder = port.graphOrdersAtRequest;
            port.heldSince = process_.cycles.load();
        }
        process_.portSlots[port.slot].store(&port);
        port.shown = true;
    }
    // A new connection shows in the graph once a cycle uses it; until then what the port sent
    // would go nowhere. A device that vanished in between never shows; one still there will,
    // however late a starved server switches to the new graph.
    if (!port.sending.load()) {
        if (!port.device.empty() && !ConnectedToDevice(port)) {
            const auto listed = [&] {
                const auto now = List(port.output ? JackPortIsInput : JackPortIsOutput);
                return std::find(now.begin(), now.end(), port.device) != now.end();
            };
            if (late && !listed()) {
                port.connection = Connection::Refused;
                changed_ = true;
            }
            return;
        }
        port.sending.store(true);
        port.cycleMark = process_.cycles.load();
    }
    // Ready once a whole cycle has used it: long messages are checked against what a port
    // buffer takes, which only the callback can measure.
    if (process_.cycles.load() < port.cycleMark + 2)
        return;
    port.connection = Connection::Made;
    changed_ = true;
}

// True once the server has gone or run no cycle for kSilence: a closing port stops waiting
// for it then.
bool JackPorts::CyclingStopped(Port& port, std::chrono::steady_clock::time_point now) {
    if (const std::uint64_t cycles = process_.cycles.load(); cycles != port.cycleMark) {
        port.cycleMark = cycles;
        port.lastCycleAt = now;
    }
    // Held messages go out at the pace they were sent: the drain gives up only when none does.
    if (const std::size_t queued = port.output ? port.queue->ReadSpace() : 0;
        queued != port.queuedAtCheck) {
        port.queuedAtCheck = queued;
        port.closingSince = now;
    }
    return process_.serverGone.load() || now - port.lastCycleAt > kSilence ||
           now - port.closingSince > kLongestDrain;
}

// One step of a close at a time; true once the port is gone.
bool JackPorts::AdvanceClosing(Port& port) {
    const auto now = std::chrono::steady_clock::now();
    if (port.connection == Connection::Waiting &&
        (!HasSomethingToSend(port) || process_.serverGone.load())) {
        // Never registered: nobody could have been listening to it.
        slotTaken_[port.slot] = false;
        return true;
    }
    if (port.connection == Connection::Waiting) {
        PostRequest(port);
        if (port.connection == Connection::Waiting)
            return false;
    }
    // What it was sent before it closed goes out if the port connects in time.
    if (port.connection == Connection::Connecting)
        AdvanceOpening(port);
    if (port.connection == Connection::Connecting && !port.shown) {
        // The server has not answered the registration yet, or has gone.
        if (now - port.openedAt <= kServerPatience && !process_.serverGone.load())
            return false;
        // Whoever comes second of the request and this close unregisters the port.
        if (!port.request->outcome.Abandon() && !process_.serverGone.load())
            return false; // it finished after all: the next round takes its port
        slotTaken_[port.slot] = false;
        return true;
    }
    if (port.connection == Connection::Refused && !port.shown) {
        slotTaken_[port.slot] = false;
        return true;
    }
    // Shown to the callback from here on: it must be waited out before the port goes.
    if (port.connection == Connection::Connecting && !port.sending.load() &&
        !process_.serverGone.load())
        return false; // until the connection shows, or the wait for it ends in a refusal
    switch (port.closing) {
    case Closing::No:
    case Closing::Draining:
        // What is queued, such as the note-offs of a reset, goes out before the port goes, and
        // two more cycles let every client downstream read it.
        if (port.output && port.sending.load() && port.queue->ReadSpace() != 0 &&
            !CyclingStopped(port, now))
            return false;
        port.closing = Closing::Settling;
        port.cycleMark = process_.cycles.load();
        port.lastCycleAt = now;
        [[fallthrough]];
    case Closing::Settling: {
        const std::uint64_t target = port.cycleMark + 2;
        if (port.output && process_.cycles.load() < target && !CyclingStopped(port, now))
            return false;
        if (port.output && port.sending.load() && port.queue->ReadSpace() != 0 &&
            !process_.serverGone.load())
            qWarning("JACK: %s closed with %zu bytes of messages that never went out to %s",
                     port.name.c_str(), port.queue->ReadSpace(), port.device.c_str());
        process_.portSlots[port.slot].store(nullptr);
        // A cycle that began before the slot was cleared may still use the port; one that
        // begins later cannot see it. Wait for the former to end.
        port.closing = Closing::Leaving;
        port.cycleMark = process_.cycles.load();
        port.closingSince = now;
        [[fallthrough]];
    }
    case Closing::Leaving:
        if (process_.inCycle.load() && process_.cycles.load() == port.cycleMark) {
            if (now - port.closingSince <= kCallbackPatience)
                return false;
            // The callback never finished its cycle: the port stays until the program ends.
            slotTaken_[port.slot] = false;
            const auto owned = std::find_if(closing_.begin(), closing_.end(),
                                            [&port](const auto& p) { return p.get() == &port; });
            abandoned_.push_back(std::move(*owned));
            return true;
        }
        if (reportHanded_)
            ReportHanded(port);
        Unregister(port.jackPort);
        slotTaken_[port.slot] = false;
        return true;
    }
    return true;
}

bool JackPorts::Advance() {
    for (auto& [handle, port] : ports_)
        AdvanceOpening(*port);
    // A finished close may free a name an opening port waits for, so closes come first next
    // time round; erasing as we go keeps the loop simple.
    for (std::size_t i = 0; i < closing_.size();) {
        if (AdvanceClosing(*closing_[i]))
            closing_.erase(closing_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
    // A port the callback never let go of keeps the client cycling: it may still be in a cycle.
    if (cycling_ && !ending_ && ports_.empty() && closing_.empty() && abandoned_.empty() &&
        !process_.serverGone.load())
        PostCycling(false); // posted or not, the client still works: it only cycles on
    return !closing_.empty() || std::any_of(ports_.begin(), ports_.end(), [](const auto& entry) {
        return entry.second->connection == Connection::Waiting ||
               entry.second->connection == Connection::Connecting;
    });
}

void JackPorts::Close(Port& port) {
    const auto owned = ports_.find(port.handle);
    port.closing = Closing::Draining;
    port.closingSince = std::chrono::steady_clock::now();
    port.lastCycleAt = port.closingSince;
    port.cycleMark = process_.cycles.load();
    closing_.push_back(std::move(owned->second));
    ports_.erase(owned);
}

bool JackPorts::Queue(Port& port, const std::uint8_t* bytes, std::size_t size, std::uint32_t epoch,
                      std::uint32_t token) {
    const OutRecord record{static_cast<std::uint32_t>(size), epoch, token,
                           process_.serverGone.load() ? 0 : jack_frame_time(process_.Client())};
    if (!port.queue->Push(&record, sizeof record, bytes, size))
        return false;
    ++port.accepted;
    return true;
}

} // namespace jack_midi
