#include "formats/elf_section.h"

#include <array>
#include <cstddef>
#include <limits>
#include <vector>

namespace {

constexpr std::uint8_t ELFCLASS32 = 1;
constexpr std::uint8_t ELFCLASS64 = 2;
constexpr std::uint8_t ELFDATA2LSB = 1;
constexpr std::uint8_t ELFDATA2MSB = 2;
constexpr std::uint8_t EV_CURRENT = 1;
constexpr std::uint32_t SHT_NULL = 0;
constexpr std::uint32_t SHT_NOBITS = 8;
constexpr std::uint16_t SHN_XINDEX = 0xFFFF;

// Far more than any executable has; a count beyond it is taken for a damaged header rather
// than read entry by entry.
constexpr std::uint64_t kMaxSections = 65536;
constexpr std::uint64_t kMaxSectionNamesSize = 1 << 20;
constexpr std::uint16_t kMaxEntrySize = 1024;

// Where the fields sit in the two classes of file.
struct Layout {
    std::size_t headerSize;
    std::size_t shoff, shentsize, shnum, shstrndx; // in the file header
    std::size_t addressWidth;                      // of sh_offset, sh_size
    std::size_t minEntrySize;
    std::size_t name, type, offset, size, link; // in a section header
};

constexpr Layout kElf32 = {52, 0x20, 0x2E, 0x30, 0x32, 4, 40, 0, 4, 16, 20, 24};
constexpr Layout kElf64 = {64, 0x28, 0x3A, 0x3C, 0x3E, 8, 64, 0, 4, 24, 32, 40};

class Fields {
public:
    Fields(std::span<const std::uint8_t> bytes, bool bigEndian)
        : bytes_(bytes), bigEndian_(bigEndian) {}

    // Callers only ask for fields inside the bytes they read for them.
    std::uint64_t Get(std::size_t offset, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::uint8_t byte = bytes_[bigEndian_ ? offset + i : offset + width - 1 - i];
            value = value << 8 | byte;
        }
        return value;
    }

private:
    std::span<const std::uint8_t> bytes_;
    bool bigEndian_;
};

struct SectionHeader {
    std::uint64_t name, type, offset, size, link;
};

class ElfReader {
public:
    ElfReader(const ReadFileAt& read, const Layout& layout, bool bigEndian, std::uint64_t tableAt,
              std::uint16_t entrySize)
        : read_(read), layout_(layout), bigEndian_(bigEndian), tableAt_(tableAt),
          entrySize_(entrySize), entry_(entrySize) {}

    std::optional<SectionHeader> Section(std::uint64_t index) {
        const std::uint64_t offsetInTable = index * entrySize_; // index < kMaxSections
        if (offsetInTable > std::numeric_limits<std::uint64_t>::max() - tableAt_ ||
            !read_(tableAt_ + offsetInTable, entry_))
            return std::nullopt;
        const Fields fields(entry_, bigEndian_);
        const std::size_t width = layout_.addressWidth;
        return SectionHeader{fields.Get(layout_.name, 4), fields.Get(layout_.type, 4),
                             fields.Get(layout_.offset, width), fields.Get(layout_.size, width),
                             fields.Get(layout_.link, 4)};
    }

private:
    const ReadFileAt& read_;
    const Layout& layout_;
    bool bigEndian_;
    std::uint64_t tableAt_;
    std::uint16_t entrySize_;
    std::vector<std::uint8_t> entry_;
};

bool NameIs(std::span<const std::uint8_t> names, std::uint64_t at, std::string_view name) {
    if (at >= names.size() || names.size() - at <= name.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (names[at + i] != static_cast<std::uint8_t>(name[i]))
            return false;
    return names[at + name.size()] == 0;
}

} // namespace

std::optional<ElfSection> FindElfSection(const ReadFileAt& read, std::string_view name) {
    std::array<std::uint8_t, 64> header{};
    if (!read(0, std::span(header).first(16)))
        return std::nullopt;
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F' ||
        (header[4] != ELFCLASS32 && header[4] != ELFCLASS64) ||
        (header[5] != ELFDATA2LSB && header[5] != ELFDATA2MSB) || header[6] != EV_CURRENT)
        return std::nullopt;
    const Layout& layout = header[4] == ELFCLASS64 ? kElf64 : kElf32;
    const bool bigEndian = header[5] == ELFDATA2MSB;
    const std::span<std::uint8_t> wholeHeader = std::span(header).first(layout.headerSize);
    if (!read(0, wholeHeader))
        return std::nullopt;

    const Fields fields(wholeHeader, bigEndian);
    const std::uint64_t tableAt = fields.Get(layout.shoff, layout.addressWidth);
    const auto entrySize = static_cast<std::uint16_t>(fields.Get(layout.shentsize, 2));
    std::uint64_t count = fields.Get(layout.shnum, 2);
    std::uint64_t namesIndex = fields.Get(layout.shstrndx, 2);
    if (tableAt == 0 || entrySize < layout.minEntrySize || entrySize > kMaxEntrySize)
        return std::nullopt;

    ElfReader sections(read, layout, bigEndian, tableAt, entrySize);
    // Files with too many sections for the header's 16-bit fields keep the real numbers in
    // the first section header.
    if (count == 0 || namesIndex == SHN_XINDEX) {
        const std::optional<SectionHeader> first = sections.Section(0);
        if (!first)
            return std::nullopt;
        if (count == 0)
            count = first->size;
        if (namesIndex == SHN_XINDEX)
            namesIndex = first->link;
    }
    if (count == 0 || count > kMaxSections || namesIndex >= count)
        return std::nullopt;

    const std::optional<SectionHeader> namesSection = sections.Section(namesIndex);
    if (!namesSection || namesSection->type == SHT_NOBITS ||
        namesSection->size > kMaxSectionNamesSize)
        return std::nullopt;
    std::vector<std::uint8_t> names(namesSection->size);
    if (!read(namesSection->offset, names))
        return std::nullopt;

    for (std::uint64_t index = 0; index < count; ++index) {
        const std::optional<SectionHeader> section = sections.Section(index);
        if (!section)
            return std::nullopt;
        if (section->type == SHT_NULL || section->type == SHT_NOBITS ||
            !NameIs(names, section->name, name))
            continue;
        if (section->size > std::numeric_limits<std::uint64_t>::max() - section->offset)
            return std::nullopt;
        return ElfSection{section->offset, section->size};
    }
    return std::nullopt;
}
