// The JACK backend of the MIDI service.
//
// JACK only lets its process callback touch port buffers, so the GUI thread and the callback
// talk through single-producer single-consumer rings: one per output port carries the messages
// to send, one carries incoming short messages back, and one carries the tokens of long
// messages that went out. The callback wakes the GUI thread with an eventfd; a QSocketNotifier
// then drains the rings and posts the events. Nothing on the callback's side allocates, locks
// or touches Qt.
//
// Opening and closing a port never keep the window waiting for the server: registering and
// connecting run on the requests thread, and the GUI thread takes their answers, lets a closing
// port's queue drain and waits the callback out in small steps driven by a timer. Until then a
// port tells it is not ready, and what it is sent waits in its queue. JACK's notification
// thread reports ports and connections coming and going; the GUI thread turns a burst of them
// into one event for the device watcher.
//
// Every message goes out once. A port newly connected holds what it is sent until the server has
// run a graph with the connection (what it wrote before would reach nobody), then sends it with
// the spacing it was sent with. The one repeat: when the server reports a cycle it could not
// finish (an xrun), the note-offs written in that cycle go out once more in the next one.

#include "platform/linux/jack/jack_midi_service.h"

#include "platform/linux/jack/jack_client.h"
#include "platform/linux/jack/jack_cycle_history.h"
#include "platform/linux/jack/jack_requests.h"
#include "platform/linux/jack/jack_ring.h"

#include "formats/midi_stream.h"
#include "formats/short_message.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <QtGlobal>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// One open port per slot; the program needs two, tests a handful.
constexpr std::size_t kMaxPorts = 64;
// Room for several SysEx messages of the largest size a port buffer takes.
constexpr std::size_t kOutputQueueBytes = 256 * 1024;
// 131,071 incoming messages: a peer flooding us for a good while before the GUI thread catches
// up loses nothing.
constexpr std::size_t kInputQueueBytes = 1024 * 1024;
constexpr std::size_t kDoneQueueBytes = 64 * 1024;
// Long messages finished in one cycle; more wait for the next one.
constexpr std::size_t kMaxHeldTokens = 256;
// How long closing a port waits for the callback before it gives up on the port.
constexpr std::chrono::milliseconds kCallbackPatience{500};
// How often the GUI thread looks how far opening and closing ports got.
constexpr std::chrono::milliseconds kProgressInterval{2};
// Changes this close together reach the watcher as one event: a program registers its ports
// one after another, each with its own notification.
constexpr std::chrono::milliseconds kCoalescing{10};
// How long the server may take to register and connect a port before it is called silent: a
// connection that has not shown by then is refused, and the destructor's close of the client
// is given up. A loaded machine can take hundreds of milliseconds to register a port.
constexpr std::chrono::milliseconds kServerPatience{1000};
// A server that runs no cycle for this long has stopped, whatever its period (4096 frames at
// 44.1 kHz are 93 ms) and however loaded the machine.
constexpr std::chrono::milliseconds kSilence{1000};
// The longest a closing port waits for any of what it queued to go out while the server still
// cycles.
constexpr std::chrono::milliseconds kLongestDrain{3000};
// A port whose graph change the server does not confirm sends anyway after this many cycles
// (a quarter of a second of 256-frame cycles at 48 kHz) once the graph shows it connected:
// the confirmation may have come before the port could see it.
constexpr std::uint64_t kLongestHold = 48;
// Reports of cycles the server could not finish, and connections of our ports, waiting for the
// process callback: a few bytes each, and a handful come between two cycles.
constexpr std::size_t kNoticeQueueBytes = 16 * 1024;

// Our ports keep their names for the life of the process, whichever device they lead to, so
// that connections a patchbay made to them are made again when they come back.
const char* const kMapperPortName = "midi_out";
const char* const kDeviceOutputPortName = "device_out";
const char* const kDeviceInputPortName = "device_in";
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

// A connection of one of our ports, as the notification thread heard of it: it goes out only
// once the server has run a graph with it, which the graph-order count after graphOrders tells.
struct ConnectNotice {
    const jack_port_t* port;
    std::uint64_t graphOrders;
};

struct InRecord {
    std::uint32_t handle;
    std::uint32_t message;
};

struct DoneRecord {
    std::uint32_t handle;
    std::uint32_t token;
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

// Runs on JACK's process thread: one message handed to JACK, counted for the report.
void CountHanded(Port& port, const std::uint8_t* bytes, std::size_t size) {
    const int kind = size == 3 ? bytes[0] & 0xF0 : 0;
    auto& counter = kind == 0x90 && bytes[2] != 0  ? port.handedNoteOns
                    : kind == 0x80 || kind == 0x90 ? port.handedNoteOffs
                                                   : port.handedOthers;
    counter.fetch_add(1, std::memory_order_relaxed);
}

// GUI thread: whether a port has messages queued that have not gone out.
bool HasSomethingToSend(const Port& port) {
    return port.output && port.queue->ReadSpace() != 0;
}

// The cycles whose note-offs go out again in this one: those xrun reports were about.
struct RepeatedCycles {
    std::array<std::uint64_t, 4> cycles{};
    std::size_t count = 0;
};

class JackMidiService;

// What JACK's threads are handed instead of the service: when the server stops answering, the
// client cannot be closed and its callbacks may still come after the service is gone, so the
// gate outlives the service and tells them there is nobody left.
struct CallbackGate {
    std::atomic<JackMidiService*> service{nullptr};
    std::atomic<int> inside{0};
};

class JackMidiService final : public MidiService {
public:
    explicit JackMidiService(const std::string& clientName) : clientName_(clientName) {
        for (auto& slot : slots_)
            slot.store(nullptr);
        gate_->service.store(this);
    }
    ~JackMidiService() override;

