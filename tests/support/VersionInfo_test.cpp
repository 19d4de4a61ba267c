#include "support/VersionInfo.h"
#include "tests/fakes/fake_version_service.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kFile = "/opt/klavio/klavio";

// US English in 1252 and German in Unicode, both in the translation array; file version 1.0.1.2.
VersionResource TwoLanguages() {
    VS_FIXEDFILEINFO fixed;
    fixed.dwFileVersionMS = 0x00010000;
    fixed.dwFileVersionLS = 0x00010002;
    return {fixed,
            {{"040904E4", {{"ProductName", u"klavio"}, {"LegalCopyright", u"\u00A9 Varnholm"}}},
             {"040704B0", {{"ProductName", u"Klavier"}}}},
            {0x0409, 1252, 0x0407, 1200}};
}

std::string ListIndexError(const TVersionInfo& info, int index) {
    try {
        info.Translation(index);
    } catch (const std::out_of_range& error) {
        return error.what();
    }
    return "no error";
}

std::string Expected(int index) {
    return "Listenindex \u00FCberschreitet das Maximum (" + std::to_string(index) + ")";
}

class VersionReader : public testing::Test {
protected:
    const TVersionInfo& Read(const VersionResource& resource) {
        return Read(BuildVersionBlock(resource));
    }
    const TVersionInfo& Read(Bytes block) {
        service.blocks[kFile] = std::move(block);
        service.calls.clear();
        info = std::make_unique<TVersionInfo>(service, kFile);
        return *info;
    }

    FakeVersionService service;
    std::unique_ptr<TVersionInfo> info;
};

TEST_F(VersionReader, EachTranslationReadsItsOwnTableAndIndexTwoIsAnError) {
    const TVersionInfo& info = Read(TwoLanguages());
    ASSERT_EQ(info.TranslationCount(), 2);
    EXPECT_EQ(info.GetValue("ProductName"), "klavio");
    EXPECT_EQ(info.GetValueByIndex("ProductName", 1), "Klavier");
    EXPECT_EQ(info.GetValueByIndex("LegalCopyright", 0), "\xA9 Varnholm"); // 8-bit text
    EXPECT_EQ(info.GetValueByIndex("LegalCopyright", 1), "");              // missing there
    for (const int index : {2, -1})
        EXPECT_EQ(ListIndexError(info, index), Expected(index));
    EXPECT_THROW(info.GetValueByIndex("ProductName", 2), std::out_of_range);
}

// The calls also show the reader's construction: size, read, fixed record, translations.
TEST_F(VersionReader, KeyIsLanguageAndCodePageInUpperCaseHex) {
    const TVersionInfo& info = Read(TwoLanguages());
    EXPECT_EQ(info.GetValueByLangCp("ProductName", 0x0409, 1252), "klavio");
    info.GetValueByLangCp("X", 0xABCD, 0x00EF);
    const std::string size = std::to_string(service.blocks[kFile].size());
    EXPECT_EQ(service.calls, (std::vector<std::string>{
                                 "GetFileVersionInfoSizeA " + kFile,
                                 "GetFileVersionInfoA " + kFile + ' ' + size,
                                 "VerQueryValueA \\",
                                 "VerQueryValueA \\VarFileInfo\\Translation",
                                 "VerQueryValueA \\StringFileInfo\\040904E4\\ProductName",
                                 "VerQueryValueA \\StringFileInfo\\ABCD00EF\\X",
                             }));
}

TEST_F(VersionReader, SixBytesOfTranslationAreOneEntry) {
    VersionResource resource = TwoLanguages();
    resource.translation = {0x0409, 1252, 0x0407};
    const TVersionInfo& info = Read(resource);
    EXPECT_EQ(info.TranslationCount(), 1);
    EXPECT_EQ(ListIndexError(info, 1), Expected(1));
}

TEST_F(VersionReader, FileVersionJoinsTheTwoWordsOfTheFixedRecord) {
    const std::int64_t version = Read(TwoLanguages()).FileVersion();
    EXPECT_EQ(version >> 32, 65536);
    EXPECT_EQ(version & 0xFFFFFFFF, 65538);
    const std::vector<std::pair<std::uint64_t, const char*>> cases = {
        {static_cast<std::uint64_t>(version), "1.0.1 (2)"},
        {0, "0.0.0 (0)"},
        {0x0001000200030004, "1.2.3 (4)"},
        {0xFFFF00000000FFFF, "65535.0.0 (65535)"},
        {0xFFFFFFFFFFFFFFFF, "65535.65535.65535 (65535)"},
    };
    for (const auto& [bits, text] : cases)
        EXPECT_EQ(TVersionInfo::VersionToText(static_cast<std::int64_t>(bits)), text);
}

TEST_F(VersionReader, MissingPartsGiveZeroOrTheError) {
    VS_FIXEDFILEINFO wrongSignature = *TwoLanguages().fixedInfo;
    wrongSignature.dwSignature = 0x12345678;
    struct Case {
        const char* what;
        VersionResource resource;
        std::int64_t fileVersion;
        int translations;
    };
    const std::vector<Case> cases = {
        {"no fixed record", {std::nullopt, TwoLanguages().stringTables, {0x0409, 1252}}, 0, 1},
        {"not a fixed record", {wrongSignature, TwoLanguages().stringTables, {0x0409, 1252}}, 0, 1},
        {"no translation",
         {TwoLanguages().fixedInfo, TwoLanguages().stringTables, {}},
         0x0001000000010002,
         0},
    };
    for (const Case& c : cases) {
        const TVersionInfo& info = Read(c.resource);
        EXPECT_EQ(info.FileVersion(), c.fileVersion) << c.what;
        EXPECT_EQ(info.TranslationCount(), c.translations) << c.what;
        EXPECT_EQ(info.GetValueByKey("ProductName", "040904E4"), "klavio") << c.what;
        if (c.translations == 0) {
            EXPECT_EQ(ListIndexError(info, 0), Expected(0)) << c.what;
        }
    }
}

TEST_F(VersionReader, WithoutUsableVersionInformationOnlyTheErrorRemains) {
    const Bytes whole = BuildVersionBlock(TwoLanguages());
    // A file without any, one whose read fails, and blocks cut short.
    FakeVersionService none;
    const TVersionInfo noFile(none, kFile);
    EXPECT_FALSE(noFile.Valid());
    EXPECT_EQ(none.calls, std::vector<std::string>{"GetFileVersionInfoSizeA " + kFile});
    service.readFails = true;
    EXPECT_FALSE(Read(whole).Valid());
    service.readFails = false;
    std::vector<const TVersionInfo*> readers = {&noFile, info.get()};
    std::vector<std::unique_ptr<TVersionInfo>> cut;
    for (std::size_t size = 1; size < whole.size(); size += 9) {
        service.blocks[kFile] =
            Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        readers.push_back(cut.emplace_back(std::make_unique<TVersionInfo>(service, kFile)).get());
    }
    for (const TVersionInfo* reader : readers) {
        EXPECT_EQ(reader->FileVersion(), 0);
        EXPECT_EQ(reader->TranslationCount(), 0);
        EXPECT_EQ(reader->GetValueByKey("ProductName", "040904E4"), "");
        EXPECT_EQ(ListIndexError(*reader, 0), Expected(0));
    }
}

} // namespace
