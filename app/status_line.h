#pragma once

// The line beside the window's page tabs that says what is wrong, in German or English: a free
// command that was not sent and why, a chosen device that is not there, no MIDI system at all.
// Empty while all is well. Plain data in, UTF-8 out.

#include "app/device_choice.h"
#include "formats/midi_stream.h"
#include "platform/midi_service.h"

#include <string>

// Why the last free command did not go out; None once one did.
enum class WhyNotSent {
    None,
    OddDigits,
    DataWithoutStatus,
    CutShort,
    SysExWithoutEnd,
    UndefinedStatus,
    NoOutput,
    TooLong,
    NotReady,
    DeviceGone,
    NoSystem,
    Refused,
};

WhyNotSent WhyNotSentFor(MidiStreamProblem problem);
// What the output's answer to a long message means to the user.
WhyNotSent WhyNotSentFor(MMRESULT sendResult);

struct StatusFacts {
    WhyNotSent command = WhyNotSent::None;
    // The command is too long for the saved history.
    bool commandNotKept = false;
    DeviceState output = DeviceState::None;
    std::string outputName;
    DeviceState input = DeviceState::None;
    std::string inputName;
    bool systemRunning = true;
};

// The most pressing matter: the command just sent (not sent, not kept in the history, or both),
// then the output, then the input, then a missing MIDI system.
std::string StatusText(const StatusFacts& facts, bool german);
// The words for a device that is chosen but cannot be reached; empty for any other state.
std::string DeviceProblemText(DeviceState state, const std::string& name, bool output, bool german);
