#pragma once

// The window's captions and list texts in German and in English, as UTF-8. Plain data: the
// window puts them on its controls (TklavioForm::RefreshLanguage).

#include <string>
#include <string_view>

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
};

// German texts for German, English texts for every other language.
const WindowTexts& WindowTextsIn(bool german);

// A channel list item: the prefix, then the channel number 1 to 16 in decimal.
std::string ChannelItemText(const WindowTexts& texts, int channel);
