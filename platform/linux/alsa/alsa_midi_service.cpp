// The MIDI service on the ALSA sequencer.
//
// Everything here runs on the GUI thread. Incoming events are read from the sequencer's own
// descriptor by a socket notifier, so no thread of ours ever touches the client, and the
// client is opened non-blocking, so no call here waits for a peer.

#include "platform/linux/alsa/alsa_midi_service.h"

#include "platform/linux/alsa/alsa_events.h"
#include "platform/linux/alsa/waiting_short_messages.h"

#include "formats/midi_stream.h"
#include "formats/short_message.h"
#include "formats/text.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <alsa/asoundlib.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace {

// A receiver with alsa-lib's default input pool (200 cells of 28 bytes) loses any single event
// over 5572 bytes without a word to the sender, and once anything is refused for it the kernel
// throws away everything it had queued. So a bigger SysEx goes out in pieces, with a pause
// after each. Measured under emulation, 512 bytes every 4 ms reach a reader that wakes only
// every 30 ms, where 1 KiB pieces at the same rate already overflow it; a 64 KiB dump takes
// about half a second.
struct Pacing {
    std::size_t chunkBytes;
    int intervalMs;
    // What the smallest event counts against a chunk: a software receiver's pool fills by
    // events (a cell of 28 bytes holds one short message), a cable by bytes.
    std::size_t leastEventBytes;
};
constexpr Pacing kSoftwarePacing{512, 4, 28};
// A hardware port writes into the card's 4 KiB raw MIDI buffer and drops what does not fit, so
// it is fed no faster than the cable's 3125 bytes a second.
constexpr Pacing kHardwarePacing{256, 90, 0};
// How long a long message waits on a receiver that reads nothing before it is given up.
constexpr int kStallLimitMs = 3000;
// Incoming events handled in one go before the event loop gets its turn again.
constexpr int kEventsPerRead = 512;
// The port hearing of clients and ports; the kernel takes numbers up to 252.
constexpr int kAnnouncePort = 200;

constexpr unsigned kMidiPortTypes = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SPECIFIC |
                                    SND_SEQ_PORT_TYPE_MIDI_GM | SND_SEQ_PORT_TYPE_MIDI_GS |
                                    SND_SEQ_PORT_TYPE_MIDI_XG | SND_SEQ_PORT_TYPE_MIDI_MT32 |
                                    SND_SEQ_PORT_TYPE_MIDI_GM2 | SND_SEQ_PORT_TYPE_SYNTH |
                                    SND_SEQ_PORT_TYPE_SYNTHESIZER | SND_SEQ_PORT_TYPE_APPLICATION;
constexpr unsigned kOwnPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

// The one place where sequencer errors become result codes.
MMRESULT ResultOf(int error) {
    switch (-error) {
    case 0:
        return MMSYSERR_NOERROR;
    case EAGAIN:
        return MIDIERR_NOTREADY; // the receiver's queue is full; it may drain
    case ENOMEM:
        return MMSYSERR_NOMEM;
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return MIDIERR_NODEVICE;
    case EPERM:
    case EBUSY:
        return MMSYSERR_ALLOCATED;
    case EINVAL:
        return MMSYSERR_INVALPARAM;
    default:
        return MMSYSERR_ERROR;
    }
}

bool Retryable(int error) {
    return error == -EAGAIN;
}

void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

struct Address {
    int client = 0;
    int port = 0;
    bool operator==(const Address&) const = default;
};

struct SubscriptionChange {
    Address sender;
    Address dest;
    bool subscribed = false;
    bool operator==(const SubscriptionChange&) const = default;
};

struct Device {
    Address address;
    std::string name;
    bool hardware = false;
};

std::string TrimRight(const char* text) {
    // Kernel clients pad some port names with spaces.
    return std::string(TrimmedRight(text != nullptr ? text : "", IsSpaceOrTab));
}

template <typename T, int (*Malloc)(T**), void (*Free)(T*)> struct AlsaObject {
    AlsaObject() {
        if (Malloc(&object) < 0)
            object = nullptr;
    }
    ~AlsaObject() {
        if (object != nullptr)
            Free(object);
    }
    AlsaObject(const AlsaObject&) = delete;
    AlsaObject& operator=(const AlsaObject&) = delete;
    T* object = nullptr;
};
using ClientInfo =
    AlsaObject<snd_seq_client_info_t, snd_seq_client_info_malloc, snd_seq_client_info_free>;
