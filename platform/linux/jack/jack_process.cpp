// The JACK backend's process and notification callbacks (see jack_process.h). Each callback
// goes through one gate visit (ThroughGate) to the JackProcess behind it, and only then to the
// code of its thread.

#include "platform/linux/jack/jack_process.h"

#include "formats/short_message.h"
#include "platform/linux/jack/jack_client.h"

#include <jack/midiport.h>

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <type_traits>

namespace jack_midi {

namespace {

// 131,071 incoming messages: a peer flooding us for a good while before the GUI thread catches
// up loses nothing.
constexpr std::size_t kInputQueueBytes = 1024 * 1024;
constexpr std::size_t kDoneQueueBytes = 64 * 1024;
// Reports of cycles the server could not finish, and connections of our ports, waiting for the
// process callback: a few bytes each, and a handful come between two cycles.
constexpr std::size_t kNoticeQueueBytes = 16 * 1024;
// A port whose graph change the server does not confirm sends anyway after this many cycles
// (a quarter of a second of 256-frame cycles at 48 kHz) once the graph shows it connected:
// the confirmation may have come before the port could see it.
constexpr std::uint64_t kLongestHold = 48;
// A note-on or note-off: what any real port buffer takes when empty.
constexpr std::size_t kShortestMessageBytes = 3;

// libjack reads the server's graph from shared memory with a slot for every port the server
// could ever hold (tens of megabytes, a page or more apart), and the first look at it touches
// each slot's page for the first time: 20 ms on a virtual machine, most of it in the host. Looked
// at once here, on the requests thread, the window's first list of devices finds the pages in place
// (0.2 ms) instead of waiting for them. Runs on the requests thread; libjack reads its shared
// memory only, without asking the server.
void TouchGraph(jack_client_t* client) {
    jack_free(jack_get_ports(client, nullptr, nullptr, 0));
}

// A connection of one of our ports, as the notification thread heard of it: it goes out only
// once the server has run a graph with it, which the graph-order count after graphOrders tells.
struct ConnectNotice {
    const jack_port_t* port;
    std::uint64_t graphOrders;
};

// Runs on JACK's process thread: one message handed to JACK, counted for the report.
void CountHanded(Port& port, const std::uint8_t* bytes, std::size_t size) {
    const int kind = size == 3 ? bytes[0] & 0xF0 : 0;
    auto& counter = kind == 0x90 && bytes[2] != 0  ? port.handedNoteOns
                    : kind == 0x80 || kind == 0x90 ? port.handedNoteOffs
                                                   : port.handedOthers;
    counter.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

// What JACK's threads are handed instead of the JackProcess: when the server stops answering,
// the client cannot be closed and its callbacks may still come after the JackProcess is gone,
// so the gate outlives it and tells them there is nobody left.
struct CallbackGate {
    std::atomic<JackProcess*> process{nullptr};
    std::atomic<int> inside{0};
    CallbackGate* nextAbandoned = nullptr;
};

namespace {

// Every gate left to JACK, for the rest of the process: JACK's threads may still visit them, so
// they are never freed, and kept in reach so that a leak checker does not take them for lost.
std::atomic<CallbackGate*> abandonedGates{nullptr};

// libjack cancels its threads when a client closes, at once rather than at the next system call,
// and a client closed after the server went can be closed while its shutdown callback still
// runs. Unwound halfway through our code, a callback would leave its work half done (and a
// destructor or noexcept frame in the way ends the program). So the callbacks hold cancellation
// off and allow it again only once nothing of theirs is left to unwind. Neither call allocates
// or locks.
int HoldOffCancellation() {
    int before = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before);
    return before;
}

// A cancellation asked for meanwhile is acted on here.
void AllowCancellation(int before) {
    pthread_setcancelstate(before, nullptr);
}

// One callback's visit through the gate: counted in before looking, so that Abandon, having
// closed the gate, can wait for the visits under way to end.
class GateVisit {
public:
    explicit GateVisit(void* gate) : gate_(*static_cast<CallbackGate*>(gate)) {
        gate_.inside.fetch_add(1);
    }
    ~GateVisit() { gate_.inside.fetch_sub(1); }
    GateVisit(const GateVisit&) = delete;
    GateVisit& operator=(const GateVisit&) = delete;
    JackProcess* Process() const { return gate_.process.load(); }

private:
    CallbackGate& gate_;
};

} // namespace

// The C callback JACK calls for the JackProcess member Handler: the member's arguments, then
// the gate. Runs on whichever of JACK's threads the callback is for, with cancellation held off;
// with nobody behind the gate it answers 0 (or nothing).
template <auto Handler> struct ThroughGate;

template <typename Result, typename... Args, Result (JackProcess::*Handler)(Args...)>
struct ThroughGate<Handler> {
    static Result Callback(Args... args, void* gate) {
        const int cancellable = HoldOffCancellation();
        if constexpr (std::is_void_v<Result>) {
            Visit(args..., gate);
            AllowCancellation(cancellable);
        } else {
            const Result result = Visit(args..., gate);
            AllowCancellation(cancellable);
            return result;
        }
    }

private:
    static Result Visit(Args... args, void* gate) {
        const GateVisit visit(gate);
        JackProcess* process = visit.Process();
        if (process == nullptr)
            return Result();
        return (process->*Handler)(args...);
    }
};

// ---- Runs on the GUI thread ---------------------------------------------------------------------

JackProcess::JackProcess()
    : incoming(kInputQueueBytes), done(kDoneQueueBytes), gate_(std::make_unique<CallbackGate>()),
      xrunReports_(kNoticeQueueBytes), connectNotices_(kNoticeQueueBytes) {
    for (auto& slot : portSlots)
        slot.store(nullptr);
    gate_->process.store(this);
}

JackProcess::~JackProcess() {
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool JackProcess::Install(jack_client_t* client, std::string& whyNot) {
    if (!incoming.Valid() || !done.Valid() || !xrunReports_.Valid() || !connectNotices_.Valid()) {
        whyNot = "out of memory for the JACK MIDI queues";
        return false;
    }
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        whyNot = "cannot create the JACK MIDI wake-up descriptor";
        return false;
    }
    client_ = client;
    CallbackGate* gate = gate_.get();
    jack_on_shutdown(
        client,
        [](void* shutdownGate) {
            const int cancellable = HoldOffCancellation();
            // Said for every client of this process, whether or not anybody is behind the gate.
            NoteJackServerGone();
            ThroughGate<&JackProcess::OnShutdown>::Callback(shutdownGate);
            AllowCancellation(cancellable);
        },
        gate);
    jack_set_xrun_callback(client, &ThroughGate<&JackProcess::OnXrun>::Callback, gate);
    jack_set_port_registration_callback(
        client, &ThroughGate<&JackProcess::OnPortRegistration>::Callback, gate);
    jack_set_client_registration_callback(
        client, &ThroughGate<&JackProcess::OnClientRegistration>::Callback, gate);
    jack_set_port_rename_callback(client, &ThroughGate<&JackProcess::OnPortRename>::Callback, gate);
    jack_set_port_connect_callback(client, &ThroughGate<&JackProcess::OnPortConnect>::Callback,
                                   gate);
    jack_set_graph_order_callback(client, &ThroughGate<&JackProcess::OnGraphOrder>::Callback, gate);
    return true;
}

std::function<void()> JackProcess::ActivationRequest(bool cycling, bool active) const {
    // Runs on the requests thread. The gate outlives this object when the requests thread is
    // left behind on a silent server.
    return [client = client_, gate = gate_.get(), refused = activationRefused, cycling, active] {
        if (active && jack_deactivate(client) != 0) {
            refused->store(true);
            return;
        }
        if (cycling)
            ThroughGate<&JackProcess::ForgetEarlierXruns>::Callback(gate);
        jack_set_process_callback(
            client, cycling ? &ThroughGate<&JackProcess::OnProcess>::Callback : nullptr, gate);
        if (jack_activate(client) != 0)
            refused->store(true);
        else if (!active)
            TouchGraph(client); // the client's first activation; later ones find the pages in
        // The client hears of other ports only while it is active: what changed meanwhile went
        // untold.
        ThroughGate<&JackProcess::NoteDevicesChanged>::Callback(gate);
    };
}

void JackProcess::Abandon() {
    gate_->process.store(nullptr);
    const auto deadline = std::chrono::steady_clock::now() + kCallbackPatience;
    while (gate_->inside.load() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    CallbackGate* leftForJack = gate_.release();
    leftForJack->nextAbandoned = abandonedGates.load();
    while (!abandonedGates.compare_exchange_weak(leftForJack->nextAbandoned, leftForJack)) {
    }
}

void JackProcess::TakeWakeUps() {
    std::uint64_t wakeUps = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &wakeUps, sizeof wakeUps);
}

// ---- Runs on JACK's process thread --------------------------------------------------------------

// Runs on JACK's process thread.
int JackProcess::OnProcess(jack_nframes_t frames) {
    // Sequentially consistent with the GUI thread clearing a slot: see AdvanceClosing.
    inCycle.store(true);
    const std::uint64_t cycle = cycles.load();
    const jack_nframes_t cycleStart = jack_last_frame_time(client_);
    history_.Begin(cycle, cycleStart);
    TakeNotices(cycle);
    // The note-offs written in the cycles the server's reports cover go out once more, now.
    if (forgetXruns_.exchange(false))
        xrunReports_.Skip(xrunReports_.ReadSpace());
    jack_nframes_t reportFrame = 0;
    while (xrunReports_.Pop(&reportFrame, sizeof reportFrame))
        history_.Report(reportFrame);
    const std::optional<JackCycleHistory::Cycles> repeated = history_.Due(cycle);
    bool wake = ReportHeldTokens();
    for (auto& slot : portSlots) {
        Port* port = slot.load();
        if (port == nullptr)
            continue;
        void* buffer = jack_port_get_buffer(port->jackPort, frames);
        if (buffer == nullptr)
            continue;
        if (port->output)
            SendQueued(*port, buffer, frames, cycle, cycleStart, repeated);
        else if (port->started.load())
            wake = Receive(*port, buffer) || wake;
    }
    if (wake)
        Wake();
    cycles.fetch_add(1);
    inCycle.store(false);
    return 0;
}

// Runs on JACK's process thread: connections of our ports heard of since the last cycle hold
// back what those ports send.
void JackProcess::TakeNotices(std::uint64_t cycle) {
    ConnectNotice notice{};
    while (connectNotices_.Pop(&notice, sizeof notice)) {
        for (auto& slot : portSlots) {
            Port* port = slot.load();
            if (port == nullptr || !port->output || port->jackPort != notice.port)
                continue;
            if (port->heldBehindGraphOrder == kNotHeld) {
                port->heldSince = cycle;
                port->heldBehindGraphOrder = notice.graphOrders;
            } else {
                port->heldBehindGraphOrder =
                    std::max(port->heldBehindGraphOrder, notice.graphOrders);
            }
            port->releaseAt = UINT64_MAX;
        }
    }
}

// Runs on JACK's process thread. A port is held from a new connection until the server has
// confirmed a graph with it and a whole cycle has run since the confirmation came; a port to a
// device also waits until the cycle's graph shows it connected.
bool JackProcess::Held(Port& port, std::uint64_t cycle, std::uint32_t cycleStart) {
    if (port.heldBehindGraphOrder == kNotHeld)
        return false;
    if (port.releaseAt == UINT64_MAX) {
        // Reads the graph the cycle runs, without waiting for anything.
        const bool connected = jack_port_connected(port.jackPort) > 0;
        const std::uint64_t held = cycle - port.heldSince;
        // Sent in the cycle after the first whole one since the confirmation.
        if (graphOrders.load() > port.heldBehindGraphOrder && (connected || !port.toDevice))
            port.releaseAt = graphOrderCycle_.load() + 1;
        else if (held >= kLongestHold && (connected || held >= 4 * kLongestHold))
            port.releaseAt = cycle;
        else
            return true;
    }
    if (cycle < port.releaseAt)
        return true;
    port.heldBehindGraphOrder = kNotHeld;
    port.releaseAt = UINT64_MAX;
    // What waited goes out from now on with the spacing it was sent with.
    OutRecord first{};
    if (port.queue->PeekAt(0, &first, sizeof first)) {
        const auto waited = static_cast<std::int32_t>(cycleStart - first.frame);
        port.replaying = true;
        port.replayShift = waited > 0 ? static_cast<std::uint32_t>(waited) : 0;
        port.replayEnd = cycleStart;
    }
    return false;
}

// Runs on JACK's process thread.
bool JackProcess::ReportHeldTokens() {
    std::size_t sent = 0;
    while (sent < heldCount_ && done.Push(&heldTokens_[sent], sizeof(DoneRecord)))
        ++sent;
    std::copy(heldTokens_.begin() + static_cast<std::ptrdiff_t>(sent),
              heldTokens_.begin() + static_cast<std::ptrdiff_t>(heldCount_), heldTokens_.begin());
    heldCount_ -= sent;
    return sent > 0;
}

// Runs on JACK's process thread.
void JackProcess::SendQueued(Port& port, void* buffer, jack_nframes_t frames, std::uint64_t cycle,
                             std::uint32_t cycleStart,
                             const std::optional<JackCycleHistory::Cycles>& repeated) {
    jack_midi_clear_buffer(buffer);
    // An empty buffer that takes not even a short message is no port buffer yet: PipeWire hands
    // one out before the port's link has its buffers. What is queued waits for a real one
    // instead of being dropped as too large.
    const std::size_t offered = jack_midi_max_event_size(buffer);
    if (offered < kShortestMessageBytes)
        return;
    maxEventSize.store(offered, std::memory_order_relaxed);
    if (!port.sending.load() || Held(port, cycle, cycleStart))
        return; // kept for when the connection is there
    // Ahead of this cycle's messages, so a note struck again now is not cut. A note that is off
    // already stays off on every synthesizer.
    if (repeated) {
        port.ended.RepeatEndedBetween(
            repeated->first, repeated->last, [&](const std::array<std::uint8_t, 3>& off) {
                if (jack_midi_max_event_size(buffer) >= off.size() &&
                    jack_midi_event_write(buffer, 0, off.data(), off.size()) == 0)
                    port.repeatedNoteOffs.fetch_add(1, std::memory_order_relaxed);
            });
    }
    const std::uint32_t epoch = port.epoch.load();
    bool wroteAny = jack_midi_get_event_count(buffer) > 0;
    jack_nframes_t time = 0; // events of one buffer go in time order
    OutRecord record{};
    while (port.queue->PeekAt(0, &record, sizeof record)) {
        const bool cancelled = record.epoch != 0 && record.epoch != epoch;
        if (cancelled)
            port.cancelled.fetch_add(1, std::memory_order_relaxed);
        if (!cancelled) {
            if (record.token != 0 && heldCount_ == heldTokens_.size())
                return;
            // Those queued since the release only wait for the held ones to go first.
            if (port.replaying && static_cast<std::int32_t>(record.frame - port.replayEnd) > 0)
                port.replaying = false;
            if (port.replaying) {
                const auto due =
                    static_cast<std::int32_t>(record.frame + port.replayShift - cycleStart);
                if (due >= static_cast<std::int32_t>(frames))
                    return; // its time comes in a later cycle
                time = std::max(time, static_cast<jack_nframes_t>(std::max(due, 0)));
            }
            // Asking first spares libjack's complaint about a full buffer on this thread.
            jack_midi_data_t* event = jack_midi_max_event_size(buffer) >= record.size
                                          ? jack_midi_event_reserve(buffer, time, record.size)
                                          : nullptr;
            if (event != nullptr) {
                port.queue->PeekAt(sizeof record, event, record.size);
                port.ended.Track(event, record.size, cycle);
                CountHanded(port, event, record.size);
                wroteAny = true;
            } else if (wroteAny) {
                return; // the buffer is full: the rest goes out next cycle
            } else {
                // Not even an empty buffer takes it; the GUI thread's size check should have
                // refused it. Dropping it is the only way to keep the port moving.
                droppedOutgoing.fetch_add(1, std::memory_order_relaxed);
            }
            if (record.token != 0)
                heldTokens_[heldCount_++] = DoneRecord{port.handle, record.token};
        }
        port.queue->Skip(sizeof record + record.size);
    }
    port.replaying = false; // caught up
}

// Runs on JACK's process thread.
bool JackProcess::Receive(const Port& port, void* buffer) {
    bool pushed = false;
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, buffer, i) != 0 || event.buffer == nullptr)
            continue;
        // Walked in place: SplitMidiStream would allocate on this thread.
        ForEachShortMessage(event.buffer, event.size, [&](std::uint32_t message) {
            const InRecord record{port.handle, message};
            if (incoming.Push(&record, sizeof record))
                pushed = true;
            else
                droppedIncoming.fetch_add(1, std::memory_order_relaxed);
        });
    }
    return pushed;
}

