#include "formats/reg_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

struct KeyRows {
    std::string path;
    std::vector<RegValue> values;
};

RegHive Hive(const std::vector<KeyRows>& keys) {
    RegHive hive;
    for (const KeyRows& key : keys) {
        RegKey* made = hive.CreateKey(key.path);
        for (const RegValue& value : key.values)
            EXPECT_TRUE(made->SetValue(value));
    }
    return hive;
}

std::vector<std::string> KeyPaths(const RegHive& hive) {
    std::vector<std::string> paths;
    for (const RegKey* key : hive.Keys())
        paths.push_back(key->Path());
    return paths;
}

RegRawData Raw(std::uint32_t type, std::vector<std::uint8_t> bytes) {
    return RegRawData{type, std::move(bytes)};
}

// A key path of the given number of names, each of nameSize letters.
std::string NestedPath(std::size_t levels, std::size_t nameSize) {
    std::string path(nameSize, 'n');
    for (std::size_t level = 1; level < levels; ++level)
        path += '\\' + std::string(nameSize, 'n');
    return path;
}

std::string KeyFile(const std::string& path, const std::string& valueName = "a") {
    return "REGEDIT4\n[HKEY_CURRENT_USER\\" + path + "]\n\"" + valueName + "\"=dword:1\n";
}

struct ReadRow {
    std::string what;
    std::string text;
    RegHive hive;
};

TEST(RegFile, ReadsWhatTheRegistryEditorWritesAndPeopleEdit) {
    const std::vector<ReadRow> rows{
        {"a header alone", "REGEDIT4\r\n", RegHive()},
        {"every kind of value",
         "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\V]\r\n"
         "\"n\"=dword:0000000a\r\n\"t\"=\"text\"\r\n@=\"default\"\r\n"
         "\"b\"=hex:01,ff\r\n\"m\"=hex(7):61,00,\\\r\n  62,00\r\n\"e\"=hex:\r\n",
         Hive({{"Software\\V",
                {{"n", 10u},
                 {"t", std::string("text")},
                 {"", std::string("default")},
                 {"b", Raw(REG_BINARY, {0x01, 0xFF})},
                 {"m", Raw(7, {0x61, 0x00, 0x62, 0x00})},
                 {"e", Raw(REG_BINARY, {})}}}})},
        {"escapes, = and non-ASCII letters in names and texts",
         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n"
         "\"say \\\"hi\\\" \\\\ a=b\"=\"C:\\\\dir\\\\\\\"x\\\"\"\n\"Grüße\"=\"Kanäle\"\n",
         Hive({{"K",
                {{"say \"hi\" \\ a=b", std::string("C:\\dir\\\"x\"")},
                 {"Grüße", std::string("Kanäle")}}}})},
        {"byte order mark, comments, blanks and spaces around =",
         "\xEF\xBB\xBFREGEDIT4\n\n; a comment\n  [HKEY_CURRENT_USER\\K]  \n"
         "\t\"a\" = dword:1\n\n",
         Hive({{"K", {{"a", 1u}}}})},
        {"keys and value names ignore letter case and keep their first spelling",
         "REGEDIT4\n[HKEY_CURRENT_USER\\Soft\\A]\n\"X\"=dword:1\n"
         "[hkey_current_user\\SOFT\\a\\B]\n[HKEY_CURRENT_USER\\soft\\a]\n\"x\"=dword:2\n",
         Hive({{"Soft\\A", {{"X", 2u}}}, {"Soft\\A\\B", {}}})},
        {"a value set twice keeps its place",
         "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:1\n\"b\"=dword:2\n\"a\"=\"now text\"\n",
         Hive({{"K", {{"a", std::string("now text")}, {"b", 2u}}}})},
        {"deletions remove keys with their subkeys, and values",
         "REGEDIT4\n[HKEY_CURRENT_USER\\K\\Gone\\Below]\n[HKEY_CURRENT_USER\\K\\Gone2]\n"
         "\"a\"=dword:1\n\"b\"=dword:2\n\"a\"=-\n[-HKEY_CURRENT_USER\\K\\Gone]\n",
         Hive({{"K\\Gone2", {{"b", 2u}}}})},
        {"the root can hold values", "REGEDIT4\n[HKEY_CURRENT_USER]\n\"a\"=dword:ffffffff\n",
         Hive({{"", {{"a", ~0u}}}})},
        {"lines ending in CR alone, as old Mac editors leave them",
         "REGEDIT4\r\r[HKEY_CURRENT_USER\\K]\r\"a\"=dword:1\r\"b\"=hex:01,\\\r  02\r",
         Hive({{"K", {{"a", 1u}, {"b", Raw(REG_BINARY, {0x01, 0x02})}}}})},
        {"line ends of every kind mixed", "REGEDIT4\r\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:1\r",
         Hive({{"K", {{"a", 1u}}}})},
        {"names that are no UTF-8, byte for byte", KeyFile("K\xFF", "\xC3(\xA9\xFE"),
         Hive({{"K\xFF", {{"\xC3(\xA9\xFE", 1u}}}})},
        {"a key at the deepest level", KeyFile(NestedPath(kMaxKeyDepth, 1)),
         Hive({{NestedPath(kMaxKeyDepth, 1), {{"a", 1u}}}})},
        {"a key name at its longest", KeyFile(NestedPath(1, kMaxKeyNameSize)),
         Hive({{NestedPath(1, kMaxKeyNameSize), {{"a", 1u}}}})},
        {"a key path at its longest", KeyFile(NestedPath(kMaxKeyPathSize / 128 + 1, 127)),
         Hive({{NestedPath(kMaxKeyPathSize / 128 + 1, 127), {{"a", 1u}}}})},
        {"a value name at its longest", KeyFile("K", std::string(kMaxValueNameSize, 'v')),
         Hive({{"K", {{std::string(kMaxValueNameSize, 'v'), 1u}}}})},
    };
    for (const ReadRow& row : rows) {
        const RegParseResult parsed = ParseRegFile(row.text);
        ASSERT_TRUE(parsed.hive) << row.what << ": line " << parsed.errorLine << ": "
                                 << parsed.error;
        EXPECT_EQ(*parsed.hive, row.hive) << row.what << "\n" << FormatRegFile(*parsed.hive);
    }
}

