#include "app/uStuff.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
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
    std::size_t begin = 0;
    std::size_t end = Text.size();
    while (begin < end && IsBlankOrControl(Text[begin]))
        ++begin;
    while (end > begin && IsBlankOrControl(Text[end - 1]))
        --end;
    return std::string(Text.substr(begin, end - begin));
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
