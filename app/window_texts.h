#pragma once

// The window's captions and list texts in German and in English, as UTF-8. Plain data: the
// window puts them on its controls (TklavioForm::RefreshLanguage).

#include <string>
#include <string_view>

// What assistive technology reads out for a control.
struct AccessibleText {
    std::string_view name;
    std::string_view description;
};

struct WindowTexts {
    std::string_view keyboardTab;
    std::string_view aboutTab;
    std::string_view midiInBox;
    std::string_view midiInDeviceLabel;
    std::string_view noDevice;
    std::string_view allChannels;
    std::string_view channelPrefix;
    std::string_view midiOutBox;
    std::string_view midiOutDeviceLabel;
    // Follows the name of the program's own output port in the output list.
    std::string_view ownPortSuffix;
    std::string_view transposeBox;
    std::string_view lower;
    std::string_view higher;
    std::string_view stateBox;
    std::string_view baseKeyLabel;
    std::string_view lastKeyLabel;
    std::string_view freeCommandBox;
    std::string_view send;
    std::string_view usageTerms1;
    std::string_view usageTerms2;
    std::string_view donationInvitation;
    // The keys that play, for the About page.
    std::string_view playingKeys;

    AccessibleText pages;
    AccessibleText midiInDeviceList;
    AccessibleText midiInChannelList;
    AccessibleText midiOutDeviceList;
    AccessibleText midiOutChannelList;
    AccessibleText baseKey;
    AccessibleText lastKey;
    AccessibleText lowerButton;
    AccessibleText higherButton;
    AccessibleText commandLine;
    AccessibleText sendButton;
    AccessibleText productLink;
    AccessibleText copyrightLink;
    AccessibleText donationButton;
    // The keyboard's name, and its description with %1 and %2 for the lowest and the highest
    // note shown and %3 for the note the bottom row starts at.
    AccessibleText keyboard;
};

// German texts for German, English texts for every other language.
const WindowTexts& WindowTextsIn(bool german);

// The keyboard's description with its range and the note its rows start at filled in.
std::string KeyboardDescription(const WindowTexts& texts, std::string_view lowest,
                                std::string_view highest, std::string_view rowsStart);

// A channel list item: the prefix, then the channel number 1 to 16 in decimal.
std::string ChannelItemText(const WindowTexts& texts, int channel);
