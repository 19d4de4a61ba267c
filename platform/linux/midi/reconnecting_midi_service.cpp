#include "platform/linux/midi/reconnecting_midi_service.h"

#include "platform/midi_events.h"

#include <QEvent>

#include <algorithm>
#include <atomic>
#include <ostream>
#include <system_error>
#include <thread>

namespace {

// How often an answer of the probe is looked for while one is under way.
constexpr std::chrono::milliseconds kProbePoll{20};
// How long the end of the program waits for a probe still asking a server.
constexpr std::chrono::milliseconds kProbePatience{2000};

} // namespace

class ReconnectingMidiService::Listener : public QObject {
public:
    explicit Listener(ReconnectingMidiService& service) : service_(service) {}

protected:
    bool event(QEvent* e) override {
        if (e->type() != MM_DEVICES_CHANGED)
            return QObject::event(e);
        service_.OnSystemChanged();
        return true;
    }

private:
    ReconnectingMidiService& service_;
};

// Shared by the GUI thread and the probe's thread, which keeps it alive for as long as it
// runs, so a probe that outlasts the service writes nowhere harmful.
struct ReconnectingMidiService::Probe {
    enum Outcome { Asking, Ready, NotReady };
    std::atomic<int> outcome{Asking};
};

ReconnectingMidiService::ReconnectingMidiService(MidiSystemOpener opener, std::string clientName,
                                                 std::ostream& log,
                                                 std::chrono::milliseconds retryInterval)
    : opener_(std::move(opener)), clientName_(std::move(clientName)), noSystem_(clientName_),
      log_(log), retryInterval_(retryInterval), listener_(std::make_unique<Listener>(*this)) {
    retryTimer_.setInterval(retryInterval_);
    QObject::connect(&retryTimer_, &QTimer::timeout, listener_.get(), [this] { Retry(); });
    TryToOpen(false);
    retryTimer_.start();
}

