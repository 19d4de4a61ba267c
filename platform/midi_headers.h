#pragma once

// The rules for long-message headers that every MIDI service shares: what may be prepared,
// what may be sent, and when a header may be given back.

#include "platform/midi_service.h"

inline MMRESULT PrepareMidiHeader(MIDIHDR* header) {
    if (header == nullptr || header->lpData == nullptr || header->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    header->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

inline MMRESULT CheckMidiHeaderForSending(const MIDIHDR* header) {
    if (header == nullptr)
        return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED))
        return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    if (header->lpData == nullptr || header->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

// A header still queued belongs to the service until its completion.
inline MMRESULT UnprepareMidiHeader(MIDIHDR* header) {
    if (header == nullptr)
        return MMSYSERR_INVALPARAM;
    if (header->dwFlags & MHDR_INQUEUE)
        return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// The service takes a header it accepted for sending: it is the service's until completed.
inline void MarkMidiHeaderQueued(MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
}

// The service hands a header back: its sender may send it again or unprepare it.
inline void MarkMidiHeaderDone(MIDIHDR* header) {
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}
