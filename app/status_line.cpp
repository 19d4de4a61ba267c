#include "app/status_line.h"

#include "formats/reg_file.h"

#include <string_view>

namespace {

struct StatusWords {
    std::string_view noSystem;
    std::string_view outputAbsent; // %1: the device
    std::string_view inputAbsent;
    std::string_view notSent; // %1: why
    std::string_view oddDigits;
    std::string_view dataWithoutStatus;
    std::string_view cutShort;
    std::string_view sysExWithoutEnd;
    std::string_view undefinedStatus;
    std::string_view noOutput;
    std::string_view tooLong;
    std::string_view notReady;
    std::string_view deviceGone;
    std::string_view refused;
    std::string_view notKept;    // %1: the longest length kept
    std::string_view notKeptToo; // after notSent
};

constexpr StatusWords kGerman = {
    .noSystem = "Kein MIDI-System: weder ALSA-Sequencer noch JACK-Server",
    .outputAbsent = "MIDI-Ausgang „%1“ ist nicht verfügbar",
    .inputAbsent = "MIDI-Eingang „%1“ ist nicht verfügbar",
    .notSent = "Nicht gesendet: %1",
    .oddDigits = "ungerade Zahl von Hex-Ziffern",
    .dataWithoutStatus = "Datenbytes ohne Statusbyte",
    .cutShort = "einer Nachricht fehlen Datenbytes",
    .sysExWithoutEnd = "dem SysEx fehlt das F7 am Ende",
    .undefinedStatus = "undefiniertes Statusbyte",
    .noOutput = "kein MIDI-Ausgang geöffnet",
    .tooLong = "zu lang für den MIDI-Ausgang",
    .notReady = "der MIDI-Ausgang ist noch nicht bereit",
    .deviceGone = "der MIDI-Ausgang ist nicht verfügbar",
    .refused = "der MIDI-Ausgang hat es abgelehnt",
    .notKept = "Nicht im Verlauf gespeichert: länger als %1 Zeichen",
    .notKeptToo = "; auch nicht im Verlauf gespeichert: länger als %1 Zeichen",
};

constexpr StatusWords kEnglish = {
    .noSystem = "No MIDI system: neither the ALSA sequencer nor a JACK server",
    .outputAbsent = "MIDI output “%1” is not available",
    .inputAbsent = "MIDI input “%1” is not available",
    .notSent = "Not sent: %1",
    .oddDigits = "an odd number of hex digits",
    .dataWithoutStatus = "data bytes without a status byte",
    .cutShort = "a message is missing data bytes",
    .sysExWithoutEnd = "the SysEx has no F7 at its end",
    .undefinedStatus = "an undefined status byte",
    .noOutput = "no MIDI output is open",
    .tooLong = "too long for the MIDI output",
    .notReady = "the MIDI output is not ready yet",
    .deviceGone = "the MIDI output is not available",
    .refused = "the MIDI output refused it",
    .notKept = "Not kept in the history: longer than %1 characters",
    .notKeptToo = "; not kept in the history either: longer than %1 characters",
};

std::string Filled(std::string_view pattern, std::string_view value) {
    std::string text(pattern);
    if (const std::size_t at = text.find("%1"); at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

std::string_view Why(const StatusWords& words, WhyNotSent why) {
    switch (why) {
    case WhyNotSent::None:
        return {};
    case WhyNotSent::OddDigits:
        return words.oddDigits;
    case WhyNotSent::DataWithoutStatus:
        return words.dataWithoutStatus;
    case WhyNotSent::CutShort:
        return words.cutShort;
    case WhyNotSent::SysExWithoutEnd:
        return words.sysExWithoutEnd;
    case WhyNotSent::UndefinedStatus:
        return words.undefinedStatus;
    case WhyNotSent::NoOutput:
        return words.noOutput;
    case WhyNotSent::TooLong:
        return words.tooLong;
    case WhyNotSent::NotReady:
        return words.notReady;
    case WhyNotSent::DeviceGone:
        return words.deviceGone;
    case WhyNotSent::NoSystem:
        return words.noSystem;
    case WhyNotSent::Refused:
        return words.refused;
    }
    return {};
}

} // namespace

WhyNotSent WhyNotSentFor(MidiStreamProblem problem) {
    switch (problem) {
    case MidiStreamProblem::None:
        return WhyNotSent::None;
    case MidiStreamProblem::DataWithoutStatus:
        return WhyNotSent::DataWithoutStatus;
    case MidiStreamProblem::CutShort:
        return WhyNotSent::CutShort;
    case MidiStreamProblem::SysExWithoutEnd:
        return WhyNotSent::SysExWithoutEnd;
    case MidiStreamProblem::UndefinedStatus:
        return WhyNotSent::UndefinedStatus;
    }
    return WhyNotSent::UndefinedStatus;
}

WhyNotSent WhyNotSentFor(MMRESULT sendResult) {
    switch (sendResult) {
    case MMSYSERR_NOERROR:
        return WhyNotSent::None;
    case MMSYSERR_INVALHANDLE:
        return WhyNotSent::NoOutput;
    case MMSYSERR_INVALPARAM:
    case MMSYSERR_NOMEM:
        return WhyNotSent::TooLong;
    case MIDIERR_NOTREADY:
    case MIDIERR_STILLPLAYING:
        return WhyNotSent::NotReady;
    case MIDIERR_NODEVICE:
        return WhyNotSent::DeviceGone;
    case MMSYSERR_NODRIVER:
        return WhyNotSent::NoSystem;
    default:
        return WhyNotSent::Refused;
    }
}

std::string DeviceProblemText(DeviceState state, const std::string& name, bool output,
                              bool german) {
    const StatusWords& words = german ? kGerman : kEnglish;
    if (state == DeviceState::NoSystem)
        return std::string(words.noSystem);
    if (state != DeviceState::Unavailable)
        return {};
    return Filled(output ? words.outputAbsent : words.inputAbsent, name);
}

std::string StatusText(const StatusFacts& facts, bool german) {
    const StatusWords& words = german ? kGerman : kEnglish;
    const std::string longest = std::to_string(kMaxValueNameSize);
    if (facts.command != WhyNotSent::None)
        return Filled(words.notSent, Why(words, facts.command)) +
               (facts.commandNotKept ? Filled(words.notKeptToo, longest) : std::string());
    if (facts.commandNotKept)
        return Filled(words.notKept, longest);
    if (std::string text = DeviceProblemText(facts.output, facts.outputName, true, german);
        !text.empty())
        return text;
    if (std::string text = DeviceProblemText(facts.input, facts.inputName, false, german);
        !text.empty())
        return text;
    return facts.systemRunning ? std::string() : std::string(words.noSystem);
}
