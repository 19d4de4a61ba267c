#pragma once

// Picks the MIDI system at start: the ALSA sequencer when it can be opened, else a running
// JACK server, else a service without devices, so the program always runs. Whichever it is,
// the built-in synthesizer stands in front of it as the MIDI mapper, so keys sound without a
// synthesizer of the user's own.

#include "platform/midi_service.h"

#include <iosfwd>
#include <memory>
#include <string>

// Starts what opening the MIDI system waits for longest, joining a JACK server, on a thread of
// its own, so that it runs while the program starts its window; OpenMidiService with the same
// client name takes it. Returns at once.
void StartMidiSystemEarly(const std::string& clientName);

// Says on `log` which service is used, and why the others are not; `log` must outlive the
// service, which reports on the synthesizer there too. soundFont is the "SoundFont" setting:
// the file the synthesizer plays, or empty for an installed General MIDI SoundFont.
std::unique_ptr<MidiService> OpenMidiService(const std::string& clientName, std::ostream& log,
                                             const std::string& soundFont = {});
