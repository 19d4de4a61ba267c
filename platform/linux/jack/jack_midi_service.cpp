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
// finish (an xrun), the note-offs written in the few cycles that report covers (see
// jack_cycle_history.h) go out once more, each once, as soon as those cycles have run.
//
// The threads, and where their code is:
//   GUI thread                 this file (the service's calls), jack_ports.cpp (the port table)
//   requests thread            jack_requests.cpp; what it runs is posted by jack_ports.cpp
//   JACK's process thread      jack_process.cpp, the process callback
//   JACK's notification thread jack_process.cpp, the notification callbacks
//   JACK's shutdown callback   jack_process.cpp
// The service calls down into the port table, and both into the process side; nothing calls
// back up.

#include "platform/linux/jack/jack_midi_service.h"

#include "platform/linux/jack/jack_client.h"
#include "platform/linux/jack/jack_port.h"
#include "platform/linux/jack/jack_ports.h"
#include "platform/linux/jack/jack_process.h"
#include "platform/linux/jack/jack_requests.h"

#include "formats/midi_stream.h"
#include "formats/short_message.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <jack/jack.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <QtGlobal>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace jack_midi;

// How often the GUI thread looks how far opening and closing ports got.
constexpr std::chrono::milliseconds kProgressInterval{2};
// Changes this close together reach the watcher as one event: a program registers its ports
// one after another, each with its own notification.
constexpr std::chrono::milliseconds kCoalescing{10};

class JackMidiService final : public MidiService {
public:
    explicit JackMidiService(const std::string& clientName)
        : clientName_(clientName), ports_(clientName, process_, requests_) {}
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
        if (process_.activationRefused->load() && !activationRefusalTold_) {
            activationRefusalTold_ = true;
            qWarning("JACK MIDI: the JACK server did not activate the client");
        }
        return !process_.serverGone.load() && !process_.activationRefused->load();
    }
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;
    MMRESULT midiInGetStatus(HMIDIIN handle) override;

private:
    // Hands on what the callbacks left in the rings, then runs the port steps that can run.
    void Drain();
    MMRESULT OpenPort(std::uint32_t& handle, bool output, const std::string& device,
                      QObject* receiver);
    void ClosePort(Port& port);
    // Runs the open and close steps that can run now; the timer calls it while any are left.
    void Advance();
    void PostDevicesChangedIfAny();
    void LeaveStoppedServer();

    const std::string clientName_;
    jack_client_t* client_ = nullptr;
    JackProcess process_;
    JackRequests requests_;
    JackPorts ports_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<QTimer> progress_;
    std::unique_ptr<QTimer> coalescing_;
    QPointer<QObject> watcher_;
    std::vector<std::string> outputDevices_;
    std::vector<std::string> inputDevices_;
    std::uint32_t nextToken_ = 1;
    std::uint64_t reportedIncomingDrops_ = 0;
    std::uint64_t reportedOutgoingDrops_ = 0;
    bool shutdownSeen_ = false;
    bool activationRefusalTold_ = false;
    bool clientLeft_ = false; // closed after its server stopped
};

// ---- Runs on the GUI thread ---------------------------------------------------------------------

