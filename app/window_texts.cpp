#include "app/window_texts.h"

namespace {

// The blanks around the group boxes' captions keep the frame line off the text.
constexpr WindowTexts kGerman = {
    .keyboardTab = "Keyboard",
    .aboutTab = "Über",
    .midiInBox = " MIDI-Eingang ",
    .midiInDeviceLabel = "Gerät:",
    .noDevice = "< Kein Gerät ausgewählt >",
    .allChannels = "Alle Kanäle",
    .channelPrefix = "Kanal ",
    .midiOutBox = " MIDI-Ausgang ",
    .midiOutDeviceLabel = "Gerät:",
    .transposeBox = " Transponieren / Verschieben ",
    .lower = "tiefer",
    .higher = "höher",
    .stateBox = " Status ",
    .baseKeyLabel = "Basis-Note:",
    .lastKeyLabel = "letzte Note:",
    .freeCommandBox = " Freies MIDI-Kommando ",
    .send = "senden",
    .usageTerms1 = "klavio ist frei für private und kommerzielle Nutzung.",
    .usageTerms2 = "Es kommt ohne jede Gewährleistung: die Nutzung erfolgt auf eigene Gefahr.",
    .donationInvitation = "Wenn Ihnen klavio nützt, hilft eine kleine Spende, es weiter zu "
                          "pflegen. Vielen Dank!",
};

constexpr WindowTexts kEnglish = {
    .keyboardTab = "Keyboard",
    .aboutTab = "About",
    .midiInBox = " MIDI-Input ",
    .midiInDeviceLabel = "Device:",
    .noDevice = "< No device selected >",
    .allChannels = "All channels",
    .channelPrefix = "Channel ",
    .midiOutBox = " MIDI-Output ",
    .midiOutDeviceLabel = "Device:",
    .transposeBox = " Transpose / Shift ",
    .lower = "lower",
    .higher = "higher",
    .stateBox = " State ",
    .baseKeyLabel = "Base-Key:",
    .lastKeyLabel = "Last Key:",
    .freeCommandBox = " Free MIDI-Command ",
    .send = "send",
    .usageTerms1 = "klavio is free for private and commercial use.",
    .usageTerms2 = "It comes without any warranty: you use it at your own risk.",
    .donationInvitation =
        "If klavio is useful to you, a small donation helps to keep it going. Thank you!",
};

} // namespace

const WindowTexts& WindowTextsIn(bool german) {
    return german ? kGerman : kEnglish;
}

std::string ChannelItemText(const WindowTexts& texts, int channel) {
    return std::string(texts.channelPrefix) + std::to_string(channel);
}
