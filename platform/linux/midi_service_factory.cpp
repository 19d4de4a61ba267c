#include "platform/linux/midi_service_factory.h"

#include "platform/linux/alsa_midi_service.h"
#include "platform/linux/jack_midi_service.h"
#include "platform/linux/synth_midi_service.h"
#include "platform/null_midi_service.h"

#include <ostream>

namespace {

std::unique_ptr<MidiService> OpenMidiSystem(const std::string& clientName, std::ostream& log,
                                            bool& jack) {
    std::string alsaProblem;
    if (auto alsa = OpenAlsaMidiService(clientName, alsaProblem)) {
        log << clientName << ": MIDI through the ALSA sequencer\n";
        return alsa;
    }
    std::string jackProblem;
    if (auto service = OpenJackMidiService(clientName, jackProblem)) {
        log << clientName << ": MIDI through JACK (no ALSA sequencer: " << alsaProblem << ")\n";
        jack = true;
        return service;
    }
    log << clientName << ": no MIDI devices: no ALSA sequencer (" << alsaProblem
        << ") and no JACK server (" << jackProblem << ")\n";
    return std::make_unique<NullMidiService>();
}

} // namespace

std::unique_ptr<MidiService> OpenMidiService(const std::string& clientName, std::ostream& log,
                                             const std::string& soundFont) {
    bool jack = false;
    std::unique_ptr<MidiService> system = OpenMidiSystem(clientName, log, jack);
    SynthOptions options;
    options.soundFont = soundFont;
    options.clientName = clientName;
    // A JACK server that carries the MIDI usually owns the sound card too. Desktop sound
    // servers come next (pipewire where FluidSynth has it, else its pulseaudio side), then the
    // card itself, and last a JACK server that only plays sound.
    options.audioDrivers = jack
                               ? std::vector<std::string>{"jack", "pipewire", "pulseaudio", "alsa"}
                               : std::vector<std::string>{"pipewire", "pulseaudio", "alsa", "jack"};
    return std::make_unique<SynthMidiService>(std::move(system), std::move(options), log);
}
