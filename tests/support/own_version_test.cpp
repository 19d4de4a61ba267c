// The built program carries its version information: read back from the executable file with
// the real service, as the program reads it at start.
#include "platform/linux/files/elf_version_service.h"
#include "support/VersionInfo.h"

#include <gtest/gtest.h>

namespace {

TEST(OwnVersion, TheBuiltProgramReadsItsOwnValues) {
    ElfVersionService service;
    const TVersionInfo info(service, KLAVIO_BINARY);
    ASSERT_TRUE(info.Valid());
    ASSERT_EQ(info.TranslationCount(), 1);
    EXPECT_EQ(info.Translation(0)->Language, 0x0409);
    EXPECT_EQ(info.Translation(0)->CodePage, 1252);
    EXPECT_EQ(TVersionInfo::VersionToText(info.FileVersion()), "1.0.1 (2)");
    EXPECT_EQ(info.GetValue("ProductName"), "klavio");
    EXPECT_EQ(info.GetValue("CompanyName"), "Varnholm");
    EXPECT_EQ(info.GetValue("FileVersion"), "1.0.1.2");
    EXPECT_EQ(info.GetValue("LegalTrademarks"), "");
    // The copyright sign arrives as its Windows-1252 byte.
    EXPECT_EQ(info.GetValue("LegalCopyright"), "Copyright \xA9 2026 Varnholm");
    for (const char* name : {"FileDescription", "InternalName", "OriginalFilename",
                             "ProductVersion", "Comments", "Email", "Website"})
        EXPECT_NE(info.GetValue(name), "") << name;
}

TEST(OwnVersion, AProgramBuiltWithoutVersionInformationHasNone) {
    // This test program is an ELF executable like klavio, but without the section.
    ElfVersionService service;
    const TVersionInfo info(service, "/proc/self/exe");
    EXPECT_FALSE(info.Valid());
    EXPECT_EQ(info.FileVersion(), 0);
}

} // namespace
