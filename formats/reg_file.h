#pragma once

// The user's registry as plain data, and its text form: the registry editor's export format
// that starts with "REGEDIT4". A person can read that text, and the Windows registry editor can
// import it.
//
//     REGEDIT4
//
//     [HKEY_CURRENT_USER\Software\Varnholm\klavio]
//     "BaseOctave"=dword:00000001
//     "MIDIOutDevice"="Synth \"A\" \\ B"
//     @="the key's unnamed default value"
//
// Keys and value names are found ignoring the letter case of ASCII letters, as the registry
// finds them, and keep the spelling they were created with. Text is kept byte for byte (UTF-8
// on this system). The text comes from a file anybody may have edited: the parser takes any
// bytes and either returns a hive or says which line it could not read.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;

// Limits far above anything the program or a person writes, the registry's own among them.
// Beyond them the text is not a settings file of ours, and taking it would cost time out of all
// proportion at every start and close. Sizes are in bytes.
inline constexpr std::size_t kMaxRegFileSize = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxKeyNameSize = 255;
// Every key is written with the keys above it, each on a line with its whole path: at this
// size the lines for the deepest key take at most half of kMaxRegFileSize.
inline constexpr std::size_t kMaxKeyPathSize = 16383;
inline constexpr std::size_t kMaxValueNameSize = 16383;

// A value of a type other than text and 32-bit integer, kept as the bytes the file gave
// ("hex:" or "hex(7):"), so that a hand-added value survives the program's next save.
struct RegRawData {
    std::uint32_t type = REG_BINARY;
    std::vector<std::uint8_t> bytes;
    bool operator==(const RegRawData&) const = default;
};

// REG_SZ, REG_DWORD or anything else as bytes.
using RegData = std::variant<std::string, std::uint32_t, RegRawData>;

struct RegValue {
    std::string name; // empty for the key's unnamed default value
    RegData data;
    bool operator==(const RegValue&) const = default;
};

// Whether text can stand in the file as a value name or as text data: the format has no way
// to write a line break or a zero byte.
bool IsStorableText(std::string_view text);

// The names along a key path below HKEY_CURRENT_USER; a leading backslash is allowed and means
// the same. Nothing when the path names no key: an empty name between backslashes (as in
// "Software\\klavio"), a control character, or a path beyond the limits above. The empty path
// is the root itself.
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path);

class RegKey {
public:
    explicit RegKey(std::string path) : path_(std::move(path)) {}

    // The names from the root, joined by backslashes, as the key was created.
    const std::string& Path() const { return path_; }

    const RegValue* FindValue(std::string_view name) const;
    // A value already there keeps its spelling and its place and takes the new data; a new one
    // comes last. False, and nothing changed, when the name or the text is not storable or the
    // name is longer than kMaxValueNameSize.
    bool SetValue(RegValue value);
    bool RemoveValue(std::string_view name);
    // In the order they were first set.
    std::vector<const RegValue*> Values() const;

    bool operator==(const RegKey& other) const;

private:
    // One place of the index: a value's place in values_ and the hash of its name.
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t place = 0; // kFree, kRemoved, or a place in values_
    };

    // The slot of name, or of the free slot where it would go.
    std::size_t SlotOf(std::string_view name, std::uint64_t hash) const;
    void GrowIndex();

    std::string path_;
    // A history of a million commands is one key: every value is found by the hash of its name
    // in an index of open slots, which takes no allocation per value, and kept in the order it
    // was first set; a removed value leaves an empty place behind.
    std::deque<std::optional<RegValue>> values_;
    std::vector<Slot> slots_;    // a power of two of them, at most half of them in use
    std::size_t slotsInUse_ = 0; // removed ones too
    std::size_t count_ = 0;
};

class RegHive {
public:
    RegKey* FindKey(std::string_view path);
    const RegKey* FindKey(std::string_view path) const;
    // Creates the missing keys along the path too, as the registry does. nullptr when the path
    // names no key.
    RegKey* CreateKey(std::string_view path);
    // The key with its values and every key below it. False when there was no such key.
    bool DeleteKey(std::string_view path);
    // Every key after the one above it, keys under the same key sorted by name ignoring case.
    std::vector<const RegKey*> Keys() const;

    bool operator==(const RegHive& other) const;

private:
    std::map<std::string, RegKey, std::less<>> keys_; // by SortKey of the path
};

struct RegParseResult {
    std::optional<RegHive> hive; // nothing when the text could not be read
    std::size_t errorLine = 0;   // counted from 1
    std::string error;
};

// Reads the text of a registry file. Lines may end in CR LF, LF or CR; a UTF-8 byte order mark,
// blank lines and comment lines (";") are passed over. Besides keys and values it takes the
// editor's deletions, "[-HKEY_CURRENT_USER\...]" and "name"=-, which remove what lines above them
// made.
RegParseResult ParseRegFile(std::string_view text);

// The text of a registry file that ParseRegFile reads back as the same hive, with CR LF line
// ends as the Windows registry editor writes them.
std::string FormatRegFile(const RegHive& hive);

struct RegFileText {
    std::string text;
    // What did not fit, counted from the first line that did not.
    std::size_t keysLeftOut = 0;
    std::size_t valuesLeftOut = 0;
};

// The text of FormatRegFile, as much of it as fits in maxSize bytes (the header always does):
// everything from the first key or value line that would pass maxSize on is left out, so that
// the keys listed first and the values set first are the ones kept.
RegFileText FormatRegFileWithin(const RegHive& hive, std::size_t maxSize);