struct FaultRow {
    std::string what;
    std::string text;
    std::size_t line;
};

TEST(RegFile, NamesTheLineItCannotRead) {
    const std::string key = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n";
    const std::vector<FaultRow> rows{
        {"an empty file", "", 1},
        {"another header", "Windows Registry Editor Version 5.00\n", 1},
        {"a value before any key", "REGEDIT4\n\"a\"=dword:1\n", 2},
        {"a key of another root", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n", 2},
        {"a root that only starts the same", "REGEDIT4\n[HKEY_CURRENT_USERS]\n", 2},
        {"an empty name in a key path", "REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n", 2},
        {"a control character in a key name", "REGEDIT4\n[HKEY_CURRENT_USER\\a\tb]\n", 2},
        {"a key line without its bracket", "REGEDIT4\n[HKEY_CURRENT_USER\\K\n", 2},
        {"a line that is nothing", key + "something\n", 3},
        {"a name without =", key + "\"a\" dword:1\n", 3},
        {"an unclosed name", key + "\"a=dword:1\n", 3},
        {"an unknown escape", key + "\"a\"=\"line\\nbreak\"\n", 3},
        {"text after the closing quote", key + "\"a\"=\"b\" c\n", 3},
        {"a dword of nine digits", key + "\"a\"=dword:123456789\n", 3},
        {"a dword without digits", key + "\"a\"=dword:\n", 3},
        {"a dword that is not hexadecimal", key + "\"a\"=dword:12g4\n", 3},
        {"a hex byte of three digits", key + "\"a\"=hex:123\n", 3},
        {"an empty hex byte", key + "\"a\"=hex:01,,02\n", 3},
        {"a hex type that is not a number", key + "\"a\"=hex(x):01\n", 3},
        {"a hex type without its bracket", key + "\"a\"=hex(2:01\n", 3},
        {"hex carried on past the end", key + "\"a\"=hex:01,\\\n", 3},
        {"an unknown type of data", key + "\"a\"=qword:1\n", 3},
        {"a zero byte", key + "\"a\"=\"x" + std::string(1, '\0') + "\"\n", 3},
        {"a carriage return inside a line", key + "\"a\"=\"x\ry\"\r\n", 3},
        {"a value after a deleted key", "REGEDIT4\n[-HKEY_CURRENT_USER\\K]\n\"a\"=dword:1\n", 3},
        {"a key too deep", KeyFile(NestedPath(kMaxKeyDepth + 1, 1)), 2},
        {"a key name too long", KeyFile(NestedPath(1, kMaxKeyNameSize + 1)), 2},
        {"a key path too long", KeyFile(NestedPath(kMaxKeyPathSize / 128 + 1, 127) + "x"), 2},
        {"a value name too long", KeyFile("K", std::string(kMaxValueNameSize + 1, 'v')), 3},
    };
    for (const FaultRow& row : rows) {
        const RegParseResult parsed = ParseRegFile(row.text);
        EXPECT_FALSE(parsed.hive) << row.what;
        EXPECT_EQ(parsed.errorLine, row.line) << row.what;
        EXPECT_FALSE(parsed.error.empty()) << row.what;
    }
}

TEST(RegFile, WritesTheRegistryEditorsFormat) {
    RegHive hive = Hive({{"Software\\Varnholm\\klavio\\Cmds", {{"90 3C 7F", 1u}, {"", 1u}}},
                         {"Software\\Varnholm\\klavio",
                          {{"BaseOctave", 1u},
                           {"MIDIOutDevice", std::string("Synth \"A\" \\ B")},
                           {"Channel", 0xFFFFFFFFu}}}});
    EXPECT_EQ(FormatRegFile(hive), "REGEDIT4\r\n"
                                   "\r\n[HKEY_CURRENT_USER\\Software]\r\n"
                                   "\r\n[HKEY_CURRENT_USER\\Software\\Varnholm]\r\n"
                                   "\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio]\r\n"
                                   "\"BaseOctave\"=dword:00000001\r\n"
                                   "\"MIDIOutDevice\"=\"Synth \\\"A\\\" \\\\ B\"\r\n"
                                   "\"Channel\"=dword:ffffffff\r\n"
                                   "\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Cmds]\r\n"
                                   "\"90 3C 7F\"=dword:00000001\r\n"
                                   "@=dword:00000001\r\n");
}

TEST(RegFile, LongHexDataIsWrappedWithinEightyColumnsAndReadBack) {
    std::vector<std::uint8_t> bytes(100);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    const RegHive hive = Hive({{"K", {{"long", Raw(2, bytes)}}}});
    const std::string text = FormatRegFile(hive);
    std::size_t start = 0;
    for (std::size_t end = text.find("\r\n"); end != std::string::npos;
         start = end + 2, end = text.find("\r\n", start))
        EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    const RegParseResult parsed = ParseRegFile(text);
    ASSERT_TRUE(parsed.hive) << parsed.error;
    EXPECT_EQ(*parsed.hive, hive);
}

// A file cut at any size ends after a whole line and reads back as what was kept.
TEST(RegFile, WritesWhatFitsInTheGivenSizeAndSaysWhatItLeftOut) {
    const RegHive hive = Hive({{"K", {{"a", 1u}, {"b", 2u}}}, {"K\\L", {{"c", 3u}}}});
    const std::size_t whole = FormatRegFile(hive).size();
    const std::size_t lastValue = std::string("\"c\"=dword:00000003\r\n").size();
    const RegHive withoutC = Hive({{"K", {{"a", 1u}, {"b", 2u}}}, {"K\\L", {}}});
    struct Row {
        std::size_t maxSize;
        RegHive kept;
        std::size_t keysLeftOut;
        std::size_t valuesLeftOut;
    };
    const std::vector<Row> rows{
        {whole + 1, hive, 0, 0},
        {whole, hive, 0, 0},
        {whole - 1, withoutC, 0, 1},
        {whole - lastValue, withoutC, 0, 1},
        {whole - lastValue - 1, Hive({{"K", {{"a", 1u}, {"b", 2u}}}}), 1, 1},
        {0, RegHive(), 2, 3},
    };
    for (const Row& row : rows) {
        const RegFileText file = FormatRegFileWithin(hive, row.maxSize);
        EXPECT_LE(file.text.size(), std::max<std::size_t>(row.maxSize, 10)) << row.maxSize;
        const RegParseResult parsed = ParseRegFile(file.text);
        ASSERT_TRUE(parsed.hive) << row.maxSize << ": " << parsed.error;
        EXPECT_EQ(*parsed.hive, row.kept) << row.maxSize << "\n" << file.text;
        EXPECT_EQ(file.keysLeftOut, row.keysLeftOut) << row.maxSize;
        EXPECT_EQ(file.valuesLeftOut, row.valuesLeftOut) << row.maxSize;
    }
}

TEST(RegHive, KeysAreFoundIgnoringCaseAndListedUnderTheirParents) {
    RegHive hive;
    ASSERT_TRUE(hive.CreateKey("\\Software\\Varnholm\\klavio\\Cmds"));
    hive.CreateKey("SOFTWARE\\Ab");
    hive.CreateKey("Software\\varnholm\\a");
    EXPECT_EQ(KeyPaths(hive),
              (std::vector<std::string>{"Software", "Software\\Ab", "Software\\Varnholm",
                                        "Software\\Varnholm\\a", "Software\\Varnholm\\klavio",
                                        "Software\\Varnholm\\klavio\\Cmds"}));
    EXPECT_EQ(hive.FindKey("software\\VARNHOLM\\Klavio"),
              hive.FindKey("\\Software\\Varnholm\\klavio"));
    EXPECT_EQ(hive.FindKey("Software\\Varnholm\\klavio\\Other"), nullptr);
}

TEST(RegHive, DeletingAKeyTakesItsSubkeysButNotKeysThatOnlyStartAlike) {
    RegHive hive;
    for (const char* path : {"A\\B", "A\\B\\C\\D", "A\\BC", "A\\B C", "AB"})
        hive.CreateKey(path);
    EXPECT_TRUE(hive.DeleteKey("\\a\\b"));
    EXPECT_EQ(KeyPaths(hive), (std::vector<std::string>{"A", "A\\B C", "A\\BC", "AB"}));
    EXPECT_FALSE(hive.DeleteKey("A\\B"));
    EXPECT_TRUE(hive.DeleteKey("\\"));
    EXPECT_TRUE(hive.Keys().empty());
}

} // namespace
