#pragma once

// The MIDI service on the ALSA sequencer, Linux's own MIDI router.

#include "platform/midi_service.h"

#include <memory>
#include <string>

// Opens a sequencer client called clientName. Returns nullptr, with a one-line reason in whyNot,
// when there is no sequencer to talk to (no sound support in the kernel, no access to it).
std::unique_ptr<MidiService> OpenAlsaMidiService(const std::string& clientName,
                                                 std::string& whyNot);