// ---- Runs on the requests thread ----------------------------------------------------------------

// Runs on the requests thread, before the client enters the cycles.
void JackProcess::ForgetEarlierXruns() {
    forgetXruns_.store(true);
}

// ---- Runs on JACK's notification thread ---------------------------------------------------------

// Runs on JACK's notification thread (the client thread that also delivers registrations and
// connections), some cycles after the one the server could not finish. The start of the cycle
// running now tells the process callback which cycles came before the report.
int JackProcess::OnXrun() {
    xrunsReported.fetch_add(1, std::memory_order_relaxed);
    const jack_nframes_t frame = jack_last_frame_time(client_);
    // A full queue loses the report; the process callback has not run for a long while then.
    xrunReports_.Push(&frame, sizeof frame);
    return 0;
}

// Runs on JACK's notification thread, once the server has switched to a new graph: every
// cycle that begins from now on runs it.
int JackProcess::OnGraphOrder() {
    // The first cycle that runs wholly after now: the next one, or the one after it when a
    // cycle is running (read in this order, a cycle that ends in between errs late).
    const bool running = inCycle.load();
    graphOrderCycle_.store(cycles.load() + (running ? 1 : 0));
    graphOrders.fetch_add(1);
    return 0;
}

// Runs on JACK's notification thread.
void JackProcess::OnPortRegistration(jack_port_id_t, int) {
    NoteDevicesChanged();
}

