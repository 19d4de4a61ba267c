#pragma once

// A MIDI service that hands every call on, unchanged, to another one. A service that stands in
// front of a MIDI system derives from it and writes only the calls it changes.

#include "platform/midi_service.h"

#include <cstdint>

class ForwardingMidiService : public MidiService {
public:
    int midiOutGetNumDevs() override { return Wrapped().midiOutGetNumDevs(); }
    MMRESULT midiOutGetDevCaps(int device, std::string& name) override {
        return Wrapped().midiOutGetDevCaps(device, name);
    }
    MMRESULT midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) override {
        return Wrapped().midiOutOpen(handle, device, receiver);
    }
    MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override {
        return Wrapped().midiOutShortMsg(handle, message);
    }
    MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) override {
        return Wrapped().midiOutPrepareHeader(handle, header);
    }
    MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) override {
        return Wrapped().midiOutLongMsg(handle, header);
    }
    MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) override {
        return Wrapped().midiOutUnprepareHeader(handle, header);
    }
    MMRESULT midiOutReset(HMIDIOUT handle) override { return Wrapped().midiOutReset(handle); }
    MMRESULT midiOutClose(HMIDIOUT handle) override { return Wrapped().midiOutClose(handle); }

    int midiInGetNumDevs() override { return Wrapped().midiInGetNumDevs(); }
    MMRESULT midiInGetDevCaps(int device, std::string& name) override {
        return Wrapped().midiInGetDevCaps(device, name);
    }
    MMRESULT midiInOpen(HMIDIIN& handle, int device, QObject* receiver) override {
        return Wrapped().midiInOpen(handle, device, receiver);
    }
    MMRESULT midiInStart(HMIDIIN handle) override { return Wrapped().midiInStart(handle); }
    MMRESULT midiInStop(HMIDIIN handle) override { return Wrapped().midiInStop(handle); }
    MMRESULT midiInReset(HMIDIIN handle) override { return Wrapped().midiInReset(handle); }
    MMRESULT midiInClose(HMIDIIN handle) override { return Wrapped().midiInClose(handle); }

    void midiSetDeviceWatcher(QObject* watcher) override {
        Wrapped().midiSetDeviceWatcher(watcher);
    }
    bool midiSystemRunning() override { return Wrapped().midiSystemRunning(); }
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override {
        return Wrapped().midiOutGetStatus(handle);
    }
    MMRESULT midiInGetStatus(HMIDIIN handle) override { return Wrapped().midiInGetStatus(handle); }

protected:
    // Where the calls go, asked at every call: the service behind may change while this one
    // lives.
    virtual MidiService& Wrapped() = 0;

    // A handle for a new port of the deriving service's own, so that it can never be taken for
    // one of the wrapped service's: never 0, never one inUse(handle) says is open.
    template <typename InUse> std::uint32_t NewHandle(InUse inUse) {
        while (nextHandle_ == 0 || inUse(nextHandle_))
            ++nextHandle_;
        return nextHandle_++;
    }

private:
    std::uint32_t nextHandle_ = 1;
};