bool JackMidiService::Start(std::string& whyNot) {
    if (QCoreApplication::instance() == nullptr) {
        whyNot = "the JACK MIDI service needs an application object";
        return false;
    }
    client_ = JoinJackServer(clientName_, whyNot);
    if (client_ == nullptr)
        return false;
    // Callbacks are only taken before the client is activated.
    if (!process_.Install(client_, whyNot))
        return false;
    notifier_ = std::make_unique<QSocketNotifier>(process_.WakeDescriptor(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });
    progress_ = std::make_unique<QTimer>();
    progress_->setInterval(kProgressInterval);
    QObject::connect(progress_.get(), &QTimer::timeout, [this] { Advance(); });
    coalescing_ = std::make_unique<QTimer>();
    coalescing_->setSingleShot(true);
    coalescing_->setInterval(kCoalescing);
    QObject::connect(coalescing_.get(), &QTimer::timeout, [this] {
        process_.devicesChanged.store(false);
        ports_.ChangesTold();
        if (!watcher_.isNull())
            PostMidiDevicesChanged(watcher_);
    });
    // Activation waits for the server (5 to 20 ms here): the requests thread does it, before the
    // ports it is then asked to register and connect, which put the client in the server's
    // cycles. A client the server does not activate counts as a stopped system.
    const bool posted = requests_.Post(process_.ActivationRequest(false, false));
    if (!posted) {
        whyNot = "the JACK server was not asked to activate the client";
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
    ports_.Ending();
    while (ports_.Closing()) {
        Advance();
        if (ports_.Closing())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ports_.ReportOpenPorts();
    // Closing the client stops the process callback for good; only then can ports go (with
    // the table, after this). It waits for the unregistrations of the ports closed last.
    // A client left after its server stopped was handed to the requests thread and then to
    // the clients thread; until it is closed its callbacks may still come, so it is waited for
    // like any other.
    bool left = true;
    if (clientLeft_)
        left = requests_.Run([] {}, kServerPatience) && JackClientsSettledWithin(kServerPatience);
    else if (client_ != nullptr)
        left = requests_.Run([] {}, kServerPatience) &&
               LeaveJackServerWithin(client_, kServerPatience);
    if (!left) {
        // The server does not answer: the client stays until the process ends, and callbacks
        // that still come find nobody.
        process_.Abandon();
    }
    notifier_.reset();
}

MMRESULT JackMidiService::OpenPort(std::uint32_t& handle, bool output, const std::string& device,
                                   QObject* receiver) {
    const MMRESULT result = ports_.Open(handle, output, device, receiver);
    if (result == MMSYSERR_NOERROR)
        progress_->start();
    return result;
}

void JackMidiService::ClosePort(Port& port) {
    ports_.Close(port);
    progress_->start();
    Advance();
}

void JackMidiService::Advance() {
    if (!ports_.Advance() && progress_)
        progress_->stop();
    PostDevicesChangedIfAny();
}

void JackMidiService::Drain() {
    process_.TakeWakeUps();

    // A flood is handed on in slices, so that painting, timers and the user's input get their
    // turn between them instead of waiting for the whole backlog.
    constexpr int kMessagesPerSlice = 256;
    InRecord in{};
    int handedOn = 0;
    while (handedOn < kMessagesPerSlice && process_.incoming.Pop(&in, sizeof in)) {
        ++handedOn;
        // Messages of a port stopped or closed since they arrived are not wanted any more.
        Port* port = ports_.Find(in.handle, false);
        if (port != nullptr && port->started.load())
            PostMidiInData(port->receiver, in.message);
    }
    if (handedOn == kMessagesPerSlice)
        process_.Wake();
    DoneRecord done{};
    while (process_.done.Pop(&done, sizeof done)) {
        // A reset has completed the message already if its token is no longer first in line.
        Port* port = ports_.Find(done.handle, true);
        if (port != nullptr && !port->pending.empty() && port->pending.front().token == done.token)
            ports_.CompleteOldest(*port);
    }
    const std::uint64_t incomingDrops = process_.droppedIncoming.load(std::memory_order_relaxed);
    if (incomingDrops != reportedIncomingDrops_) {
        qWarning("JACK MIDI: %llu incoming messages lost so far, the input queue was full",
                 static_cast<unsigned long long>(incomingDrops));
        reportedIncomingDrops_ = incomingDrops;
    }
    const std::uint64_t outgoingDrops = process_.droppedOutgoing.load(std::memory_order_relaxed);
    if (outgoingDrops != reportedOutgoingDrops_) {
        qWarning("JACK MIDI: %llu outgoing messages lost so far, larger than a port buffer",
                 static_cast<unsigned long long>(outgoingDrops));
        reportedOutgoingDrops_ = outgoingDrops;
    }
    if (process_.serverGone.load() && !shutdownSeen_) {
        shutdownSeen_ = true;
        ports_.NoteChanged();
        // Nothing queued will go out any more; the callers get their headers back.
        ports_.CompleteEveryPort();
    }
    LeaveStoppedServer();
    Advance();
}

// A client whose server stopped is closed at once: until it is, no JACK client of this process
// may open, the one that finds the next server included. The close waits its turn behind the
// requests posted before, which still use the client.
void JackMidiService::LeaveStoppedServer() {
    if (clientLeft_ || client_ == nullptr || !process_.serverGone.load())
        return;
    clientLeft_ = true;
    jack_client_t* client = client_;
    if (!requests_.Post([client] { LeaveJackServer(client); }))
        LeaveJackServer(client);
}

void JackMidiService::PostDevicesChangedIfAny() {
    if ((process_.devicesChanged.load() || ports_.Changed()) && coalescing_ &&
        !coalescing_->isActive())
        coalescing_->start();
}

// A port still connecting takes messages: they wait in its queue until it is linked.
bool Usable(MMRESULT status) {
    return status == MMSYSERR_NOERROR || status == MIDIERR_NOTREADY;
}

MMRESULT JackMidiService::midiOutGetStatus(HMIDIOUT handle) {
    Advance();
    const Port* port = ports_.Find(handle, true);
    return port != nullptr ? ports_.Status(*port) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInGetStatus(HMIDIIN handle) {
    Advance();
    const Port* port = ports_.Find(handle, false);
    return port != nullptr ? ports_.Status(*port) : MMSYSERR_INVALHANDLE;
}

int JackMidiService::midiOutGetNumDevs() {
    outputDevices_ = ports_.List(JackPortIsInput);
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
        if (ports_.MapperOpen())
            return MMSYSERR_ALLOCATED; // the mapper's port name is taken
        return OpenPort(handle, true, {}, receiver);
    }
    return OpenPort(handle, true, outputDevices_[static_cast<std::size_t>(device)], receiver);
}

MMRESULT JackMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    Port* port = ports_.Find(handle, true);
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
    if (const MMRESULT status = ports_.Status(*port);
        !Usable(status) && !(endsASoundingNote && status != MMSYSERR_NODRIVER))
        return status;
    if (!ports_.Queue(*port, unpacked.bytes.data(), unpacked.size, 0, 0))
        return MMSYSERR_NOMEM;
    port->sounding.Track(unpacked.bytes.data(), unpacked.size);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (ports_.Find(handle, true) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return PrepareMidiHeader(header);
}

MMRESULT JackMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    Port* port = ports_.Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT usable = CheckMidiHeaderForSending(header); usable != MMSYSERR_NOERROR)
        return usable;
    if (const MMRESULT status = ports_.Status(*port); !Usable(status))
        return status;

    // Half a stream could leave a note sounding, so it goes out whole or not at all.
    const MidiStreamSplit split = SplitMidiStream(header->lpData, header->dwBufferLength);
    if (!split.complete || split.messages.empty())
        return MMSYSERR_INVALPARAM;
    // What a port buffer takes is known once any output port has run a cycle. Before, right
    // after the first port opened, a message goes out if it fits; one that does not is dropped
    // by the callback and reported as lost.
    const std::size_t largest = process_.maxEventSize.load(std::memory_order_relaxed);
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
        ports_.Queue(*port, message.data(), message.size(), epoch,
                     i + 1 == split.messages.size() ? token : 0);
        port->sounding.Track(message.data(), message.size());
    }
    MarkMidiHeaderQueued(header);
    port->pending.push_back({token, header});
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (ports_.Find(handle, true) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return UnprepareMidiHeader(header);
}

