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
    .ownPortSuffix = " (für andere Programme)",
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
    .playingKeys = "Tasten: Y S X D C V G B H N J M , und Q 2 W 3 E R 5 T 6 Z 7 U I O P\n"
                   "Leertaste: Haltepedal · Esc: alles aus · Bild auf/ab: Oktave",
    .pages = {"Seiten", "Keyboard und Über"},
    .midiInDeviceList = {"MIDI-Eingang", "Gerät, dessen Noten auf den Tasten erscheinen"},
    .midiInChannelList = {"Kanal des MIDI-Eingangs", "Kanal, dessen Noten gezeigt werden"},
    .midiOutDeviceList = {"MIDI-Ausgang", "Gerät, an das gespielte Noten gehen"},
    .midiOutChannelList = {"Kanal des MIDI-Ausgangs", "Kanal, auf dem gespielte Noten gehen"},
    .baseKey = {"Basis-Note", "Die tiefste gezeigte Taste"},
    .lastKey = {"Letzte Note", "Die zuletzt gespielte Note"},
    .lowerButton = {"tiefer", "Verschiebt die Tasten um eine weiße Taste nach unten"},
    .higherButton = {"höher", "Verschiebt die Tasten um eine weiße Taste nach oben"},
    .commandLine = {"Freies MIDI-Kommando", "Bytes in Hexadezimalziffern, zum Senden"},
    .sendButton = {"senden", "Sendet das freie MIDI-Kommando"},
    .productLink = {"Webseite", "Öffnet die Webseite von klavio"},
    .copyrightLink = {"E-Mail", "Schreibt eine E-Mail an die Autoren"},
    .donationButton = {"Spenden", "Öffnet die Spendenseite"},
    .keyboard = {"Klaviatur",
                 "Tasten %1 bis %2. Mit der Maus oder der Computertastatur spielen: die untere "
                 "Buchstabenreihe (Y bis M, Komma) ab %3, die obere (Q bis P, Ziffern für die "
                 "schwarzen Tasten) eine Oktave höher; Leertaste hält das Pedal, Esc schaltet "
                 "alles aus, Bild auf und Bild ab verschieben um eine Oktave."},
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
    .ownPortSuffix = " (for other programs)",
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
    .playingKeys = "Keys: Z S X D C V G B H N J M , and Q 2 W 3 E R 5 T 6 Y 7 U I O P\n"
                   "Space: sustain · Esc: all off · Page Up/Down: octave",
    .pages = {"Pages", "Keyboard and About"},
    .midiInDeviceList = {"MIDI input", "Device whose notes show on the keys"},
    .midiInChannelList = {"MIDI input channel", "Channel whose notes are shown"},
    .midiOutDeviceList = {"MIDI output", "Device the played notes go to"},
    .midiOutChannelList = {"MIDI output channel", "Channel the played notes go out on"},
    .baseKey = {"Base key", "The lowest key shown"},
    .lastKey = {"Last key", "The note played last"},
    .lowerButton = {"lower", "Moves the keys down by one white key"},
    .higherButton = {"higher", "Moves the keys up by one white key"},
    .commandLine = {"Free MIDI command", "Bytes in hexadecimal digits, to send"},
    .sendButton = {"send", "Sends the free MIDI command"},
    .productLink = {"Website", "Opens klavio's website"},
    .copyrightLink = {"E-mail", "Writes an e-mail to the authors"},
    .donationButton = {"Donate", "Opens the donation page"},
    .keyboard = {"Piano keyboard",
                 "Keys %1 to %2. Play with the mouse or the computer keyboard: the bottom letter "
                 "row (Z to M, comma) from %3, the top row (Q to P, digits for the black keys) an "
                 "octave higher; Space holds the pedal, Escape silences everything, Page Up and "
                 "Page Down shift by an octave."},
};

} // namespace

const WindowTexts& WindowTextsIn(bool german) {
    return german ? kGerman : kEnglish;
}

std::string KeyboardDescription(const WindowTexts& texts, std::string_view lowest,
                                std::string_view highest, std::string_view rowsStart) {
    const std::string_view values[] = {lowest, highest, rowsStart};
    const std::string_view pattern = texts.keyboard.description;
    std::string result;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (pattern[i] == '%' && next >= '1' && next <= '3') {
            result += values[next - '1'];
            ++i;
        } else {
            result += pattern[i];
        }
    }
    return result;
}

std::string ChannelItemText(const WindowTexts& texts, int channel) {
    return std::string(texts.channelPrefix) + std::to_string(channel);
}
