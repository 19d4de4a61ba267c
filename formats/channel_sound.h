#pragma once

// What the Sound page sets on the 16 channels of the output device (the instrument, six
// controllers, the bend range, and the bend and pedals while they are held), and the messages
// that bring a device there. A value that did not change sends nothing; a device opened later
// is brought to the same state by the messages of Restore.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// Short messages, packed as the MIDI service takes them: status in bits 0-7, first data byte in
// bits 8-15, second in bits 16-23.
using ShortMessages = std::vector<std::uint32_t>;

enum class Controller : std::uint8_t { Volume, Pan, Expression, Reverb, Chorus, Modulation };
inline constexpr std::size_t kControllerCount = 6;
inline constexpr std::array<std::uint8_t, kControllerCount> kControllerNumbers = {7,  10, 11,
                                                                                  91, 93, 1};
// What a General MIDI device starts with (reverb: the level most synthesizers take).
inline constexpr std::array<std::uint8_t, kControllerCount> kControllerDefaults = {100, 64, 127,
                                                                                   40,  0,  0};

enum class Pedal : std::uint8_t { Sustain, Sostenuto, Soft };
inline constexpr std::array<std::uint8_t, 3> kPedalNumbers = {64, 66, 67};

struct SoundChoice {
    int bankMsb = 0; // 0-127 each
    int bankLsb = 0;
    int program = 0;
    bool operator==(const SoundChoice&) const = default;
};

inline constexpr int kDefaultBendRange = 2; // semitones, as every General MIDI device starts
inline constexpr int kMaxBendRange = 24;
inline constexpr int kBendCentre = 8192;

// What is kept of one channel from run to run.
struct ChannelSettings {
    std::optional<SoundChoice> sound; // none chosen: the device keeps its own
    std::array<std::uint8_t, kControllerCount> controllers = kControllerDefaults;
    int bendRange = kDefaultBendRange;
    // Nothing differs from what a device starts with.
    bool Untouched() const {
        return !sound && controllers == kControllerDefaults && bendRange == kDefaultBendRange;
    }
    bool operator==(const ChannelSettings&) const = default;
};

class ChannelSound {
public:
    // Channels count from 0 here. Values out of range are clamped to it.
    const ChannelSettings& Settings(int channel) const;
    void SetSettings(int channel, const ChannelSettings& settings);
    int Bend(int channel) const;
    bool PedalDown(int channel, Pedal pedal) const;

    // Bank select (controller 0, then 32), then the program change: always, so that choosing
    // the same sound again brings back a device that was changed behind our back.
    ShortMessages Choose(int channel, SoundChoice sound);
    ShortMessages Set(int channel, Controller controller, int value);
    // Registered parameter 0, closed again so that a later data entry changes nothing.
    ShortMessages SetBendRange(int channel, int semitones);
    // 0 to 16383, 8192 the centre.
    ShortMessages SetBend(int channel, int value);
    ShortMessages SetPedal(int channel, Pedal pedal, bool down);

    // Everything set on the channels the user changed, with bend and pedals where they are now,
    // so that a device opened now plays what the page shows. Channels left as a device starts
    // send nothing: a device that was never changed here hears nobody but the player.
    ShortMessages Restore() const;

private:
    struct Channel {
        ChannelSettings settings;
        int bend = kBendCentre;
        std::array<bool, 3> pedals{};
    };
    static void AppendChannel(ShortMessages& out, int channel, const Channel& state);

    std::array<Channel, 16> channels_{};
};
