#pragma once

// Splits a raw MIDI byte stream, as it would travel on a cable, into complete messages for
// services that take one message per event: running status is expanded, a SysEx (F0 ... F7)
// stays whole, and real-time bytes (F8 to FF) become messages of their own, also inside a SysEx,
// where they come before the SysEx they interrupt.

#include <cstddef>
#include <cstdint>
#include <vector>

using MidiMessage = std::vector<std::uint8_t>;

// Why some bytes belong to no complete message; the first such reason in the stream.
enum class MidiStreamProblem {
    None,
    DataWithoutStatus, // data bytes with no status byte before them
    CutShort,          // a short message with fewer data bytes than its status needs
    SysExWithoutEnd,   // F0 ... never closed by F7
    UndefinedStatus,   // F4, F5, F9, FD and a lone F7
};

struct MidiStreamSplit {
    std::vector<MidiMessage> messages;
    // False when some bytes belong to no complete message. Those bytes are left out.
    bool complete = true;
    MidiStreamProblem problem = MidiStreamProblem::None;
};

MidiStreamSplit SplitMidiStream(const std::uint8_t* data, std::size_t size);

// Data bytes that follow a status byte of a short message; -1 for SysEx, its end, undefined
// status bytes and data bytes.
int MidiDataLength(std::uint8_t status);
