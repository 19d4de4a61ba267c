#pragma once

// What every MIDI service test needs on the program's side: an object that records what the
// service posts to it, and a long message whose header and bytes stay where they are.

#include "platform/midi_events.h"
#include "platform/midi_service.h"

#include <QObject>

#include <cstdint>
#include <functional>
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
