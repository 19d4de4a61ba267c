#pragma once

// TVersionInfo: reads the version information of a file on disk, its numeric file version and
// the string values of its translations ("ProductName", "CompanyName", ...), through the
// platform's version service. A file without version information gives a reader that is not
// valid; it answers 0 and empty text, but asking it for a translation is an error.

#include "formats/version_block.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class VersionService;

// One entry of a file's translation array.
struct TTranslation {
    std::uint16_t Language = 0; // e.g. 0x0409, US English
    std::uint16_t CodePage = 0; // e.g. 0x04E4, that is 1252
};

class TVersionInfo {
public:
    // Reads the version information of FileName. Never fails: a missing file or one without
    // version information makes a reader that is not valid. The service must outlive the reader.
    TVersionInfo(VersionService& service, const std::string& FileName);
    TVersionInfo(const TVersionInfo&) = delete;
    TVersionInfo& operator=(const TVersionInfo&) = delete;

    bool Valid() const { return FValid; }
    int TranslationCount() const { return FTranslationCount; }

    // Major and minor version in the high 32 bits, release and build in the low ones; 0 without
    // the fixed file information.
    std::int64_t FileVersion() const;

    // The entry at Index. Throws std::out_of_range with the message
    // "Listenindex überschreitet das Maximum (<Index>)" for an index outside the array and on a
    // reader that is not valid.
    const TTranslation* Translation(int Index) const;

    // The value Name in the first translation's string table; throws as Translation(0) does.
    std::string GetValue(const std::string& Name) const;
    std::string GetValueByIndex(const std::string& Name, int Index) const;
    std::string GetValueByLangCp(const std::string& Name, std::uint16_t Language,
                                 std::uint16_t CodePage) const;
    // The value Name in the string table Key (e.g. 040904E4); empty when it is missing or the
    // reader is not valid.
    std::string GetValueByKey(const std::string& Name, const std::string& Key) const;

    // "major.minor.release (build)", each part an unsigned 16-bit number: 1.0.1.2 gives
    // "1.0.1 (2)".
    static std::string VersionToText(std::int64_t Version);

private:
    VersionService& service_;
    // The whole block as the service read it; empty when the reader is not valid.
    std::vector<std::uint8_t> FData;
    bool FValid = false;
    // Copies of what the queries found, taken from FData.
    std::optional<VS_FIXEDFILEINFO> FFixedInfo;
    std::vector<TTranslation> FTranslations;
    int FTranslationCount = 0;
};
