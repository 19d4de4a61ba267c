#pragma once

// The version information of files on disk: size, read, query. The operations keep the names
// of the classic version-information API the reader was designed against. A block is read
// whole into the caller's memory; queries then look into that memory, never at the file.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class VersionService {
public:
    virtual ~VersionService() = default;

    // The bytes needed for the file's version information; 0 when it has none or cannot be read.
    virtual std::uint32_t GetFileVersionInfoSizeA(const std::string& fileName) = 0;

    // Reads the file's version information into `data`, as much of it as fits. False when the
    // file has none or cannot be read.
    virtual bool GetFileVersionInfoA(const std::string& fileName, std::span<std::uint8_t> data) = 0;

    // The value at `subBlock` in a block read by GetFileVersionInfoA: "\" gives the fixed file
    // information, "\VarFileInfo\Translation" the translation array, and
    // "\StringFileInfo\<language and code page>\<name>" a string as 8-bit text (Windows-1252).
    // Nothing when the block has no such value.
    virtual std::optional<std::string> VerQueryValueA(std::span<const std::uint8_t> block,
                                                      std::string_view subBlock) = 0;
};
