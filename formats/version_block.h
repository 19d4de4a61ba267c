#pragma once

// The Windows version block (VS_VERSIONINFO), which klavio carries in its executable. It is a
// tree of nodes; each node starts with its length, the length of its value, the value's type
// (0 binary, 1 text) and a zero-terminated UTF-16 key, followed by the value and the child nodes,
// every part 32-bit aligned from the start of the block, all numbers little-endian. The root
// "VS_VERSION_INFO" holds the fixed file information; its children "StringFileInfo" (string
// tables keyed by language and code page, e.g. 040904E4) and "VarFileInfo" (the "Translation"
// array of language and code page pairs).
//
// The block is read back from a file on disk, so the reading side takes any bytes: every length
// and offset is checked, and a block that does not add up answers no query.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The section of klavio's ELF executable that holds its version block.
inline constexpr char kVersionSectionName[] = ".klavio_version";

inline constexpr std::uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;
inline constexpr std::uint32_t VS_FFI_STRUCVERSION = 0x00010000;
inline constexpr std::uint32_t VS_FFI_FILEFLAGSMASK = 0x3F;
inline constexpr std::uint32_t VFT_APP = 1;

struct VS_FIXEDFILEINFO {
    std::uint32_t dwSignature = VS_FFI_SIGNATURE;
    std::uint32_t dwStrucVersion = VS_FFI_STRUCVERSION;
    std::uint32_t dwFileVersionMS = 0;
    std::uint32_t dwFileVersionLS = 0;
    std::uint32_t dwProductVersionMS = 0;
    std::uint32_t dwProductVersionLS = 0;
    std::uint32_t dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    std::uint32_t dwFileFlags = 0;
    std::uint32_t dwFileOS = 0; // VOS_UNKNOWN: the program is not a Windows one
    std::uint32_t dwFileType = VFT_APP;
    std::uint32_t dwFileSubtype = 0;
    std::uint32_t dwFileDateMS = 0;
    std::uint32_t dwFileDateLS = 0;
};

// The record's size in a block: thirteen 32-bit words.
inline constexpr std::size_t kFixedFileInfoSize = 52;

// The record from its bytes in a block; nothing when there are too few bytes or the signature
// is not the record's.
std::optional<VS_FIXEDFILEINFO> DecodeFixedFileInfo(std::span<const std::uint8_t> bytes);

// What a block is built from.
struct VersionStringTable {
    std::string key; // language and code page as eight hexadecimal digits, e.g. 040904E4
    std::vector<std::pair<std::string, std::u16string>> values; // name, text
};

struct VersionResource {
    // Left out of the block when not set.
    std::optional<VS_FIXEDFILEINFO> fixedInfo;
    // Left out of the block when there are none.
    std::vector<VersionStringTable> stringTables;
    // The words of the "Translation" value, language and code page in turn. VarFileInfo is
    // left out when there are none; an odd count makes a value that ends in half an entry.
    std::vector<std::uint16_t> translation;
};

// The block, 32-bit aligned throughout. Throws std::length_error when it would be longer than
// a node's 16-bit length can say.
std::vector<std::uint8_t> BuildVersionBlock(const VersionResource& resource);

// The length the root node gives, when `data` starts with a well-formed "VS_VERSION_INFO" root
// that fits inside it; 0 otherwise. Bytes after that length belong to no block.
std::size_t VersionBlockLength(std::span<const std::uint8_t> data);

// Looks up a path of keys separated by backslashes ("\" is the root, "\VarFileInfo\Translation",
// "\StringFileInfo\040904E4\ProductName"), keys compared without regard to ASCII case, as
// VerQueryValue does. A binary value comes back as its bytes; a text value as 8-bit text in
// Windows-1252 up to its first zero. Nothing when the path leads nowhere or a node on the way
// is malformed.
std::optional<std::string> QueryVersionBlock(std::span<const std::uint8_t> block,
                                             std::string_view subBlock);
