#include "app/uStuff.h"

#include "formats/text.h"

#include <algorithm>

namespace {

bool IsHexDigit(char c) {
    return HexDigitValue(c) >= 0;
}

// Non-digits count as zero.
int HexValue(char c) {
    return std::max(HexDigitValue(c), 0);
}

} // namespace

bool IsHexText(std::string_view Text, bool AllowSpaces) {
    for (char c : Text)
        if (!IsHexDigit(c) && !(AllowSpaces && c == ' '))
            return false;
    return true;
}

std::string ExtractHexDigits(std::string_view Text) {
    std::string digits;
    digits.reserve(Text.size());
    for (char c : Text)
        if (IsHexDigit(c))
            digits.push_back(c);
    return digits;
}

std::string HexDigitsToBytes(std::string_view Digits) {
    std::string bytes;
    bytes.reserve(Digits.size() / 2);
    for (std::size_t p = 0; p + 1 < Digits.size(); p += 2)
        bytes.push_back(static_cast<char>(HexValue(Digits[p]) * 16 + HexValue(Digits[p + 1])));
    return bytes;
}

std::string TrimBlanks(std::string_view Text) {
    return std::string(Trimmed(Text, IsBlankOrControl));
}

// English (United States) until InitLanguage has asked: the captions of the window's layout.
LANGID CurrentLangID = 0x0409;

void InitLanguage(UserLanguage& source) {
    CurrentLangID = source.GetUserDefaultLangID();
}

bool IsGermanLanguage() {
    return PrimaryLangId(CurrentLangID) == LANG_GERMAN;
}

bool UserLanguageChanged(UserLanguage& source) {
    const LANGID previous = CurrentLangID;
    CurrentLangID = source.GetUserDefaultLangID();
    return CurrentLangID != previous;
}
