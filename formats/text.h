#pragma once

// Small rules over 8-bit text that several parsers share.

#include <string_view>

// Spaces and tabs: what the settings file and device names are padded with.
constexpr bool IsSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

// Every kind of white space but the line feed, which ends a line.
constexpr bool IsWhiteSpaceInLine(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The blank and every control character.
constexpr bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// Text without the characters at either end for which isBlank is true.
template <typename IsBlank>
constexpr std::string_view Trimmed(std::string_view text, IsBlank isBlank) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Text without the characters at its end for which isBlank is true.
template <typename IsBlank>
constexpr std::string_view TrimmedRight(std::string_view text, IsBlank isBlank) {
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// 0 to 15, or -1 for a character that is no hexadecimal digit.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
