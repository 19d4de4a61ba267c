#pragma once

// Finds a named section in an ELF file (32 or 64 bits, either byte order) by reading its
// headers. The file is read through a callback, so the headers are all that is read, and the
// file is untrusted: every offset, size and count is checked before it is used.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

// Fills `into` with the bytes at `offset`; false when the file has fewer.
using ReadFileAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> into)>;

struct ElfSection {
    std::uint64_t offset = 0; // in the file
    std::uint64_t size = 0;
};

// The first section of that name that has bytes in the file. Nothing for a file that is not
// ELF, has no such section, or whose headers do not add up.
std::optional<ElfSection> FindElfSection(const ReadFileAt& read, std::string_view name);
