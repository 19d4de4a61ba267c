#include "platform/linux/midi_service_factory.h"

#include "platform/linux/alsa_midi_service.h"
#include "platform/linux/jack_midi_service.h"
#include "platform/null_midi_service.h"

#include <ostream>

std::unique_ptr<MidiService> OpenMidiService(const std::string& clientName, std::ostream& log) {
    std::string alsaProblem;
    if (auto alsa = OpenAlsaMidiService(clientName, alsaProblem)) {
        log << clientName << ": MIDI through the ALSA sequencer\n";
        return alsa;
    }
    std::string jackProblem;
    if (auto jack = OpenJackMidiService(clientName, jackProblem)) {
        log << clientName << ": MIDI through JACK (no ALSA sequencer: " << alsaProblem << ")\n";
        return jack;
    }
    log << clientName << ": no MIDI devices: no ALSA sequencer (" << alsaProblem
        << ") and no JACK server (" << jackProblem << ")\n";
    return std::make_unique<NullMidiService>();
}
