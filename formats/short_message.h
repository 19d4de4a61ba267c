#pragma once

// Short MIDI messages as the MIDI service passes them around: packed into one 32-bit word
// (status in bits 0-7, first data byte in bits 8-15, second in bits 16-23), and the notes a
// stream of them leaves sounding. Shared by every MIDI backend.

#include "formats/midi_stream.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t PackShortMessage(unsigned status, unsigned first = 0, unsigned second = 0) {
    return status | first << 8 | second << 16;
}

// The bytes of a packed short message as they go on the wire.
struct ShortMessage {
    std::array<std::uint8_t, 3> bytes{};
    // Status byte and data bytes; 0 when the status byte starts no short message.
    std::size_t size = 0;
    // False when a data byte has its top bit set: on a cable it would read as a status byte.
    bool dataValid = false;
};

inline ShortMessage UnpackShortMessage(std::uint32_t packed) {
    ShortMessage message;
    message.bytes = {static_cast<std::uint8_t>(packed), static_cast<std::uint8_t>(packed >> 8),
                     static_cast<std::uint8_t>(packed >> 16)};
    const int dataLength = MidiDataLength(message.bytes[0]);
    if (dataLength < 0)
        return message;
    message.size = static_cast<std::size_t>(dataLength) + 1;
    message.dataValid = true;
    for (std::size_t i = 1; i < message.size; ++i)
        message.dataValid = message.dataValid && message.bytes[i] < 0x80;
    return message;
}

// Calls deliver with every complete short message in bytes, packed. Peers may send anything:
// SysEx, cut or undefined messages are skipped, and running status is honoured. Allocates
// nothing, so a real-time thread may call it.
template <typename Deliver>
void ForEachShortMessage(const std::uint8_t* bytes, std::size_t size, Deliver&& deliver) {
    std::uint8_t status = 0; // 0: no message in progress, as after SysEx or garbage
    int wanted = 0;
    int have = 0;
    std::uint32_t data = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= 0xF8) {
            if (MidiDataLength(byte) == 0)
                deliver(std::uint32_t{byte});
            continue;
        }
        if (byte >= 0x80) {
            const int length = MidiDataLength(byte);
            have = 0;
            data = 0;
            status = length > 0 ? byte : 0;
            wanted = length;
            if (length == 0)
                deliver(std::uint32_t{byte});
            continue;
        }
        if (status == 0)
            continue;
        data |= std::uint32_t{byte} << (8 * (1 + have));
        if (++have == wanted) {
            deliver(status | data);
            have = 0;
            data = 0;
            // Only channel messages may repeat without their status byte.
            if (status >= 0xF0)
                status = 0;
        }
    }
}

// Note-ons minus note-offs, per channel and note, so that a reset can silence what still
// sounds. A note-on with velocity 0 is a note-off.
class SoundingNotes {
public:
    // Takes note of one complete message (status first); anything but a note is ignored.
    void Track(const std::uint8_t* bytes, std::size_t size);

    // Channel and note pairs that sound.
    std::size_t Count() const;

    // Calls silence(noteOff) with the three bytes of a note-off for every sounding note, lowest
    // channel and note first; a note is forgotten when silence returns true.
    template <typename Silence> void SilenceEach(Silence&& silence) {
        for (std::size_t index = 0; index < counts_.size(); ++index) {
            if (counts_[index] == 0)
                continue;
            const std::array<std::uint8_t, 3> noteOff = {
                static_cast<std::uint8_t>(0x80 | index / 128),
                static_cast<std::uint8_t>(index % 128), 0};
            if (silence(noteOff))
                counts_[index] = 0;
        }
    }

    void Clear() { counts_.fill(0); }

    bool Sounds(unsigned channel, unsigned note) const {
        return counts_[(channel & 0x0Fu) * 128u + (note & 0x7Fu)] > 0;
    }

private:
    std::array<std::uint8_t, 16 * 128> counts_{};
};

// The notes that ended lately, each with the cycle (any counter that only grows) of its latest
// note-off, so that the note-offs of a cycle the server lost can be sent again. A note struck
// again since is left alone. One entry for every channel and note, so that no burst of notes (a
// fast glissando, a reset) pushes out one that was lost. Fixed size and allocation-free: a
// real-time thread owns one.
class RecentlyEndedNotes {
public:
    // Takes note of one complete message sent in cycle; anything but a note is ignored. True
    // when the message ended a note.
    bool Track(const std::uint8_t* bytes, std::size_t size, std::uint64_t cycle);

    // Calls repeat(noteOff) with the three bytes of a note-off for every note whose latest
    // note-off went out in a cycle from first to last and that does not sound now, by channel
    // and note.
    template <typename Repeat>
    void RepeatEndedBetween(std::uint64_t first, std::uint64_t last, Repeat&& repeat) const {
        for (std::size_t key = 0; key < endedAfter_.size(); ++key) {
            const auto channel = static_cast<std::uint8_t>(key / 128);
            const auto note = static_cast<std::uint8_t>(key % 128);
            if (endedAfter_[key] < first + 1 || endedAfter_[key] > last + 1 ||
                sounding_.Sounds(channel, note))
                continue;
            repeat(std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(0x80 | channel), note, 0});
        }
    }

private:
    SoundingNotes sounding_;
    // The cycle of each note's latest note-off, plus one; 0 for a note that never ended.
    std::array<std::uint64_t, 16 * 128> endedAfter_{};
};