using PortInfo = AlsaObject<snd_seq_port_info_t, snd_seq_port_info_malloc, snd_seq_port_info_free>;
using Subscription = AlsaObject<snd_seq_port_subscribe_t, snd_seq_port_subscribe_malloc,
                                snd_seq_port_subscribe_free>;

// A long message on its way out: the complete messages of its stream and how far they went.
struct LongMessage {
    MIDIHDR* header = nullptr;
    std::vector<MidiMessage> messages;
    std::size_t next = 0;   // the message going out
    std::size_t offset = 0; // bytes of a chunked SysEx already sent
    bool begun = false;     // some of it has gone out

    bool InsideSysEx() const { return offset > 0; }
};

struct OutputPort {
    int port = -1;
    std::optional<Address> device; // none for our own public port
    QPointer<QObject> receiver;
    Pacing pacing = kSoftwarePacing;
    bool lost = false;
    SoundingNotes sounding;
    std::deque<LongMessage> queue;
    // Short messages sent while a SysEx was partway out, or refused by a full receiver.
    WaitingShortMessages waiting;
    QTimer timer;
    int stalledTicks = 0;
    bool closing = false; // closed by its owner, kept until what it still owes has gone out

    bool SysExPartway() const { return !queue.empty() && queue.front().InsideSysEx(); }
};

struct InputPort {
    int port = -1;
    Address device;
    QPointer<QObject> receiver;
    bool started = false;
};

struct SendResult {
    int error = 0;
    bool progressed = false;
};

class AlsaMidiService final : public MidiService {
public:
    AlsaMidiService(snd_seq_t* seq, std::string clientName);
    ~AlsaMidiService() override;

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
    MMRESULT midiInReset(HMIDIIN handle) override { return midiInStop(handle); }

    void midiSetDeviceWatcher(QObject* watcher) override { watcher_ = watcher; }

    // The kernel's sequencer stays as long as a client has it open, so midiSystemRunning keeps
    // its answer: always there.

    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;
    MMRESULT midiInGetStatus(HMIDIIN handle) override;
    MMRESULT midiInClose(HMIDIIN handle) override;

private:
    static const Device* Find(const std::vector<Device>& devices, int index);
    OutputPort* FindOutput(HMIDIOUT handle);
    InputPort* FindInput(HMIDIIN handle);

    // Other clients' ports with the given capabilities, named "<client>:<port>" without the
    // numbers the sequencer hands out, which change from run to run.
    std::vector<Device> Scan(unsigned capabilities);
    bool Connected(Address sender, Address dest);

    // The device behind a port can go away at any time, and a new client may take its
    // numbers, so the subscription itself is what tells that it is still there.
    bool StillConnected(OutputPort& output);
    int Send(OutputPort& output, snd_seq_event_t& event);
    int SendSysEx(OutputPort& output, const std::uint8_t* bytes, std::size_t size);

    // A note-off a full receiver refuses waits for it to read again, behind whatever else waits.
    int SilenceNotes(OutputPort& output);

    // Sends one message that waited; it was checked when it was taken.
    int SendWaitingMessage(OutputPort& output, std::uint32_t message);

    // Sends what waits, all of it now; what the receiver refuses waits on.
    void SendWaiting(OutputPort& output);

    // Sends about one chunk's worth: first the short messages that waited, once no SysEx is
    // partway out, then the front long messages; the rest waits for the next tick. Every event
    // counts against the chunk.
    SendResult SendSome(OutputPort& output);

    // Hands the front long message back to its sender; the header is not touched after this.
    static void Complete(OutputPort& output);

    // A SysEx given up half way is closed, so the receiver does not take what follows for
    // more of it.
    void EndSysEx(OutputPort& output, LongMessage& message);
    void AfterSending(OutputPort& output, const SendResult& result);
    void Tick(OutputPort& output);
    void ForgetClosedPorts();
    int RemovePort(OutputPort& output);
    int RemovePort(InputPort& input);

    // The system client announces every client and port that comes, goes or changes, and every
    // subscription made or removed, to a port of ours that nobody else may write to. Without it
    // the watcher hears nothing, and the rest still works. The port takes a number far above
    // the ones ports are given as they open: programs connecting to the client by its name
    // alone reach port 0, which should be the first port opened, as it was before.
    void ListenToAnnouncements();

