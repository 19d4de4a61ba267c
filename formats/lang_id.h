#pragma once

// Language identifiers. They keep the 16-bit form of the Windows
// language identifiers the window's language choice was designed around: the low 10 bits name
// the language (7 German, 9 English), the high 6 bits its region (0x0407 German as spoken in
// Germany, 0x0C07 in Austria).

#include <cstdint>

using LANGID = std::uint16_t;

// Languages the window tells apart; every other primary language is handled like English.
inline constexpr LANGID LANG_GERMAN = 0x07;
inline constexpr LANGID LANG_ENGLISH = 0x09;
// The identifier's language part, without its region.
inline constexpr LANGID PrimaryLangId(LANGID id) {
    return static_cast<LANGID>(id & 0x3FF);
}
