#pragma once

#include "platform/version_service.h"

// Version information on Linux: a program built with one carries the Windows version block in
// the ELF section kVersionSectionName (version_block.h). A file without that section, or one
// that is not ELF, has none.
class ElfVersionService final : public VersionService {
public:
    std::uint32_t GetFileVersionInfoSizeA(const std::string& fileName) override;
    bool GetFileVersionInfoA(const std::string& fileName, std::span<std::uint8_t> data) override;
    std::optional<std::string> VerQueryValueA(std::span<const std::uint8_t> block,
                                              std::string_view subBlock) override;
};
