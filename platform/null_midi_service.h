#pragma once

// The MIDI service when no MIDI system can be reached: no devices, and nothing opens.

#include "platform/midi_service.h"

#include <string>
#include <utility>

class NullMidiService : public MidiService {
public:
    // ownPortName: what the program's own port is called while it cannot open.
    explicit NullMidiService(std::string ownPortName = "klavio")
        : ownPortName_(std::move(ownPortName)) {}

    int midiOutGetNumDevs() override { return 0; }
    MMRESULT midiOutGetDevCaps(int device, std::string& name) override {
        if (device != MIDI_MAPPER)
            return MMSYSERR_BADDEVICEID;
        name = ownPortName_;
        return MMSYSERR_NOERROR;
    }
    MMRESULT midiOutOpen(HMIDIOUT&, int, QObject*) override { return MMSYSERR_NODRIVER; }
    MMRESULT midiOutShortMsg(HMIDIOUT, std::uint32_t) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiOutPrepareHeader(HMIDIOUT, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiOutLongMsg(HMIDIOUT, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiOutUnprepareHeader(HMIDIOUT, MIDIHDR*) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiOutReset(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiOutClose(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }

    int midiInGetNumDevs() override { return 0; }
    MMRESULT midiInGetDevCaps(int, std::string&) override { return MMSYSERR_BADDEVICEID; }
    MMRESULT midiInOpen(HMIDIIN&, int, QObject*) override { return MMSYSERR_NODRIVER; }
    MMRESULT midiInStart(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiInStop(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiInReset(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiInClose(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }
    bool midiSystemRunning() override { return false; }
    MMRESULT midiOutGetStatus(HMIDIOUT) override { return MMSYSERR_INVALHANDLE; }
    MMRESULT midiInGetStatus(HMIDIIN) override { return MMSYSERR_INVALHANDLE; }

private:
    std::string ownPortName_;
};
