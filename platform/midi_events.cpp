#include "platform/midi_events.h"

#include <QCoreApplication>

void PostMidiInData(const QPointer<QObject>& receiver, std::uint32_t message) {
    if (receiver)
        QCoreApplication::postEvent(receiver.data(), new MidiInDataEvent(message));
}

void PostMidiOutDone(const QPointer<QObject>& receiver, MIDIHDR* header) {
    if (receiver)
        QCoreApplication::postEvent(receiver.data(), new MidiOutDoneEvent(header));
}

void PostMidiDevicesChanged(const QPointer<QObject>& watcher) {
    if (watcher)
        QCoreApplication::postEvent(watcher.data(), new QEvent(MM_DEVICES_CHANGED));
}
