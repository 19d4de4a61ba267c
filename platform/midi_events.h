#pragma once

// What the MIDI service posts to the object that opened a port. Posted events reach their
// receiver on the GUI thread, in the order they were posted, and are dropped if the receiver
// is gone by then.

#include "platform/midi_service.h"

#include <QEvent>
#include <QPointer>

#include <cstdint>

// One incoming short message, packed as for midiOutShortMsg.
inline const QEvent::Type MM_MIM_DATA = static_cast<QEvent::Type>(QEvent::User + 0x3C3);
// A long message is done; its header is the caller's again.
inline const QEvent::Type MM_MOM_DONE = static_cast<QEvent::Type>(QEvent::User + 0x3C9);

// Devices, ports or the MIDI system changed; posted to the service's device watcher.
inline const QEvent::Type MM_DEVICES_CHANGED = static_cast<QEvent::Type>(QEvent::User + 0x3D0);

class MidiInDataEvent : public QEvent {
public:
    explicit MidiInDataEvent(std::uint32_t message) : QEvent(MM_MIM_DATA), message_(message) {}
    std::uint32_t Message() const { return message_; }

private:
    std::uint32_t message_;
};

class MidiOutDoneEvent : public QEvent {
public:
    explicit MidiOutDoneEvent(MIDIHDR* header) : QEvent(MM_MOM_DONE), header_(header) {}
    MIDIHDR* Header() const { return header_; }

private:
    MIDIHDR* header_;
};

// Posts to the receiver if it still exists. GUI thread only.
void PostMidiInData(const QPointer<QObject>& receiver, std::uint32_t message);
void PostMidiOutDone(const QPointer<QObject>& receiver, MIDIHDR* header);
void PostMidiDevicesChanged(const QPointer<QObject>& watcher);