MMRESULT JackMidiService::midiOutReset(HMIDIOUT handle) {
    Port* port = ports_.Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    std::uint32_t epoch = port->epoch.load() + 1;
    if (epoch == 0)
        epoch = 1;
    port->epoch.store(epoch);

    MMRESULT result = MMSYSERR_NOERROR;
    if (process_.serverGone.load()) {
        result = MMSYSERR_NODRIVER;
        port->sounding.Clear();
    } else if (port->sounding.Count() * (sizeof(OutRecord) + 3) > port->queue->WriteSpace()) {
        // All note-offs or none: the notes stay tracked for the next reset.
        result = MMSYSERR_NOMEM;
    } else {
        // Cannot fail: the room was checked above and only this thread fills the queue.
        port->sounding.SilenceEach([&](const std::array<std::uint8_t, 3>& noteOff) {
            return ports_.Queue(*port, noteOff.data(), noteOff.size(), 0, 0);
        });
    }
    ports_.CompleteAll(*port);
    return result;
}

MMRESULT JackMidiService::midiOutClose(HMIDIOUT handle) {
    Port* port = ports_.Find(handle, true);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!port->pending.empty())
        return MIDIERR_STILLPLAYING;
    ClosePort(*port);
    return MMSYSERR_NOERROR;
}

int JackMidiService::midiInGetNumDevs() {
    inputDevices_ = ports_.List(JackPortIsOutput);
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
    Port* port = ports_.Find(handle, false);
    if (port == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT status = ports_.Status(*port); !Usable(status))
        return status;
    port->started.store(true);
    return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInStop(HMIDIIN handle) {
    Port* port = ports_.Find(handle, false);
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
    Port* port = ports_.Find(handle, false);
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
