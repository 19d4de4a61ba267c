#pragma once

// Version information for tests: a block per file name, queried with the real block parser,
// and a record of every call.

#include "formats/version_block.h"
#include "platform/version_service.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

class FakeVersionService final : public VersionService {
public:
    FakeVersionService() = default;
    FakeVersionService(const std::string& fileName, std::vector<std::uint8_t> block) {
        blocks[fileName] = std::move(block);
    }

    // The version information of each file, as the files would hold it; others have none.
    std::map<std::string, std::vector<std::uint8_t>> blocks;
    // Makes reading fail after the size was given, as when the file changes in between.
    bool readFails = false;
    // Every call in order: "GetFileVersionInfoSizeA <file>", "GetFileVersionInfoA <file> <size>",
    // "VerQueryValueA <path>".
    std::vector<std::string> calls;

    std::uint32_t GetFileVersionInfoSizeA(const std::string& fileName) override {
        calls.push_back("GetFileVersionInfoSizeA " + fileName);
        const auto found = blocks.find(fileName);
        return found == blocks.end() ? 0 : static_cast<std::uint32_t>(found->second.size());
    }

    bool GetFileVersionInfoA(const std::string& fileName, std::span<std::uint8_t> data) override {
        calls.push_back("GetFileVersionInfoA " + fileName + ' ' + std::to_string(data.size()));
        const auto found = blocks.find(fileName);
        if (readFails || found == blocks.end())
            return false;
        std::copy_n(found->second.begin(), std::min(found->second.size(), data.size()),
                    data.begin());
        return true;
    }

    std::optional<std::string> VerQueryValueA(std::span<const std::uint8_t> block,
                                              std::string_view subBlock) override {
        calls.push_back("VerQueryValueA " + std::string(subBlock));
        return QueryVersionBlock(block, subBlock);
    }

    // The values klavio's build puts into its executable.
    static VersionResource KlavioResource() {
        VS_FIXEDFILEINFO fixed;
        fixed.dwFileVersionMS = fixed.dwProductVersionMS = 0x00010000; // 1.0
        fixed.dwFileVersionLS = fixed.dwProductVersionLS = 0x00010002; // .1.2
        VersionStringTable table{"040904E4",
                                 {{"CompanyName", u"Varnholm"},
                                  {"FileDescription", u"klavio virtual MIDI keyboard"},
                                  {"FileVersion", u"1.0.1.2"},
                                  {"InternalName", u"klavio"},
                                  {"LegalCopyright", u"Copyright \u00A9 2026 Varnholm"},
                                  {"LegalTrademarks", u""},
                                  {"OriginalFilename", u"klavio"},
                                  {"ProductName", u"klavio"},
                                  {"ProductVersion", u"1.0.1"},
                                  {"Comments", u"A virtual MIDI piano keyboard"},
                                  {"Email", u"klavio@example.org"},
                                  {"Website", u"https://www.example.org/klavio"}}};
        return VersionResource{fixed, {table}, {0x0409, 1252}};
    }
};
