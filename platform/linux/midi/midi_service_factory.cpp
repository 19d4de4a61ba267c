#include "platform/linux/midi/midi_service_factory.h"

#include "platform/linux/alsa/alsa_midi_service.h"
#include "platform/linux/jack/jack_client.h"
#include "platform/linux/jack/jack_midi_service.h"
#include "platform/linux/midi/reconnecting_midi_service.h"
#include "platform/linux/synth/synth_midi_service.h"

#include <unistd.h>

#include <ostream>

namespace {

std::unique_ptr<MidiService> OpenMidiSystem(const std::string& clientName, std::ostream& log,
                                            bool& jack, std::string& whyNot) {
    std::string alsaProblem;
    if (auto alsa = OpenAlsaMidiService(clientName, alsaProblem)) {
        log << clientName << ": MIDI through the ALSA sequencer\n";
        jack = false;
        return alsa;
    }
    std::string jackProblem;
    if (auto service = OpenJackMidiService(clientName, jackProblem)) {
        log << clientName << ": MIDI through JACK (no ALSA sequencer: " << alsaProblem << ")\n";
        jack = true;
        return service;
    }
    whyNot = "no ALSA sequencer (" + alsaProblem + ") and no JACK server (" + jackProblem + ")";
    return nullptr;
}

// Only looks at the sequencer's device; any thread.
bool AlsaSequencerLooksReady() {
    return ::access("/dev/snd/seq", R_OK | W_OK) == 0;
}

// Runs on the thread that looks for a MIDI system. Asking a JACK server takes about 8 ms (up to
// 17) when none runs and 18 ms (up to 32) when one does on a busy two-core machine
// (bench/midi_system_open_bench), too long for the window's thread once a second.
bool MidiSystemLooksReady(const std::string& clientName) {
    return AlsaSequencerLooksReady() || JackServerAnswers(clientName);
}

} // namespace

void StartMidiSystemEarly(const std::string& clientName) {
    // Without the sequencer a JACK server carries the MIDI, if any does.
    if (!AlsaSequencerLooksReady())
        JoinJackServerAhead(clientName);
}

std::unique_ptr<MidiService> OpenMidiService(const std::string& clientName, std::ostream& log,
                                             const std::string& soundFont) {
    // Which system carries the MIDI now; the synthesizer asks whenever it opens.
    auto jack = std::make_shared<bool>(false);
    MidiSystemOpener opener;
    opener.probe = [clientName] { return MidiSystemLooksReady(clientName); };
    opener.open = [clientName, &log, jack](std::string& whyNot) {
        return OpenMidiSystem(clientName, log, *jack, whyNot);
    };
    auto system = std::make_unique<ReconnectingMidiService>(std::move(opener), clientName, log);
    // The system has been opened or not: a client joined early and not taken is not needed.
    ForgetJackServerAhead();
    SynthOptions options;
    options.soundFont = soundFont;
    options.clientName = clientName;
    // A JACK server that carries the MIDI usually owns the sound card too. Desktop sound
    // servers come next (pipewire where FluidSynth has it, else its pulseaudio side), then the
    // card itself, and last a JACK server that only plays sound.
    options.audioDrivers = [jack] {
        return *jack ? std::vector<std::string>{"jack", "pipewire", "pulseaudio", "alsa"}
                     : std::vector<std::string>{"pipewire", "pulseaudio", "alsa", "jack"};
    };
    return std::make_unique<SynthMidiService>(std::move(system), std::move(options), log);
}