    // Whether an announcement tells the watcher something: another client's clients and ports,
    // or a change to a subscription of one of our ports that we did not make ourselves (its
    // device went, or a program connected to our public port).
    bool ConcernsWatcher(const snd_seq_event_t& event);

    // Our own subscribing and unsubscribing is announced like anybody's; it is noted here so
    // that its announcement is known as no news. Port numbers are reused at once, so the port
    // alone cannot tell.
    void NoteOwnSubscriptionChange(Address sender, Address dest, bool subscribed);
    void ReadInput();
    void Deliver(const snd_seq_event_t& event);

    snd_seq_t* seq_;
    std::string clientName_;
    int ownClient_;
    Subscription subscription_; // reused for every look-up
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers_;
    int announcePort_ = -1;
    std::vector<SubscriptionChange>
        ownSubscriptionChanges_; // made, their announcements not read yet
    QPointer<QObject> watcher_;
    QTimer readMore_;
    std::vector<Device> outputDevices_;
    std::vector<Device> inputDevices_;
    std::uint32_t nextHandle_ = 1;
    std::map<HMIDIOUT, std::unique_ptr<OutputPort>> outputs_;
    std::vector<std::unique_ptr<OutputPort>> closing_;
    std::map<HMIDIIN, InputPort> inputs_;
};

// ---- Runs on the GUI thread ---------------------------------------------------------------------

AlsaMidiService::AlsaMidiService(snd_seq_t* seq, std::string clientName)
    : seq_(seq), clientName_(std::move(clientName)), ownClient_(snd_seq_client_id(seq)) {
    const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> descriptors(static_cast<std::size_t>(std::max(count, 0)));
    const int filled =
        snd_seq_poll_descriptors(seq_, descriptors.data(), descriptors.size(), POLLIN);
    for (int i = 0; i < filled; ++i) {
        auto notifier = std::make_unique<QSocketNotifier>(
            descriptors[static_cast<std::size_t>(i)].fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { ReadInput(); });
        notifiers_.push_back(std::move(notifier));
    }
    readMore_.setSingleShot(true);
    QObject::connect(&readMore_, &QTimer::timeout, [this] { ReadInput(); });
    ListenToAnnouncements();
}

AlsaMidiService::~AlsaMidiService() {
    notifiers_.clear();
    // Leaves nothing sounding, and hands every queued long message back to its sender.
    for (auto& [handle, output] : outputs_) {
        midiOutReset(handle);
        RemovePort(*output);
    }
    ForgetClosedPorts();
    for (auto& output : closing_) {
        SendWaiting(*output); // a last try: the port cannot wait any longer
        RemovePort(*output);
    }
    for (auto& [handle, input] : inputs_)
        RemovePort(input);
    if (announcePort_ >= 0)
        snd_seq_delete_simple_port(seq_, announcePort_);
    snd_seq_close(seq_);
}

