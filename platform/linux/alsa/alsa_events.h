#pragma once

// Between short MIDI messages and ALSA sequencer events, both ways. Plain functions over
// alsa-lib's event structure: no sequencer is needed to run them.

#include <alsa/asoundlib.h>

#include <array>
#include <cstddef>
#include <cstdint>

// The event for one complete short message (status first, then its data bytes); false for
// bytes that are not one. Data bytes keep their low 7 bits.
bool EncodeShortMessage(const std::uint8_t* bytes, std::size_t size, snd_seq_event_t& event);

// The short messages one incoming event stands for, at most four. Events from peers are taken
// at their word only where it fits a MIDI message: anything out of range is dropped.
int DecodeEvent(const snd_seq_event_t& event, std::array<std::uint32_t, 4>& messages);
