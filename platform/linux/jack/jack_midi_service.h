#pragma once

// The MIDI service over a running JACK server. Devices are the MIDI ports of the other JACK
// clients, named "client:port" as JACK shows them; the mapper is an output port of our own
// client that other programs connect to.

#include "platform/midi_service.h"

#include <memory>
#include <string>

// Joins the JACK server as a client named clientName; never starts a server. Returns nullptr
// and a one-line reason in whyNot when no server can be reached. Call it on the GUI thread
// once the application object exists: the service wakes that thread to post its events.
std::unique_ptr<MidiService> OpenJackMidiService(const std::string& clientName,
                                                 std::string& whyNot);
