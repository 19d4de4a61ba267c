#pragma once

// Picks the MIDI system at start: the ALSA sequencer when it can be opened, else a running
// JACK server, else a service without devices, so the program always runs.

#include "platform/midi_service.h"

#include <iosfwd>
#include <memory>
#include <string>

// Says on `log` which service is used, and why the others are not.
std::unique_ptr<MidiService> OpenMidiService(const std::string& clientName, std::ostream& log);