    bool Start(std::string& whyNot);

    int midiOutGetNumDevs() override;
    MMRESULT midiOutGetDevCaps(int device, std::string& name) override;
    MMRESULT midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) override;
    MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override;
    MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutReset(HMIDIOUT handle) override;
    MMRESULT midiOutClose(HMIDIOUT handle) override;

    int midiInGetNumDevs() override;
    MMRESULT midiInGetDevCaps(int device, std::string& name) override;
    MMRESULT midiInOpen(HMIDIIN& handle, int device, QObject* receiver) override;
    MMRESULT midiInStart(HMIDIIN handle) override;
    MMRESULT midiInStop(HMIDIIN handle) override;
    MMRESULT midiInReset(HMIDIIN handle) override;
    MMRESULT midiInClose(HMIDIIN handle) override;

    void midiSetDeviceWatcher(QObject* watcher) override { watcher_ = watcher; }
    bool midiSystemRunning() override {
        LeaveStoppedServer();
        return !serverGone_.load();
    }
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;
    MMRESULT midiInGetStatus(HMIDIIN handle) override;

private:
    static int OnProcess(jack_nframes_t frames, void* gate);
    static void OnShutdown(void* gate);
    static int OnXrun(void* gate);
    static void OnPortRegistration(jack_port_id_t port, int registered, void* gate);
    static void OnClientRegistration(const char* name, int registered, void* gate);
    static void OnPortRename(jack_port_id_t port, const char* oldName, const char* newName,
                             void* gate);
    static void OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* gate);
    static int OnGraphOrder(void* gate);
    void NoteDevicesChanged();
    int Process(jack_nframes_t frames);
    void TakeNotices(std::uint64_t cycle);
    // True while the port holds back what it sends, after a graph change of its own.
    bool Held(Port& port, std::uint64_t cycle, std::uint32_t cycleStart);
    // Note-offs that ended in the repeated cycles go out again first.
    void SendQueued(Port& port, void* buffer, jack_nframes_t frames, std::uint64_t cycle,
                    std::uint32_t cycleStart, const RepeatedCycles& repeated);
    bool Receive(const Port& port, void* buffer);
    bool ReportHeldTokens();
    void Wake();

    void Drain();
    std::vector<std::string> ListPorts(unsigned long flags);
    Port* Find(std::uint32_t handle, bool output);
    bool ConnectedToDevice(const Port& port);
    MMRESULT Status(const Port& port);
    MMRESULT OpenPort(std::uint32_t& handle, bool output, const std::string& device,
                      QObject* receiver);
    void ClosePort(Port& port);
    void Advance();
    void AdvanceOpening(Port& port);
    bool AdvanceClosing(Port& port);
    bool CyclingStopped(Port& port, std::chrono::steady_clock::time_point now);
    void PostRequest(Port& port);
    void Unregister(jack_port_t* jackPort);
    void PostDevicesChangedIfAny();
    bool Queue(Port& port, const std::uint8_t* bytes, std::size_t size, std::uint32_t epoch,
               std::uint32_t token);
    void CompleteOldest(Port& port);
    void CompleteAll(Port& port);
    void LeaveStoppedServer();
    void ReportHanded(const Port& port) const;

    const std::string clientName_;
    jack_client_t* client_ = nullptr;
    std::unique_ptr<CallbackGate> gate_ = std::make_unique<CallbackGate>();
    JackRequests requests_;
    int wakeFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    Ring incoming_{kInputQueueBytes};
    Ring done_{kDoneQueueBytes};

    // What the process callback sees. A slot is cleared, and the callback waited for, before
    // its port goes away.
    std::array<std::atomic<Port*>, kMaxPorts> slots_;
    std::atomic<bool> inCycle_{false};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<bool> serverGone_{false};
    // Graph changes the server confirmed, and the first cycle that ran wholly after the latest.
    std::atomic<std::uint64_t> graphOrders_{0};
    std::atomic<std::uint64_t> graphOrderCycle_{0};
    // Filled by the notification thread, emptied by the process callback.
    Ring xrunReports_{kNoticeQueueBytes};    // jack_nframes_t: the frame the report was read at
    Ring connectNotices_{kNoticeQueueBytes}; // ConnectNotice
    std::atomic<bool> devicesChanged_{false};
    std::atomic<std::size_t> maxEventSize_{0};
    std::atomic<std::uint64_t> droppedIncoming_{0};
    std::atomic<std::uint64_t> droppedOutgoing_{0};
    std::atomic<std::uint64_t> xrunsReported_{0};
    // Process callback only: tokens of long messages written this cycle. They are reported in
    // the next one, when every client downstream has read this cycle's buffers.
    std::array<DoneRecord, kMaxHeldTokens> heldTokens_{};
    std::size_t heldCount_ = 0;
    // Process callback only: its last cycles, to find the one an xrun report is about.
    JackCycleHistory history_;

    // GUI thread only.
    std::map<std::uint32_t, std::unique_ptr<Port>> ports_;
    // Closed ports on their way out; their handles are stale already.
    std::vector<std::unique_ptr<Port>> closing_;
    // Ports the callback might still be looking at because it never finished its cycle.
    std::vector<std::unique_ptr<Port>> abandoned_;
    std::array<bool, kMaxPorts> slotTaken_{};
    std::unique_ptr<QTimer> progress_;
    std::unique_ptr<QTimer> coalescing_;
    QPointer<QObject> watcher_;
    bool changed_ = false; // something the watcher has not heard of yet
    std::vector<std::string> outputDevices_;
    std::vector<std::string> inputDevices_;
    std::uint32_t nextHandle_ = 1;
    std::uint32_t nextToken_ = 1;
    std::uint64_t reportedIncomingDrops_ = 0;
    std::uint64_t reportedOutgoingDrops_ = 0;
    bool shutdownSeen_ = false;
    bool clientLeft_ = false;   // closed after its server stopped
    bool reportHanded_ = false; // what each port handed to JACK goes to standard error
};

