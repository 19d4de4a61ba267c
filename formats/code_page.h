#pragma once

// The program's 8-bit text is in the Windows-1252 code page, as it was on the desktop the
// program was designed for. These convert it to and from UTF-16, the text of version blocks and
// of Qt. Plain functions, no Qt, so they are fuzzed with the parsers that use them.

#include <string>
#include <string_view>

// Every byte has a character: the five bytes 1252 leaves undefined map to the control
// characters of the same number, as Windows maps them.
std::u16string Windows1252ToUtf16(std::string_view text);

// Characters without a byte in 1252 become '?', a surrogate pair as a whole one '?'.
std::string Utf16ToWindows1252(std::u16string_view text);
