#include "formats/code_page.h"
#include "formats/version_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Two tables; keys of odd lengths test the alignment of the nodes after them.
Bytes Sample() {
    VS_FIXEDFILEINFO fixed;
    fixed.dwFileVersionMS = 0x00010000;
    return BuildVersionBlock({fixed,
                              {{"040904E4",
                                {{"CompanyName", u"Varnholm"},
                                 {"A", u"a"},
                                 {"ABC", u""},
                                 {"ProductName", u"klavio"},
                                 {"LegalCopyright", u"\u00A9 \u20AC \u65E5 \U0001F3B9"}}},
                               {"040704B0", {{"ProductName", u"Klavier"}}}},
                              {0x0409, 1252, 0x0407, 1200}});
}

const char* kProduct = "\\StringFileInfo\\040904E4\\ProductName";

// Sets the 16-bit field at `field` of the node whose key is `key`.
void Damage(Bytes& block, std::u16string_view key, std::size_t field, std::uint16_t value) {
    Bytes pattern;
    for (const char16_t c : std::u16string(key) + u'\0')
        pattern.insert(pattern.end(),
                       {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
    const auto at = std::search(block.begin(), block.end(), pattern.begin(), pattern.end());
    ASSERT_NE(at, block.end());
    const std::size_t node = static_cast<std::size_t>(at - block.begin()) - 6;
    block[node + field] = static_cast<std::uint8_t>(value);
    block[node + field + 1] = static_cast<std::uint8_t>(value >> 8);
}

TEST(VersionBlock, RootIsAGenuineVersionInfoHeaderWithTheFixedRecord) {
    const Bytes block = Sample();
    const auto word = [&](std::size_t at) { return block[at] | block[at + 1] << 8; };
    EXPECT_EQ(word(0), static_cast<int>(block.size()));
    EXPECT_EQ(word(2), 52); // the record's length
    EXPECT_EQ(word(4), 0);  // binary
    for (std::size_t i = 0; i < 15; ++i)
        EXPECT_EQ(word(6 + 2 * i), u"VS_VERSION_INFO"[i]);
    // The key ends at byte 38; the record starts at the next 32-bit boundary.
    EXPECT_EQ(Bytes(block.begin() + 40, block.begin() + 44), (Bytes{0xBD, 0x04, 0xEF, 0xFE}));
    EXPECT_EQ(VersionBlockLength(block), block.size());
}

TEST(VersionBlock, QueriesFindWhatWasBuilt) {
    const Bytes block = Sample();
    const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
        {kProduct, "klavio"},
        {"\\StringFileInfo\\040704B0\\ProductName", "Klavier"},
        {"\\StringFileInfo\\040904E4\\ABC", ""},
        // Windows-1252 where it has the character, '?' where it has not.
        {"\\StringFileInfo\\040904E4\\LegalCopyright", "\xA9 \x80 ? ?"},
        // Keys compare without regard to case; empty path parts are skipped.
        {"\\stringfileinfo\\040904e4\\PRODUCTNAME", "klavio"},
        {"StringFileInfo\\\\040904E4\\ProductName\\", "klavio"},
        {"\\VarFileInfo\\Translation", std::string("\x09\x04\xE4\x04\x07\x04\xB0\x04", 8)},
        {"\\StringFileInfo\\040704B0\\CompanyName", std::nullopt},
        {"\\StringFileInfo\\041104E4\\ProductName", std::nullopt},
        {"\\StringFileInfo\\040904E4\\ProductName\\More", std::nullopt},
        {"\\StringFileInfo\\040904E", std::nullopt},
    };
    for (const auto& [path, value] : cases)
        EXPECT_EQ(QueryVersionBlock(block, path), value) << path;
    EXPECT_EQ(QueryVersionBlock(block, "\\")->size(), kFixedFileInfoSize);
}

TEST(VersionBlock, CutBlocksAnswerNoQuery) {
    const Bytes block = Sample();
    for (std::size_t size = 0; size < block.size(); ++size) {
        // A block of its own, so that reading past its end is caught.
        const Bytes cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(VersionBlockLength(cut), 0u) << size;
        for (const char* path : {"\\", "\\VarFileInfo\\Translation", kProduct})
            EXPECT_FALSE(QueryVersionBlock(cut, path)) << size << ' ' << path;
    }
}

// A damaged node answers nothing and hides the nodes after it, never a misread value.
TEST(VersionBlock, DamagedNodesAnswerNothing) {
    struct Case {
        const char* what;
        std::u16string key;
        std::size_t field; // 0 length, 2 value length, 4 type
        std::uint16_t value;
        const char* path;
    };
    const std::vector<Case> cases = {
        {"length below a header", u"ProductName", 0, 4, kProduct},
        {"length past its parent", u"ProductName", 0, 0x7FFF, kProduct},
        {"value longer than the node", u"ProductName", 2, 200, kProduct},
        {"unknown value type", u"ProductName", 4, 2, kProduct},
        {"an earlier sibling damaged", u"CompanyName", 0, 0, kProduct},
        {"parent shorter than its first child", u"040904E4", 0, 30, kProduct},
        {"key running past its node", u"A", 0, 8, "\\StringFileInfo\\040904E4\\ABC"},
        {"array past its node", u"Translation", 2, 40, "\\VarFileInfo\\Translation"},
        {"another root", u"VS_VERSION_INFO", 6, 'W', "\\"},
    };
    for (const Case& c : cases) {
        Bytes block = Sample();
        Damage(block, c.key, c.field, c.value);
        EXPECT_FALSE(QueryVersionBlock(block, c.path)) << c.what;
    }
}

TEST(CodePage, Windows1252MapsAsWindowsMapsIt) {
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte)
        everyByte.push_back(static_cast<char>(byte));
    EXPECT_EQ(Utf16ToWindows1252(Windows1252ToUtf16(everyByte)), everyByte);
    const std::vector<std::pair<std::u16string, std::string>> cases = {
        {u"\u00FC\u00DC\u00E4\u00F6", "\xFC\xDC\xE4\xF6"},
        {u"\u20AC\u2122\u0178\u201E", "\x80\x99\x9F\x84"},
        {u"\u0081\u008D\u009D", "\x81\x8D\x9D"}, // bytes 1252 leaves undefined
        {u"\u0100\u65E5", "??"},
        {u"a\U0001F3B9b", "a?b"},  // one character, one '?'
        {u"\xD800x\xDC00", "?x?"}, // lone surrogates
    };
    for (const auto& [wide, narrow] : cases) {
        EXPECT_EQ(Utf16ToWindows1252(wide), narrow);
    }
}

} // namespace
