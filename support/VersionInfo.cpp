#include "support/VersionInfo.h"

#include "platform/version_service.h"

#include <cstdio>
#include <stdexcept>

TVersionInfo::TVersionInfo(VersionService& service, const std::string& FileName)
    : service_(service) {
    const std::uint32_t size = service_.GetFileVersionInfoSizeA(FileName);
    if (size == 0)
        return;
    FData.resize(size);
    if (!service_.GetFileVersionInfoA(FileName, FData)) {
        FData.clear();
        return;
    }
    FValid = true;

    if (const std::optional<std::string> fixed = service_.VerQueryValueA(FData, "\\")) {
        const std::span bytes(reinterpret_cast<const std::uint8_t*>(fixed->data()), fixed->size());
        // A record too short for the file version, or not a fixed record at all, counts as none.
        FFixedInfo = DecodeFixedFileInfo(bytes);
    }

    if (const std::optional<std::string> array =
            service_.VerQueryValueA(FData, "\\VarFileInfo\\Translation")) {
        // A half entry at the end is no entry.
        for (std::size_t at = 0; at + 4 <= array->size(); at += 4) {
            const auto byte = [&](std::size_t i) {
                return static_cast<std::uint16_t>(static_cast<unsigned char>((*array)[at + i]));
            };
            FTranslations.push_back({static_cast<std::uint16_t>(byte(0) | byte(1) << 8),
                                     static_cast<std::uint16_t>(byte(2) | byte(3) << 8)});
        }
        // The array is at most 64 KiB, so its count fits.
        FTranslationCount = static_cast<int>(FTranslations.size());
    }
}

std::int64_t TVersionInfo::FileVersion() const {
    if (!FValid || !FFixedInfo)
        return 0;
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(FFixedInfo->dwFileVersionMS) << 32 |
                                     FFixedInfo->dwFileVersionLS);
}

const TTranslation* TVersionInfo::Translation(int Index) const {
    if (!FValid || Index < 0 || Index >= FTranslationCount)
        throw std::out_of_range("Listenindex \u00FCberschreitet das Maximum (" +
                                std::to_string(Index) + ")");
    return &FTranslations[static_cast<std::size_t>(Index)];
}

std::string TVersionInfo::GetValue(const std::string& Name) const {
    return GetValueByIndex(Name, 0);
}

std::string TVersionInfo::GetValueByIndex(const std::string& Name, int Index) const {
    const TTranslation* entry = Translation(Index);
    return GetValueByLangCp(Name, entry->Language, entry->CodePage);
}

std::string TVersionInfo::GetValueByLangCp(const std::string& Name, std::uint16_t Language,
                                           std::uint16_t CodePage) const {
    char key[9];
    std::snprintf(key, sizeof key, "%04X%04X", static_cast<unsigned>(Language),
                  static_cast<unsigned>(CodePage));
    return GetValueByKey(Name, key);
}

std::string TVersionInfo::GetValueByKey(const std::string& Name, const std::string& Key) const {
    if (!FValid)
        return {};
    const std::optional<std::string> value =
        service_.VerQueryValueA(FData, "\\StringFileInfo\\" + Key + "\\" + Name);
    if (!value)
        return {};
    // The text ends at its first zero, as a zero-terminated copy would.
    return value->substr(0, value->find('\0'));
}

std::string TVersionInfo::VersionToText(std::int64_t Version) {
    const auto bits = static_cast<std::uint64_t>(Version);
    const auto part = [bits](int shift) { return static_cast<unsigned>(bits >> shift & 0xFFFF); };
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u (%u)", part(48), part(32), part(16), part(0));
    return text;
}
