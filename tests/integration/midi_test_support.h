#pragma once

// What every MIDI service test needs on the program's side: an object that records what the
// service posts to it, and a long message whose header and bytes stay where they are.

#include "platform/midi_events.h"
#include "platform/midi_service.h"

#include <QObject>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Records what the service posts, in the order it arrives.
class MidiEventRecorder : public QObject {
public:
    std::vector<std::uint32_t> messages;
    std::vector<MIDIHDR*> done;
    std::function<void()> onDone;
    int devicesChanged = 0;

protected:
    bool event(QEvent* e) override {
        if (e->type() == MM_MIM_DATA) {
            messages.push_back(static_cast<MidiInDataEvent*>(e)->Message());
            return true;
        }
        if (e->type() == MM_MOM_DONE) {
            done.push_back(static_cast<MidiOutDoneEvent*>(e)->Header());
            if (onDone)
                onDone();
            return true;
        }
        if (e->type() == MM_DEVICES_CHANGED) {
            ++devicesChanged;
            return true;
        }
        return QObject::event(e);
    }
};

// A long message as the keyboard control sends one; it must not move while the service has it.
struct TestLongMessage {
    explicit TestLongMessage(std::vector<std::uint8_t> data) : bytes(std::move(data)) {
        header.lpData = bytes.data();
        header.dwBufferLength = header.dwBytesRecorded = static_cast<std::uint32_t>(bytes.size());
    }
    std::vector<std::uint8_t> bytes;
    MIDIHDR header;
};

// Where the service lists the device called name, as an output or an input; INT_MIN if nowhere.
inline int DeviceIndex(MidiService& service, bool output, const std::string& name) {
    const int count = output ? service.midiOutGetNumDevs() : service.midiInGetNumDevs();
    for (int i = 0; i < count; ++i) {
        std::string found;
        output ? service.midiOutGetDevCaps(i, found) : service.midiInGetDevCaps(i, found);
        if (found == name)
            return i;
    }
    return INT_MIN;
}

// A SysEx of size bytes whose data bytes all differ from their neighbours, so that a byte lost
// or moved shows.
inline std::vector<std::uint8_t> PatternedSysEx(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 5 % 128);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

// Sends the mix of messages the network tests check byte for byte: note-on 90 3C 64, controller
// B3 07 5A, sysEx as a long message, note-off 80 3C 40. The first failure, or MMSYSERR_NOERROR.
inline MMRESULT SendNotesControllerAndSysEx(MidiService& service, HMIDIOUT out,
                                            TestLongMessage& sysEx) {
    for (const auto& send : std::vector<std::function<MMRESULT()>>{
             [&] { return service.midiOutShortMsg(out, 0x643C90); },
             [&] { return service.midiOutShortMsg(out, 0x5A07B3); },
             [&] { return service.midiOutPrepareHeader(out, &sysEx.header); },
             [&] { return service.midiOutLongMsg(out, &sysEx.header); },
             [&] { return service.midiOutShortMsg(out, 0x403C80); }})
        if (const MMRESULT result = send(); result != MMSYSERR_NOERROR)
            return result;
    return MMSYSERR_NOERROR;
}
