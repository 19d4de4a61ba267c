#pragma once

// The MIDI system as it comes and goes while the program runs. A JACK server can be stopped
// under a running program and started again, or started only after it; this service owns
// whichever system is there now, drops it when it stops running, and looks for one again
// about once a second until one opens.
//
// Threads: everything runs on the GUI thread, except the probe (see MidiSystemOpener), which
// runs on a thread of its own for each attempt so that a slow answer never stalls the window.
//
// Handles are this service's own. Each leads to a port of the system it was opened on; once
// that system is dropped, its handles are the handles of a system that has gone: their status
// is MMSYSERR_NODRIVER, nothing sent through them goes anywhere, and resetting, unpreparing
// and closing them succeeds. A new system's handles never coincide with them.
//
// A dropped system stays alive until every port opened on it has been closed (or this service
// ends): until then it can still hand back the long messages queued on its ports, as a JACK
// service does once it learns that its server has gone, and a reset of such a port hands them
// back at once. A dropped system without open ports is destroyed when it is dropped.

#include "platform/forwarding_midi_service.h"
#include "platform/null_midi_service.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <string>

struct MidiSystemOpener {
    // Whether a MIDI system looks ready to be opened now. Runs on a thread of its own, so it
    // may wait for a server's answer, but it must not touch Qt or anything the GUI thread
    // uses. Empty: every attempt opens at once.
    std::function<bool()> probe;
    // Opens a MIDI system, saying on the log which one; nullptr and a one-line reason in whyNot
    // when none opens. GUI thread.
    std::function<std::unique_ptr<MidiService>(std::string& whyNot)> open;
};

class ReconnectingMidiService final : public ForwardingMidiService {
public:
    // Tries to open a system at once; without one, says why on log and keeps looking every
    // retryInterval. log must outlive the service. GUI thread, with an application object.
    ReconnectingMidiService(MidiSystemOpener opener, std::string clientName, std::ostream& log,
                            std::chrono::milliseconds retryInterval = std::chrono::seconds(1));
    ~ReconnectingMidiService() override;
    ReconnectingMidiService(const ReconnectingMidiService&) = delete;
    ReconnectingMidiService& operator=(const ReconnectingMidiService&) = delete;

    // What the retry timer does: drops a system that stopped running, and tries to open one
    // when there is none (or collects the probe's answer). Tests call it instead of waiting.
    void Retry();

    // Device names come from the current system, even one that has stopped but is not dropped
    // yet; everything else is this service's own.
    int midiOutGetNumDevs() override;
    MMRESULT midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) override;
    MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override;
    MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutReset(HMIDIOUT handle) override;
    MMRESULT midiOutClose(HMIDIOUT handle) override;

    int midiInGetNumDevs() override;
    MMRESULT midiInOpen(HMIDIIN& handle, int device, QObject* receiver) override;
    MMRESULT midiInStart(HMIDIIN handle) override;
    MMRESULT midiInStop(HMIDIIN handle) override;
    MMRESULT midiInReset(HMIDIIN handle) override;
    MMRESULT midiInClose(HMIDIIN handle) override;

    void midiSetDeviceWatcher(QObject* watcher) override;
    bool midiSystemRunning() override;
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;
    MMRESULT midiInGetStatus(HMIDIIN handle) override;

private:
    // One system taken, from the moment it opened until it is destroyed.
    struct System {
        std::unique_ptr<MidiService> service;
        bool dropped = false;
    };
    using SystemList = std::list<System>;
    // Where a handle leads.
    struct Route {
        SystemList::iterator system;
        std::uint32_t handle = 0;
    };
    using Routes = std::map<std::uint32_t, Route>;
    // Hears the current system's device events on the GUI thread.
    class Listener;
    struct Probe;

    // The current system, or the one that stands for none.
    MidiService& Wrapped() override;
    MidiService* Current();
    // The current system, or nullptr when there is none or it has stopped; a stopped one is
    // dropped on the way.
    MidiService* Running();
    MMRESULT Checked(MMRESULT result);
    void Take(std::unique_ptr<MidiService> service);
    void Drop();
    void TryToOpen(bool quiet);
    void OnSystemChanged();
    std::uint32_t NewPortHandle();
    Route* Find(Routes& routes, std::uint32_t handle);
    bool Live(const Route& route) const { return !route.system->dropped; }
    // What a port of a dropped system answers: MMSYSERR_NODRIVER without asking it (Refuse),
    // the system's own answer (Ask), or success once the system has answered (AskAndSucceed).
    enum class WhenDropped { Refuse, Ask, AskAndSucceed };
    // Hands a call on to the system the port was opened on, with the handle it gave the port.
    template <typename Call>
    MMRESULT OnPort(Routes& routes, std::uint32_t handle, WhenDropped whenDropped, Call call);
    void Forget(Routes& routes, Routes::iterator route);

    const MidiSystemOpener opener_;
    const std::string clientName_;
    NullMidiService noSystem_; // the program's own port keeps its name while none opens
    std::ostream& log_;
    const std::chrono::milliseconds retryInterval_;
    SystemList systems_; // the current one last; dropped ones before it
    Routes outputs_;
    Routes inputs_;
    QPointer<QObject> watcher_;
    std::unique_ptr<Listener> listener_;
    QTimer retryTimer_;
    std::shared_ptr<Probe> probe_; // while one is under way
};