int AlsaMidiService::midiOutGetNumDevs() {
    outputDevices_ = Scan(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    return static_cast<int>(outputDevices_.size());
}

MMRESULT AlsaMidiService::midiOutGetDevCaps(int device, std::string& name) {
    if (device == MIDI_MAPPER) {
        name = clientName_;
        return MMSYSERR_NOERROR;
    }
    const Device* found = Find(outputDevices_, device);
    if (found == nullptr)
        return MMSYSERR_BADDEVICEID;
    name = found->name;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) {
    ForgetClosedPorts();
    const Device* found = Find(outputDevices_, device);
    if (device != MIDI_MAPPER && found == nullptr)
        return MMSYSERR_BADDEVICEID;

    auto output = std::make_unique<OutputPort>();
    output->receiver = receiver;
    int port;
    if (found == nullptr) {
        // Our public port: whoever subscribes to it hears what is played.
        port = snd_seq_create_simple_port(
            seq_, "MIDI Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kOwnPortType);
    } else {
        // A private port, offered to nobody else, that feeds only the chosen device.
        port = snd_seq_create_simple_port(seq_, "Output", SND_SEQ_PORT_CAP_READ, kOwnPortType);
    }
    if (port < 0)
        return ResultOf(port);
    output->port = port;
    if (found != nullptr) {
        const int error =
            snd_seq_connect_to(seq_, port, found->address.client, found->address.port);
        if (error < 0) {
            snd_seq_delete_simple_port(seq_, port);
            return ResultOf(error);
        }
        NoteOwnSubscriptionChange({ownClient_, port}, found->address, true);
        output->device = found->address;
        output->pacing = found->hardware ? kHardwarePacing : kSoftwarePacing;
    }

    handle = nextHandle_++;
    output->timer.setInterval(output->pacing.intervalMs);
    output->timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&output->timer, &QTimer::timeout,
                     [this, port = output.get()] { Tick(*port); });
    outputs_.emplace(handle, std::move(output));
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    OutputPort* output = FindOutput(handle);
    if (output == nullptr)
        return MMSYSERR_INVALHANDLE;
    const ShortMessage unpacked = UnpackShortMessage(message);
    snd_seq_event_t event;
    if (!EncodeShortMessage(unpacked.bytes.data(), unpacked.size, event))
        return MMSYSERR_INVALPARAM;
    // Anything but a real-time byte would cut a SysEx that is partway out, so it waits for
    // the SysEx's end, and so does whatever comes after a message that waits.
    const bool realTime = unpacked.bytes[0] >= 0xF8;
    if (!realTime && (output->SysExPartway() || !output->waiting.Empty())) {
        if (!StillConnected(*output))
            return MIDIERR_NODEVICE;
        return output->waiting.Add(message) ? MMSYSERR_NOERROR : MIDIERR_NOTREADY;
    }
    const int error = Send(*output, event);
    if (Retryable(error) && !realTime && WaitingShortMessages::IsNoteOff(message)) {
        // A full receiver may read again; a note-off the keyboard counts on must not be
        // lost meanwhile.
        output->waiting.Add(message);
        output->timer.start();
        return MMSYSERR_NOERROR;
    }
    if (error < 0)
        return ResultOf(error);
    output->sounding.Track(unpacked.bytes.data(), unpacked.size);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (FindOutput(handle) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return PrepareMidiHeader(header);
}

MMRESULT AlsaMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    OutputPort* output = FindOutput(handle);
    if (output == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT usable = CheckMidiHeaderForSending(header); usable != MMSYSERR_NOERROR)
        return usable;
    if (!StillConnected(*output))
        return MIDIERR_NODEVICE;
    // Half a stream could leave a note sounding or a receiver stuck inside a SysEx, so a
    // stream with any stray byte is refused whole.
    MidiStreamSplit split = SplitMidiStream(header->lpData, header->dwBufferLength);
    if (!split.complete || split.messages.empty())
        return MMSYSERR_INVALPARAM;

    MarkMidiHeaderQueued(header);
    output->queue.push_back({header, std::move(split.messages)});
    if (output->queue.size() > 1)
        return MMSYSERR_NOERROR; // waits for the messages before it

    const SendResult result = SendSome(*output);
    if (result.error < 0 && !output->queue.empty() && !output->queue.front().begun) {
        // Nothing of it went out: the caller learns why and keeps the header.
        output->queue.pop_front();
        header->dwFlags &= ~MHDR_INQUEUE;
        return ResultOf(result.error);
    }
    AfterSending(*output, result);
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    if (FindOutput(handle) == nullptr)
        return MMSYSERR_INVALHANDLE;
    return UnprepareMidiHeader(header);
}

MMRESULT AlsaMidiService::midiOutReset(HMIDIOUT handle) {
    OutputPort* output = FindOutput(handle);
    if (output == nullptr)
        return MMSYSERR_INVALHANDLE;
    output->timer.stop();
    if (!output->queue.empty())
        EndSysEx(*output, output->queue.front());
    // What else waited (a pedal let go, a program change) still goes out, before the
    // note-offs.
    output->waiting.DropNotes();
    SendWaiting(*output);
    const int error = SilenceNotes(*output);
    while (!output->queue.empty())
        Complete(*output);
    output->stalledTicks = 0;
    if (!output->waiting.Empty())
        output->timer.start();
    return ResultOf(error);
}

MMRESULT AlsaMidiService::midiOutClose(HMIDIOUT handle) {
    ForgetClosedPorts();
    const auto found = outputs_.find(handle);
    if (found == outputs_.end())
        return MMSYSERR_INVALHANDLE;
    if (!found->second->queue.empty())
        return MIDIERR_STILLPLAYING;
    if (!found->second->waiting.Empty() && StillConnected(*found->second)) {
        // The handle is gone at once, but the port stays until the note-offs it owes
        // have reached a receiver that is reading again, or it gives up on one that is not.
        found->second->closing = true;
        closing_.push_back(std::move(found->second));
        outputs_.erase(found);
        return MMSYSERR_NOERROR;
    }
    const int error = RemovePort(*found->second);
    outputs_.erase(found);
    return ResultOf(error);
}

int AlsaMidiService::midiInGetNumDevs() {
    inputDevices_ = Scan(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    return static_cast<int>(inputDevices_.size());
}

MMRESULT AlsaMidiService::midiInGetDevCaps(int device, std::string& name) {
    const Device* found = Find(inputDevices_, device);
    if (found == nullptr)
        return MMSYSERR_BADDEVICEID;
    name = found->name;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiInOpen(HMIDIIN& handle, int device, QObject* receiver) {
    const Device* found = Find(inputDevices_, device);
    if (found == nullptr)
        return MMSYSERR_BADDEVICEID;
    const int port =
        snd_seq_create_simple_port(seq_, "Input", SND_SEQ_PORT_CAP_WRITE, kOwnPortType);
    if (port < 0)
        return ResultOf(port);
    const int error = snd_seq_connect_from(seq_, port, found->address.client, found->address.port);
    if (error < 0) {
        snd_seq_delete_simple_port(seq_, port);
        return ResultOf(error);
    }
    NoteOwnSubscriptionChange(found->address, {ownClient_, port}, true);
    handle = nextHandle_++;
    inputs_.emplace(handle, InputPort{port, found->address, receiver, false});
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiInStart(HMIDIIN handle) {
    InputPort* input = FindInput(handle);
    if (input == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!Connected(input->device, {ownClient_, input->port}))
        return MIDIERR_NODEVICE;
    // What arrived before the start is not for the receiver.
    ReadInput();
    input->started = true;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiInStop(HMIDIIN handle) {
    InputPort* input = FindInput(handle);
    if (input == nullptr)
        return MMSYSERR_INVALHANDLE;
    // What arrived while the port was started still reaches the receiver.
    ReadInput();
    input->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiService::midiOutGetStatus(HMIDIOUT handle) {
    OutputPort* output = FindOutput(handle);
    if (output == nullptr)
        return MMSYSERR_INVALHANDLE;
    return StillConnected(*output) ? MMSYSERR_NOERROR : MIDIERR_NODEVICE;
}

MMRESULT AlsaMidiService::midiInGetStatus(HMIDIIN handle) {
    InputPort* input = FindInput(handle);
    if (input == nullptr)
        return MMSYSERR_INVALHANDLE;
    return Connected(input->device, {ownClient_, input->port}) ? MMSYSERR_NOERROR
                                                               : MIDIERR_NODEVICE;
}

MMRESULT AlsaMidiService::midiInClose(HMIDIIN handle) {
    const auto found = inputs_.find(handle);
    if (found == inputs_.end())
        return MMSYSERR_INVALHANDLE;
    ReadInput();
    const int error = RemovePort(found->second);
    inputs_.erase(found);
    return ResultOf(error);
}

const Device* AlsaMidiService::Find(const std::vector<Device>& devices, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= devices.size())
        return nullptr;
    return &devices[static_cast<std::size_t>(index)];
}

OutputPort* AlsaMidiService::FindOutput(HMIDIOUT handle) {
    const auto found = outputs_.find(handle);
    return found != outputs_.end() ? found->second.get() : nullptr;
}

InputPort* AlsaMidiService::FindInput(HMIDIIN handle) {
    const auto found = inputs_.find(handle);
    return found != inputs_.end() ? &found->second : nullptr;
}

std::vector<Device> AlsaMidiService::Scan(unsigned capabilities) {
    std::vector<Device> devices;
    ClientInfo client;
    PortInfo port;
    if (client.object == nullptr || port.object == nullptr)
        return devices;
    snd_seq_client_info_set_client(client.object, -1);
    while (snd_seq_query_next_client(seq_, client.object) >= 0) {
        const int id = snd_seq_client_info_get_client(client.object);
        if (id == SND_SEQ_CLIENT_SYSTEM || id == ownClient_)
            continue;
        const std::string clientName = TrimRight(snd_seq_client_info_get_name(client.object));
        snd_seq_port_info_set_client(port.object, id);
        snd_seq_port_info_set_port(port.object, -1);
        while (snd_seq_query_next_port(seq_, port.object) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(port.object);
            const unsigned type = snd_seq_port_info_get_type(port.object);
            if ((caps & capabilities) != capabilities || (caps & SND_SEQ_PORT_CAP_NO_EXPORT) ||
                !(type & kMidiPortTypes))
                continue;
            devices.push_back(
                {{id, snd_seq_port_info_get_port(port.object)},
                 clientName + ":" + TrimRight(snd_seq_port_info_get_name(port.object)),
                 (type & SND_SEQ_PORT_TYPE_HARDWARE) != 0});
        }
    }
    return devices;
}

bool AlsaMidiService::Connected(Address sender, Address dest) {
    if (subscription_.object == nullptr)
        return false;
    const snd_seq_addr_t from{static_cast<unsigned char>(sender.client),
                              static_cast<unsigned char>(sender.port)};
    const snd_seq_addr_t to{static_cast<unsigned char>(dest.client),
                            static_cast<unsigned char>(dest.port)};
    snd_seq_port_subscribe_set_sender(subscription_.object, &from);
    snd_seq_port_subscribe_set_dest(subscription_.object, &to);
    return snd_seq_get_port_subscription(seq_, subscription_.object) >= 0;
}

bool AlsaMidiService::StillConnected(OutputPort& output) {
    if (output.device && !output.lost && !Connected({ownClient_, output.port}, *output.device))
        output.lost = true;
    return !output.lost;
}

int AlsaMidiService::Send(OutputPort& output, snd_seq_event_t& event) {
    if (!StillConnected(output))
        return -ENODEV;
    snd_seq_ev_set_source(&event, output.port);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    // Written straight through: a refused event never lingers in alsa-lib's output buffer
    // to block the ones after it.
    const int written = snd_seq_event_output_direct(seq_, &event);
    return written < 0 ? written : 0;
}

int AlsaMidiService::SendSysEx(OutputPort& output, const std::uint8_t* bytes, std::size_t size) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(size), const_cast<std::uint8_t*>(bytes));
    return Send(output, event);
}

int AlsaMidiService::SilenceNotes(OutputPort& output) {
    if (!StillConnected(output)) {
        output.sounding.Clear(); // nothing left to silence
        output.waiting.Clear();
        return -ENODEV;
    }
    int firstError = 0;
    output.sounding.SilenceEach([&](const std::array<std::uint8_t, 3>& noteOff) {
        const std::uint32_t packed = PackShortMessage(noteOff[0], noteOff[1], noteOff[2]);
        int error = -EAGAIN;
        if (output.waiting.Empty()) {
            snd_seq_event_t event;
            EncodeShortMessage(noteOff.data(), noteOff.size(), event);
            error = Send(output, event);
        }
        if (Retryable(error))
            return output.waiting.Add(packed);
        if (error < 0 && firstError == 0)
            firstError = error;
        return error == 0;
    });
    return firstError;
}

int AlsaMidiService::SendWaitingMessage(OutputPort& output, std::uint32_t message) {
    const ShortMessage unpacked = UnpackShortMessage(message);
    snd_seq_event_t event;
    if (!EncodeShortMessage(unpacked.bytes.data(), unpacked.size, event))
        return 0;
    const int error = Send(output, event);
    if (error == 0)
        output.sounding.Track(unpacked.bytes.data(), unpacked.size);
    return error;
}

void AlsaMidiService::SendWaiting(OutputPort& output) {
    output.waiting.SendEach(
        [&](std::uint32_t message) { return SendWaitingMessage(output, message) == 0; });
}

SendResult AlsaMidiService::SendSome(OutputPort& output) {
    SendResult result;
    std::size_t budget = output.pacing.chunkBytes;
    // The first piece of a tick always goes, however big.
    auto fits = [&](std::size_t cost) { return !result.progressed || cost <= budget; };
    auto spend = [&](std::size_t cost) {
        result.progressed = true;
        budget -= std::min(budget, cost);
    };
    const std::size_t shortCost = std::max<std::size_t>(3, output.pacing.leastEventBytes);
    for (;;) {
        if (!output.SysExPartway() && !output.waiting.Empty()) {
            output.waiting.SendEach([&](std::uint32_t message) {
                if (!fits(shortCost))
                    return false;
                result.error = SendWaitingMessage(output, message);
                if (result.error < 0)
                    return false;
                spend(shortCost);
                return true;
            });
            if (!output.waiting.Empty())
                return result;
        }
        if (output.queue.empty())
            return result;
        LongMessage& message = output.queue.front();
        if (message.next == message.messages.size()) {
            Complete(output);
            continue;
        }
        const MidiMessage& bytes = message.messages[message.next];
        const bool sysEx = bytes.front() == 0xF0;
        const std::size_t piece =
            sysEx ? std::min(output.pacing.chunkBytes, bytes.size() - message.offset)
                  : bytes.size();
        const std::size_t cost = std::max(piece, output.pacing.leastEventBytes);
        if (!fits(cost))
            return result;
        if (sysEx) {
            result.error = SendSysEx(output, bytes.data() + message.offset, piece);
        } else {
            snd_seq_event_t event;
            result.error = EncodeShortMessage(bytes.data(), bytes.size(), event)
                               ? Send(output, event)
                               : -EINVAL;
            if (result.error == 0)
                output.sounding.Track(bytes.data(), bytes.size());
        }
        if (result.error < 0)
            return result;
        spend(cost);
        message.begun = true;
        message.offset += sysEx ? piece : 0;
        if (!sysEx || message.offset == bytes.size()) {
            ++message.next;
            message.offset = 0;
        }
    }
}

void AlsaMidiService::Complete(OutputPort& output) {
    MIDIHDR* header = output.queue.front().header;
    output.queue.pop_front();
    MarkMidiHeaderDone(header);
    PostMidiOutDone(output.receiver, header);
}

void AlsaMidiService::EndSysEx(OutputPort& output, LongMessage& message) {
    if (message.InsideSysEx()) {
        static const std::uint8_t end = 0xF7;
        SendSysEx(output, &end, 1);
        message.offset = 0;
    }
}

void AlsaMidiService::AfterSending(OutputPort& output, const SendResult& result) {
    const int stallLimit = kStallLimitMs / output.pacing.intervalMs;
    if (result.progressed)
        output.stalledTicks = 0;
    else if (Retryable(result.error))
        ++output.stalledTicks;
    if (result.error < 0) {
        // A receiver refused the front message. If none of it went out yet, a full queue
        // may drain and the message still arrive whole. Once part of it is out it is given
        // up: the kernel throws away the receiver's queue, first part included, at its next
        // read. So it is when the receiver is gone or reads nothing for too long. Either
        // way its sender gets the header back. Short messages wait on while the receiver
        // is there: each may be a note-off.
        if (!Retryable(result.error))
            output.waiting.Clear();
        if (!output.queue.empty() && (output.queue.front().begun || !Retryable(result.error) ||
                                      output.stalledTicks > stallLimit)) {
            EndSysEx(output, output.queue.front());
            Complete(output);
            output.stalledTicks = 0;
        }
    }
    if (output.queue.empty() && output.waiting.Empty())
        output.timer.stop();
    else if (!output.timer.isActive())
        output.timer.start();
}

void AlsaMidiService::Tick(OutputPort& output) {
    AfterSending(output, SendSome(output));
    if (output.closing && (output.waiting.Empty() || output.lost ||
                           output.stalledTicks > kStallLimitMs / output.pacing.intervalMs)) {
        // The port itself goes at the next open or close: its timer is running this.
        RemovePort(output);
        output.port = -1;
    }
}

void AlsaMidiService::ForgetClosedPorts() {
    std::erase_if(closing_, [](const auto& output) { return output->port < 0; });
}

int AlsaMidiService::RemovePort(OutputPort& output) {
    output.timer.stop();
    if (output.device && !output.lost &&
        snd_seq_disconnect_to(seq_, output.port, output.device->client, output.device->port) >= 0)
        NoteOwnSubscriptionChange({ownClient_, output.port}, *output.device, false);
    return snd_seq_delete_simple_port(seq_, output.port);
}

int AlsaMidiService::RemovePort(InputPort& input) {
    if (snd_seq_disconnect_from(seq_, input.port, input.device.client, input.device.port) >= 0)
        NoteOwnSubscriptionChange(input.device, {ownClient_, input.port}, false);
    return snd_seq_delete_simple_port(seq_, input.port);
}

void AlsaMidiService::ListenToAnnouncements() {
    PortInfo info;
    if (info.object == nullptr)
        return;
    snd_seq_port_info_set_name(info.object, "Announcements");
    snd_seq_port_info_set_capability(info.object,
                                     SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT);
    snd_seq_port_info_set_type(info.object, SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_port_info_set_port(info.object, kAnnouncePort);
    snd_seq_port_info_set_port_specified(info.object, 1);
    if (snd_seq_create_port(seq_, info.object) < 0)
        return;
    const int port = snd_seq_port_info_get_port(info.object);
    if (snd_seq_connect_from(seq_, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
        snd_seq_delete_simple_port(seq_, port);
        return;
    }
    announcePort_ = port;
}

bool AlsaMidiService::ConcernsWatcher(const snd_seq_event_t& event) {
    switch (event.type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
        return event.data.addr.client != ownClient_;
    case SND_SEQ_EVENT_PORT_SUBSCRIBED:
    case SND_SEQ_EVENT_PORT_UNSUBSCRIBED:
        break;
    default:
        return false;
    }
    const snd_seq_connect_t& subscription = event.data.connect;
    const SubscriptionChange seen{{subscription.sender.client, subscription.sender.port},
                                  {subscription.dest.client, subscription.dest.port},
                                  event.type == SND_SEQ_EVENT_PORT_SUBSCRIBED};
    if ((seen.sender.client != ownClient_ && seen.dest.client != ownClient_) ||
        (seen.dest.client == ownClient_ && seen.dest.port == announcePort_))
        return false;
    const auto ours =
        std::find(ownSubscriptionChanges_.begin(), ownSubscriptionChanges_.end(), seen);
    if (ours == ownSubscriptionChanges_.end())
        return true;
    ownSubscriptionChanges_.erase(ours);
    return false;
}

void AlsaMidiService::NoteOwnSubscriptionChange(Address sender, Address dest, bool subscribed) {
    if (announcePort_ >= 0)
        ownSubscriptionChanges_.push_back({sender, dest, subscribed});
}

void AlsaMidiService::ReadInput() {
    bool devicesChanged = false;
    int count = 0;
    for (; count < kEventsPerRead; ++count) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(seq_, &event);
        if (result == -ENOSPC) {
            // Our queue overflowed; what was lost is lost, the rest still counts. An
            // announcement may have been among it, of our own changes too.
            devicesChanged = true;
            ownSubscriptionChanges_.clear();
            continue;
        }
        if (result < 0 || event == nullptr)
            break;
        if (event->dest.port != announcePort_)
            Deliver(*event);
        else if (event->source.client == SND_SEQ_CLIENT_SYSTEM)
            // Any client may write to the port; only the system's word counts.
            devicesChanged = devicesChanged || ConcernsWatcher(*event);
    }
    // alsa-lib may hold more in its own buffer, where the notifier cannot see them.
    if (count == kEventsPerRead)
        readMore_.start(0);
    // A program registers its client and ports in a burst: one event for all of it.
    if (devicesChanged)
        PostMidiDevicesChanged(watcher_);
}

void AlsaMidiService::Deliver(const snd_seq_event_t& event) {
    for (const auto& [handle, input] : inputs_) {
        if (input.port != event.dest.port || !input.started)
            continue;
        std::array<std::uint32_t, 4> messages;
        const int count = DecodeEvent(event, messages);
        for (int i = 0; i < count; ++i)
            PostMidiInData(input.receiver, messages[static_cast<std::size_t>(i)]);
        return;
    }
}

} // namespace

std::unique_ptr<MidiService> OpenAlsaMidiService(const std::string& clientName,
                                                 std::string& whyNot) {
    snd_seq_t* seq = nullptr;
    // alsa-lib would print its own complaint on stderr; the reason goes to the caller instead.
    snd_lib_error_set_handler(IgnoreAlsaMessage);
    int error = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    snd_lib_error_set_handler(nullptr);
    if (error < 0) {
        whyNot = std::string("cannot open the ALSA sequencer: ") + snd_strerror(error);
        return nullptr;
    }
    error = snd_seq_set_client_name(seq, clientName.c_str());
    if (error < 0) {
        snd_seq_close(seq);
        whyNot = std::string("cannot name the ALSA sequencer client: ") + snd_strerror(error);
        return nullptr;
    }
    return std::make_unique<AlsaMidiService>(seq, clientName);
}
