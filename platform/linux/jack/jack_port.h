#pragma once

// What the three sides of the JACK backend share about a port: the service's calls (GUI
// thread), the port table that opens and closes ports (GUI thread, with the requests thread),
// and the process and notification callbacks (JACK's threads). Each field says whose it is.

#include "formats/short_message.h"
#include "platform/linux/jack/jack_requests.h"
#include "platform/linux/jack/jack_ring.h"
#include "platform/midi_service.h"

#include <jack/jack.h>

#include <QObject>
#include <QPointer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace jack_midi {

// One open port per slot; the program needs two, tests a handful.
constexpr std::size_t kMaxPorts = 64;
// How long closing a port, or the end of the service, waits for the callback before it gives
// up on it.
constexpr std::chrono::milliseconds kCallbackPatience{500};
// How long the server may take to register and connect a port before it is called silent: a
// connection that has not shown by then is refused, and the destructor's close of the client
// is given up. A loaded machine can take hundreds of milliseconds to register a port.
constexpr std::chrono::milliseconds kServerPatience{1000};
// Holds is a port's hold count when nothing holds it.
constexpr std::uint64_t kNotHeld = UINT64_MAX;

// An outgoing message, followed by its bytes. Epoch 0 always goes out; any other epoch only
// while it is the port's current one, so a reset can cancel long messages already queued.
struct OutRecord {
    std::uint32_t size;
    std::uint32_t epoch;
    std::uint32_t token; // non-zero on the last message of a long message
    std::uint32_t frame; // on the server's clock when it was queued, for messages held back
};

struct PendingLongMessage {
    std::uint32_t token;
    MIDIHDR* header;
};

// A port registration and connection made on the requests thread.
struct PortRequest {
    JackRequestOutcome outcome;
    jack_port_t* port = nullptr;
    bool refused = false; // the device would not connect
};

// How far a port's connection to its device got.
enum class Connection {
    Waiting,    // its request is not posted yet: a closing port still holds the name
    Connecting, // registering and connecting, or the connection not yet in the graph
    Made,       // shown to the process callback
    Refused,    // not registered or not connected; nothing it is sent goes anywhere
};

// How far a closing port got; it leaves the callback's sight before it is unregistered.
enum class Closing { No, Draining, Settling, Leaving };

struct Port {
    // Fixed before the port is shown to the process callback.
    std::uint32_t handle = 0;
    bool output = false;
    jack_port_t* jackPort = nullptr;
    std::unique_ptr<Ring> queue; // outputs only
    // Shared with the process callback.
    std::atomic<std::uint32_t> epoch{1};
    std::atomic<bool> started{false};
    std::atomic<bool> sending{false}; // outputs: the connection is in the graph
    bool toDevice = false;
    // Held back until the server confirms a graph after the one with this count (kNotHeld:
    // free); set before the port is shown, then the process callback's.
    std::uint64_t heldBehindGraphOrder = kNotHeld;
    // Counted by the process callback, read when the port closes: what it handed to JACK.
    std::atomic<std::uint64_t> handedNoteOns{0};
    std::atomic<std::uint64_t> handedNoteOffs{0};
    std::atomic<std::uint64_t> handedOthers{0};
    std::atomic<std::uint64_t> repeatedNoteOffs{0};
    std::atomic<std::uint64_t> cancelled{0}; // long messages a reset stopped
    // Process callback only: what it sent, for repeating note-offs after a lost cycle.
    RecentlyEndedNotes ended;
    std::uint64_t heldSince = 0;          // the cycle the hold began in
    std::uint64_t releaseAt = UINT64_MAX; // the cycle it ends, once the server confirmed the graph
    bool replaying = false;               // what was held goes out at its own pace
    std::uint32_t replayShift = 0;        // frames between a held message's queueing and its due
    std::uint32_t replayEnd = 0;          // messages queued after this frame were not held
    // GUI thread only.
    std::size_t slot = 0;
    std::string name;   // our port's short name
    std::string device; // the peer port we are connected to; empty for the mapper
    // Whether the server showed the connection to device, as of that many connection changes
    // and new graphs (UINT64_MAX: never asked). A remembered answer, kept by const readers.
    mutable bool connectedToDevice = false;
    mutable std::uint64_t connectedAsOf = UINT64_MAX;
    QPointer<QObject> receiver;
    std::deque<PendingLongMessage> pending;
    SoundingNotes sounding;
    Connection connection = Connection::Waiting;
    std::shared_ptr<PortRequest> request;
    std::uint64_t graphOrdersAtRequest = 0; // before its connection was asked for
    std::chrono::steady_clock::time_point openedAt;
    bool slowWarned = false;
    Closing closing = Closing::No;
    std::chrono::steady_clock::time_point closingSince; // the current step's start
    std::chrono::steady_clock::time_point lastCycleAt;
    std::size_t queuedAtCheck = 0; // queue bytes when a closing port last looked
    std::uint64_t accepted = 0;    // messages queued, for the report of what was handed on
    std::uint64_t cycleMark = 0;
    bool shown = false; // in its slot, where the process callback sees it
};

} // namespace jack_midi
