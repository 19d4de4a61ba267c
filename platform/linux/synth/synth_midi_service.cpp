#include "platform/linux/synth/synth_midi_service.h"

#include "formats/midi_stream.h"
#include "formats/short_message.h"
#include "platform/midi_events.h"
#include "platform/midi_headers.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>
#include <ostream>

namespace {

// This service's output device d is the wrapped service's device d - 1: the synthesizer
// takes -1, and the wrapped service's own port (its -1) moves to 0.
constexpr int kWrappedDeviceOffset = 1;
// FluidR3 loads in under a second: a load's end is seen soon enough at this pace.
constexpr std::chrono::milliseconds kLoadWatchInterval(100);

} // namespace

SynthMidiService::SynthMidiService(std::unique_ptr<MidiService> wrapped, SynthOptions options,
                                   std::ostream& log)
    : wrapped_(std::move(wrapped)), options_(std::move(options)), log_(log) {
    loadWatch_.setInterval(kLoadWatchInterval);
    QObject::connect(&loadWatch_, &QTimer::timeout, [this] { WatchLoad(); });
}

SynthMidiService::~SynthMidiService() = default;

const SynthMidiService::Route* SynthMidiService::Find(HMIDIOUT handle) const {
    const auto found = outputs_.find(handle);
    return found == outputs_.end() ? nullptr : &found->second;
}

HMIDIOUT SynthMidiService::NewOutputHandle() {
    return NewHandle([this](HMIDIOUT handle) { return outputs_.count(handle) != 0; });
}

void SynthMidiService::WatchLoad() {
    if (!engine_ || engine_->LoadState() == FluidSynthEngine::Loading::Busy) {
        if (!engine_)
            loadWatch_.stop();
        return;
    }
    loadWatch_.stop();
    if (!synthWatcher_.isNull())
        QCoreApplication::postEvent(synthWatcher_, new QEvent(MM_SYNTH_CHANGED));
    if (engine_->LoadState() != FluidSynthEngine::Loading::Failed)
        return;
    failedSoundFont_ = loadingSoundFont_;
    whyItFailed_ = engine_->LoadProblem();
    log_ << options_.clientName << ": the built-in synthesizer stays silent: the SoundFont "
         << loadingPath_ << " did not load (" << whyItFailed_ << ")\n";
    PostMidiDevicesChanged(watcher_);
}

// Asked wherever the window looks after a change (the counts, the status). A system that goes
// is only looked for again a round later, so the window's look after the news finds it gone.
void SynthMidiService::NoticeLostAudio() {
    if (!engine_ || engine_->AudioDriver() != "jack")
        return;
    // Only a system seen running can be seen going: without one, JACK may still play.
    if (wrapped_->midiSystemRunning())
        systemSeenRunning_ = true;
    else if (systemSeenRunning_)
        audioLost_ = true;
}

int SynthMidiService::midiOutGetNumDevs() {
    NoticeLostAudio();
    return wrapped_->midiOutGetNumDevs() + kWrappedDeviceOffset;
}

MMRESULT SynthMidiService::midiOutGetDevCaps(int device, std::string& name) {
    if (device == MIDI_MAPPER) {
        name = kMidiMapperName;
        return MMSYSERR_NOERROR;
    }
    if (device < MIDI_MAPPER)
        return MMSYSERR_BADDEVICEID;
    if (device != 0)
        return wrapped_->midiOutGetDevCaps(device - kWrappedDeviceOffset, name);
    std::string own;
    const MMRESULT result = wrapped_->midiOutGetDevCaps(MIDI_MAPPER, own);
    if (result == MMSYSERR_NOERROR)
        name = own + std::string(kOwnPortCaptionSuffix);
    return result;
}

MMRESULT SynthMidiService::midiOutOpen(HMIDIOUT& handle, int device, QObject* receiver) {
    if (device < MIDI_MAPPER)
        return MMSYSERR_BADDEVICEID;
    if (device == MIDI_MAPPER)
        return OpenSynthesizer(handle, receiver);
    HMIDIOUT wrapped = 0;
    const MMRESULT result = wrapped_->midiOutOpen(wrapped, device - kWrappedDeviceOffset, receiver);
    if (result != MMSYSERR_NOERROR)
        return result;
    handle = NewOutputHandle();
    outputs_.emplace(handle, Route{false, wrapped});
    return MMSYSERR_NOERROR;
}