bool JackMidiService::Start(std::string& whyNot) {
    if (QCoreApplication::instance() == nullptr) {
        whyNot = "the JACK MIDI service needs an application object";
        return false;
    }
    if (!incoming_.Valid() || !done_.Valid() || !xrunReports_.Valid() || !connectNotices_.Valid()) {
        whyNot = "out of memory for the JACK MIDI queues";
        return false;
    }
    client_ = JoinJackServer(clientName_, whyNot);
    if (client_ == nullptr)
        return false;
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        whyNot = "cannot create the JACK MIDI wake-up descriptor";
        return false;
    }
    notifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
    progress_ = std::make_unique<QTimer>();
    progress_->setInterval(kProgressInterval);
    QObject::connect(progress_.get(), &QTimer::timeout, [this] { Advance(); });
    coalescing_ = std::make_unique<QTimer>();
    coalescing_->setSingleShot(true);
    coalescing_->setInterval(kCoalescing);
    QObject::connect(coalescing_.get(), &QTimer::timeout, [this] {
        devicesChanged_.store(false);
        changed_ = false;
        if (!watcher_.isNull())
            PostMidiDevicesChanged(watcher_);
    });
    // Callbacks are only taken before the client is activated.
    jack_set_process_callback(client_, &JackMidiService::OnProcess, gate_.get());
    jack_on_shutdown(client_, &JackMidiService::OnShutdown, gate_.get());
    jack_set_xrun_callback(client_, &JackMidiService::OnXrun, gate_.get());
    jack_set_port_registration_callback(client_, &JackMidiService::OnPortRegistration, gate_.get());
    jack_set_client_registration_callback(client_, &JackMidiService::OnClientRegistration,
                                          gate_.get());
    jack_set_port_rename_callback(client_, &JackMidiService::OnPortRename, gate_.get());
    jack_set_port_connect_callback(client_, &JackMidiService::OnPortConnect, gate_.get());
    jack_set_graph_order_callback(client_, &JackMidiService::OnGraphOrder, gate_.get());
    // For tests that compare what reached a peer with what was handed to JACK.
    reportHanded_ = std::getenv("KLAVIO_JACK_COUNTS") != nullptr;
    if (jack_activate(client_) != 0) {
        whyNot = "the JACK server did not activate the client";
        return false;
    }
    return true;
}

JackMidiService::~JackMidiService() {
    if (notifier_)
        notifier_->setEnabled(false);
    if (progress_)
        progress_->stop();
    if (coalescing_)
        coalescing_->stop();
    // Ports closed a moment ago still send their last note-offs; each step of a close is
    // bounded, so this ends even on a silent server.
    while (!closing_.empty()) {
        Advance();
        if (!closing_.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (reportHanded_)
        for (const auto& [handle, port] : ports_)
            ReportHanded(*port);
    // Closing the client stops the process callback for good; only then can ports go. It waits
    // for the unregistrations of the ports closed last.
    jack_client_t* client = clientLeft_ ? nullptr : client_;
    if (client != nullptr && (!requests_.Run([] {}, kServerPatience) ||
                              !LeaveJackServerWithin(client, kServerPatience))) {
        // The server does not answer: the client stays until the process ends, and callbacks
        // that still come find nobody. The gate must outlive them.
        gate_->service.store(nullptr);
        const auto deadline = std::chrono::steady_clock::now() + kCallbackPatience;
        while (gate_->inside.load() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        [[maybe_unused]] CallbackGate* leftForJack = gate_.release();
    }
    ports_.clear();
    abandoned_.clear();
    notifier_.reset();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

// ---- The process callback's side -------------------------------------------------------------

// Runs on JACK's process thread.
int JackMidiService::OnProcess(jack_nframes_t frames, void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    // Counted in before looking: a service that clears the gate then waits for the count.
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load())
        service->Process(frames);
    callbacks.inside.fetch_sub(1);
    return 0;
}

// Runs on one of JACK's threads, after which no JACK call may be made.
void JackMidiService::OnShutdown(void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    NoteJackServerGone();
    if (JackMidiService* service = callbacks.service.load()) {
        service->serverGone_.store(true);
        service->Wake();
    }
    callbacks.inside.fetch_sub(1);
}

// Runs on JACK's notification thread (the client thread that also delivers registrations and
// connections), some cycles after the one the server could not finish. The start of the cycle
// running now tells the process callback which cycles came before the report.
int JackMidiService::OnXrun(void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load()) {
        service->xrunsReported_.fetch_add(1, std::memory_order_relaxed);
        const jack_nframes_t frame = jack_last_frame_time(service->client_);
        // A full queue loses the report; the process callback has not run for a long while then.
        service->xrunReports_.Push(&frame, sizeof frame);
    }
    callbacks.inside.fetch_sub(1);
    return 0;
}

// Runs on JACK's notification thread, once the server has switched to a new graph: every
// cycle that begins from now on runs it.
int JackMidiService::OnGraphOrder(void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load()) {
        // The first cycle that runs wholly after now: the next one, or the one after it when a
        // cycle is running (read in this order, a cycle that ends in between errs late).
        const bool running = service->inCycle_.load();
        service->graphOrderCycle_.store(service->cycles_.load() + (running ? 1 : 0));
        service->graphOrders_.fetch_add(1);
    }
    callbacks.inside.fetch_sub(1);
    return 0;
}

// Runs on JACK's notification thread.
void JackMidiService::OnPortRegistration(jack_port_id_t, int, void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load())
        service->NoteDevicesChanged();
    callbacks.inside.fetch_sub(1);
}

