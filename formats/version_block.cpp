#include "formats/version_block.h"

#include "formats/code_page.h"

#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::size_t kHeaderSize = 6; // wLength, wValueLength, wType
constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;

constexpr std::size_t Align4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

std::uint16_t Word(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::uint32_t DoubleWord(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(Word(bytes, offset)) |
           static_cast<std::uint32_t>(Word(bytes, offset + 2)) << 16;
}

std::u16string Widen(std::string_view ascii) {
    return {ascii.begin(), ascii.end()};
}

class BlockWriter {
public:
    // Starts a node; its length is filled in by End.
    std::size_t Begin(std::u16string_view key, std::size_t valueLength, std::uint16_t type) {
        Align();
        const std::size_t start = bytes_.size();
        Word(0);
        Word(CheckedLength(valueLength));
        Word(type);
        for (const char16_t c : key)
            Word(c);
        Word(0);
        Align();
        return start;
    }

    // The node ends after its last byte; the padding before a following node is its parent's.
    void End(std::size_t start) {
        const std::uint16_t length = CheckedLength(bytes_.size() - start);
        bytes_[start] = static_cast<std::uint8_t>(length & 0xFF);
        bytes_[start + 1] = static_cast<std::uint8_t>(length >> 8);
    }

    void Word(std::uint16_t value) {
        bytes_.push_back(static_cast<std::uint8_t>(value & 0xFF));
        bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    }

    void DoubleWord(std::uint32_t value) {
        Word(static_cast<std::uint16_t>(value & 0xFFFF));
        Word(static_cast<std::uint16_t>(value >> 16));
    }

    void Align() {
        while (bytes_.size() % 4 != 0)
            bytes_.push_back(0);
    }

    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

private:
    static std::uint16_t CheckedLength(std::size_t length) {
        if (length > 0xFFFF)
            throw std::length_error("version block longer than 65535 bytes");
        return static_cast<std::uint16_t>(length);
    }

    std::vector<std::uint8_t> bytes_;
};

void WriteFixedFileInfo(BlockWriter& writer, const VS_FIXEDFILEINFO& info) {
    for (const std::uint32_t word :
         {info.dwSignature, info.dwStrucVersion, info.dwFileVersionMS, info.dwFileVersionLS,
          info.dwProductVersionMS, info.dwProductVersionLS, info.dwFileFlagsMask, info.dwFileFlags,
          info.dwFileOS, info.dwFileType, info.dwFileSubtype, info.dwFileDateMS, info.dwFileDateLS})
        writer.DoubleWord(word);
}

// One node of a block, as offsets into it.
struct Node {
    std::size_t end = 0; // one past its last byte
    std::u16string key;
    bool text = false;
    std::size_t valueBegin = 0;
    std::size_t valueUnits = 0; // bytes for a binary value, UTF-16 units for text
    std::size_t childrenBegin = 0;
};

// The node at `offset`, which must lie wholly before `limit`.
std::optional<Node> ReadNode(std::span<const std::uint8_t> block, std::size_t offset,
                             std::size_t limit) {
    if (offset > limit || limit - offset < kHeaderSize)
        return std::nullopt;
    const std::size_t length = Word(block, offset);
    const std::size_t valueLength = Word(block, offset + 2);
    const std::uint16_t type = Word(block, offset + 4);
    if (length < kHeaderSize || length > limit - offset || (type != kBinary && type != kText))
        return std::nullopt;
    Node node;
    node.end = offset + length;
    node.text = type == kText;
    std::size_t position = offset + kHeaderSize;
    for (;;) {
        if (node.end - position < 2)
            return std::nullopt; // key without its terminating zero
        const char16_t c = Word(block, position);
        position += 2;
        if (c == 0)
            break;
        node.key.push_back(c);
    }
    node.valueBegin = Align4(position);
    node.valueUnits = valueLength;
    const std::size_t valueBytes = node.text ? valueLength * 2 : valueLength;
    if (node.valueBegin > node.end || node.end - node.valueBegin < valueBytes)
        return std::nullopt;
    node.childrenBegin = Align4(node.valueBegin + valueBytes);
    return node;
}

bool KeyMatches(std::u16string_view key, std::u16string_view wanted) {
    if (key.size() != wanted.size())
        return false;
    const auto fold = [](char16_t c) -> char16_t { return c >= u'a' && c <= u'z' ? c - 32 : c; };
    for (std::size_t i = 0; i < key.size(); ++i)
        if (fold(key[i]) != fold(wanted[i]))
            return false;
    return true;
}

std::optional<Node> FindChild(std::span<const std::uint8_t> block, const Node& parent,
                              std::u16string_view key) {
    std::size_t offset = parent.childrenBegin;
    while (offset < parent.end) {
        std::optional<Node> child = ReadNode(block, offset, parent.end);
        if (!child)
            return std::nullopt;
        if (KeyMatches(child->key, key))
            return child;
        offset = Align4(child->end);
    }
    return std::nullopt;
}

std::optional<Node> ReadRoot(std::span<const std::uint8_t> block) {
    std::optional<Node> root = ReadNode(block, 0, block.size());
    if (!root || root->key != u"VS_VERSION_INFO")
        return std::nullopt;
    return root;
}

std::string ValueOf(std::span<const std::uint8_t> block, const Node& node) {
    if (!node.text) {
        const auto* begin = block.data() + node.valueBegin;
        return std::string(begin, begin + node.valueUnits);
    }
    std::u16string text;
    for (std::size_t i = 0; i < node.valueUnits; ++i) {
        const char16_t c = Word(block, node.valueBegin + 2 * i);
        if (c == 0)
            break;
        text.push_back(c);
    }
    return Utf16ToWindows1252(text);
}

} // namespace