ReconnectingMidiService::~ReconnectingMidiService() {
    retryTimer_.stop();
    // A probe still asking is given time to finish, so that it does not run into the program's
    // exit; one that does not (a frozen server) is left behind.
    const auto deadline = std::chrono::steady_clock::now() + kProbePatience;
    while (probe_ && probe_->outcome.load() == Probe::Asking &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The ports of dropped systems close with their services.
    outputs_.clear();
    inputs_.clear();
    systems_.clear();
}

MidiService& ReconnectingMidiService::Wrapped() {
    MidiService* current = Current();
    return current != nullptr ? *current : noSystem_;
}

MidiService* ReconnectingMidiService::Current() {
    if (systems_.empty() || systems_.back().dropped)
        return nullptr;
    return systems_.back().service.get();
}

MidiService* ReconnectingMidiService::Running() {
    MidiService* current = Current();
    if (current != nullptr && !current->midiSystemRunning()) {
        Drop();
        return nullptr;
    }
    return current;
}

// MMSYSERR_NODRIVER is how a system's ports say that it has gone: the system is dropped then
// even when it does not (yet) say so itself.
MMRESULT ReconnectingMidiService::Checked(MMRESULT result) {
    if (result == MMSYSERR_NODRIVER && Current() != nullptr)
        Drop();
    return result;
}

void ReconnectingMidiService::Take(std::unique_ptr<MidiService> service) {
    systems_.push_back(System{std::move(service), false});
    systems_.back().service->midiSetDeviceWatcher(listener_.get());
}

void ReconnectingMidiService::Drop() {
    System& system = systems_.back();
    system.dropped = true;
    system.service->midiSetDeviceWatcher(nullptr);
    log_ << clientName_ << ": the MIDI system has gone; looking for one every "
         << retryInterval_.count() / 1000.0 << " s\n";
    // Without ports nothing of it is needed any more; with ports it waits for their closing.
    bool inUse = false;
    const auto last = std::prev(systems_.end());
    for (const Routes* routes : {&outputs_, &inputs_})
        for (const auto& [handle, route] : *routes)
            inUse = inUse || route.system == last;
    if (!inUse)
        systems_.pop_back();
    PostMidiDevicesChanged(watcher_);
}

void ReconnectingMidiService::TryToOpen(bool quiet) {
    std::string whyNot;
    std::unique_ptr<MidiService> service = opener_.open(whyNot);
    if (!service) {
        if (!quiet)
            log_ << clientName_ << ": no MIDI devices: " << whyNot
                 << "; looking for a MIDI system every " << retryInterval_.count() / 1000.0
                 << " s\n";
        return;
    }
    Take(std::move(service));
    PostMidiDevicesChanged(watcher_);
}

void ReconnectingMidiService::Retry() {
    if (Current() != nullptr) {
        Running();
        return;
    }
    if (!opener_.probe) {
        TryToOpen(true);
        return;
    }
    if (probe_) {
        const int outcome = probe_->outcome.load();
        if (outcome == Probe::Asking)
            return;
        probe_.reset();
        retryTimer_.setInterval(retryInterval_);
        if (outcome == Probe::Ready)
            TryToOpen(true);
        return;
    }
    probe_ = std::make_shared<Probe>();
    try {
        std::thread([probe = probe_, ask = opener_.probe] {
            // Runs on the probe's own thread.
            probe->outcome.store(ask() ? Probe::Ready : Probe::NotReady);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare now; the next round tries again.
        probe_.reset();
        return;
    }
    // The answer is looked for soon, so that a server found is taken without another wait.
    retryTimer_.setInterval(std::min(kProbePoll, retryInterval_));
}

void ReconnectingMidiService::OnSystemChanged() {
    // Running drops a system that says it has stopped, and tells the watcher itself.
    if (Current() != nullptr && Running() != nullptr)
        PostMidiDevicesChanged(watcher_);
}

std::uint32_t ReconnectingMidiService::NewPortHandle() {
    return NewHandle([this](std::uint32_t handle) {
        return outputs_.count(handle) != 0 || inputs_.count(handle) != 0;
    });
}

ReconnectingMidiService::Route* ReconnectingMidiService::Find(Routes& routes,
                                                              std::uint32_t handle) {
    const auto found = routes.find(handle);
    return found == routes.end() ? nullptr : &found->second;
}

template <typename Call>
MMRESULT ReconnectingMidiService::OnPort(Routes& routes, std::uint32_t handle,
                                         WhenDropped whenDropped, Call call) {
    const Route* route = Find(routes, handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (whenDropped == WhenDropped::Refuse && !Live(*route))
        return MMSYSERR_NODRIVER;
    const MMRESULT result = call(*route->system->service, route->handle);
    // Asked after the call: the call itself may have shown the system gone.
    return whenDropped == WhenDropped::AskAndSucceed && !Live(*route) ? MMSYSERR_NOERROR : result;
}

void ReconnectingMidiService::Forget(Routes& routes, Routes::iterator route) {
    const SystemList::iterator system = route->second.system;
    routes.erase(route);
    if (!system->dropped)
        return;
    for (const Routes* others : {&outputs_, &inputs_})
        for (const auto& [handle, other] : *others)
            if (other.system == system)
                return;
    systems_.erase(system);
}

int ReconnectingMidiService::midiOutGetNumDevs() {
    MidiService* system = Running();
    return system != nullptr ? system->midiOutGetNumDevs() : 0;
}

MMRESULT ReconnectingMidiService::midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) {
    MidiService* system = Running();
    if (system == nullptr)
        return MMSYSERR_NODRIVER;
    HMIDIOUT opened = 0;
    const MMRESULT result = Checked(system->midiOutOpen(opened, device, receiver));
    if (result != MMSYSERR_NOERROR)
        return result;
    handle = NewPortHandle();
    outputs_.emplace(handle, Route{std::prev(systems_.end()), opened});
    return MMSYSERR_NOERROR;
}

MMRESULT ReconnectingMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    return OnPort(outputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIOUT port) {
        return Checked(system.midiOutShortMsg(port, message));
    });
}

MMRESULT ReconnectingMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    return OnPort(outputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIOUT port) {
        return system.midiOutPrepareHeader(port, header);
    });
}

MMRESULT ReconnectingMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    return OnPort(outputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIOUT port) {
        return Checked(system.midiOutLongMsg(port, header));
    });
}