// Runs on JACK's notification thread.
void JackMidiService::OnClientRegistration(const char*, int, void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load())
        service->NoteDevicesChanged();
    callbacks.inside.fetch_sub(1);
}

// Runs on JACK's notification thread.
void JackMidiService::OnPortRename(jack_port_id_t, const char*, const char*, void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load())
        service->NoteDevicesChanged();
    callbacks.inside.fetch_sub(1);
}

// Runs on JACK's notification thread. Only connections of our own ports matter: the others
// change no port's status and no list. A new connection of one of our ports holds back what
// the port sends until the server runs a graph with it: what it wrote before would go nowhere.
void JackMidiService::OnPortConnect(jack_port_id_t a, jack_port_id_t b, int connected, void* gate) {
    auto& callbacks = *static_cast<CallbackGate*>(gate);
    callbacks.inside.fetch_add(1);
    if (JackMidiService* service = callbacks.service.load()) {
        const std::uint64_t graphOrders = service->graphOrders_.load();
        bool changed = false;
        for (const jack_port_id_t id : {a, b}) {
            // Only reads the client's copy of the graph.
            const jack_port_t* port = jack_port_by_id(service->client_, id);
            if (port == nullptr || jack_port_is_mine(service->client_, port) == 0)
                continue;
            changed = true;
            const ConnectNotice notice{port, graphOrders};
            if (connected != 0)
                service->connectNotices_.Push(&notice, sizeof notice);
        }
        if (changed)
            service->NoteDevicesChanged();
    }
    callbacks.inside.fetch_sub(1);
}

// Runs on JACK's notification thread.
void JackMidiService::NoteDevicesChanged() {
    devicesChanged_.store(true);
    Wake();
}

