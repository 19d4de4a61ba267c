#include "formats/elf_section.h"
#include "tests/formats/elf_image.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<ElfSection> Find(const Bytes& file, std::string_view name) {
    return FindElfSection(
        [&file](std::uint64_t offset, std::span<std::uint8_t> into) {
            return ReadFromBytes(file, offset, into);
        },
        name);
}

ElfImage Typical(bool is64 = true, bool bigEndian = false) {
    return MakeElfImage({{".text", Bytes(40, 0x90)},
                         {".klavio", {1, 2, 3}},
                         {".klavio_version", {4, 5, 6, 7}},
                         {".bss", {}, kNoBits}},
                        is64, bigEndian);
}

TEST(ElfSection, FindsTheNamedSectionInEveryClassAndByteOrder) {
    for (const bool is64 : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            const ElfImage image = Typical(is64, bigEndian);
            const std::optional<ElfSection> found = Find(image.bytes, ".klavio_version");
            ASSERT_TRUE(found) << is64 << bigEndian;
            EXPECT_EQ(found->offset, image.dataOffsets[2]);
            EXPECT_EQ(found->size, 4u);
            // Names match whole; a section without bytes in the file does not count.
            EXPECT_EQ(Find(image.bytes, ".klavio")->offset, image.dataOffsets[1]);
            for (const char* other : {".klavio_versio", ".klavio_version2", ".bss", ""})
                EXPECT_FALSE(Find(image.bytes, other)) << other;
        }
    }
}

// Each row damages one field of a sound file; none may lead to the section, or outside the file.
TEST(ElfSection, DamagedHeadersFindNothing) {
    constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
    const std::size_t target = 3, names = 5; // .klavio_version and .shstrtab
    const std::vector<std::pair<const char*, std::function<void(ElfImage&)>>> cases = {
        {"class 3", [](ElfImage& i) { i.bytes[4] = 3; }},
        {"not ELF", [](ElfImage& i) { i.bytes[1] = 'X'; }},
        {"no section table", [](ElfImage& i) { i.Put(i.ShoffField(), 8, 0); }},
        {"table past the end", [](ElfImage& i) { i.Put(i.ShoffField(), 8, i.bytes.size() - 10); }},
        {"table at the end of the offsets", [&](ElfImage& i) { i.Put(i.ShoffField(), 8, kHuge); }},
        {"entries too small", [](ElfImage& i) { i.Put(i.ShentsizeField(), 2, 63); }},
        {"name table index out of range", [](ElfImage& i) { i.Put(i.ShstrndxField(), 2, 6); }},
        {"name table far too large", [&](ElfImage& i) { i.Put(i.SizeField(names), 8, kHuge); }},
        {"name outside the name table", [&](ElfImage& i) { i.Put(i.NameField(target), 4, 5000); }},
        {"name table ends inside the name", [&](ElfImage& i) { i.Put(i.SizeField(names), 8, 20); }},
        {"section wrapping round the offsets",
         [&](ElfImage& i) {
             i.Put(i.OffsetField(target), 8, kHuge - 2);
             i.Put(i.SizeField(target), 8, 10);
         }},
        {"extended count far too large",
         [](ElfImage& i) {
             i.Put(i.ShnumField(), 2, 0);
             i.Put(i.SizeField(0), 8, 1u << 30);
         }},
    };
    for (const auto& [what, damage] : cases) {
        ElfImage image = Typical();
        damage(image);
        EXPECT_FALSE(Find(image.bytes, ".klavio_version")) << what;
    }
}

TEST(ElfSection, EveryCutOfAFileIsReadSafely) {
    const Bytes whole = Typical().bytes;
    // The section table is at the end: without all of it nothing is found.
    for (std::size_t size = 0; size < whole.size(); ++size)
        EXPECT_FALSE(Find(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)),
                          ".klavio_version"))
            << size;
}

} // namespace