MMRESULT SynthMidiService::OpenSynthesizer(HMIDIOUT& handle, QObject* receiver) {
    if (engine_)
        return MMSYSERR_ALLOCATED;
    const auto refuse = [&](const std::string& why, MMRESULT result) {
        log_ << options_.clientName << ": the built-in synthesizer does not open: " << why << "\n";
        whyNotOpen_ = why;
        return result;
    };
    whyNotOpen_.clear();
    const std::optional<std::string> soundFont = FindSoundFont(options_.soundFont, options_.exists);
    if (!soundFont)
        return refuse("no SoundFont is installed (Debian package fluid-soundfont-gm) and none "
                      "is named",
                      MMSYSERR_NODRIVER);
    std::string whyNot;
    std::optional<SoundFontFile> file = SoundFontFile::Open(*soundFont, whyNot);
    if (!file)
        return refuse(whyNot, MMSYSERR_ERROR);
    if (file->Identity() == failedSoundFont_)
        return refuse("the SoundFont " + *soundFont + " did not load (" + whyItFailed_ + ")",
                      MMSYSERR_ERROR);
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> drivers;
    if (options_.audioDrivers)
        drivers = options_.audioDrivers();
    const FileIdentity identity = file->Identity();
    engine_ = FluidSynthEngine::Open(std::move(*file), {*soundFont, drivers, options_.clientName},
                                     whyNot);
    if (!engine_)
        return refuse(whyNot, MMSYSERR_NODRIVER);
    engine_->SetVolume(volume_);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    log_ << options_.clientName << ": built-in synthesizer playing " << *soundFont << " through "
         << (engine_->AudioDriver().empty() ? "no audio output" : engine_->AudioDriver())
         << " (opened in " << took.count() << " ms; the SoundFont loads meanwhile)\n";
    loadingPath_ = *soundFont;
    loadingSoundFont_ = identity;
    loadWatch_.start();
    audioLost_ = false;
    systemSeenRunning_ = false;
    NoticeLostAudio();
    synthReceiver_ = receiver;
    handle = NewOutputHandle();
    outputs_.emplace(handle, Route{true, 0});
    return MMSYSERR_NOERROR;
}

MMRESULT SynthMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t message) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutShortMsg(route->wrapped, message);
    const ShortMessage unpacked = UnpackShortMessage(message);
    if (unpacked.size == 0 || !unpacked.dataValid)
        return MMSYSERR_INVALPARAM;
    engine_->Play(unpacked.bytes.data(), unpacked.size);
    return MMSYSERR_NOERROR;
}

MMRESULT SynthMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutPrepareHeader(route->wrapped, header);
    return PrepareMidiHeader(header);
}

MMRESULT SynthMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutLongMsg(route->wrapped, header);
    if (const MMRESULT usable = CheckMidiHeaderForSending(header); usable != MMSYSERR_NOERROR)
        return usable;
    // Half a stream could leave a note sounding, so it plays whole or not at all.
    const MidiStreamSplit split = SplitMidiStream(header->lpData, header->dwBufferLength);
    if (!split.complete || split.messages.empty())
        return MMSYSERR_INVALPARAM;
    for (const MidiMessage& message : split.messages)
        engine_->Play(message.data(), message.size());
    // The synthesizer has taken every byte already; the header is handed back at once.
    MarkMidiHeaderQueued(header);
    MarkMidiHeaderDone(header);
    PostMidiOutDone(synthReceiver_, header);
    return MMSYSERR_NOERROR;
}

MMRESULT SynthMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutUnprepareHeader(route->wrapped, header);
    return UnprepareMidiHeader(header);
}

MMRESULT SynthMidiService::midiOutReset(HMIDIOUT handle) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutReset(route->wrapped);
    engine_->Silence();
    return MMSYSERR_NOERROR;
}

MMRESULT SynthMidiService::midiOutClose(HMIDIOUT handle) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer) {
        const MMRESULT result = wrapped_->midiOutClose(route->wrapped);
        if (result == MMSYSERR_NOERROR)
            outputs_.erase(handle);
        return result;
    }
    // Closes the audio output and lets go of the SoundFont; nothing sounds on.
    engine_.reset();
    synthReceiver_.clear();
    outputs_.erase(handle);
    return MMSYSERR_NOERROR;
}

int SynthMidiService::midiInGetNumDevs() {
    NoticeLostAudio();
    return wrapped_->midiInGetNumDevs();
}

void SynthMidiService::midiSetDeviceWatcher(QObject* watcher) {
    watcher_ = watcher;
    wrapped_->midiSetDeviceWatcher(watcher);
}

bool SynthMidiService::midiSystemRunning() {
    NoticeLostAudio();
    return wrapped_->midiSystemRunning();
}

MMRESULT SynthMidiService::midiOutGetStatus(HMIDIOUT handle) {
    const Route* route = Find(handle);
    if (route == nullptr)
        return MMSYSERR_INVALHANDLE;
    if (!route->synthesizer)
        return wrapped_->midiOutGetStatus(route->wrapped);
    if (engine_->LoadState() == FluidSynthEngine::Loading::Failed)
        return MMSYSERR_ERROR;
    NoticeLostAudio();
    return audioLost_ ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
}

Synthesizer::State SynthMidiService::LoadState() {
    if (!engine_)
        return whyNotOpen_.empty() ? State::Closed : State::Failed;
    switch (engine_->LoadState()) {
    case FluidSynthEngine::Loading::Busy:
        return State::Loading;
    case FluidSynthEngine::Loading::Done:
        return State::Loaded;
    case FluidSynthEngine::Loading::Failed:
        break;
    }
    return State::Failed;
}

std::string SynthMidiService::SoundFont() {
    if (engine_)
        return loadingPath_;
    return FindSoundFont(options_.soundFont, options_.exists).value_or(options_.soundFont);
}

std::string SynthMidiService::Problem() {
    if (engine_)
        return engine_->LoadProblem();
    return whyNotOpen_;
}

std::vector<SynthPreset> SynthMidiService::Presets() {
    return engine_ ? engine_->Presets() : std::vector<SynthPreset>{};
}

void SynthMidiService::UseSoundFont(const std::string& path) {
    options_.soundFont = path;
    // A file the user picks is tried afresh, even one that failed before.
    failedSoundFont_.reset();
    whyNotOpen_.clear();
}

void SynthMidiService::SetMasterVolume(double volume) {
    volume_ = volume;
    if (engine_)
        engine_->SetVolume(volume);
}
