#pragma once

// ELF files made up for tests: a file header, the sections' bytes, the section-name table and
// the section header table, in that order, in either class and byte order. The offsets of the
// header fields are kept so that tests can damage them one at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <vector>

inline constexpr std::uint32_t kProgBits = 1;
inline constexpr std::uint32_t kStringTable = 3;
inline constexpr std::uint32_t kNoBits = 8;

struct ElfImageSection {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::uint32_t type = kProgBits;
};

struct ElfImage {
    bool is64 = true;
    bool bigEndian = false;
    std::vector<std::uint8_t> bytes;
    std::size_t tableOffset = 0; // of the section header table
    std::size_t entrySize = 0;
    std::vector<std::size_t> dataOffsets; // of each given section's bytes, in order

    // Field positions in the file header.
    std::size_t ShoffField() const { return is64 ? 0x28 : 0x20; }
    std::size_t ShentsizeField() const { return is64 ? 0x3A : 0x2E; }
    std::size_t ShnumField() const { return is64 ? 0x3C : 0x30; }
    std::size_t ShstrndxField() const { return is64 ? 0x3E : 0x32; }
    // Field positions in section header `index` (0 is the null section, the given sections
    // follow, the name table is last).
    std::size_t NameField(std::size_t index) const { return tableOffset + index * entrySize; }
    std::size_t TypeField(std::size_t index) const { return NameField(index) + 4; }
    std::size_t OffsetField(std::size_t index) const { return NameField(index) + (is64 ? 24 : 16); }
    std::size_t SizeField(std::size_t index) const { return NameField(index) + (is64 ? 32 : 20); }
    std::size_t LinkField(std::size_t index) const { return NameField(index) + (is64 ? 40 : 24); }
    std::size_t AddressWidth() const { return is64 ? 8 : 4; }

    void Put(std::size_t at, std::size_t width, std::uint64_t value) {
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t shift = 8 * (bigEndian ? width - 1 - i : i);
            bytes.at(at + i) = static_cast<std::uint8_t>(value >> shift);
        }
    }
};

inline ElfImage MakeElfImage(const std::vector<ElfImageSection>& sections, bool is64 = true,
                             bool bigEndian = false) {
    ElfImage image;
    image.is64 = is64;
    image.bigEndian = bigEndian;
    image.entrySize = is64 ? 64 : 40;
    const std::size_t headerSize = is64 ? 64 : 52;
    image.bytes.assign(headerSize, 0);
    const std::uint8_t ident[] = {0x7F,
                                  'E',
                                  'L',
                                  'F',
                                  static_cast<std::uint8_t>(is64 ? 2 : 1),
                                  static_cast<std::uint8_t>(bigEndian ? 2 : 1),
                                  1};
    std::copy(std::begin(ident), std::end(ident), image.bytes.begin());

    std::vector<std::uint8_t> names{0};
    std::vector<std::size_t> nameOffsets;
    for (const ElfImageSection& section : sections) {
        image.dataOffsets.push_back(image.bytes.size());
        image.bytes.insert(image.bytes.end(), section.bytes.begin(), section.bytes.end());
        nameOffsets.push_back(names.size());
        names.insert(names.end(), section.name.begin(), section.name.end());
        names.push_back(0);
    }
    const std::size_t namesName = names.size();
    for (const char c : std::string(".shstrtab"))
        names.push_back(static_cast<std::uint8_t>(c));
    names.push_back(0);
    const std::size_t namesOffset = image.bytes.size();
    image.bytes.insert(image.bytes.end(), names.begin(), names.end());
    while (image.bytes.size() % 8 != 0)
        image.bytes.push_back(0);

    image.tableOffset = image.bytes.size();
    const std::size_t count = sections.size() + 2;
    image.bytes.resize(image.tableOffset + count * image.entrySize, 0);
    const std::size_t width = image.AddressWidth();
    for (std::size_t i = 0; i < sections.size(); ++i) {
        image.Put(image.NameField(i + 1), 4, nameOffsets[i]);
        image.Put(image.TypeField(i + 1), 4, sections[i].type);
        image.Put(image.OffsetField(i + 1), width, image.dataOffsets[i]);
        image.Put(image.SizeField(i + 1), width, sections[i].bytes.size());
    }
    const std::size_t last = count - 1;
    image.Put(image.NameField(last), 4, namesName);
    image.Put(image.TypeField(last), 4, kStringTable);
    image.Put(image.OffsetField(last), width, namesOffset);
    image.Put(image.SizeField(last), width, names.size());

    image.Put(image.ShoffField(), width, image.tableOffset);
    image.Put(image.ShentsizeField(), 2, image.entrySize);
    image.Put(image.ShnumField(), 2, count);
    image.Put(image.ShstrndxField(), 2, last);
    return image;
}

// Reads from bytes in memory as from a file.
inline bool ReadFromBytes(std::span<const std::uint8_t> file, std::uint64_t offset,
                          std::span<std::uint8_t> into) {
    if (offset > file.size() || file.size() - offset < into.size())
        return false;
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    return true;
}
