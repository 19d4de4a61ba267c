#pragma once

#include <string>
#include <string_view>

// Percent-encodes 8-bit text byte by byte for a link's query: letters, digits, '-', '.' and
// '_' stay, every other byte becomes '%' and two upper-case hexadecimal digits (a blank %20,
// never '+'). A letter outside ASCII is encoded as its one Windows-1252 byte: u-umlaut is %FC.
std::string URLEncode(std::string_view Text);