MMRESULT ReconnectingMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    // A dropped system still knows which of its headers it holds: one it has not handed back
    // yet stays the service's, as on any port.
    return OnPort(outputs_, handle, WhenDropped::Ask, [&](MidiService& system, HMIDIOUT port) {
        return system.midiOutUnprepareHeader(port, header);
    });
}

MMRESULT ReconnectingMidiService::midiOutReset(HMIDIOUT handle) {
    // On a dropped system the reset still hands back what is queued; that it cannot silence
    // anything is no failure, as nothing reaches a device any more.
    return OnPort(
        outputs_, handle, WhenDropped::AskAndSucceed,
        [&](MidiService& system, HMIDIOUT port) { return Checked(system.midiOutReset(port)); });
}

MMRESULT ReconnectingMidiService::midiOutClose(HMIDIOUT handle) {
    const auto found = outputs_.find(handle);
    if (found == outputs_.end())
        return MMSYSERR_INVALHANDLE;
    const Route& route = found->second;
    MidiService& system = *route.system->service;
    if (Live(route)) {
        const MMRESULT result = system.midiOutClose(route.handle);
        if (result != MMSYSERR_NOERROR)
            return result;
    } else {
        // Whatever is still queued is handed back first: a closed port never completes it.
        system.midiOutReset(route.handle);
        system.midiOutClose(route.handle);
    }
    Forget(outputs_, found);
    return MMSYSERR_NOERROR;
}

int ReconnectingMidiService::midiInGetNumDevs() {
    MidiService* system = Running();
    return system != nullptr ? system->midiInGetNumDevs() : 0;
}

MMRESULT ReconnectingMidiService::midiInOpen(HMIDIIN& handle, int device, QObject* receiver) {
    MidiService* system = Running();
    if (system == nullptr)
        return MMSYSERR_NODRIVER;
    HMIDIIN opened = 0;
    const MMRESULT result = Checked(system->midiInOpen(opened, device, receiver));
    if (result != MMSYSERR_NOERROR)
        return result;
    handle = NewPortHandle();
    inputs_.emplace(handle, Route{std::prev(systems_.end()), opened});
    return MMSYSERR_NOERROR;
}

MMRESULT ReconnectingMidiService::midiInStart(HMIDIIN handle) {
    return OnPort(inputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIIN port) {
        return Checked(system.midiInStart(port));
    });
}

MMRESULT ReconnectingMidiService::midiInStop(HMIDIIN handle) {
    return OnPort(inputs_, handle, WhenDropped::AskAndSucceed,
                  [&](MidiService& system, HMIDIIN port) { return system.midiInStop(port); });
}

MMRESULT ReconnectingMidiService::midiInReset(HMIDIIN handle) {
    return OnPort(inputs_, handle, WhenDropped::AskAndSucceed,
                  [&](MidiService& system, HMIDIIN port) { return system.midiInReset(port); });
}

MMRESULT ReconnectingMidiService::midiInClose(HMIDIIN handle) {
    const auto found = inputs_.find(handle);
    if (found == inputs_.end())
        return MMSYSERR_INVALHANDLE;
    const MMRESULT result = found->second.system->service->midiInClose(found->second.handle);
    if (Live(found->second) && result != MMSYSERR_NOERROR)
        return result;
    Forget(inputs_, found);
    return MMSYSERR_NOERROR;
}

void ReconnectingMidiService::midiSetDeviceWatcher(QObject* watcher) {
    watcher_ = watcher;
}

bool ReconnectingMidiService::midiSystemRunning() {
    return Running() != nullptr;
}

MMRESULT ReconnectingMidiService::midiOutGetStatus(HMIDIOUT handle) {
    return OnPort(outputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIOUT port) {
        return Checked(system.midiOutGetStatus(port));
    });
}

MMRESULT ReconnectingMidiService::midiInGetStatus(HMIDIIN handle) {
    return OnPort(inputs_, handle, WhenDropped::Refuse, [&](MidiService& system, HMIDIIN port) {
        return Checked(system.midiInGetStatus(port));
    });
}