// Runs on JACK's notification thread.
void JackProcess::OnClientRegistration(const char*, int) {
    NoteDevicesChanged();
}

// Runs on JACK's notification thread.
void JackProcess::OnPortRename(jack_port_id_t, const char*, const char*) {
    NoteDevicesChanged();
}

// Runs on JACK's notification thread. Only connections of our own ports matter: the others
// change no port's status and no list. A new connection of one of our ports holds back what
// the port sends until the server runs a graph with it: what it wrote before would go nowhere.
void JackProcess::OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connected) {
    const std::uint64_t ordersNow = graphOrders.load();
    bool changed = false;
    for (const jack_port_id_t id : {a, b}) {
        // Only reads the client's copy of the graph.
        const jack_port_t* port = jack_port_by_id(client_, id);
        if (port == nullptr || jack_port_is_mine(client_, port) == 0)
            continue;
        changed = true;
        const ConnectNotice notice{port, ordersNow};
        if (connected != 0)
            connectNotices_.Push(&notice, sizeof notice);
    }
    if (changed) {
        ourConnectionChanges.fetch_add(1);
        NoteDevicesChanged();
    }
}

// Runs on JACK's notification thread.
void JackProcess::NoteDevicesChanged() {
    devicesChanged.store(true);
    Wake();
}

// ---- Runs on any thread -------------------------------------------------------------------------

// Runs on any thread: JACK's process, notification or shutdown thread, or the GUI thread
// when it left work for its next look.
void JackProcess::Wake() {
    const std::uint64_t one = 1;
    // A full counter means a wake-up is pending already.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

// ---- Runs on the thread JACK tells of its shutdown on -------------------------------------------

// Runs on one of JACK's threads, after which no JACK call may be made.
void JackProcess::OnShutdown() {
    serverGone.store(true);
    Wake();
}

} // namespace jack_midi
