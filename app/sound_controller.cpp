#include "app/sound_controller.h"
#include "app/utf8_text.h"

#include "formats/general_midi.h"
#include "keyboard/vmidikeys.h"
#include "platform/synthesizer.h"

#include <QFileInfo>
#include <QSlider>

#include <algorithm>
#include <string_view>

namespace {

// FluidSynth keeps a SoundFont's drum kits in bank 128, which bank select cannot name; on the
// percussion channel it plays a kit whatever bank is selected, so the kits are sent with the
// rhythm bank General MIDI 2 devices know.
constexpr int kSoundFontDrumBank = 128;
constexpr int kRhythmBankMsb = 120;

} // namespace

SoundController::SoundController(SoundPage& page, TVMidiKeys& keys, Synthesizer& synthesizer)
    : page_(page), keys_(keys), synthesizer_(synthesizer) {
    connect(&page_, &SoundPage::instrumentChosen, this,
            [this](SoundChoice choice) { Send(sound_.Choose(Channel(), choice)); });
    connect(&page_, &SoundPage::controllerMoved, this, [this](Controller controller, int value) {
        Send(sound_.Set(Channel(), controller, value));
    });
    connect(&page_, &SoundPage::bendMoved, this,
            [this](int value) { Send(sound_.SetBend(Channel(), value)); });
    connect(&page_, &SoundPage::bendRangeChanged, this,
            [this](int semitones) { Send(sound_.SetBendRange(Channel(), semitones)); });
    connect(&page_, &SoundPage::pedalPressed, this, [this](Pedal pedal, bool down) {
        // The sustain pedal is the keyboard's, shared with the space bar.
        if (pedal == Pedal::Sustain)
            keys_.SetSustain(down);
        else
            Send(sound_.SetPedal(Channel(), pedal, down));
    });
    connect(&page_, &SoundPage::keyVelocityChanged, this,
            [this](int velocity) { keys_.SetKeyVelocity(velocity); });
    connect(&page_, &SoundPage::transposeChanged, this,
            [this](int semitones) { keys_.SetTranspose(semitones); });
    connect(&page_, &SoundPage::keyLabelsChanged, this, [this](KeyLabels labels) {
        keyLabels_ = labels;
        keys_.SetKeyLabels(labels);
    });
    connect(&page_, &SoundPage::soundFontRequested, this, &SoundController::soundFontRequested);
    connect(&page_, &SoundPage::masterVolumeChanged, this, [this](int percent) {
        masterVolume_ = percent;
        synthesizer_.SetMasterVolume(percent / 100.0);
    });
    keys_.SetOnSustainChanged([this](bool down) { page_.ShowPedal(Pedal::Sustain, down); });
    keys_.SetOnOutputOpened([this] { OutputOpened(); });
    // A bend held on the arrow keys springs back when their releases can no longer come.
    keys_.SetOnKeysLost([this] { BendByKey(0); });
}

SoundController::~SoundController() {
    // The keyboard outlives the controller and may still release its keys.
    keys_.SetOnSustainChanged(nullptr);
    keys_.SetOnOutputOpened(nullptr);
    keys_.SetOnKeysLost(nullptr);
}

int SoundController::Channel() const {
    return keys_.MIDIOutChannel() - 1;
}

void SoundController::Send(const ShortMessages& messages) {
    for (const std::uint32_t message : messages)
        keys_.SendShortMessage(message);
}

void SoundController::Restore(const SoundSettings& settings) {
    for (int channel = 0; channel < 16; ++channel)
        sound_.SetSettings(channel, settings.channels[static_cast<std::size_t>(channel)]);
    keys_.SetKeyVelocity(settings.keyVelocity);
    keys_.SetTranspose(settings.transpose);
    keyLabels_ = settings.keyLabels;
    keys_.SetKeyLabels(keyLabels_);
    masterVolume_ = std::clamp(settings.masterVolume, 0, 200);
    synthesizer_.SetMasterVolume(masterVolume_ / 100.0);
    page_.ShowPlaying(keys_.KeyVelocity(), keys_.Transpose(), keyLabels_);
    ShowChannel();
    SynthesizerChanged();
}

SoundSettings SoundController::Kept() const {
    SoundSettings settings;
    for (int channel = 0; channel < 16; ++channel)
        settings.channels[static_cast<std::size_t>(channel)] = sound_.Settings(channel);
    settings.keyVelocity = keys_.KeyVelocity();
    settings.transpose = keys_.Transpose();
    settings.keyLabels = keyLabels_;
    settings.masterVolume = masterVolume_;
    return settings;
}

void SoundController::ShowChannel() {
    const int channel = Channel();
    ListInstruments();
    page_.ShowChannel(sound_.Settings(channel), keys_.SustainIsDown(),
                      sound_.PedalDown(channel, Pedal::Sostenuto),
                      sound_.PedalDown(channel, Pedal::Soft));
}

void SoundController::OutputOpened() {
    builtIn_ = keys_.MIDIOutDevice() == MIDI_MAPPER;
    SynthesizerChanged();
    Send(sound_.Restore());
}

void SoundController::SynthesizerChanged() {
    ListInstruments();
    const Synthesizer::State state = synthesizer_.LoadState();
    const SoundTexts& texts = SoundTextsIn(german_);
    const QString file = QFileInfo(QString::fromStdString(synthesizer_.SoundFont())).fileName();
    QString problem;
    // Why it did not open or load counts most, also when the list fell back to no device.
    if (state == Synthesizer::State::Failed)
        problem = FromUtf8(texts.notLoaded) + QString::fromStdString(synthesizer_.Problem());
    else if (!builtIn_)
        problem = FromUtf8(texts.notTheSynthesizer);
    page_.ShowSynthesizer(builtIn_, file, problem, builtIn_ && state == Synthesizer::State::Loading,
                          masterVolume_);
}

void SoundController::SetLanguage(bool german) {
    german_ = german;
    page_.SetTexts(SoundTextsIn(german));
    SynthesizerChanged();
}

void SoundController::ListInstruments() {
    const bool drums = Channel() + 1 == kPercussionChannel;
    std::vector<Instrument> instruments;
    if (builtIn_ && synthesizer_.LoadState() == Synthesizer::State::Loaded) {
        for (const SynthPreset& preset : synthesizer_.Presets()) {
            const bool kit = preset.bank >= kSoundFontDrumBank;
            if (kit != drums || preset.bank > kSoundFontDrumBank)
                continue;
            const int msb = kit ? kRhythmBankMsb : preset.bank;
            instruments.push_back({{msb, 0, preset.program}, preset.bank, preset.name});
        }
    } else {
        for (const NamedSound& sound : drums ? GeneralMidiDrumKits() : GeneralMidiInstruments())
            instruments.push_back({{sound.bankMsb, sound.bankLsb, sound.program},
                                   sound.bankMsb,
                                   std::string(sound.name)});
    }
    page_.SetInstruments(std::move(instruments));
}

void SoundController::StepInstrument(int step) {
    page_.StepInstrument(step);
}

void SoundController::BendByKey(int direction) {
    const int value = direction < 0 ? 0 : direction > 0 ? 16383 : kBendCentre;
    page_.BendSlider->setValue(value);
}
