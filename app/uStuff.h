#pragma once

// Text helpers of the window: the hexadecimal command text. Plain functions over 8-bit text,
// no widgets, so they are tested and fuzzed on their own. And the language the window's
// captions are in.

#include "platform/user_language.h"

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t MaxCommandHistory = 20;

// True if every character is a hexadecimal digit or, when AllowSpaces is set, a blank
// (code 32 only). True for the empty text.
bool IsHexText(std::string_view Text, bool AllowSpaces);

// The hexadecimal digits of Text in their order, letter case kept.
std::string ExtractHexDigits(std::string_view Text);

// Reads the digits in pairs, the first of each pair the high nibble; a final unpaired digit
// is left out. Non-digits count as zero, so callers pass ExtractHexDigits' result.
std::string HexDigitsToBytes(std::string_view Digits);

// Text without leading and trailing blanks and control characters.
std::string TrimBlanks(std::string_view Text);

// The user's language as last read. Set by InitLanguage before the window exists and
// afterwards only by UserLanguageChanged.
extern LANGID CurrentLangID;

// Remembers the user's language at program start.
void InitLanguage(UserLanguage& source);

// True when CurrentLangID is German, whatever its region. Does not ask the system.
bool IsGermanLanguage();

// Reads the user's language from source and remembers it. True when it differs from the one
// remembered before, a change of region alone included.
bool UserLanguageChanged(UserLanguage& source);