std::optional<VS_FIXEDFILEINFO> DecodeFixedFileInfo(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kFixedFileInfoSize || DoubleWord(bytes, 0) != VS_FFI_SIGNATURE)
        return std::nullopt;
    const auto at = [&](std::size_t index) { return DoubleWord(bytes, 4 * index); };
    return VS_FIXEDFILEINFO{at(0), at(1), at(2), at(3),  at(4),  at(5), at(6),
                            at(7), at(8), at(9), at(10), at(11), at(12)};
}

std::vector<std::uint8_t> BuildVersionBlock(const VersionResource& resource) {
    BlockWriter writer;
    const std::size_t root =
        writer.Begin(u"VS_VERSION_INFO", resource.fixedInfo ? kFixedFileInfoSize : 0, kBinary);
    if (resource.fixedInfo)
        WriteFixedFileInfo(writer, *resource.fixedInfo);

    if (!resource.stringTables.empty()) {
        const std::size_t stringFileInfo = writer.Begin(u"StringFileInfo", 0, kText);
        for (const VersionStringTable& table : resource.stringTables) {
            const std::size_t tableStart = writer.Begin(Widen(table.key), 0, kText);
            for (const auto& [name, text] : table.values) {
                // The length counts the terminating zero.
                const std::size_t value = writer.Begin(Widen(name), text.size() + 1, kText);
                for (const char16_t c : text)
                    writer.Word(c);
                writer.Word(0);
                writer.End(value);
            }
            writer.End(tableStart);
        }
        writer.End(stringFileInfo);
    }

    if (!resource.translation.empty()) {
        const std::size_t varFileInfo = writer.Begin(u"VarFileInfo", 0, kText);
        const std::size_t translation =
            writer.Begin(u"Translation", resource.translation.size() * 2, kBinary);
        for (const std::uint16_t word : resource.translation)
            writer.Word(word);
        writer.End(translation);
        writer.End(varFileInfo);
    }
    writer.End(root);
    return writer.Take();
}

std::size_t VersionBlockLength(std::span<const std::uint8_t> data) {
    const std::optional<Node> root = ReadRoot(data);
    return root ? root->end : 0;
}

std::optional<std::string> QueryVersionBlock(std::span<const std::uint8_t> block,
                                             std::string_view subBlock) {
    std::optional<Node> node = ReadRoot(block);
    std::size_t position = 0;
    while (node && position < subBlock.size()) {
        const std::size_t next = std::min(subBlock.find('\\', position), subBlock.size());
        const std::string_view key = subBlock.substr(position, next - position);
        position = next + 1;
        if (!key.empty())
            node = FindChild(block, *node, Windows1252ToUtf16(key));
    }
    if (!node)
        return std::nullopt;
    return ValueOf(block, *node);
}
