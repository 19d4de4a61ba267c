#pragma once

// Any MIDI service with the built-in synthesizer in front, so that a key sounds without a
// synthesizer of the user's own. Outputs, as the window lists them:
//   -1 (the MIDI mapper)  the built-in synthesizer
//    0                    the wrapped service's own port, named for what it is for
//    1, 2, ...            the wrapped service's devices 0, 1, ...
// Inputs are the wrapped service's, unchanged. Every output handle is this service's own, so a
// synthesizer handle can never be taken for one of the wrapped service's.
//
// A synthesizer playing through JACK dies with the JACK server. The server going is seen as the
// MIDI system going: from then on the synthesizer's status is MMSYSERR_NODRIVER, so the window
// closes it and opens it again, on whichever audio output opens then. Through any other audio
// output the synthesizer does not mind the MIDI system going.

#include "platform/forwarding_midi_service.h"
#include "platform/linux/synth/fluid_synth_engine.h"
#include "platform/linux/synth/soundfont_discovery.h"
#include "platform/synthesizer.h"

#include <QPointer>
#include <QTimer>

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct SynthOptions {
    // The "SoundFont" setting; empty looks for an installed General MIDI SoundFont.
    std::string soundFont;
    // FluidSynth's audio drivers, tried in order, asked for whenever the synthesizer opens (the
    // best order depends on the MIDI system of the moment); none renders nothing (tests).
    std::function<std::vector<std::string>()> audioDrivers;
    std::string clientName = "klavio";
    // Whether a SoundFont file is there; tests stand in for the file system.
    std::function<bool(const std::string&)> exists = FileExists;
};

class SynthMidiService final : public ForwardingMidiService, public Synthesizer {
public:
    // Says on log, in one line each, which SoundFont and audio output the synthesizer uses or
    // why it does not open. log must outlive the service.
    SynthMidiService(std::unique_ptr<MidiService> wrapped, SynthOptions options, std::ostream& log);
    ~SynthMidiService() override;

    // The synthesizer while its port is open, for tests.
    FluidSynthEngine* Engine() const { return engine_.get(); }

    int midiOutGetNumDevs() override;
    MMRESULT midiOutGetDevCaps(int device, std::string& name) override;
    MMRESULT midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) override;
    MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) override;
    MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) override;
    MMRESULT midiOutReset(HMIDIOUT handle) override;
    MMRESULT midiOutClose(HMIDIOUT handle) override;

    // Inputs go to the wrapped service unchanged; these look for lost audio on the way.
    int midiInGetNumDevs() override;
    void midiSetDeviceWatcher(QObject* watcher) override;
    bool midiSystemRunning() override;
    MMRESULT midiOutGetStatus(HMIDIOUT handle) override;

    State LoadState() override;
    std::string SoundFont() override;
    std::string Problem() override;
    std::vector<SynthPreset> Presets() override;
    void UseSoundFont(const std::string& path) override;
    void SetMasterVolume(double volume) override;
    void SetSynthWatcher(QObject* watcher) override { synthWatcher_ = watcher; }

private:
    // Where an output handle leads: the synthesizer, or a port of the wrapped service.
    struct Route {
        bool synthesizer = false;
        HMIDIOUT wrapped = 0;
    };

    MidiService& Wrapped() override { return *wrapped_; }
    const Route* Find(HMIDIOUT handle) const;
    HMIDIOUT NewOutputHandle();
    MMRESULT OpenSynthesizer(HMIDIOUT& handle, QObject* receiver);
    // Looks on the GUI thread, while the SoundFont loads, for how the load ended.
    void WatchLoad();
    void NoticeLostAudio();

    std::unique_ptr<MidiService> wrapped_;
    SynthOptions options_; // its soundFont changes when the user picks another file
    std::ostream& log_;
    std::map<HMIDIOUT, Route> outputs_;
    std::unique_ptr<FluidSynthEngine> engine_;
    QPointer<QObject> synthReceiver_;
    QPointer<QObject> watcher_;
    QPointer<QObject> synthWatcher_;
    double volume_ = 1.0;
    // Why the synthesizer did not open the last time it was asked to, for the Sound page.
    std::string whyNotOpen_;
    QTimer loadWatch_;
    // The SoundFont the open synthesizer plays, and the one whose load failed, as it was then.
    std::string loadingPath_;
    FileIdentity loadingSoundFont_;
    std::optional<FileIdentity> failedSoundFont_;
    std::string whyItFailed_;
    bool audioLost_ = false;
    bool systemSeenRunning_ = false;
};
