// Build tool: writes klavio's version information as a C++ source that places the Windows
// version block in the executable's section kVersionSectionName.
//
//   make_version_resource OUTPUT.cpp FILE-VERSION NAME=VALUE...
//
// FILE-VERSION is four numbers 0 to 65535 joined by dots (1.0.1.2); each NAME=VALUE, in the
// order given, is a string of the one string table, language US English in code page 1252.
// Values are UTF-8.

#include "formats/version_block.h"

#include <charconv>
#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint16_t kLanguage = 0x0409; // US English
constexpr std::uint16_t kCodePage = 1252;
constexpr const char* kTableKey = "040904E4";

[[noreturn]] void NotUtf8(std::string_view text) {
    throw std::runtime_error("not UTF-8: " + std::string(text));
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string result;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t more = 0;
        char32_t code = lead;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            code = lead & 0x07;
        } else if (lead >= 0x80) {
            NotUtf8(text);
        }
        if (text.size() - i <= more)
            NotUtf8(text);
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                NotUtf8(text);
            code = code << 6 | (next & 0x3F);
        }
        i += more + 1;
        constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            NotUtf8(text);
        if (code >= 0x10000) {
            code -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            result.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code));
        }
    }
    return result;
}

// "1.0.1.2" as the two 32-bit halves of the fixed file information.
std::pair<std::uint32_t, std::uint32_t> ParseVersion(std::string_view text) {
    std::uint32_t parts[4] = {};
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        const auto [next, error] = std::from_chars(at, end, parts[i]);
        if (error != std::errc() || parts[i] > 0xFFFF ||
            (i < 3 ? next == end || *next != '.' : next != end))
            throw std::runtime_error("not a version a.b.c.d: " + std::string(text));
        at = next + 1;
    }
    return {parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
}

void WriteSource(const std::string& path, const std::vector<std::uint8_t>& block) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "// Written by make_version_resource at build time.\n"
           "// klavio's version information, read back from its own file at start.\n"
           "namespace {\n"
           "// Kept although nothing refers to it, even by a linker that drops unused sections.\n"
           "[[gnu::used, gnu::retain, gnu::section(\""
        << kVersionSectionName << "\")]] const unsigned char kVersionBlock[" << block.size()
        << "] = {";
    for (std::size_t i = 0; i < block.size(); ++i)
        out << (i % 16 == 0 ? "\n    " : " ") << static_cast<unsigned>(block[i]) << ',';
    out << "\n};\n} // namespace\n";
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 3)
            throw std::runtime_error("usage: make_version_resource OUTPUT.cpp FILE-VERSION "
                                     "NAME=VALUE...");
        const auto [high, low] = ParseVersion(argv[2]);
        VS_FIXEDFILEINFO fixed;
        fixed.dwFileVersionMS = fixed.dwProductVersionMS = high;
        fixed.dwFileVersionLS = fixed.dwProductVersionLS = low;
        VersionStringTable table{kTableKey, {}};
        for (int i = 3; i < argc; ++i) {
            const std::string_view argument = argv[i];
            const std::size_t equals = argument.find('=');
            if (equals == 0 || equals == std::string_view::npos)
                throw std::runtime_error("not NAME=VALUE: " + std::string(argument));
            table.values.emplace_back(std::string(argument.substr(0, equals)),
                                      Utf8ToUtf16(argument.substr(equals + 1)));
        }
        WriteSource(argv[1], BuildVersionBlock({fixed, {table}, {kLanguage, kCodePage}}));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_version_resource: %s\n", error.what());
        return 1;
    }
}
