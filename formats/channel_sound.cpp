#include "formats/channel_sound.h"

#include "formats/short_message.h"

#include <algorithm>

namespace {

constexpr unsigned kControlChange = 0xB0;
constexpr unsigned kProgramChange = 0xC0;
constexpr unsigned kPitchBend = 0xE0;

std::size_t ChannelIndex(int channel) {
    return static_cast<std::size_t>(std::clamp(channel, 0, 15));
}

unsigned DataByte(int value) {
    return static_cast<unsigned>(std::clamp(value, 0, 127));
}

std::uint32_t ControlChange(int channel, unsigned controller, int value) {
    return PackShortMessage(kControlChange | ChannelIndex(channel), controller, DataByte(value));
}

void AppendBendRange(ShortMessages& out, int channel, int semitones) {
    // Parameter 0 selected, its value entered in semitones and no cents, then no parameter.
    for (const auto& [controller, value] :
         {std::pair{101, 0}, {100, 0}, {6, semitones}, {38, 0}, {101, 127}, {100, 127}})
        out.push_back(ControlChange(channel, static_cast<unsigned>(controller), value));
}

void AppendBend(ShortMessages& out, int channel, int value) {
    out.push_back(PackShortMessage(kPitchBend | ChannelIndex(channel),
                                   static_cast<unsigned>(value) & 0x7F,
                                   static_cast<unsigned>(value) >> 7));
}

} // namespace

const ChannelSettings& ChannelSound::Settings(int channel) const {
    return channels_[ChannelIndex(channel)].settings;
}

void ChannelSound::SetSettings(int channel, const ChannelSettings& settings) {
    ChannelSettings& kept = channels_[ChannelIndex(channel)].settings;
    kept = settings;
    if (kept.sound)
        kept.sound = SoundChoice{static_cast<int>(DataByte(kept.sound->bankMsb)),
                                 static_cast<int>(DataByte(kept.sound->bankLsb)),
                                 static_cast<int>(DataByte(kept.sound->program))};
    for (std::uint8_t& value : kept.controllers)
        value = static_cast<std::uint8_t>(DataByte(value));
    kept.bendRange = std::clamp(kept.bendRange, 0, kMaxBendRange);
}

int ChannelSound::Bend(int channel) const {
    return channels_[ChannelIndex(channel)].bend;
}

bool ChannelSound::PedalDown(int channel, Pedal pedal) const {
    return channels_[ChannelIndex(channel)].pedals[static_cast<std::size_t>(pedal)];
}

ShortMessages ChannelSound::Choose(int channel, SoundChoice sound) {
    ChannelSettings settings = Settings(channel);
    settings.sound = sound;
    SetSettings(channel, settings);
    const SoundChoice& kept = *Settings(channel).sound;
    return {ControlChange(channel, 0, kept.bankMsb), ControlChange(channel, 32, kept.bankLsb),
            PackShortMessage(kProgramChange | ChannelIndex(channel),
                             static_cast<unsigned>(kept.program))};
}

ShortMessages ChannelSound::Set(int channel, Controller controller, int value) {
    std::uint8_t& kept =
        channels_[ChannelIndex(channel)].settings.controllers[static_cast<std::size_t>(controller)];
    const auto wanted = static_cast<std::uint8_t>(DataByte(value));
    if (kept == wanted)
        return {};
    kept = wanted;
    return {ControlChange(channel, kControllerNumbers[static_cast<std::size_t>(controller)], kept)};
}

ShortMessages ChannelSound::SetBendRange(int channel, int semitones) {
    int& kept = channels_[ChannelIndex(channel)].settings.bendRange;
    const int wanted = std::clamp(semitones, 0, kMaxBendRange);
    if (kept == wanted)
        return {};
    kept = wanted;
    ShortMessages out;
    AppendBendRange(out, channel, kept);
    return out;
}

ShortMessages ChannelSound::SetBend(int channel, int value) {
    int& kept = channels_[ChannelIndex(channel)].bend;
    const int wanted = std::clamp(value, 0, 16383);
    if (kept == wanted)
        return {};
    kept = wanted;
    ShortMessages out;
    AppendBend(out, channel, kept);
    return out;
}

ShortMessages ChannelSound::SetPedal(int channel, Pedal pedal, bool down) {
    bool& kept = channels_[ChannelIndex(channel)].pedals[static_cast<std::size_t>(pedal)];
    if (kept == down)
        return {};
    kept = down;
    return {ControlChange(channel, kPedalNumbers[static_cast<std::size_t>(pedal)], down ? 127 : 0)};
}

void ChannelSound::AppendChannel(ShortMessages& out, int channel, const Channel& state) {
    const ChannelSettings& settings = state.settings;
    if (settings.sound) {
        out.push_back(ControlChange(channel, 0, settings.sound->bankMsb));
        out.push_back(ControlChange(channel, 32, settings.sound->bankLsb));
        out.push_back(PackShortMessage(kProgramChange | ChannelIndex(channel),
                                       static_cast<unsigned>(settings.sound->program)));
    }
    for (std::size_t i = 0; i < kControllerCount; ++i)
        out.push_back(ControlChange(channel, kControllerNumbers[i], settings.controllers[i]));
    AppendBendRange(out, channel, settings.bendRange);
    AppendBend(out, channel, state.bend);
    for (std::size_t i = 0; i < state.pedals.size(); ++i)
        if (state.pedals[i])
            out.push_back(ControlChange(channel, kPedalNumbers[i], 127));
}

ShortMessages ChannelSound::Restore() const {
    ShortMessages out;
    for (int channel = 0; channel < 16; ++channel) {
        const Channel& state = channels_[static_cast<std::size_t>(channel)];
        const bool held =
            state.bend != kBendCentre ||
            std::find(state.pedals.begin(), state.pedals.end(), true) != state.pedals.end();
        if (!state.settings.Untouched() || held)
            AppendChannel(out, channel, state);
    }
    return out;
}
