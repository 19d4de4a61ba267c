#pragma once

// A MIDI service for tests: programmable device lists and failures, an ordered record of every
// call, and incoming messages injected by hand. Long messages stay queued until the test
// completes them, as a slow device would.

#include "platform/midi_service.h"

#include <QPointer>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

class FakeMidiService : public MidiService {
public:
    // What the service offers and how it answers.
    std::vector<std::string> outputDevices;
    std::vector<std::string> inputDevices;
    std::string mapperName = "klavio";
    MMRESULT outOpenResult = MMSYSERR_NOERROR;
    MMRESULT inOpenResult = MMSYSERR_NOERROR;
    MMRESULT inStartResult = MMSYSERR_NOERROR;
    MMRESULT shortMsgResult = MMSYSERR_NOERROR;
    MMRESULT prepareResult = MMSYSERR_NOERROR;
    MMRESULT longMsgResult = MMSYSERR_NOERROR;
    bool systemRunning = true;
    // What midiOutGetStatus and midiInGetStatus answer for an open port.
    MMRESULT outStatus = MMSYSERR_NOERROR;
    MMRESULT inStatus = MMSYSERR_NOERROR;

    // Every call in order, for example "midiOutOpen 2" or "midiOutShortMsg 0x7f3c90".
    std::vector<std::string> calls;
    std::vector<std::uint32_t> shortMessages;
    std::vector<std::vector<std::uint8_t>> longMessages;

    // Posts MM_MOM_DONE for every queued long message, oldest first.
    void CompleteLongMessages();
    std::size_t QueuedLongMessages() const { return queued_.size(); }
    // Posts an incoming short message to the receiver of the started input port, if any.
    void Inject(std::uint32_t message);
    bool OutputOpen() const { return !outputs_.empty(); }
    bool InputOpen() const { return !inputs_.empty(); }
    std::size_t PreparedHeaders() const { return prepared_.size(); }
    // Tells the device watcher that something changed, as a backend does when a device comes or
    // goes; change the lists and statuses first.
    void AnnounceChange();

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
    bool midiSystemRunning() override { return systemRunning; }
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;
    MMRESULT midiInGetStatus(HMIDIIN handle) override;

private:
    struct Input {
        QPointer<QObject> receiver;
        bool started = false;
    };
    struct Queued {
        HMIDIOUT handle;
        MIDIHDR* header;
    };

    void Record(std::string call) { calls.push_back(std::move(call)); }
    void ReturnQueued(HMIDIOUT handle);

    std::uint32_t nextHandle_ = 1;
    std::map<HMIDIOUT, QPointer<QObject>> outputs_;
    std::map<HMIDIIN, Input> inputs_;
    std::map<MIDIHDR*, HMIDIOUT> prepared_;
    std::deque<Queued> queued_;
    QPointer<QObject> watcher_;
};