// Runs on JACK's process, notification or shutdown thread.
void JackMidiService::Wake() {
    const std::uint64_t one = 1;
    // A full counter means a wake-up is pending already.
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

// Runs on JACK's process thread.
int JackMidiService::Process(jack_nframes_t frames) {
    // Sequentially consistent with the GUI thread clearing a slot: see AdvanceClosing.
    inCycle_.store(true);
    const std::uint64_t cycle = cycles_.load();
    jack_nframes_t cycleStart = 0;
    jack_time_t startUsecs = 0;
    jack_time_t nextUsecs = 0;
    float periodUsecs = 0;
    if (jack_get_cycle_times(client_, &cycleStart, &startUsecs, &nextUsecs, &periodUsecs) != 0) {
        cycleStart = jack_last_frame_time(client_);
        nextUsecs = 0;
    }
    history_.Begin(cycle, cycleStart, frames);
    TakeNotices(cycle);
    // The note-offs written in a cycle the server reported lost go out once more, now; a
    // report left over waits for the next cycle.
    RepeatedCycles repeated;
    jack_nframes_t reportFrame = 0;
    while (repeated.count < repeated.cycles.size() &&
           xrunReports_.Pop(&reportFrame, sizeof reportFrame))
        if (const std::optional<std::uint64_t> reported = history_.Reported(reportFrame))
            repeated.cycles[repeated.count++] = *reported;
    bool wake = ReportHeldTokens();
    for (auto& slot : slots_) {
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
    if (nextUsecs != 0 && jack_get_time() > nextUsecs)
        history_.EndedLate();
    cycles_.fetch_add(1);
    inCycle_.store(false);
    return 0;
}

// Runs on JACK's process thread: connections of our ports heard of since the last cycle hold
// back what those ports send.
void JackMidiService::TakeNotices(std::uint64_t cycle) {
    ConnectNotice notice{};
    while (connectNotices_.Pop(&notice, sizeof notice)) {
        for (auto& slot : slots_) {
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
bool JackMidiService::Held(Port& port, std::uint64_t cycle, std::uint32_t cycleStart) {
    if (port.heldBehindGraphOrder == kNotHeld)
        return false;
    if (port.releaseAt == UINT64_MAX) {
        // Reads the graph the cycle runs, without waiting for anything.
        const bool connected = jack_port_connected(port.jackPort) > 0;
        const std::uint64_t held = cycle - port.heldSince;
        // Sent in the cycle after the first whole one since the confirmation.
        if (graphOrders_.load() > port.heldBehindGraphOrder && (connected || !port.toDevice))
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
bool JackMidiService::ReportHeldTokens() {
    std::size_t sent = 0;
    while (sent < heldCount_ && done_.Push(&heldTokens_[sent], sizeof(DoneRecord)))
        ++sent;
    std::copy(heldTokens_.begin() + static_cast<std::ptrdiff_t>(sent),
              heldTokens_.begin() + static_cast<std::ptrdiff_t>(heldCount_), heldTokens_.begin());
    heldCount_ -= sent;
    return sent > 0;
}

// Runs on JACK's process thread.
void JackMidiService::SendQueued(Port& port, void* buffer, jack_nframes_t frames,
                                 std::uint64_t cycle, std::uint32_t cycleStart,
                                 const RepeatedCycles& repeated) {
    jack_midi_clear_buffer(buffer);
    maxEventSize_.store(jack_midi_max_event_size(buffer), std::memory_order_relaxed);
    if (!port.sending.load() || Held(port, cycle, cycleStart))
        return; // kept for when the connection is there
    // Ahead of this cycle's messages, so a note struck again now is not cut. A note that is off
    // already stays off on every synthesizer.
    for (std::size_t i = 0; i < repeated.count; ++i) {
        port.ended.RepeatEndedIn(repeated.cycles[i], [&](const std::array<std::uint8_t, 3>& off) {
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
                droppedOutgoing_.fetch_add(1, std::memory_order_relaxed);
            }
            if (record.token != 0)
                heldTokens_[heldCount_++] = DoneRecord{port.handle, record.token};
        }
        port.queue->Skip(sizeof record + record.size);
    }
    port.replaying = false; // caught up
}

// Runs on JACK's process thread.
bool JackMidiService::Receive(const Port& port, void* buffer) {
    bool pushed = false;
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, buffer, i) != 0 || event.buffer == nullptr)
            continue;
        // Walked in place: SplitMidiStream would allocate on this thread.
        ForEachShortMessage(event.buffer, event.size, [&](std::uint32_t message) {
            const InRecord record{port.handle, message};
            if (incoming_.Push(&record, sizeof record))
                pushed = true;
            else
                droppedIncoming_.fetch_add(1, std::memory_order_relaxed);
        });
    }
    return pushed;
}

// ---- The GUI thread's side -------------------------------------------------------------------

void JackMidiService::Drain() {
    std::uint64_t wakeUps = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_, &wakeUps, sizeof wakeUps);

    // A flood is handed on in slices, so that painting, timers and the user's input get their
    // turn between them instead of waiting for the whole backlog.
    constexpr int kMessagesPerSlice = 256;
    InRecord in{};
    int handedOn = 0;
    while (handedOn < kMessagesPerSlice && incoming_.Pop(&in, sizeof in)) {
        ++handedOn;
        // Messages of a port stopped or closed since they arrived are not wanted any more.
        Port* port = Find(in.handle, false);
        if (port != nullptr && port->started.load())
            PostMidiInData(port->receiver, in.message);
    }
    if (handedOn == kMessagesPerSlice) {
        const std::uint64_t again = 1;
        [[maybe_unused]] const ssize_t wrote = ::write(wakeFd_, &again, sizeof again);
    }
    DoneRecord done{};
    while (done_.Pop(&done, sizeof done)) {
        // A reset has completed the message already if its token is no longer first in line.
        Port* port = Find(done.handle, true);
        if (port != nullptr && !port->pending.empty() && port->pending.front().token == done.token)
            CompleteOldest(*port);
    }
    const std::uint64_t incomingDrops = droppedIncoming_.load(std::memory_order_relaxed);
    if (incomingDrops != reportedIncomingDrops_) {
        qWarning("JACK MIDI: %llu incoming messages lost so far, the input queue was full",
                 static_cast<unsigned long long>(incomingDrops));
        reportedIncomingDrops_ = incomingDrops;
    }
    const std::uint64_t outgoingDrops = droppedOutgoing_.load(std::memory_order_relaxed);
    if (outgoingDrops != reportedOutgoingDrops_) {
        qWarning("JACK MIDI: %llu outgoing messages lost so far, larger than a port buffer",
                 static_cast<unsigned long long>(outgoingDrops));
        reportedOutgoingDrops_ = outgoingDrops;
    }
    if (serverGone_.load() && !shutdownSeen_) {
        shutdownSeen_ = true;
        changed_ = true;
        // Nothing queued will go out any more; the callers get their headers back.
        for (auto& [handle, port] : ports_)
            CompleteAll(*port);
    }
    LeaveStoppedServer();
    Advance();
}

// A client whose server stopped is closed at once: until it is, no JACK client of this process
// may open, the one that finds the next server included. The close waits its turn behind the
// requests posted before, which still use the client.
void JackMidiService::LeaveStoppedServer() {
    if (clientLeft_ || client_ == nullptr || !serverGone_.load())
        return;
    clientLeft_ = true;
    jack_client_t* client = client_;
    if (!requests_.Post([client] { LeaveJackServer(client); }))
        LeaveJackServer(client);
}

// What a port handed to JACK, on standard error, for tests that compare it with what arrived.
void JackMidiService::ReportHanded(const Port& port) const {
    if (!port.output)
        return;
    std::fprintf(stderr,
                 "klavio JACK counts: %s:%s to %s: %llu note-ons, %llu note-offs, %llu others, "
                 "%llu note-offs repeated after %llu xrun reports; %llu messages accepted, %llu "
                 "cancelled by a reset\n",
                 clientName_.c_str(), port.name.c_str(),
                 port.device.empty() ? "(whoever connects)" : port.device.c_str(),
                 static_cast<unsigned long long>(port.handedNoteOns.load()),
                 static_cast<unsigned long long>(port.handedNoteOffs.load()),
                 static_cast<unsigned long long>(port.handedOthers.load()),
                 static_cast<unsigned long long>(port.repeatedNoteOffs.load()),
                 static_cast<unsigned long long>(xrunsReported_.load()),
                 static_cast<unsigned long long>(port.accepted),
                 static_cast<unsigned long long>(port.cancelled.load()));
}

void JackMidiService::PostDevicesChangedIfAny() {
    if ((devicesChanged_.load() || changed_) && coalescing_ && !coalescing_->isActive())
        coalescing_->start();
}

void JackMidiService::CompleteOldest(Port& port) {
    MIDIHDR* header = port.pending.front().header;
    port.pending.pop_front();
    MarkMidiHeaderDone(header);
    PostMidiOutDone(port.receiver, header);
}

void JackMidiService::CompleteAll(Port& port) {
    while (!port.pending.empty())
        CompleteOldest(port);
}

std::vector<std::string> JackMidiService::ListPorts(unsigned long flags) {
    std::vector<std::string> names;
    if (serverGone_.load())
        return names;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (ports == nullptr)
        return names;
    for (const char** name = ports; *name != nullptr; ++name) {
        const jack_port_t* port = jack_port_by_name(client_, *name);
        if (port != nullptr && !jack_port_is_mine(client_, port))
            names.emplace_back(*name);
    }
    jack_free(ports);
    return names;
}

Port* JackMidiService::Find(std::uint32_t handle, bool output) {
    const auto found = ports_.find(handle);
    if (found == ports_.end() || found->second->output != output)
        return nullptr;
    return found->second.get();
}

bool JackMidiService::ConnectedToDevice(const Port& port) {
    // Asking about the device by name would make libjack complain once it is gone.
    bool connected = false;
    if (const char** peers = jack_port_get_connections(port.jackPort)) {
        for (const char** peer = peers; *peer != nullptr && !connected; ++peer)
            connected = port.device == *peer;
        jack_free(peers);
    }
    return connected;
}

// A port still connecting takes messages: they wait in its queue until it is linked.
bool Usable(MMRESULT status) {
    return status == MMSYSERR_NOERROR || status == MIDIERR_NOTREADY;
}

MMRESULT JackMidiService::Status(const Port& port) {
    if (serverGone_.load())
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

MMRESULT JackMidiService::midiOutGetStatus(HMIDIOUT handle) {
    Advance();
    const Port* port = Find(handle, true);
    return port != nullptr ? Status(*port) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInGetStatus(HMIDIIN handle) {
    Advance();
    const Port* port = Find(handle, false);
    return port != nullptr ? Status(*port) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::OpenPort(std::uint32_t& handle, bool output, const std::string& device,
                                   QObject* receiver) {
    if (serverGone_.load())
        return MMSYSERR_NODRIVER;
    const auto freeSlot = std::find(slotTaken_.begin(), slotTaken_.end(), false);
    if (freeSlot == slotTaken_.end())
        return MMSYSERR_NOMEM;
    // A device known to have gone since the list was counted is refused at once; the graph
    // is read locally, without asking the server.
    if (!device.empty()) {
        const std::vector<std::string> now = ListPorts(output ? JackPortIsInput : JackPortIsOutput);
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
    progress_->start();
    return MMSYSERR_NOERROR;
}

// Registering and connecting wait for the server's answer, so the request runs on the requests
// thread; everything it touches is its own. A port closed a moment ago may still hold the
// name (each kind of port has one fixed name): then the request waits for its
// unregistration, which comes first in the queue.
void JackMidiService::PostRequest(Port& port) {
    if (serverGone_.load()) { // its client is closed, or about to be
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
    auto request = std::make_shared<PortRequest>();
    port.graphOrdersAtRequest = graphOrders_.load();
    jack_client_t* client = client_;
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

void JackMidiService::Unregister(jack_port_t* jackPort) {
    if (serverGone_.load() || jackPort == nullptr)
        return;
    jack_client_t* client = client_;
    // A full queue keeps the port until the program ends; it only holds a name. The request
    // runs on the requests thread.
    if (!requests_.Post([client, jackPort] { jack_port_unregister(client, jackPort); }))
        qWarning("JACK: too many requests waiting; a closed port stays registered");
}

void JackMidiService::AdvanceOpening(Port& port) {
    if (port.connection == Connection::Waiting) {
        PostRequest(port);
        return;
    }
    if (port.connection != Connection::Connecting || serverGone_.load())
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
            port.heldSince = cycles_.load();
        }
        slots_[port.slot].store(&port);
        port.shown = true;
    }
    // A new connection shows in the graph once a cycle uses it; until then what the port sent
    // would go nowhere. A device that vanished in between never shows; one still there will,
    // however late a starved server switches to the new graph.
    if (!port.sending.load()) {
        if (!port.device.empty() && !ConnectedToDevice(port)) {
            const auto listed = [&] {
                const auto now = ListPorts(port.output ? JackPortIsInput : JackPortIsOutput);
                return std::find(now.begin(), now.end(), port.device) != now.end();
            };
            if (late && !listed()) {
                port.connection = Connection::Refused;
                changed_ = true;
            }
            return;
        }
        port.sending.store(true);
        port.cycleMark = cycles_.load();
    }
    // Ready once a whole cycle has used it: long messages are checked against what a port
    // buffer takes, which only the callback can measure.
    if (cycles_.load() < port.cycleMark + 2)
        return;
    port.connection = Connection::Made;
    changed_ = true;
}

// True once the server has gone or run no cycle for kSilence: a closing port stops waiting
// for it then.
bool JackMidiService::CyclingStopped(Port& port, std::chrono::steady_clock::time_point now) {
    if (const std::uint64_t cycles = cycles_.load(); cycles != port.cycleMark) {
        port.cycleMark = cycles;
        port.lastCycleAt = now;
    }
    // Held messages go out at the pace they were sent: the drain gives up only when none does.
    if (const std::size_t queued = port.output ? port.queue->ReadSpace() : 0;
        queued != port.queuedAtCheck) {
        port.queuedAtCheck = queued;
        port.closingSince = now;
    }
    return serverGone_.load() || now - port.lastCycleAt > kSilence ||
           now - port.closingSince > kLongestDrain;
}

// One step of a close at a time; true once the port is gone.
bool JackMidiService::AdvanceClosing(Port& port) {
    const auto now = std::chrono::steady_clock::now();
    if (port.connection == Connection::Waiting &&
        (!HasSomethingToSend(port) || serverGone_.load())) {
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
        if (now - port.openedAt <= kServerPatience && !serverGone_.load())
            return false;
        // Whoever comes second of the request and this close unregisters the port.
        if (!port.request->outcome.Abandon() && !serverGone_.load())
            return false; // it finished after all: the next round takes its port
        slotTaken_[port.slot] = false;
        return true;
    }
    if (port.connection == Connection::Refused && !port.shown) {
        slotTaken_[port.slot] = false;
        return true;
    }
    // Shown to the callback from here on: it must be waited out before the port goes.
    if (port.connection == Connection::Connecting && !port.sending.load() && !serverGone_.load())
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
        port.cycleMark = cycles_.load();
        port.lastCycleAt = now;
        [[fallthrough]];
    case Closing::Settling: {
        const std::uint64_t target = port.cycleMark + 2;
        if (port.output && cycles_.load() < target && !CyclingStopped(port, now))
            return false;
        if (port.output && port.sending.load() && port.queue->ReadSpace() != 0 &&
            !serverGone_.load())
            qWarning("JACK: %s closed with %zu bytes of messages that never went out to %s",
                     port.name.c_str(), port.queue->ReadSpace(), port.device.c_str());
        slots_[port.slot].store(nullptr);
        // A cycle that began before the slot was cleared may still use the port; one that
        // begins later cannot see it. Wait for the former to end.
        port.closing = Closing::Leaving;
        port.cycleMark = cycles_.load();
        port.closingSince = now;
        [[fallthrough]];
    }
    case Closing::Leaving:
        if (inCycle_.load() && cycles_.load() == port.cycleMark) {
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

// Runs the open and close steps that can run now, on the GUI thread; the timer calls it while
// any are left.
void JackMidiService::Advance() {
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
    const bool busy =
        !closing_.empty() || std::any_of(ports_.begin(), ports_.end(), [](const auto& entry) {
            return entry.second->connection == Connection::Waiting ||
                   entry.second->connection == Connection::Connecting;
        });
    if (!busy && progress_)
        progress_->stop();
    PostDevicesChangedIfAny();
}

void JackMidiService::ClosePort(Port& port) {
    const auto owned = ports_.find(port.handle);
    port.closing = Closing::Draining;
    port.closingSince = std::chrono::steady_clock::now();
    port.lastCycleAt = port.closingSince;
    port.cycleMark = cycles_.load();
    closing_.push_back(std::move(owned->second));
    ports_.erase(owned);
    progress_->start();
    Advance();
}

bool JackMidiService::Queue(Port& port, const std::uint8_t* bytes, std::size_t size,
                            std::uint32_t epoch, std::uint32_t token) {
    const OutRecord record{static_cast<std::uint32_t>(size), epoch, token,
                           serverGone_.load() ? 0 : jack_frame_time(client_)};
    if (!port.queue->Push(&record, sizeof record, bytes, size))
        return false;
    ++port.accepted;
    return true;
}

int JackMidiService::midiOutGetNumDevs() {
    outputDevices_ = ListPorts(JackPortIsInput);
    return static_cast<int>(outputDevices_.size());
}

MMRESULT JackMidiService::midiOutGetDevCaps(int device, std::string& name) {
    if (device == MIDI_MAPPER) {
        name = clientName_;
        return MMSYSERR_NOERROR;
    }
    if (device < 0 || static_cast<std::size_t>(device) >= outputDevices_.size())
        return MMSYSERR_BADDEVICEID;
    name = outputDevices_[static_cast<std::size_t>(device)];
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) {
    if (device < MIDI_MAPPER || device >= static_cast<int>(outputDevices_.size()))
        return MMSYSERR_BADDEVICEID;
    if (device == MIDI_MAPPER) {
        for (const auto& [other, port] : ports_)
            if (port->output && port->device.empty())
                return MMSYSERR_ALLOCATED; // the mapper's port name is taken
        return OpenPort(handle, true, {}, receiver);
    }
    return OpenPort(handle, true, outputDevices_[static_cast<std::size_t>(device)], receiver);
}

MMRESULT JackMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    Port* port = Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    const ShortMessage unpacked = UnpackShortMessage(message);
    if (unpacked.size == 0 || !unpacked.dataValid)
        return MMSYSERR_INVALPARAM;
    // The end of a note that went out is never refused while the server runs: should the
    // connection only look broken for a moment, a refusal would leave the note sounding.
    const std::uint8_t kind = unpacked.bytes[0] & 0xF0;
    const bool endsASoundingNote =
        (kind == 0x80 || (kind == 0x90 && unpacked.bytes[2] == 0)) &&
        port->sounding.Sounds(unpacked.bytes[0] & 0x0F, unpacked.bytes[1]);
    if (const MMRESULT status = Status(*port);
        !Usable(status) && !(endsASoundingNote && status != MMSYSERR_NODRIVER))
        return status;
    if (!Queue(*port, unpacked.bytes.data(), unpacked.size, 0, 0))
        return MMSYSERR_NOMEM;
    port->sounding.Track(unpacked.bytes.data(), unpacked.size);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (Find(handle, true) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return PrepareMidiHeader(header);
}

MMRESULT JackMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    Port* port = Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT usable = CheckMidiHeaderForSending(header); usable != MMSYSERR_NOERROR)
        return usable;
    if (const MMRESULT status = Status(*port); !Usable(status))
        return status;

    // Half a stream could leave a note sounding, so it goes out whole or not at all.
    const MidiStreamSplit split = SplitMidiStream(header->lpData, header->dwBufferLength);
    if (!split.complete || split.messages.empty())
        return MMSYSERR_INVALPARAM;
    // What a port buffer takes is known once any output port has run a cycle. Before, right
    // after the first port opened, a message goes out if it fits; one that does not is dropped
    // by the callback and reported as lost.
    const std::size_t largest = maxEventSize_.load(std::memory_order_relaxed);
    std::size_t needed = 0;
    for (const MidiMessage& message : split.messages) {
        if (largest != 0 && message.size() > largest)
            return MMSYSERR_INVALPARAM;
        needed += sizeof(OutRecord) + message.size();
    }
    if (needed > port->queue->WriteSpace())
        return MMSYSERR_NOMEM;

    const std::uint32_t token = nextToken_++;
    if (nextToken_ == 0)
        nextToken_ = 1;
    const std::uint32_t epoch = port->epoch.load();
    for (std::size_t i = 0; i < split.messages.size(); ++i) {
        const MidiMessage& message = split.messages[i];
        // Cannot fail: the room was checked above and only this thread fills the queue.
        Queue(*port, message.data(), message.size(), epoch,
              i + 1 == split.messages.size() ? token : 0);
        port->sounding.Track(message.data(), message.size());
    }
    MarkMidiHeaderQueued(header);
    port->pending.push_back({token, header});
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (Find(handle, true) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return UnprepareMidiHeader(header);
}

MMRESULT JackMidiService::midiOutReset(HMIDIOUT handle) {
    Port* port = Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    std::uint32_t epoch = port->epoch.load() + 1;
    if (epoch == 0)
        epoch = 1;
    port->epoch.store(epoch);

    MMRESULT result = MMSYSERR_NOERROR;
    if (serverGone_.load()) {
        result = MMSYSERR_NODRIVER;
        port->sounding.Clear();
    } else if (port->sounding.Count() * (sizeof(OutRecord) + 3) > port->queue->WriteSpace()) {
        // All note-offs or none: the notes stay tracked for the next reset.
        result = MMSYSERR_NOMEM;
    } else {
        // Cannot fail: the room was checked above and only this thread fills the queue.
        port->sounding.SilenceEach([&](const std::array<std::uint8_t, 3>& noteOff) {
            return Queue(*port, noteOff.data(), noteOff.size(), 0, 0);
        });
    }
    CompleteAll(*port);
    return result;
}

MMRESULT JackMidiService::midiOutClose(HMIDIOUT handle) {
    Port* port = Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!port->pending.empty())
        return MIDIERR_STILLPLAYING;
    ClosePort(*port);
    return MMSYSERR_NOERROR;
}

int JackMidiService::midiInGetNumDevs() {
    inputDevices_ = ListPorts(JackPortIsOutput);
    return static_cast<int>(inputDevices_.size());
}

MMRESULT JackMidiService::midiInGetDevCaps(int device, std::string& name) {
    if (device < 0 || static_cast<std::size_t>(device) >= inputDevices_.size())
        return MMSYSERR_BADDEVICEID;
    name = inputDevices_[static_cast<std::size_t>(device)];
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInOpen(HMIDIIN& handle, int device, QObject* receiver) {
    if (device < 0 || static_cast<std::size_t>(device) >= inputDevices_.size())
        return MMSYSERR_BADDEVICEID;
    return OpenPort(handle, false, inputDevices_[static_cast<std::size_t>(device)], receiver);
}

MMRESULT JackMidiService::midiInStart(HMIDIIN handle) {
    Port* port = Find(handle, false);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT status = Status(*port); !Usable(status))
        return status;
    port->started.store(true);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInStop(HMIDIIN handle) {
    Port* port = Find(handle, false);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    // What arrived while the port was started still belongs to its receiver.
    Drain();
    port->started.store(false);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInReset(HMIDIIN handle) {
    // No input buffers are ever given, so a reset has nothing to hand back but stops input.
    return midiInStop(handle);
}

MMRESULT JackMidiService::midiInClose(HMIDIIN handle) {
    Port* port = Find(handle, false);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    port->started.store(false);
    ClosePort(*port);
    return MMSYSERR_NOERROR;
}

} // namespace

std::unique_ptr<MidiService> OpenJackMidiService(const std::string& clientName,
                                                 std::string& whyNot) {
    auto service = std::make_unique<JackMidiService>(clientName);
    if (!service->Start(whyNot))
        return nullptr;
    return service;
}
